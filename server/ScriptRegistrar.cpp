#include "ScriptRegistrar.h"

#include <vector>

#include "ServerIds.h"

ScriptRegistrar::ScriptRegistrar(std::wstring modulePath) : modulePath_(std::move(modulePath)) {}

ScriptRegistrar::~ScriptRegistrar() {
    if (registrar_ != nullptr) {
        registrar_->Release();
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
    if (prepared_) {
        return prepareResult_;
    }
    prepared_ = true;
    HRESULT hr = CoCreateInstance(CLSID_PlatformRegistrar, nullptr, CLSCTX_INPROC_SERVER, IID_PlatformIRegistrar,
                                  reinterpret_cast<void**>(&registrar_));
    if (SUCCEEDED(hr)) {
        const std::wstring module = ModuleReplacement(modulePath_);
        hr = registrar_->AddReplacement(L"MODULE", module.c_str());
        if (SUCCEEDED(hr)) hr = registrar_->AddReplacement(L"CLSID", kServerClsidText);
        if (SUCCEEDED(hr)) hr = registrar_->AddReplacement(L"APPID", kServerClsidText);
    }
    prepareResult_ = hr;
    return hr;
}

HRESULT ScriptRegistrar::Register(UINT scriptId) {
    const HRESULT hr = Prepare();
    return FAILED(hr) ? hr : registrar_->ResourceRegister(modulePath_.c_str(), scriptId, L"REGISTRY");
}

HRESULT ScriptRegistrar::Unregister(UINT scriptId) {
    const HRESULT hr = Prepare();
    return FAILED(hr) ? hr : registrar_->ResourceUnregister(modulePath_.c_str(), scriptId, L"REGISTRY");
}
