// tovi-opc read: one synchronous read of the items, from the cache or the
// device.
#include <windows.h>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "ItemGroup.h"
#include "RecordFormat.h"
#include "ServerConnection.h"
#include "TextCodec.h"

int RunRead(const Arguments& args) {
    if (args.words.size() < 2) {
        PrintError("read needs a ProgID and at least one item ID (see tovi-opc read --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    ItemGroup group(server.Get());
    if (!group.CreateOrReport({args.words.begin() + 1, args.words.end()}, true, 1000)) return kExitFailed;
    HRESULT hr = S_OK;
    std::vector<GroupItem>& items = group.Items();
    std::vector<OPCHANDLE> handles;
    for (const GroupItem& item : items) {
        if (SUCCEEDED(item.added)) handles.push_back(item.serverHandle);
    }
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    if (!handles.empty()) {
        ComPtr<IOPCSyncIO> io;
        hr = group.Management()->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(io.GetAddressOf()));
        if (SUCCEEDED(hr)) {
            hr = io->Read(args.device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(handles.size()),
                          handles.data(), &states, &errors);
        }
        if (FAILED(hr) && (errors == nullptr || states == nullptr)) {
            PrintError("the read failed: " + ResultText(hr));
            if (IsConnectionLost(hr)) group.Abandon();
            return kExitFailed;
        }
    }
    bool allGood = true;
    size_t next = 0;
    for (const GroupItem& item : items) {
        const std::string id = ToUtf8(item.id);
        if (FAILED(item.added)) {
            PrintLine(id + ": error: " + ResultText(item.added));
            allGood = false;
            continue;
        }
        const size_t i = next++;
        if (states == nullptr || errors == nullptr || FAILED(errors[i])) {
            PrintLine(id + ": error: " + ResultText(errors != nullptr ? errors[i] : E_FAIL));
            allGood = false;
        } else {
            PrintLine(FormatRecord(WatchFormat::Text,
                                   ItemRecord{id, &states[i].vDataValue, states[i].wQuality, states[i].ftTimeStamp}));
        }
        if (states != nullptr) VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return allGood ? kExitOk : kExitFailed;
}
