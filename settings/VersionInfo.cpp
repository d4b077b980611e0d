#include "VersionInfo.h"

#include <windows.h>
#include <charconv>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "ProgramPaths.h"

bool GetVersionString(const std::wstring& filePath, const wchar_t* key, std::wstring& value) {
    value.clear();
    if (filePath.empty() || key == nullptr) {
        return false;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(filePath.c_str(), &ignored);
    if (size == 0) {
        return false;
    }
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(filePath.c_str(), 0, size, block.data())) {
        return false;
    }
    for (const wchar_t* language : {L"040704b0", L"040904E4", L"040904b0"}) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\") + language + L"\\" + key;
        void* text = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block.data(), query.c_str(), &text, &length) && text != nullptr) {
            const auto* chars = static_cast<const wchar_t*>(text);
            std::wstring found(chars, length);
            found.resize(std::wcslen(found.c_str()));  // the length may count the terminator
            value = std::move(found);
            return true;
        }
    }
    return false;
}

bool GetProductVersion(const std::wstring& filePath, std::wstring& version) {
    return GetVersionString(filePath, L"ProductVersion", version);
}

std::wstring GetProductName() {
    std::wstring name;
    GetVersionString(GetModulePath(), L"ProductName", name);
    return name;
}

std::wstring GetCompanyName() {
    std::wstring name;
    GetVersionString(GetModulePath(), L"CompanyName", name);
    return name;
}

double GetProductVersionNumber() {
    static const double number = [] {
        std::wstring text;
        GetProductVersion(GetModulePath(), text);
        return VersionTextToNumber(text);
    }();
    return number;
}

double VersionTextToNumber(std::wstring_view text) {
    size_t start = 0;
    while (start < text.size() && std::iswspace(text[start])) {
        ++start;
    }
    // Only the characters a number can hold, narrowed for from_chars (which
    // ignores the locale, so "1.1" is 1.1 wherever the program runs).
    std::string digits;
    for (size_t i = start; i < text.size() && text[i] < 0x80 && std::wcschr(L"+-.0123456789eE", text[i]) != nullptr;
         ++i) {
        digits += static_cast<char>(text[i]);
    }
    const char* first = digits.data();
    if (!digits.empty() && digits[0] == '+') {
        ++first;
    }
    double number = 0;
    const auto result = std::from_chars(first, digits.data() + digits.size(), number);
    return result.ec == std::errc() ? number : 0.0;
}
