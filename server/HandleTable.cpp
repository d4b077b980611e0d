#include "HandleTable.h"

#include <atomic>
#include <cstdint>

namespace {
// 64 bits wide, so that running past the last 32-bit handle is noticed
// instead of wrapping round to handles already given out.
std::atomic<std::uint64_t> g_lastHandle{0};
}  // namespace

OPCHANDLE IssueServerHandle() noexcept {
    const std::uint64_t next = g_lastHandle.fetch_add(1) + 1;
    return next <= 0xFFFFFFFFull ? static_cast<OPCHANDLE>(next) : 0;
}
