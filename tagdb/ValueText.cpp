#include "ValueText.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cwchar>
#include <cwctype>

#include "Text.h"

std::wstring FormatValueText(const VARIANT& v) {
    switch (V_VT(&v)) {
    case VT_I2: return FormatText(L"%d", static_cast<int>(V_I2(&v)));
    case VT_I4: return FormatText(L"%ld", static_cast<long>(V_I4(&v)));
    case VT_R4: return FormatText(L"%g", static_cast<double>(V_R4(&v)));
    case VT_R8: return FormatText(L"%g ", V_R8(&v));
    case VT_BSTR: return V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : std::wstring();
    case VT_BOOL: return V_BOOL(&v) ? L"1" : L"0";
    case VT_UI1: return FormatText(L"%d", static_cast<int>(V_UI1(&v)));
    case VT_UI2: return FormatText(L"%hu", V_UI2(&v));
    case VT_UI4: return FormatText(L"%u", static_cast<unsigned>(V_UI4(&v)));
    default: return L"?";
    }
}

namespace {
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The length of the decimal number starting at text[begin] (sign, digits,
// fraction, exponent); 0 when there are no digits before the exponent.
size_t DecimalLength(std::wstring_view text, size_t begin) {
    size_t i = begin;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) ++i;
    size_t digits = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == L'.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < text.size() && (text[i] == L'e' || text[i] == L'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == L'+' || text[j] == L'-')) ++j;
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j])) ++j;
            i = j;
        }
    }
    return i - begin;
}

double ToDouble(std::wstring_view number) {
    const std::wstring copy(number);
    const double value = std::wcstod(copy.c_str(), nullptr);
    if (value > DBL_MAX) return DBL_MAX;
    if (value < -DBL_MAX) return -DBL_MAX;
    return value;
}

size_t SkipBlanks(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    return i;
}
}  // namespace

long ParseLeadingInteger(std::wstring_view text) {
    size_t i = SkipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long long magnitude = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        magnitude = std::min<long long>(magnitude * 10 + (text[i] - L'0'), 1LL << 32);
    }
    const long long value = negative ? -magnitude : magnitude;
    return static_cast<long>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

double ParseLeadingNumber(std::wstring_view text) {
    const size_t begin = SkipBlanks(text);
    const size_t length = DecimalLength(text, begin);
    return length == 0 ? 0.0 : ToDouble(text.substr(begin, length));
}

bool ParseWholeNumber(std::wstring_view text, double& value) {
    const size_t begin = SkipBlanks(text);
    const size_t length = DecimalLength(text, begin);
    if (length == 0) return false;
    for (size_t i = begin + length; i < text.size(); ++i) {
        if (!IsBlank(text[i])) return false;
    }
    const std::wstring copy(text.substr(begin, length));
    const double parsed = std::wcstod(copy.c_str(), nullptr);
    if (!std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

float SaturateToFloat(double value) {
    if (std::isnan(value)) return 0.0f;
    return static_cast<float>(std::clamp<double>(value, -FLT_MAX, FLT_MAX));
}

std::optional<Variant> ParseValueText(VARTYPE type, const std::wstring& text) {
    switch (type) {
    case VT_I2: return Variant::FromShort(static_cast<SHORT>(ParseLeadingInteger(text)));
    case VT_I4: return Variant::FromLong(static_cast<LONG>(ParseLeadingInteger(text)));
    case VT_UI1: return Variant::FromByte(static_cast<BYTE>(ParseLeadingInteger(text)));
    case VT_R4: return Variant::FromFloat(SaturateToFloat(ParseLeadingNumber(text)));
    case VT_R8: return Variant::FromDouble(ParseLeadingNumber(text));
    case VT_BSTR: return Variant::FromString(text);
    case VT_BOOL: {
        const bool on = EqualsNoCase(text, L"TRUE") || EqualsNoCase(text, L"T") || text == L"1";
        return Variant::FromBool(on);
    }
    default: return std::nullopt;
    }
}
