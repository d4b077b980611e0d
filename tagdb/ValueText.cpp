#include "ValueText.h"

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
// Leading blanks, an optional sign, digits up to the first other character;
// no digits give 0. Out-of-range input saturates rather than overflowing.
long ParseDecimalInteger(const std::wstring& text) {
    return std::wcstol(text.c_str(), nullptr, 10);
}

double ParseDecimalNumber(const std::wstring& text) {
    return std::wcstod(text.c_str(), nullptr);
}
}  // namespace

std::optional<Variant> ParseValueText(VARTYPE type, const std::wstring& text) {
    switch (type) {
    case VT_I2: return Variant::FromShort(static_cast<SHORT>(ParseDecimalInteger(text)));
    case VT_I4: return Variant::FromLong(static_cast<LONG>(ParseDecimalInteger(text)));
    case VT_UI1: return Variant::FromByte(static_cast<BYTE>(ParseDecimalInteger(text)));
    case VT_R4: return Variant::FromFloat(static_cast<float>(ParseDecimalNumber(text)));
    case VT_R8: return Variant::FromDouble(ParseDecimalNumber(text));
    case VT_BSTR: return Variant::FromString(text);
    case VT_BOOL: {
        const bool on = EqualsNoCase(text, L"TRUE") || EqualsNoCase(text, L"T") || text == L"1";
        return Variant::FromBool(on);
    }
    default: return std::nullopt;
    }
}
