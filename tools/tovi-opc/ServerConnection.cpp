#include "ServerConnection.h"

#include "Console.h"
#include "ErrorText.h"
#include "Text.h"

HRESULT ConnectServer(const std::wstring& progId, ComPtr<IOPCServer>& server, std::string* why) {
    server.Reset();
    CLSID clsid{};
    HRESULT hr = !progId.empty() && progId[0] == L'{' ? CLSIDFromString(progId.c_str(), &clsid)
                                                      : CLSIDFromProgID(progId.c_str(), &clsid);
    if (FAILED(hr)) {
        *why = "server not registered: \"" + ToUtf8(progId) + "\" is no registered ProgID or CLSID (" + HexResult(hr) +
               ")";
        return hr;
    }
    // Servers in their own process, and in-process ones: both answer the same interfaces.
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(server.GetAddressOf()));
    if (FAILED(hr)) {
        *why = "cannot connect to " + ToUtf8(progId) + ": " + ResultText(hr);
        return hr;
    }
    // Named in the server's list of clients; a server without IOPCCommon (DA 1.0a) does without.
    ComPtr<IOPCCommon> common;
    if (SUCCEEDED(server->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(common.GetAddressOf())))) {
        common->SetClientName(L"tovi-opc");
    }
    return hr;
}

bool ConnectOrReport(const std::wstring& progId, ComPtr<IOPCServer>& server) {
    std::string why;
    if (SUCCEEDED(ConnectServer(progId, server, &why))) return true;
    PrintError(why);
    return false;
}
