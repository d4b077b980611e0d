#include "OpcClient.h"

#include "ServerIds.h"
#include "ServerProcess.h"

HRESULT ConnectServer(ComPtr<IOPCServer>& server) {
    // Right after a server process ends, Wine's COM now and then still routes
    // the activation to it: the call fails without running. The next one
    // starts a new server.
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 4; ++attempt) {
        server.Reset();
        hr = CoCreateInstance(CLSID_ToviExplorerServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                              reinterpret_cast<void**>(server.GetAddressOf()));
        if (hr != HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) && hr != HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) {
            break;
        }
        Sleep(500);
    }
    if (SUCCEEDED(hr)) HoldRunningServerIds();
    return hr;
}

HRESULT AdviseStream(IUnknown* group, const wchar_t* format, IAdviseSink* sink, DWORD* connection) {
    ComPtr<IDataObject> data;
    const HRESULT hr = group->QueryInterface(IID_PPV_ARGS(&data));
    if (FAILED(hr)) return hr;
    FORMATETC etc{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(format)), nullptr, DVASPECT_CONTENT, -1,
                  TYMED_HGLOBAL};
    return data->DAdvise(&etc, 0, sink, connection);
}

HRESULT UnadviseStream(IUnknown* group, DWORD connection) {
    ComPtr<IDataObject> data;
    const HRESULT hr = group->QueryInterface(IID_PPV_ARGS(&data));
    return FAILED(hr) ? hr : data->DUnadvise(connection);
}

std::vector<std::wstring> DrainStrings(IEnumString* strings) {
    std::vector<std::wstring> names;
    for (int guard = 0; guard < 10000; ++guard) {
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        const HRESULT hr = strings->Next(1, &name, &fetched);
        if (fetched == 1 && name != nullptr) {
            names.emplace_back(name);
            CoTaskMemFree(name);
        }
        if (hr != S_OK) break;
    }
    return names;
}

std::vector<std::wstring> Browse(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE filter) {
    ComPtr<IEnumString> strings;
    if (FAILED(browse->BrowseOPCItemIDs(filter, L"", VT_EMPTY, 0, strings.GetAddressOf())) || !strings) {
        return {L"<browse failed>"};
    }
    return DrainStrings(strings.Get());
}

HRESULT ItemId(IOPCBrowseServerAddressSpace* browse, const wchar_t* name, std::wstring* itemId) {
    LPWSTR text = nullptr;
    const HRESULT hr = browse->GetItemID(const_cast<LPWSTR>(name), &text);
    itemId->assign(text != nullptr ? text : L"");
    CoTaskMemFree(text);
    return hr;
}

int WorkItems(IOPCServer* server) {
    OPCHANDLE group = 0;
    DWORD rate = 0;  // an [out] pointer: never null through a proxy
    ComPtr<IOPCItemMgt> items;
    if (server->AddGroup(L"", TRUE, 50, 1, nullptr, nullptr, 0, &group, &rate, IID_IOPCItemMgt,
                         reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())) != S_OK) {
        return 20;
    }
    OPCITEMDEF defs[2] = {};
    defs[0].szItemID = const_cast<LPWSTR>(L"Pump1.Motors.Speed");
    defs[1].szItemID = const_cast<LPWSTR>(L"Tank.Level");
    for (OPCITEMDEF& d : defs) {
        d.szAccessPath = const_cast<LPWSTR>(L"");
        d.bActive = TRUE;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (items->AddItems(2, defs, &results, &errors) != S_OK) return 21;
    OPCHANDLE handles[2] = {results[0].hServer, results[1].hServer};
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCSyncIO> io;
    if (FAILED(items.As(&io))) return 22;
    VARIANT values[2];
    for (VARIANT& v : values) {
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = 1.5;
    }
    if (io->Write(2, handles, values, &errors) != S_OK) return 23;
    CoTaskMemFree(errors);
    OPCITEMSTATE* states = nullptr;
    if (io->Read(OPC_DS_DEVICE, 2, handles, &states, &errors) != S_OK) return 24;
    const bool numbers = V_VT(&states[0].vDataValue) == VT_R8 && V_VT(&states[1].vDataValue) == VT_R8;
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    if (!numbers) return 25;
    if (items->RemoveItems(2, handles, &errors) != S_OK) return 26;
    CoTaskMemFree(errors);
    items.Reset();
    io.Reset();
    return server->RemoveGroup(group, FALSE) == S_OK ? 0 : 27;
}
