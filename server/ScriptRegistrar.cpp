#include "ScriptRegistrar.h"

#include <vector>

#include "ServerIds.h"

ScriptRegistrar::ScriptRegistrar(std::wstring modulePath) : m_modulePath(std::move(modulePath)) {}

ScriptRegistrar::~ScriptRegistrar() {
    if (m_registrar != nullptr) {
        m_registrar->Release();
    }
}

std::wstring ScriptRegistrar::ModuleReplacement(const std::wstring& modulePath) {
    std::wstring path = modulePath;
    const DWORD needed = GetShortPathNameW(modulePath.c_str(), nullptr, 0);
    if (needed != 0) {
        std::vector<wchar_t> buffer(needed + 1);
        const DWORD written = GetShortPathNameW(modulePath.c_str(), buffer.data(), needed + 1);
        if (written != 0 && written <= needed) {
            path.assign(buffer.data(), written);
        }
    }
    if (path.find(L' ') != std::wstring::npos) {
        path = L"\"" + path + L"\"";
    }
    return path;
}

HRESULT ScriptRegistrar::Prepare() {
    if (m_prepared) {
        return m_prepareResult;
    }
    m_prepared = true;
    HRESULT hr = CoCreateInstance(CLSID_PlatformRegistrar, nullptr, CLSCTX_INPROC_SERVER, IID_PlatformIRegistrar,
                                  reinterpret_cast<void**>(&m_registrar));
    if (SUCCEEDED(hr)) {
        const std::wstring module = ModuleReplacement(m_modulePath);
        hr = m_registrar->AddReplacement(L"MODULE", module.c_str());
        if (SUCCEEDED(hr)) hr = m_registrar->AddReplacement(L"CLSID", kServerClsidText);
        if (SUCCEEDED(hr)) hr = m_registrar->AddReplacement(L"APPID", kServerClsidText);
    }
    m_prepareResult = hr;
    return hr;
}

HRESULT ScriptRegistrar::Register(UINT scriptId) {
    const HRESULT hr = Prepare();
    return FAILED(hr) ? hr : m_registrar->ResourceRegister(m_modulePath.c_str(), scriptId, L"REGISTRY");
}

HRESULT ScriptRegistrar::Unregister(UINT scriptId) {
    const HRESULT hr = Prepare();
    return FAILED(hr) ? hr : m_registrar->ResourceUnregister(m_modulePath.c_str(), scriptId, L"REGISTRY");
}
