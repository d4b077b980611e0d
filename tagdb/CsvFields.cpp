#include "CsvFields.h"

#include <charconv>
#include <cwchar>
#include <cwctype>
#include <string>

namespace {
struct TypeName {
    VARTYPE type;
    const wchar_t* name;
};
constexpr TypeName kTypeNames[] = {{VT_BOOL, L"Bool"}, {VT_UI1, L"Byte"},  {VT_I2, L"Short"},    {VT_I4, L"Integer"},
                                   {VT_R4, L"Float"},  {VT_R8, L"Double"}, {VT_BSTR, L"String"}, {VT_EMPTY, L"Empty"}};

std::wstring Ascii(std::string_view s) { return std::wstring(s.begin(), s.end()); }

std::wstring FloatText(float v) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return Ascii(std::string_view(buffer, static_cast<size_t>(r.ptr - buffer)));
}

bool Narrow(std::wstring_view text, std::string& out) {
    out.clear();
    for (wchar_t c : text) {
        if (c > 0x7F) return false;
        out += static_cast<char>(c);
    }
    return true;
}

// Infinities and NaN too: a client may have written one, and the columns
// that cannot hold one say so by their own rules.
template <class Number>
bool ParseReal(std::wstring_view text, Number& out) {
    std::string s;
    if (!Narrow(text, s) || s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

std::wstring CsvNumberText(double v) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return Ascii(std::string_view(buffer, static_cast<size_t>(r.ptr - buffer)));
}

std::wstring CsvFlagText(bool on) { return on ? L"true" : L"false"; }

std::wstring CsvTypeText(VARTYPE type) {
    for (const TypeName& t : kTypeNames) {
        if (t.type == type) return t.name;
    }
    return std::to_wstring(type);
}

std::wstring CsvTimeText(FILETIME t) {
    if (t.dwLowDateTime == 0 && t.dwHighDateTime == 0) return L"";
    SYSTEMTIME s;
    if (!FileTimeToSystemTime(&t, &s)) return L"";
    const unsigned long long ticks = (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    wchar_t buffer[40];
    swprintf(buffer, 40, L"%04u-%02u-%02uT%02u:%02u:%02u.%07lluZ", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute,
             s.wSecond, ticks % 10000000ull);
    return buffer;
}

// The text of a value, which ParseCsvValue turns back into the same value.
std::wstring CsvValueText(const Variant& value) {
    const VARIANT& v = value.Ref();
    switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_NULL: return L"";
    case VT_BOOL: return CsvFlagText(V_BOOL(&v) != VARIANT_FALSE);
    // The integers as the platform writes them, without a call into it for each.
    case VT_I2: return std::to_wstring(V_I2(&v));
    case VT_I4: return std::to_wstring(V_I4(&v));
    case VT_UI1: return std::to_wstring(V_UI1(&v));
    case VT_R8: return CsvNumberText(V_R8(&v));
    case VT_DATE: return CsvNumberText(V_DATE(&v));  // the platform's date text drops the fractions of a second
    case VT_ERROR: return std::to_wstring(static_cast<DWORD>(V_ERROR(&v)));
    case VT_R4: return FloatText(V_R4(&v));
    case VT_BSTR: return V_BSTR(&v) != nullptr ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"";
    default: break;
    }
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&v), LOCALE_INVARIANT, 0, VT_BSTR))) return L"";
    std::wstring s(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
    VariantClear(&text);
    return s;
}

bool ParseCsvNumber(std::wstring_view text, double& out) { return ParseReal(text, out); }

bool ParseCsvUnsigned(std::wstring_view text, unsigned long long max, unsigned long long& out) {
    std::string s;
    if (!Narrow(text, s) || s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && out <= max;
}

bool SameCsvText(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool ParseCsvFlag(std::wstring_view text, bool& out) {
    for (const wchar_t* t : {L"true", L"1", L"yes"}) {
        if (SameCsvText(text, t)) return out = true, true;
    }
    for (const wchar_t* f : {L"false", L"0", L"no"}) {
        if (SameCsvText(text, f)) return out = false, true;
    }
    return false;
}

bool ParseCsvTime(std::wstring_view text, FILETIME& out) {
    if (text.empty()) {
        out = FILETIME{};
        return true;
    }
    unsigned y, mo, d, h, mi, s;
    wchar_t fraction[16] = {};
    int used = 0;
    const std::wstring z(text);
    if (swscanf(z.c_str(), L"%4u-%2u-%2uT%2u:%2u:%2u%n", &y, &mo, &d, &h, &mi, &s, &used) != 6) return false;
    size_t at = static_cast<size_t>(used);
    unsigned long long ticks = 0;
    if (at < z.size() && z[at] == L'.') {
        size_t digits = 0;
        for (++at; at < z.size() && iswdigit(z[at]) && digits < 7; ++at, ++digits) fraction[digits] = z[at];
        if (digits == 0) return false;
        for (size_t i = 0; i < 7; ++i)
            ticks = ticks * 10 + (i < digits ? static_cast<unsigned>(fraction[i] - L'0') : 0u);
    }
    if (at + 1 != z.size() || z[at] != L'Z') return false;
    SYSTEMTIME st{static_cast<WORD>(y),  static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                  static_cast<WORD>(mi), static_cast<WORD>(s),  0};
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return false;
    const unsigned long long whole =
        ((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) + ticks;
    out.dwLowDateTime = static_cast<DWORD>(whole);
    out.dwHighDateTime = static_cast<DWORD>(whole >> 32);
    return true;
}

bool ParseCsvValue(std::wstring_view text, VARTYPE type, Variant& out) {
    if (type == VT_BSTR) {
        out = Variant::FromString(text);
        return true;
    }
    if (text.empty() || type == VT_EMPTY || type == VT_NULL) {
        if (!text.empty()) return false;
        VARIANT none;
        VariantInit(&none);
        V_VT(&none) = type == VT_NULL ? VT_NULL : VT_EMPTY;
        out = Variant::Adopt(none);
        return true;
    }
    switch (type) {
    case VT_BOOL: {
        bool b = false;
        if (!ParseCsvFlag(text, b)) return false;
        out = Variant::FromBool(b);
        return true;
    }
    case VT_R8: {
        double d = 0;
        if (!ParseReal(text, d)) return false;
        out = Variant::FromDouble(d);
        return true;
    }
    case VT_R4: {
        float f = 0;  // read as a float: through a double it could round twice
        if (!ParseReal(text, f)) return false;
        out = Variant::FromFloat(f);
        return true;
    }
    case VT_DATE:
    case VT_ERROR: {
        double d = 0;
        unsigned long long n = 0;
        if (type == VT_DATE ? !ParseReal(text, d) : !ParseCsvUnsigned(text, 0xFFFFFFFFull, n)) return false;
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = type;
        if (type == VT_DATE)
            V_DATE(&v) = d;
        else
            V_ERROR(&v) = static_cast<SCODE>(static_cast<DWORD>(n));
        out = Variant::Adopt(v);
        return true;
    }
    default: break;
    }
    // Whole numbers and the rarer types: the platform's conversion, free of the user's locale.
    Variant source = Variant::FromString(text);
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeTypeEx(&converted, source.Get(), LOCALE_INVARIANT, 0, type))) return false;
    out = Variant::Adopt(converted);
    return true;
}

bool ParseCsvTypeName(std::wstring_view text, VARTYPE& out) {
    for (const TypeName& t : kTypeNames) {
        if (SameCsvText(text, t.name)) return out = t.type, true;
    }
    return false;
}
