#pragma once
// Results in words, for people reading the tool's output.
#include <windows.h>
#include <string>

// "0x80004005".
std::string HexResult(HRESULT hr);
// What the result means, in words, followed by its code: "unknown item ID
// (OPC_E_UNKNOWNITEMID 0xC0040007)". OPC's own codes, the connection
// failures a client meets, then the system's message table.
std::string ResultText(HRESULT hr);
// True for the results that say the server process is gone or unreachable.
bool IsConnectionLost(HRESULT hr);
