#include "ServerRegistration.h"

#include <comcat.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "EventLog.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "RegIO.h"
#include "ScriptRegistrar.h"
#include "ServerIds.h"
#include "ServerModule.h"
#include "Text.h"
#include "VersionInfo.h"
#include "resource_server.h"

namespace {
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
// The one beside the program registers itself, interface by interface, only
// where no other proxy serves an interface: other OPC products' clients may
// rely on theirs.
void RegisterInterfaceProxy() {
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

template <class Interface>
HRESULT CategoryManager(REFIID iid, Microsoft::WRL::ComPtr<Interface>& manager) {
    return CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, iid,
                            reinterpret_cast<void**>(manager.ReleaseAndGetAddressOf()));
}

// The command that once removed the file, as the log has always shown it.
std::wstring DeleteCommandText(const std::wstring& path) { return L"Del /Q /F \"" + path + L"\""; }
}  // namespace

const ComponentCategory kServerCategories[2] = {
    {kCategoryOpcDaServer10, L"OPC Data Access Servers Version 1.0"},
    {kCategoryOpcDaServer20, L"OPC Data Access Servers Version 2.0"},
};

const ComponentCategory kDa3Category = {kCategoryOpcDaServer30, L"OPC Data Access Servers Version 3.0"};

HRESULT RegisterCategories(std::span<const ComponentCategory> categories) {
    Microsoft::WRL::ComPtr<ICatRegister> manager;
    HRESULT hr = CategoryManager(IID_ICatRegister, manager);
    if (FAILED(hr)) {
        return hr;
    }
    std::vector<CATEGORYINFO> infos(categories.size());
    for (size_t i = 0; i < categories.size(); ++i) {
        infos[i].catid = categories[i].id;
        infos[i].lcid = 0x409;
        lstrcpynW(infos[i].szDescription, categories[i].description, ARRAYSIZE(infos[i].szDescription));
    }
    return manager->RegisterCategories(static_cast<ULONG>(infos.size()), infos.data());
}

bool CategoryInUse(REFGUID category, REFCLSID except) {
    Microsoft::WRL::ComPtr<ICatInformation> manager;
    Microsoft::WRL::ComPtr<IEnumGUID> classes;
    CATID wanted = category;
    // -1 required categories: whatever the classes require of their containers.
    if (FAILED(CategoryManager(IID_ICatInformation, manager)) ||
        FAILED(manager->EnumClassesOfCategories(1, &wanted, static_cast<ULONG>(-1), nullptr, &classes))) {
        return true;  // unknown: keep the key
    }
    CLSID clsid;
    ULONG fetched = 0;
    while (classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
        if (!IsEqualCLSID(clsid, except)) {
            return true;
        }
    }
    return false;
}

HRESULT UnregisterUnusedCategories(std::span<const ComponentCategory> categories, REFCLSID leaving) {
    std::vector<CATID> unused;
    for (const ComponentCategory& category : categories) {
        if (!CategoryInUse(category.id, leaving)) {
            unused.push_back(category.id);
        }
    }
    if (unused.empty()) {
        return S_OK;
    }
    Microsoft::WRL::ComPtr<ICatRegister> manager;
    HRESULT hr = CategoryManager(IID_ICatRegister, manager);
    return FAILED(hr) ? hr : manager->UnRegisterCategories(static_cast<ULONG>(unused.size()), unused.data());
}

HRESULT ApplyDa3Registration(bool offered) {
    RegIO classKey;
    if (!classKey.Open(std::wstring(L"HKEY_CLASSES_ROOT\\CLSID\\") + kServerClsidText, true)) return S_FALSE;
    Microsoft::WRL::ComPtr<ICatRegister> manager;
    HRESULT hr = CategoryManager(IID_ICatRegister, manager);
    if (FAILED(hr)) return hr;
    CATID category = kDa3Category.id;
    if (offered) {
        hr = RegisterCategories({&kDa3Category, 1});
        return SUCCEEDED(hr) ? manager->RegisterClassImplCategories(CLSID_ToviExplorerServer, 1, &category) : hr;
    }
    hr = manager->UnRegisterClassImplCategories(CLSID_ToviExplorerServer, 1, &category);
    const HRESULT unused = UnregisterUnusedCategories({&kDa3Category, 1}, CLSID_ToviExplorerServer);
    return FAILED(hr) ? hr : unused;
}

HRESULT RegisterServer(const ServerModule& module, bool offerDa3) {
    theEventLog << L"Registering server" << EventLog::EndEntry;
    ScriptRegistrar registrar(GetModulePath());
    HRESULT hr = registrar.Register(IDR_SERVER_APPID);
    if (SUCCEEDED(hr)) {
        hr = registrar.Register(module.RegistryScript());
        if (SUCCEEDED(hr)) {
            hr = RegisterCategories(kServerCategories);
        }
        if (SUCCEEDED(hr)) {
            hr = ApplyDa3Registration(offerDa3);
        }
        if (FAILED(hr)) {
            AppMessageBox(SystemMessage(static_cast<DWORD>(hr), true), MB_OK | MB_ICONSTOP, L"COM Error");
        }
    }
    if (SUCCEEDED(hr)) {
        RegisterInterfaceProxy();
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
    UnregisterUnusedCategories(kServerCategories, CLSID_ToviExplorerServer);
    UnregisterUnusedCategories({&kDa3Category, 1}, CLSID_ToviExplorerServer);
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
