#pragma once
// One read of a group's items through OPC DA 2.0's IOPCAsyncIO2, which reads
// from the device and answers in the group's IOPCDataCallback.
#include <windows.h>
#include <string>
#include <vector>

#include "DataStream.h"
#include "OpcDa.h"

// Reads `handles` and waits up to `waitMs` for the completion of this
// transaction. `errors` gets each item's result from the call, `completed`
// the items of the completion (by client handle). On failure the result,
// and `why` in words: the group has no IOPCAsyncIO2 or callback, the call
// failed, or no completion came in time (HRESULT_FROM_WIN32(ERROR_TIMEOUT)).
HRESULT ReadAsync2(IUnknown* group, const std::vector<OPCHANDLE>& handles, DWORD waitMs, std::vector<HRESULT>& errors,
                   std::vector<StreamItem>& completed, std::string* why);
