#pragma once
// Client-side helpers: connecting to the server through COM and reading
// what browsing gives.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>
#include <string>
#include <vector>

#include "OpcDa.h"

using Microsoft::WRL::ComPtr;

// CoCreateInstance of the server in its own process, tried again while the
// activation reaches a server that has just ended.
HRESULT ConnectServer(ComPtr<IOPCServer>& server);
// All strings an enumerator has left, one Next at a time.
std::vector<std::wstring> DrainStrings(IEnumString* strings);
// BrowseOPCItemIDs at the current position with a filter type.
std::vector<std::wstring> Browse(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE filter);
// GetItemID; the HRESULT and the text.
HRESULT ItemId(IOPCBrowseServerAddressSpace* browse, const wchar_t* name, std::wstring* itemId);

// DAdvise of a group's 1.0a stream in the named clipboard format to `sink`.
HRESULT AdviseStream(IUnknown* group, const wchar_t* format, IAdviseSink* sink, DWORD* connection);
HRESULT UnadviseStream(IUnknown* group, DWORD connection);

// One round of everyday item work on a new group of the server: add items,
// write, read, remove them and the group. 0 when every step worked, otherwise
// the number of the step that failed.
int WorkItems(IOPCServer* server);
