#include "OpcClient.h"

#include "ServerIds.h"

HRESULT ConnectServer(ComPtr<IOPCServer>& server) {
    server.Reset();
    return CoCreateInstance(CLSID_ToviExplorerServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(server.GetAddressOf()));
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
