#pragma once
// Text helpers shared by every layer: resource strings, printf-style
// formatting, case-insensitive comparison and code-page conversion.
#include <windows.h>
#include <string>
#include <functional>
#include <string_view>

// String-table entry of the running module; empty when absent.
std::wstring LoadResString(UINT id);

// printf-style formatting into a wide string.
std::wstring FormatText(const wchar_t* format, ...);

// Case folding used for every "without regard to case" name comparison, so
// that indexes keyed by the folded text agree with the comparisons.
std::wstring FoldCase(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
// Each of the 65,536 UTF-16 units upper-cased on its own, as one table: for
// walks over many texts (a sort's keys, a search) that would otherwise ask
// the system once per text.
const wchar_t* UnitUpperTable();

// The folded text on the stack for names of everyday length, so that lookups
// on hot paths allocate nothing. (Not a thread_local buffer: MinGW's emulated
// TLS frees such storage before its destructor runs at thread exit.)
class FoldedText {
public:
    explicit FoldedText(std::wstring_view text);
    FoldedText(const FoldedText&) = delete;
    FoldedText& operator=(const FoldedText&) = delete;
    std::wstring_view view() const { return {m_data, m_size}; }

private:
    static constexpr size_t kInline = 128;
    wchar_t m_inline[kInline];
    std::wstring m_spill;
    const wchar_t* m_data = m_inline;
    size_t m_size = 0;
};

// Hash and equality that let a map keyed by std::wstring be searched with a view.
struct WideTextHash {
    using is_transparent = void;
    size_t operator()(std::wstring_view text) const noexcept { return std::hash<std::wstring_view>{}(text); }
};

// ANSI code page <-> UTF-16.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);
// UTF-8 <-> UTF-16.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// The platform's text for a Win32 error or a result code in `language` (0:
// the system's choice), without its line end, and without its closing full
// stop unless `keepFullStop`; empty when it has none.
std::wstring SystemMessage(DWORD code, bool keepFullStop, LANGID language = 0);
// SystemMessage for use inside a sentence; "error N" when it has none.
std::wstring SystemErrorText(DWORD error);
