#pragma once
// Date and time as the user reads them: the user's default short date and
// default time formats, joined by one space.
#include <windows.h>
#include <ctime>
#include <string>

// Empty when either the date or the time cannot be formatted.
std::wstring FormatDateTime(const SYSTEMTIME& localTime);
// A calendar time in seconds since 1970 (UTC), shown in local time.
std::wstring FormatTime(std::time_t seconds);
