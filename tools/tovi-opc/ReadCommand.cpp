// tovi-opc read: one read of the items, synchronous from the cache or the
// device, through IOPCAsyncIO2 (which reads from the device), or through
// OPC DA 3.0 with a MaxAge: by item ID, or in a group.
#include <windows.h>
#include <vector>

#include "AsyncRead.h"
#include "Commands.h"
#include "Da3Io.h"
#include "Console.h"
#include "ErrorText.h"
#include "ItemGroup.h"
#include "RecordFormat.h"
#include "ServerConnection.h"
#include "Text.h"

namespace {
// How long an asynchronous read may take to complete.
constexpr DWORD kAsyncWaitMs = 10000;

// Reads `handles`: per item its result in `errors`, its value in `values`.
// False when the read as a whole failed (reported).
bool ReadSync(ItemGroup& group, bool device, const std::vector<OPCHANDLE>& handles, std::vector<HRESULT>& errors,
              std::vector<StreamItem>& values) {
    ComPtr<IOPCSyncIO> io;
    OPCITEMSTATE* states = nullptr;
    HRESULT* itemErrors = nullptr;
    HRESULT hr = group.Management()->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(io.GetAddressOf()));
    if (SUCCEEDED(hr)) {
        hr = io->Read(device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(handles.size()),
                      const_cast<OPCHANDLE*>(handles.data()), &states, &itemErrors);
    }
    if (FAILED(hr) && (itemErrors == nullptr || states == nullptr)) {
        CoTaskMemFree(states);
        CoTaskMemFree(itemErrors);
        PrintError("the read failed: " + ResultText(hr));
        if (IsConnectionLost(hr)) group.Abandon();
        return false;
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        errors[i] = states != nullptr && itemErrors != nullptr ? itemErrors[i] : E_FAIL;
        if (states == nullptr) continue;
        values[i].quality = states[i].wQuality;
        values[i].timestamp = states[i].ftTimeStamp;
        // The value moves over; the array's copy is left empty.
        values[i].value = states[i].vDataValue;
        VariantInit(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(itemErrors);
    return true;
}

bool ReadAsync(ItemGroup& group, const std::vector<OPCHANDLE>& handles, std::vector<HRESULT>& errors,
               std::vector<StreamItem>& values) {
    std::vector<StreamItem> completed;
    std::string why;
    const HRESULT hr = ReadAsync2(group.Management(), handles, kAsyncWaitMs, errors, completed, &why);
    if (FAILED(hr)) {
        PrintError(why);
        if (IsConnectionLost(hr)) group.Abandon();
        return false;
    }
    // The completion names items by client handle: their places in the group plus one.
    std::vector<GroupItem>& items = group.Items();
    std::vector<size_t> slotOfItem(items.size(), handles.size());
    for (size_t i = 0, slot = 0; i < items.size(); ++i) {
        if (SUCCEEDED(items[i].added)) slotOfItem[i] = slot++;
    }
    std::vector<bool> arrived(handles.size(), false);
    for (const StreamItem& item : completed) {
        if (item.clientHandle < 1 || item.clientHandle > items.size()) continue;
        const size_t slot = slotOfItem[item.clientHandle - 1];
        if (slot >= handles.size() || FAILED(errors[slot])) continue;
        values[slot] = item;
        errors[slot] = item.error;
        arrived[slot] = true;
    }
    for (size_t slot = 0; slot < handles.size(); ++slot) {
        if (SUCCEEDED(errors[slot]) && !arrived[slot]) errors[slot] = E_FAIL;  // missing from the completion
    }
    return true;
}

// The items' lines in the order asked; false when any item failed.
bool PrintResults(const std::vector<std::wstring>& ids, const std::vector<StreamItem>& results) {
    bool allGood = true;
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::string id = ToUtf8(ids[i]);
        const StreamItem& result = results[i];
        if (FAILED(result.error)) {
            PrintLine(id + ": error: " + ResultText(result.error));
            allGood = false;
        } else {
            PrintLine(FormatRecord(WatchFormat::Text, ItemRecord{id, &result.value, result.quality, result.timestamp}));
        }
    }
    return allGood;
}

// OPC DA 3.0's read by item ID: no group at all.
int ReadByIdOrReport(IOPCServer* server, const std::vector<std::wstring>& ids, DWORD maxAgeMs) {
    ComPtr<IOPCItemIO> io;
    HRESULT hr = server->QueryInterface(IID_IOPCItemIO, reinterpret_cast<void**>(io.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the server offers no OPC DA 3.0 reads by item ID (IOPCItemIO): " + ResultText(hr));
        return kExitFailed;
    }
    std::vector<StreamItem> results;
    hr = ReadByItemId(io.Get(), ids, maxAgeMs, results);
    if (FAILED(hr) && IsConnectionLost(hr)) {
        PrintError("the read failed: " + ResultText(hr));
        io.Detach();  // a proxy whose server is gone: releasing it could wait on the dead peer
        return kExitFailed;
    }
    return PrintResults(ids, results) ? kExitOk : kExitFailed;
}

// OPC DA 3.0's read in a group: IOPCSyncIO2::ReadMaxAge. False when the read
// as a whole failed (reported).
bool ReadGroupMaxAge(ItemGroup& group, DWORD maxAgeMs, const std::vector<OPCHANDLE>& handles,
                     std::vector<StreamItem>& values) {
    ComPtr<IOPCSyncIO2> io;
    HRESULT hr = group.Management()->QueryInterface(IID_IOPCSyncIO2, reinterpret_cast<void**>(io.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the group offers no OPC DA 3.0 reads (IOPCSyncIO2): " + ResultText(hr));
        return false;
    }
    hr = ReadMaxAge(io.Get(), handles, maxAgeMs, values);
    if (FAILED(hr) && IsConnectionLost(hr)) {
        PrintError("the read failed: " + ResultText(hr));
        io.Detach();
        group.Abandon();
        return false;
    }
    return true;
}
}  // namespace

int RunRead(const Arguments& args) {
    if (args.words.size() < 2) {
        PrintError("read needs a ProgID and at least one item ID (see tovi-opc read --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    const std::vector<std::wstring> ids(args.words.begin() + 1, args.words.end());
    if (args.maxAgeGiven && !args.inGroup) return ReadByIdOrReport(server.Get(), ids, args.maxAgeMs);
    ItemGroup group(server.Get());
    // An asynchronous read needs no active group (it reads the device), and an
    // inactive one sends no data changes into the callback meanwhile.
    if (!group.CreateOrReport(ids, !args.async2, 1000)) return kExitFailed;
    std::vector<GroupItem>& items = group.Items();
    std::vector<OPCHANDLE> handles;
    for (const GroupItem& item : items) {
        if (SUCCEEDED(item.added)) handles.push_back(item.serverHandle);
    }
    std::vector<HRESULT> errors(handles.size(), E_FAIL);
    std::vector<StreamItem> values(handles.size());
    if (!handles.empty()) {
        const bool read = args.maxAgeGiven ? ReadGroupMaxAge(group, args.maxAgeMs, handles, values)
                          : args.async2    ? ReadAsync(group, handles, errors, values)
                                           : ReadSync(group, args.device, handles, errors, values);
        if (!read) return kExitFailed;
        if (!args.maxAgeGiven) {
            for (size_t i = 0; i < handles.size(); ++i) values[i].error = errors[i];
        }
    }
    // Every item in the order asked: its AddItems failure, or its read's result.
    std::vector<StreamItem> results(items.size());
    for (size_t i = 0, next = 0; i < items.size(); ++i) {
        if (FAILED(items[i].added)) {
            results[i].error = items[i].added;
        } else {
            results[i] = values[next++];
        }
    }
    return PrintResults(ids, results) ? kExitOk : kExitFailed;
}
