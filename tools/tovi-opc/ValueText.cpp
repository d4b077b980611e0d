#include "ValueText.h"

#include <cstdio>

#include "OpcConstants.h"
#include "Text.h"

namespace {
const LCID kInvariant = LOCALE_INVARIANT;

const char* BaseTypeName(VARTYPE type) {
    switch (type) {
    case VT_EMPTY: return "Empty";
    case VT_NULL: return "Null";
    case VT_I1: return "Char";
    case VT_UI1: return "Byte";
    case VT_I2: return "Short";
    case VT_UI2: return "Word";
    case VT_I4: return "Long";
    case VT_UI4: return "DWord";
    case VT_INT: return "Int";
    case VT_UINT: return "UInt";
    case VT_I8: return "LongLong";
    case VT_UI8: return "QWord";
    case VT_R4: return "Float";
    case VT_R8: return "Double";
    case VT_CY: return "Currency";
    case VT_DATE: return "Date";
    case VT_BSTR: return "String";
    case VT_BOOL: return "Bool";
    case VT_ERROR: return "Error";
    case VT_VARIANT: return "Variant";
    default: return nullptr;
    }
}

std::string ScalarText(const VARIANT& value, bool* ok) {
    if (V_VT(&value) == VT_BSTR) return ToUtf8(V_BSTR(&value) != nullptr ? V_BSTR(&value) : L"");
    if (V_VT(&value) == VT_EMPTY) return "";
    VARIANT text;
    VariantInit(&text);
    // VARIANT_ALPHABOOL: "True"/"False" rather than "-1"/"0".
    const HRESULT hr = VariantChangeTypeEx(&text, const_cast<VARIANT*>(&value), kInvariant, VARIANT_ALPHABOOL, VT_BSTR);
    if (FAILED(hr)) {
        if (ok != nullptr) *ok = false;
        return "?";
    }
    std::string result = ToUtf8(V_BSTR(&text) != nullptr ? V_BSTR(&text) : L"");
    VariantClear(&text);
    return result;
}

std::string ArrayText(const VARIANT& value, bool* ok) {
    SAFEARRAY* array = V_ARRAY(&value);
    const VARTYPE element = static_cast<VARTYPE>(V_VT(&value) & VT_TYPEMASK);
    if (array == nullptr || SafeArrayGetDim(array) != 1) return "[]";
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    std::string text = "[";
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT item;
        VariantInit(&item);
        if (element == VT_VARIANT) {
            SafeArrayGetElement(array, &i, &item);
        } else {
            V_VT(&item) = element;
            // Element data lands in the union, where a VARIANT of that type keeps it.
            SafeArrayGetElement(array, &i, &V_UI8(&item));
        }
        if (i != lower) text += ", ";
        text += ScalarText(item, ok);
        VariantClear(&item);
    }
    return text + "]";
}
}  // namespace

std::string TypeName(VARTYPE type) {
    const char* base = BaseTypeName(static_cast<VARTYPE>(type & VT_TYPEMASK));
    if (base != nullptr && (type & ~VT_TYPEMASK) == 0) return base;
    if (base != nullptr && (type & ~VT_TYPEMASK) == VT_ARRAY) return std::string("Array of ") + base;
    char text[16];
    std::snprintf(text, sizeof text, "VT 0x%04X", static_cast<unsigned>(type));
    return text;
}

std::string ValueText(const VARIANT& value, bool* ok) {
    if (ok != nullptr) *ok = true;
    if (V_VT(&value) & VT_ARRAY) return ArrayText(value, ok);
    return ScalarText(value, ok);
}

std::string QualityText(WORD quality) {
    static const char* const kBad[8] = {nullptr,          "Config Error",     "Not Connected", "Device Failure",
                                        "Sensor Failure", "Last Known Value", "Comm Failure",  "Out of Service"};
    static const char* const kUncertain[8] = {nullptr,
                                              "Last Usable Value",
                                              nullptr,
                                              nullptr,
                                              "Sensor Not Accurate",
                                              "Engineering Units Exceeded",
                                              "Sub-Normal",
                                              nullptr};
    static const char* const kGood[8] = {nullptr, nullptr, nullptr,          nullptr,
                                         nullptr, nullptr, "Local Override", nullptr};
    static const char* const kLimits[4] = {nullptr, "low limited", "high limited", "constant"};
    const unsigned status = (quality & OPC_STATUS_MASK & ~OPC_QUALITY_MASK) >> 2;
    const char* name = "Bad";
    const char* sub = nullptr;
    switch (quality & OPC_QUALITY_MASK) {
    case OPC_QUALITY_GOOD:
        name = "Good";
        sub = status < 8 ? kGood[status] : nullptr;
        break;
    case OPC_QUALITY_UNCERTAIN:
        name = "Uncertain";
        sub = status < 8 ? kUncertain[status] : nullptr;
        break;
    case OPC_QUALITY_BAD: sub = status < 8 ? kBad[status] : nullptr; break;
    default: name = "Not Used"; break;
    }
    std::string text = name;
    if (sub != nullptr) text += std::string(" (") + sub + ")";
    if (const char* limit = kLimits[quality & OPC_LIMIT_MASK]) text += std::string(", ") + limit;
    return text;
}

std::string TimestampText(const FILETIME& time) {
    if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return "";
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc)) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return text;
}

bool TimestampFromText(const std::wstring& text, FILETIME& time) {
    // Fixed positions: "YYYY-MM-DDTHH:MM" then ":SS", ".fffffff" and "Z".
    auto digits = [&text](size_t at, size_t count, unsigned& value) {
        value = 0;
        if (at + count > text.size()) return false;
        for (size_t i = at; i < at + count; ++i) {
            if (text[i] < L'0' || text[i] > L'9') return false;
            value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        }
        return true;
    };
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() < 17 || !digits(0, 4, year) || text[4] != L'-' || !digits(5, 2, month) || text[7] != L'-' ||
        !digits(8, 2, day) || text[10] != L'T' || !digits(11, 2, hour) || text[13] != L':' || !digits(14, 2, minute)) {
        return false;
    }
    size_t at = 16;
    ULONGLONG fraction = 0;  // in 100 ns
    if (text[at] == L':') {
        if (!digits(at + 1, 2, second)) return false;
        at += 3;
        if (at < text.size() && text[at] == L'.') {
            const size_t first = ++at;
            for (ULONGLONG scale = 1000000; at < text.size() && text[at] >= L'0' && text[at] <= L'9';
                 ++at, scale /= 10) {
                if (at - first == 7) return false;
                fraction += static_cast<ULONGLONG>(text[at] - L'0') * scale;
            }
            if (at == first) return false;
        }
    }
    if (at + 1 != text.size() || (text[at] != L'Z' && text[at] != L'z')) return false;
    // Checked here: Wine's SystemTimeToFileTime rolls 2023-02-29 over into March.
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 ||
        minute > 59 || second > 59) {
        return false;
    }
    SYSTEMTIME utc{
        static_cast<WORD>(year),   static_cast<WORD>(month),  0, static_cast<WORD>(day), static_cast<WORD>(hour),
        static_cast<WORD>(minute), static_cast<WORD>(second), 0};
    FILETIME whole;
    if (year < 1601 || !SystemTimeToFileTime(&utc, &whole)) return false;
    ULARGE_INTEGER ticks{{whole.dwLowDateTime, whole.dwHighDateTime}};
    ticks.QuadPart += fraction;
    time = FILETIME{ticks.LowPart, ticks.HighPart};
    return true;
}

HRESULT TextToValue(const std::wstring& text, VARTYPE type, VARIANT& value) {
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_BSTR;
    V_BSTR(&source) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (V_BSTR(&source) == nullptr) return E_OUTOFMEMORY;
    VariantClear(&value);
    // An item whose server names no canonical type gets the text for the server to convert.
    const HRESULT hr = type == VT_BSTR || type == VT_EMPTY ? VariantCopy(&value, &source)
                                                           : VariantChangeTypeEx(&value, &source, kInvariant, 0, type);
    VariantClear(&source);
    return hr;
}
