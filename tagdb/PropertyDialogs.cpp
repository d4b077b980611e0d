#include "PropertyDialogs.h"

#include <atomic>

namespace {
std::atomic<PropertyDialogRunner*> g_runner{nullptr};
}

void SetPropertyDialogRunner(PropertyDialogRunner* runner) noexcept { g_runner.store(runner); }
PropertyDialogRunner* ThePropertyDialogRunner() noexcept { return g_runner.load(); }
