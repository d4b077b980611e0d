#pragma once
#include <windows.h>
#include <objbase.h>
#include <cstdint>

// The current time as a UTC FILETIME, from the COM runtime.
inline FILETIME FileTimeNow() noexcept {
    FILETIME ft{};
    CoFileTimeNow(&ft);
    return ft;
}

inline std::uint64_t FileTimeToU64(const FILETIME& ft) noexcept {
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME U64ToFileTime(std::uint64_t value) noexcept {
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

inline bool operator==(const FILETIME& a, const FILETIME& b) noexcept {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}
