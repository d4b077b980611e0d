#include "ServerRegistration.h"

#include <string>

#include "EventLog.h"
#include "OpcDa.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "RegIO.h"
#include "ScriptRegistrar.h"
#include "ServerIds.h"
#include "ServerModule.h"
#include "VersionInfo.h"
#include "resource_server.h"

namespace {
// The platform's own text for a result code.
std::wstring SystemMessage(HRESULT hr) {
    LPWSTR buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text = length != 0 && buffer != nullptr ? std::wstring(buffer, length) : std::wstring();
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    return text;
}

void DeleteProductKey(const wchar_t* root, const std::wstring& company, const std::wstring& product) {
    // Empty names would point the deletion at the whole Software key.
    if (company.empty() || product.empty()) {
        return;
    }
    RegIO key;
    if (key.Open(std::wstring(root) + L"\\Software\\" + company, false)) {
        key.DeleteSubKey(product);
    }
}

void DeleteSubKeyOf(const wchar_t* parent, const wchar_t* name) {
    RegIO key;
    if (key.Open(parent, false)) {
        key.DeleteSubKey(name);
    }
}

// Clients in other processes reach the OPC interfaces through a proxy/stub.
// Where none is registered yet (a machine without other OPC software), the
// one beside the program is registered; one that is there is left alone, as
// other OPC servers' clients may rely on it.
void RegisterInterfaceProxyIfMissing() {
    wchar_t iid[40];
    if (StringFromGUID2(IID_IOPCServer, iid, 40) == 0) {
        return;
    }
    RegIO key;
    if (key.Open(std::wstring(L"HKEY_CLASSES_ROOT\\Interface\\") + iid + L"\\ProxyStubClsid32", true)) {
        return;
    }
    const std::wstring proxy = GetProgramDirectory() + kInterfaceProxyFile;
    if (!FileExists(proxy)) {
        return;
    }
    if (HMODULE module = LoadLibraryW(proxy.c_str())) {
        using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
        if (auto registerProxy = reinterpret_cast<RegisterFunction>(GetProcAddress(module, "DllRegisterServer"))) {
            registerProxy();
        }
        FreeLibrary(module);
    }
}

// The command that once removed the file, as the log has always shown it.
std::wstring DeleteCommandText(const std::wstring& path) { return L"Del /Q /F \"" + path + L"\""; }
}  // namespace

HRESULT RegisterServer(const ServerModule& module) {
    theEventLog << L"Registering server" << EventLog::EndEntry;
    ScriptRegistrar registrar(GetModulePath());
    HRESULT hr = registrar.Register(IDR_SERVER_APPID);
    if (SUCCEEDED(hr)) {
        hr = registrar.Register(module.RegistryScript());
        if (FAILED(hr)) {
            AppMessageBox(SystemMessage(hr), MB_OK | MB_ICONSTOP, L"COM Error");
        }
    }
    if (SUCCEEDED(hr)) {
        RegisterInterfaceProxyIfMissing();
    }
    theSettings.Save();
    return hr;
}

HRESULT UnregisterServer(const ServerModule& module) {
    theEventLog << L"Un-Registering server" << EventLog::EndEntry;
    HRESULT hr = S_OK;
    {
        ScriptRegistrar registrar(GetModulePath());
        hr = registrar.Unregister(IDR_SERVER_APPID);
        if (SUCCEEDED(hr)) {
            hr = registrar.Unregister(module.RegistryScript());
        }
    }
    const std::wstring company = GetCompanyName();
    const std::wstring product = GetProductName();
    DeleteProductKey(L"HKEY_LOCAL_MACHINE", company, product);
    DeleteProductKey(L"HKEY_CURRENT_USER", company, product);
    DeleteSubKeyOf(L"HKEY_CLASSES_ROOT\\CLSID", kServerClsidText);
    DeleteSubKeyOf(L"HKEY_CLASSES_ROOT", kServerProgId);
    theEventLog << L"Application registry entries removed." << EventLog::EndEntry;

    const std::wstring lastUsedFile = theSettings.GetLastUsedFile();
    if (FileExists(lastUsedFile)) {
        theEventLog << DeleteCommandText(lastUsedFile) << EventLog::EndEntry;
        DeleteFileW(lastUsedFile.c_str());
    }
    const std::wstring eventLogFile = theSettings.GetEventLogFile();
    if (FileExists(eventLogFile)) {
        theEventLog << DeleteCommandText(eventLogFile) << EventLog::EndEntry;
        theEventLog.Close();
        DeleteFileW(eventLogFile.c_str());
    }
    return hr;
}
