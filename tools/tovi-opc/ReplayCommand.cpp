// tovi-opc replay: plays a CSV of recorded values into a Tovi Explorer server
// through its replay control items (the server must allow fault control
// through OPC), or stops the replay that plays.
#include <windows.h>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "ItemGroup.h"
#include "ServerConnection.h"
#include "Text.h"

namespace {
constexpr wchar_t kReplayBranch[] = L"_Control.Replay.";

// Writes the values in order, one call each: the file and options must be in
// place before Run starts it. False (said) at the first refusal.
bool WriteInOrder(ItemGroup& group, const std::vector<std::wstring>& ids, std::vector<VARIANT>& values) {
    ComPtr<IOPCSyncIO> io;
    HRESULT hr = group.Management()->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(io.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the server cannot write: " + ResultText(hr));
        return false;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
        GroupItem& item = group.Items()[i];
        if (FAILED(item.added)) {
            PrintError(ToUtf8(ids[i]) + ": " + ResultText(item.added));
            return false;
        }
        HRESULT* errors = nullptr;
        hr = io->Write(1, &item.serverHandle, &values[i], &errors);
        const HRESULT result = errors != nullptr ? errors[0] : hr;
        CoTaskMemFree(errors);
        if (FAILED(hr) || FAILED(result)) {
            PrintError(ToUtf8(ids[i]) + ": " + ResultText(FAILED(result) ? result : hr));
            return false;
        }
    }
    return true;
}
}  // namespace

int RunReplay(const Arguments& args) {
    if (args.words.size() != (args.stop ? 1u : 2u)) {
        PrintError("replay needs a ProgID and a file, or a ProgID and --stop (see tovi-opc replay --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    std::vector<std::wstring> ids;
    std::vector<VARIANT> values;
    auto add = [&](const wchar_t* name, VARIANT value) {
        ids.push_back(std::wstring(kReplayBranch) + name);
        values.push_back(value);
    };
    VARIANT v;
    VariantInit(&v);
    if (!args.stop) {
        wchar_t full[MAX_PATH * 2];
        const DWORD n = GetFullPathNameW(args.words[1].c_str(), MAX_PATH * 2, full, nullptr);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(n > 0 && n < MAX_PATH * 2 ? full : args.words[1].c_str());
        add(L"File", v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = args.speed;
        add(L"Speed", v);
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = args.loop ? VARIANT_TRUE : VARIANT_FALSE;
        add(L"Loop", v);
    }
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = args.stop ? VARIANT_FALSE : VARIANT_TRUE;
    add(L"Run", v);
    ids.push_back(std::wstring(kReplayBranch) + L"Status");
    ItemGroup group(server.Get());
    const bool created = group.CreateOrReport(ids, false, 1000);
    const bool written = created && WriteInOrder(group, std::vector<std::wstring>(ids.begin(), ids.end() - 1), values);
    for (VARIANT& value : values) VariantClear(&value);
    if (!created) return kExitFailed;
    // What the server says it does, or every bad row of the file.
    const GroupItem& status = group.Items().back();
    ComPtr<IOPCSyncIO> io;
    if (SUCCEEDED(status.added) &&
        SUCCEEDED(group.Management()->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(io.GetAddressOf())))) {
        OPCHANDLE handle = status.serverHandle;
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        if (SUCCEEDED(io->Read(OPC_DS_DEVICE, 1, &handle, &states, &errors)) && errors[0] == S_OK &&
            V_VT(&states[0].vDataValue) == VT_BSTR && V_BSTR(&states[0].vDataValue) != nullptr) {
            PrintLine(ToUtf8(V_BSTR(&states[0].vDataValue)));
        }
        if (states != nullptr) VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    return written ? kExitOk : kExitFailed;
}
