#pragma once
// OPC DA 3.0's reads with a MaxAge and writes of value, quality and
// timestamp: by item ID through the server's IOPCItemIO, or by server handle
// through a group's IOPCSyncIO2. The server's arrays are taken over and freed
// here.
#include <windows.h>
#include <string>
#include <vector>

#include "DataStream.h"
#include "OpcDa.h"

// MaxAge for "from the cache, whatever its age".
constexpr DWORD kMaxAgeCache = 0xFFFFFFFF;

// Reads every item with `maxAgeMs`: `items` in the request's order, each with
// its value, quality, timestamp and error. The call's result; when it failed
// without per-item answers every item carries that result.
HRESULT ReadByItemId(IOPCItemIO* io, const std::vector<std::wstring>& ids, DWORD maxAgeMs,
                     std::vector<StreamItem>& items);
HRESULT ReadMaxAge(IOPCSyncIO2* io, const std::vector<OPCHANDLE>& handles, DWORD maxAgeMs,
                   std::vector<StreamItem>& items);

// Writes `vqts` (left as they were: the caller clears their values); the
// per-item results in `errors`, filled with the call's result when it gave none.
HRESULT WriteVqtByItemId(IOPCItemIO* io, const std::vector<std::wstring>& ids, std::vector<OPCITEMVQT>& vqts,
                         std::vector<HRESULT>& errors);
HRESULT WriteVqtInGroup(IOPCSyncIO2* io, const std::vector<OPCHANDLE>& handles, std::vector<OPCITEMVQT>& vqts,
                        std::vector<HRESULT>& errors);

// Each item's canonical type (property 1) through IOPCBrowse::GetProperties,
// or its error in `errors`.
HRESULT CanonicalTypes(IOPCBrowse* browse, const std::vector<std::wstring>& ids, std::vector<VARTYPE>& types,
                       std::vector<HRESULT>& errors);
