#pragma once
// Reaching an OPC server by ProgID (or CLSID in braces) through COM.
#include <windows.h>
#include <wrl/client.h>
#include <string>

#include "OpcDa.h"

using Microsoft::WRL::ComPtr;

// The server's IOPCServer; on failure the result, and `why` in words.
HRESULT ConnectServer(const std::wstring& progId, ComPtr<IOPCServer>& server, std::string* why);
// The same, telling the user why on the error stream; false on failure.
bool ConnectOrReport(const std::wstring& progId, ComPtr<IOPCServer>& server);
