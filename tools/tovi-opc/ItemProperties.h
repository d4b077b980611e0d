#pragma once
// An item's properties (OPC DA 2.0's IOPCItemProperties) as the lines that
// `props` prints under the item's ID.
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <vector>

#include "OpcDa.h"

// Every property the server lists for the item, one line each. The result
// of the calls: a failure when the item has none to give (lines empty),
// S_FALSE when some property failed (its line says why).
HRESULT PropertyLines(IOPCItemProperties* properties, const std::wstring& itemId, std::vector<std::string>& lines);

// "     2  Item Value = 12.5  Double", "     8  Item EUInfo = (empty)", or
// "   101  Item Description: error: ..." when `error` failed. Standard properties whose numbers stand for something
// say what ("5 (Double)", "192 (Good)"); dates are ISO 8601 UTC.
std::string PropertyLine(DWORD id, const std::wstring& description, VARTYPE listedType, const VARIANT& value,
                         HRESULT error);
