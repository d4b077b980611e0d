// tovi-opc write --vqt: values with their qualities and timestamps through
// OPC DA 3.0, by item ID (IOPCItemIO, each item's type from IOPCBrowse) or in
// a group (IOPCSyncIO2, each item's type from AddItems). Either way each value
// is converted here, in the invariant locale, as the 2.0 write converts it.
#include <windows.h>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "Da3Io.h"
#include "ErrorText.h"
#include "ItemGroup.h"
#include "ServerConnection.h"
#include "Text.h"
#include "ValueText.h"
#include "VqtText.h"

namespace {
// Where the write goes, and what it learnt of the items before.
struct Target {
    ComPtr<IOPCItemIO> byId;
    ComPtr<IOPCSyncIO2> inGroup;
    std::vector<VARTYPE> types;
    std::vector<HRESULT> known;  // per item: a failure means it is not written
    std::vector<OPCHANDLE> handles;
};

bool ById(IOPCServer* server, const std::vector<std::wstring>& ids, Target& target) {
    ComPtr<IOPCBrowse> browse;
    HRESULT hr = server->QueryInterface(IID_IOPCItemIO, reinterpret_cast<void**>(target.byId.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = server->QueryInterface(IID_IOPCBrowse, reinterpret_cast<void**>(browse.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the server offers no OPC DA 3.0 writes by item ID (IOPCItemIO, IOPCBrowse): " + ResultText(hr));
        return false;
    }
    hr = CanonicalTypes(browse.Get(), ids, target.types, target.known);
    if (FAILED(hr) && IsConnectionLost(hr)) {
        PrintError("the items' types cannot be read: " + ResultText(hr));
        target.byId.Detach();
        browse.Detach();
        return false;
    }
    target.handles.assign(ids.size(), 0);
    return true;
}

bool InGroup(ItemGroup& group, const std::vector<std::wstring>& ids, Target& target) {
    if (!group.CreateOrReport(ids, false, 1000)) return false;
    const HRESULT hr =
        group.Management()->QueryInterface(IID_IOPCSyncIO2, reinterpret_cast<void**>(target.inGroup.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the group offers no OPC DA 3.0 writes (IOPCSyncIO2): " + ResultText(hr));
        return false;
    }
    for (const GroupItem& item : group.Items()) {
        target.types.push_back(item.canonicalType);
        target.known.push_back(item.added);
        target.handles.push_back(item.serverHandle);
    }
    return true;
}

// "ID = VALUE  QUALITY  TIME", with only what the user gave.
std::string WhatWasAsked(const VqtText& vqt) {
    std::string text = ToUtf8(vqt.itemId).append(" = ").append(ToUtf8(vqt.value));
    if (vqt.qualitySpecified) text.append("  ").append(QualityText(vqt.quality));
    if (vqt.timestampSpecified) text.append("  ").append(TimestampText(vqt.timestamp));
    return text;
}
}  // namespace

int RunWriteVqt(const Arguments& args) {
    if (args.words.size() < 2) {
        PrintError(
            "write --vqt needs a ProgID and at least one ITEM=VALUE[,QUALITY[,TIMESTAMP]] "
            "(see tovi-opc write --help)");
        return kExitUsage;
    }
    std::vector<VqtText> asked(args.words.size() - 1);
    std::vector<std::wstring> ids;
    for (size_t i = 1; i < args.words.size(); ++i) {
        std::string why;
        if (!ParseVqtText(args.words[i], asked[i - 1], &why)) {
            PrintError(why);
            return kExitUsage;
        }
        ids.push_back(asked[i - 1].itemId);
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    ItemGroup group(server.Get());
    Target target;
    if (!(args.inGroup ? InGroup(group, ids, target) : ById(server.Get(), ids, target))) return kExitFailed;

    std::vector<std::string> outcome(ids.size());
    std::vector<size_t> written;
    std::vector<std::wstring> writtenIds;
    std::vector<OPCHANDLE> handles;
    std::vector<OPCITEMVQT> vqts;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(target.known[i])) {
            outcome[i] = "error: " + ResultText(target.known[i]);
            continue;
        }
        OPCITEMVQT vqt;
        const HRESULT hr = VqtToWire(asked[i], target.types[i], vqt);
        if (FAILED(hr)) {
            outcome[i] = std::string("error: \"")
                             .append(ToUtf8(asked[i].value))
                             .append("\" cannot be converted to ")
                             .append(TypeName(target.types[i]))
                             .append(": ")
                             .append(ResultText(hr));
            continue;
        }
        written.push_back(i);
        writtenIds.push_back(ids[i]);
        handles.push_back(target.handles[i]);
        vqts.push_back(vqt);
    }
    if (!vqts.empty()) {
        std::vector<HRESULT> errors;
        const HRESULT hr = args.inGroup ? WriteVqtInGroup(target.inGroup.Get(), handles, vqts, errors)
                                        : WriteVqtByItemId(target.byId.Get(), writtenIds, vqts, errors);
        for (OPCITEMVQT& vqt : vqts) VariantClear(&vqt.vDataValue);
        if (FAILED(hr) && IsConnectionLost(hr)) {
            PrintError("the write failed: " + ResultText(hr));
            target.byId.Detach();
            target.inGroup.Detach();
            group.Abandon();
            return kExitFailed;
        }
        for (size_t k = 0; k < written.size(); ++k) {
            const HRESULT result = errors[k];
            outcome[written[k]] = result == S_OK      ? "written"
                                  : SUCCEEDED(result) ? "written, " + ResultText(result)
                                                      : "error: " + ResultText(result);
        }
    }
    bool allGood = true;
    for (size_t i = 0; i < ids.size(); ++i) {
        allGood = allGood && outcome[i].rfind("written", 0) == 0;
        PrintLine(WhatWasAsked(asked[i]) + ": " + outcome[i]);
    }
    return allGood ? kExitOk : kExitFailed;
}
