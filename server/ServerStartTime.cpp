#include "ServerStartTime.h"

#include <atomic>
#include <cstdint>

#include "FileTime.h"

namespace {
// One 64-bit word, so that a reader never sees half of an update.
std::atomic<std::uint64_t> g_startTime{0};
}  // namespace

void SetServerStartTime(FILETIME time) noexcept { g_startTime.store(FileTimeToU64(time)); }

FILETIME ServerStartTime() noexcept { return U64ToFileTime(g_startTime.load()); }
