#include "UaHistoryTime.h"

#include <cwchar>

#include "UaValueText.h"

bool ParseHistoryTime(const std::wstring& text, UA_DateTime now, UA_DateTime& out) {
    if (text == L"now") {
        out = now;
        return true;
    }
    if (!text.empty() && (text[0] == L'-' || text[0] == L'+')) {
        wchar_t* end = nullptr;
        const double amount = std::wcstod(text.c_str() + 1, &end);
        if (end == text.c_str() + 1 || !(amount >= 0) || amount > 1e7) return false;
        const std::wstring unit(end);
        double scale;
        if (unit == L"ms") {
            scale = UA_DATETIME_MSEC;
        } else if (unit == L"s") {
            scale = UA_DATETIME_SEC;
        } else if (unit == L"m") {
            scale = 60.0 * UA_DATETIME_SEC;
        } else if (unit == L"h") {
            scale = 3600.0 * UA_DATETIME_SEC;
        } else if (unit == L"d") {
            scale = 86400.0 * UA_DATETIME_SEC;
        } else {
            return false;
        }
        const auto offset = static_cast<UA_DateTime>(amount * scale);
        out = text[0] == L'-' ? now - offset : now + offset;
        return true;
    }
    // As a DateTime value is written to a node.
    UA_Variant value;
    UA_Variant_init(&value);
    const bool parsed = TextToUaValue(text, &UA_TYPES[UA_TYPES_DATETIME], value) == UA_STATUSCODE_GOOD &&
                        UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_DATETIME]);
    if (parsed) out = *static_cast<const UA_DateTime*>(value.data);
    UA_Variant_clear(&value);
    return parsed;
}

bool ParseHistoryTimes(const std::wstring& text, UA_DateTime now, std::vector<UA_DateTime>& out) {
    out.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(L',', start);
        UA_DateTime time;
        if (!ParseHistoryTime(text.substr(start, comma - start), now, time)) return false;
        out.push_back(time);
        if (comma == std::wstring::npos) return true;
        start = comma + 1;
    }
}
