#include "KeepAliveTimer.h"

#include <algorithm>

DWORD KeepAliveTimer::Revise(DWORD requested, DWORD updateRate) noexcept {
    if (requested == 0) return 0;
    return std::max({requested, updateRate, kShortestMs});
}

void KeepAliveTimer::Set(DWORD milliseconds, ULONGLONG now) noexcept {
    m_lastSent.store(now);
    m_time.store(milliseconds);
}

ULONGLONG KeepAliveTimer::DueAt() const noexcept {
    const DWORD time = m_time.load();
    // Ticks are 64-bit milliseconds: even 49 days added cannot wrap.
    return time == 0 ? kNever : m_lastSent.load() + time;
}
