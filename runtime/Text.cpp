#include "Text.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>
#include <vector>

std::wstring LoadResString(UINT id) {
    const wchar_t* resource = nullptr;
    // With a zero buffer size LoadStringW hands out a read-only pointer into the resource.
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || resource == nullptr) {
        return {};
    }
    return std::wstring(resource, static_cast<size_t>(length));
}

std::wstring FormatText(const wchar_t* format, ...) {
    std::vector<wchar_t> buffer(128);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = std::vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        }
        if (buffer.size() > (1u << 20)) {
            return {};
        }
        buffer.resize(buffer.size() * 4);
    }
}

std::wstring FoldCase(std::wstring_view text) {
    std::wstring folded(text);
    if (!folded.empty()) {
        CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    }
    return folded;
}

const wchar_t* UnitUpperTable() {
    static const std::vector<wchar_t> table = [] {
        std::vector<wchar_t> upper(65536);
        for (size_t i = 0; i < upper.size(); ++i) upper[i] = static_cast<wchar_t>(i);
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
        return upper;
    }();
    return table.data();
}

FoldedText::FoldedText(std::wstring_view text) : m_size(text.size()) {
    wchar_t* out = m_inline;
    if (text.size() > kInline) {
        m_spill.assign(text);
        out = m_spill.data();
    } else {
        std::copy(text.begin(), text.end(), m_inline);
    }
    m_data = out;
    if (m_size != 0) CharUpperBuffW(out, static_cast<DWORD>(m_size));
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    // Item-ID resolution compares names for every item a client adds: no allocation.
    return FoldedText(a).view() == FoldedText(b).view();
}

namespace {
std::string Narrow(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}
std::wstring Widen(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    }
    return out;
}
}  // namespace

std::string ToAnsi(std::wstring_view text) { return Narrow(CP_ACP, text); }
std::wstring FromAnsi(std::string_view text) { return Widen(CP_ACP, text); }
std::string ToUtf8(std::wstring_view text) { return Narrow(CP_UTF8, text); }
std::wstring FromUtf8(std::string_view text) { return Widen(CP_UTF8, text); }

std::wstring SystemMessage(DWORD code, bool keepFullStop, LANGID language) {
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, language, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring s = n != 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
    LocalFree(buffer);
    while (!s.empty() &&
           (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ' || (!keepFullStop && s.back() == L'.'))) {
        s.pop_back();
    }
    return s;
}

std::wstring SystemErrorText(DWORD error) {
    std::wstring s = SystemMessage(error, false);
    return s.empty() ? L"error " + std::to_wstring(error) : s;
}
