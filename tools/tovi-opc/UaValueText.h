#pragma once
// OPC UA values, types and status codes as the tool prints them, and text as
// a value of a node's data type. Numbers go through a VARIANT, so that both
// protocols write them alike.
#include "UaStack.h"

#include <string>

#include "Arguments.h"

// "Good", "BadNodeIdUnknown", "UncertainEngineeringUnitsExceeded, low
// limited"; the code in hex where the stack has no name for it.
std::string UaStatusText(UA_StatusCode status);
// The same with the code: "BadNodeIdUnknown (0x80340000)".
std::string UaResultText(UA_StatusCode status);
// "Double", "Array of Int16", "Empty"; "" for no type.
std::string UaTypeName(const UA_DataType* type, bool array = false);
// The value as a VARIANT that prints as the tool prints it: numbers and
// Booleans as themselves, DateTime in ISO 8601 (UTC), other types as text.
void UaToVariant(const UA_Variant& value, VARIANT& out);
// True for a bad status that came without a value: the item's error.
bool IsUaError(const UA_DataValue& value);
// An item's value as a line in one of the output formats: value, type,
// status and the source timestamp (else the server's).
std::string FormatUaRecord(WatchFormat format, const std::string& itemId, const UA_DataValue& value);

// Text as a value of `type` (a String where the node names no concrete
// type); Good, BadTypeMismatch, or BadOutOfRange for a number too large.
UA_StatusCode TextToUaValue(const std::wstring& text, const UA_DataType* type, UA_Variant& out);
