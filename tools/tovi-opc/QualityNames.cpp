#include "QualityNames.h"

#include <cwchar>
#include <cwctype>

namespace {
struct QualityName {
    const wchar_t* name;
    int quality;
};
constexpr QualityName kQualities[] = {
    {L"none", -1},
    {L"good", 0xC0},
    {L"local-override", 0xD8},
    {L"uncertain", 0x40},
    {L"last-usable", 0x44},
    {L"sensor-not-accurate", 0x50},
    {L"eu-exceeded", 0x54},
    {L"sub-normal", 0x58},
    {L"bad", 0x00},
    {L"config-error", 0x04},
    {L"not-connected", 0x08},
    {L"device-failure", 0x0C},
    {L"sensor-failure", 0x10},
    {L"last-known", 0x14},
    {L"comm-failure", 0x18},
    {L"out-of-service", 0x1C},
};
}  // namespace

bool QualityFromName(const std::wstring& name, int& quality) {
    std::wstring word = name;
    for (wchar_t& c : word) c = static_cast<wchar_t>(std::towlower(c));
    for (const QualityName& known : kQualities) {
        if (word == known.name) {
            quality = known.quality;
            return true;
        }
    }
    return false;
}

bool ParseQualityText(const std::wstring& text, WORD& quality) {
    int named = 0;
    if (QualityFromName(text, named)) {
        if (named < 0) return false;
        quality = static_cast<WORD>(named);
        return true;
    }
    // Digits only: wcstoul would also take signs and blanks.
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const size_t first = hex ? 2 : 0;
    if (text.size() <= first || text.size() > first + 3) return false;
    for (size_t i = first; i < text.size(); ++i) {
        if (hex ? !std::iswxdigit(text[i]) : !std::iswdigit(text[i])) return false;
    }
    const unsigned long value = std::wcstoul(text.c_str() + first, nullptr, hex ? 16 : 10);
    if (value > 0xFF) return false;
    quality = static_cast<WORD>(value);
    return true;
}
