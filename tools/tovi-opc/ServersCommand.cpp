// tovi-opc servers: the OPC Data Access servers that the machine's component
// categories list.
#include <windows.h>
#include <comcat.h>
#include <wrl/client.h>
#include <map>
#include <string>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "Text.h"

using Microsoft::WRL::ComPtr;

namespace {
struct Category {
    CLSID id;
    const char* name;
};
// OPC Data Access servers 1.0, 2.0 and 3.0.
const Category kCategories[] = {
    {{0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}}, "DA 1.0"},
    {{0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}}, "DA 2.0"},
    {{0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}}, "DA 3.0"},
};

std::wstring RegistryText(const std::wstring& key, const wchar_t* value) {
    wchar_t buffer[512];
    DWORD bytes = sizeof buffer;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS) {
        return {};
    }
    return buffer;
}

std::wstring GuidText(const GUID& id) {
    wchar_t text[40] = {};
    StringFromGUID2(id, text, 40);
    return text;
}

// The vendor text a server leaves beside its ProgID, or its class's description.
std::wstring VendorText(const std::wstring& progId, const CLSID& clsid) {
    std::wstring vendor;
    if (!progId.empty()) {
        vendor = RegistryText(progId + L"\\OPC", L"Vendor");
        if (vendor.empty()) vendor = RegistryText(progId + L"\\OPC\\Vendor", nullptr);
    }
    if (vendor.empty()) vendor = RegistryText(L"CLSID\\" + GuidText(clsid), nullptr);
    return vendor;
}
}  // namespace

int RunServers(const Arguments& args) {
    if (!args.words.empty()) {
        PrintError("servers takes no arguments (see tovi-opc servers --help)");
        return kExitUsage;
    }
    ComPtr<ICatInformation> categories;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                  reinterpret_cast<void**>(categories.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the component category manager is not available: " + ResultText(hr));
        return kExitFailed;
    }
    // A server registered in both categories is listed once, with both.
    std::map<std::wstring, std::pair<CLSID, std::string>> found;
    for (const Category& category : kCategories) {
        ComPtr<IEnumCLSID> classes;
        CATID id = category.id;
        hr = categories->EnumClassesOfCategories(1, &id, static_cast<ULONG>(-1), nullptr, classes.GetAddressOf());
        if (FAILED(hr) || !classes) continue;
        CLSID clsid;
        ULONG fetched = 0;
        while (classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
            auto& entry = found[GuidText(clsid)];
            entry.first = clsid;
            entry.second += entry.second.empty() ? category.name : std::string(", ") + category.name;
        }
    }
    for (const auto& [text, entry] : found) {
        LPOLESTR progId = nullptr;
        std::wstring name;
        if (SUCCEEDED(ProgIDFromCLSID(entry.first, &progId)) && progId != nullptr) name = progId;
        CoTaskMemFree(progId);
        PrintLine(ToUtf8(name.empty() ? L"(no ProgID)" : name) + "  " + ToUtf8(text) + "  " +
                  ToUtf8(VendorText(name, entry.first)) + "  (" + entry.second + ")");
    }
    if (found.empty()) PrintLine("No OPC Data Access servers are registered.");
    return kExitOk;
}
