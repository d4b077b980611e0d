#pragma once
// Text helpers shared by every layer: resource strings, printf-style
// formatting, case-insensitive comparison and code-page conversion.
#include <windows.h>
#include <string>
#include <string_view>

// String-table entry of the running module; empty when absent.
std::wstring LoadResString(UINT id);

// printf-style formatting into a wide string.
std::wstring FormatText(const wchar_t* format, ...);

// Case folding used for every "without regard to case" name comparison, so
// that indexes keyed by the folded text agree with the comparisons.
std::wstring FoldCase(std::wstring_view text);
// The same into a caller's buffer, whose capacity is reused (no allocation on hot paths).
void FoldCaseInto(std::wstring& out, std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// ANSI code page <-> UTF-16.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);
// UTF-8 <-> UTF-16.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);
