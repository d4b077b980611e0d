#pragma once
// Values, types, qualities and times as the tool prints them. Conversions
// are OLE Automation's, in the invariant locale, so that "2.5" means the same
// on every machine.
#include <windows.h>
#include <oleauto.h>
#include <string>

// "Double", "String", "Array of Short", ...; "VT 0x1234" for others.
std::string TypeName(VARTYPE type);
// The value as text: numbers as OLE Automation writes them, strings as they
// are, arrays as "[1, 2, 3]"; `ok` false when it has no text form.
std::string ValueText(const VARIANT& value, bool* ok = nullptr);
// "Good", "Bad (Comm Failure)", "Uncertain (Last Usable Value), low limited".
std::string QualityText(WORD quality);
// UTC in ISO 8601 with milliseconds: "2024-05-01T12:34:56.789Z"; "" for zero.
std::string TimestampText(const FILETIME& time);
// The reverse, for what a user types: ISO 8601 in UTC with its "Z",
// seconds and up to 7 digits of their fraction optional
// ("2024-05-01T12:34Z", "2024-05-01T12:34:56.789Z"). False for anything else.
bool TimestampFromText(const std::wstring& text, FILETIME& time);

// Converts text to a value of `type`; the conversion's result.
HRESULT TextToValue(const std::wstring& text, VARTYPE type, VARIANT& value);
