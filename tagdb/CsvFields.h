#pragma once
// The fields of the CSV files as the tag export writes them: numbers, flags,
// type names, UTC times and values, and the readers that turn each back into
// what was written. The tag import and the value replay read the same texts.
#include <windows.h>
#include <string>
#include <string_view>

#include "Variant.h"

std::wstring CsvNumberText(double v);
std::wstring CsvFlagText(bool on);
// "Bool", "Double", ... or the type's number for the rarer ones.
std::wstring CsvTypeText(VARTYPE type);
// Like 2026-12-07T10:15:00.0000000Z; empty for a zero time.
std::wstring CsvTimeText(FILETIME t);
std::wstring CsvValueText(const Variant& value);

bool ParseCsvNumber(std::wstring_view text, double& out);
bool ParseCsvUnsigned(std::wstring_view text, unsigned long long max, unsigned long long& out);
bool SameCsvText(std::wstring_view a, std::wstring_view b);  // letter case aside
bool ParseCsvFlag(std::wstring_view text, bool& out);
bool ParseCsvTypeName(std::wstring_view text, VARTYPE& out);
// An empty text is the zero time.
bool ParseCsvTime(std::wstring_view text, FILETIME& out);
// The value `text` gives in `type`; a string type takes any text.
bool ParseCsvValue(std::wstring_view text, VARTYPE type, Variant& out);
