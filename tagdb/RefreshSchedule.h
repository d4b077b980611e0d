#pragma once
// The periods a product device can re-stamp its tags on, by the clock: the
// choices the group dialog offers for the mode By Schedule.
#include <windows.h>
#include <array>

struct RefreshScheduleEntry {
    const wchar_t* text;
    DWORD seconds;
};

inline constexpr std::array<RefreshScheduleEntry, 14> kRefreshSchedule = {{
    {L"1 Minute", 60},
    {L"2 Minutes", 120},
    {L"5 Minutes", 300},
    {L"10 Minutes", 600},
    {L"15 Minutes", 900},
    {L"20 Minutes", 1200},
    {L"30 Minutes", 1800},
    {L"1 Hour", 3600},
    {L"2 Hours", 7200},
    {L"4 Hours", 14400},
    {L"6 Hours", 21600},
    {L"8 Hours", 28800},
    {L"12 Hours", 43200},
    {L"24 Hours", 86400},
}};

// The entry whose period is exactly these seconds, else the first one.
inline int RefreshScheduleIndex(DWORD seconds) noexcept {
    for (size_t i = 0; i < kRefreshSchedule.size(); ++i) {
        if (kRefreshSchedule[i].seconds == seconds) return static_cast<int>(i);
    }
    return 0;
}
