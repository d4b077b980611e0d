#pragma once
// Strings of a file's version information, and the running program's own.
#include <string>
#include <string_view>

// The string under key in the file's version information, looked up in the
// blocks "040704b0", "040904E4" and "040904b0" in that order. False, with an
// empty value, when the file has no version information or no block has it.
bool GetVersionString(const std::wstring& filePath, const wchar_t* key, std::wstring& value);
bool GetProductVersion(const std::wstring& filePath, std::wstring& version);

// Of the running program; empty when not found.
std::wstring GetProductName();
std::wstring GetCompanyName();
// The running program's "ProductVersion" as a number, read once per process.
double GetProductVersionNumber();

// The leading decimal number of a version text; 0 when it has none.
double VersionTextToNumber(std::wstring_view text);
