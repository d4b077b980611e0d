#pragma once
// Values as text and text as values, by the tag's data type.
#include <optional>
#include <string>
#include <string_view>

#include "Variant.h"

// Text of a value whose quality is Good: "?" for types that have no text.
std::wstring FormatValueText(const VARIANT& value);
// The value a text entry gives for a tag of the given type; nothing when the
// type does not accept text entry.
std::optional<Variant> ParseValueText(VARTYPE type, const std::wstring& text);

// The decimal integer at the start of a text: leading blanks, an optional
// sign, digits up to the first other character; no digits give 0. Values
// beyond 32 bits saturate.
long ParseLeadingInteger(std::wstring_view text);
// The same with an optional fraction and exponent (plain decimal notation
// only: no hexadecimal, infinity or NaN). Values beyond the double range
// saturate at the largest finite value.
double ParseLeadingNumber(std::wstring_view text);
// True when the whole text, blanks at either end aside, is one decimal number
// in that notation within the double range.
bool ParseWholeNumber(std::wstring_view text, double& value);
// A double narrowed to float, saturating at the largest finite float.
float SaturateToFloat(double value);
