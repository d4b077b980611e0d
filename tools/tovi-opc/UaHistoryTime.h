#pragma once
// The times of tovi-opc history: ISO 8601 in UTC ("2026-03-01T08:00:00Z",
// seconds and their fraction optional), "now", or relative to now ("-1h",
// "-90s", "+15m", "-2d", "-500ms").
#include "UaStack.h"

#include <string>
#include <vector>

// False for text that is no such time.
bool ParseHistoryTime(const std::wstring& text, UA_DateTime now, UA_DateTime& out);
// A comma-separated list of them; false when any is none.
bool ParseHistoryTimes(const std::wstring& text, UA_DateTime now, std::vector<UA_DateTime>& out);
