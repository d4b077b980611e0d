#include "DateTimeText.h"

namespace {
constexpr int kFormatBufferSize = 500;
constexpr long long kUnixEpochAsFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns units since 1601
constexpr long long kFileTimeUnitsPerSecond = 10000000LL;
}  // namespace

std::wstring FormatDateTime(const SYSTEMTIME& localTime) {
    wchar_t date[kFormatBufferSize];
    wchar_t time[kFormatBufferSize];
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &localTime, nullptr, date, kFormatBufferSize) == 0 ||
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &localTime, nullptr, time, kFormatBufferSize) == 0) {
        return {};
    }
    std::wstring text(date);
    text += L' ';
    text += time;
    return text;
}

std::wstring FormatTime(std::time_t seconds) {
    const long long s = static_cast<long long>(seconds);
    const long long limit = (0x7FFFFFFFFFFFFFFFLL - kUnixEpochAsFileTime) / kFileTimeUnitsPerSecond;
    if (s < -(kUnixEpochAsFileTime / kFileTimeUnitsPerSecond) || s > limit) {
        return {};
    }
    const unsigned long long ticks =
        static_cast<unsigned long long>(s * kFileTimeUnitsPerSecond + kUnixEpochAsFileTime);
    const FILETIME utc{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utcParts{};
    SYSTEMTIME localParts{};
    if (!FileTimeToSystemTime(&utc, &utcParts) || !SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &localParts)) {
        return {};
    }
    return FormatDateTime(localParts);
}
