#pragma once
// Values as text and text as values, by the tag's data type.
#include <optional>
#include <string>

#include "Variant.h"

// Text of a value whose quality is Good: "?" for types that have no text.
std::wstring FormatValueText(const VARIANT& value);
// The value a text entry gives for a tag of the given type; nothing when the
// type does not accept text entry.
std::optional<Variant> ParseValueText(VARTYPE type, const std::wstring& text);
