#include "ServerModule.h"

#include <utility>

#include "resource_server.h"

bool ServerModule::Init(ServerObjectCreator creator) {
    if (factory_ == nullptr) {
        factory_ = ServerClassFactory::Create(std::move(creator));
    }
    return factory_ != nullptr;
}

void ServerModule::Term() {
    RevokeClassObject();
    if (factory_ != nullptr) {
        factory_->Release();
        factory_ = nullptr;
    }
}

UINT ServerModule::RegistryScript() const noexcept { return IDR_SERVER_CLASS; }

IClassFactory* ServerModule::GetClassObject() const noexcept {
    if (factory_ != nullptr) {
        factory_->AddRef();
    }
    return factory_;
}

HRESULT ServerModule::RegisterClassObject() {
    IClassFactory* factory = GetClassObject();
    if (factory == nullptr) {
        return E_UNEXPECTED;
    }
    DWORD cookie = 0;
    const HRESULT hr = CoRegisterClassObject(Clsid(), factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();  // COM keeps its own reference while registered
    if (SUCCEEDED(hr)) {
        cookie_ = cookie;
    }
    return hr;
}

void ServerModule::RevokeClassObject() noexcept {
    if (cookie_ != 0) {
        CoRevokeClassObject(cookie_);
        cookie_ = 0;
    }
}
