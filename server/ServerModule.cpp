#include "ServerModule.h"

#include <utility>

#include "resource_server.h"

bool ServerModule::Init(ServerObjectCreator creator) {
    if (m_factory == nullptr) {
        m_factory = ServerClassFactory::Create(std::move(creator));
    }
    return m_factory != nullptr;
}

void ServerModule::Term() {
    RevokeClassObject();
    if (m_factory != nullptr) {
        m_factory->Release();
        m_factory = nullptr;
    }
}

UINT ServerModule::RegistryScript() const noexcept { return IDR_SERVER_CLASS; }

IClassFactory* ServerModule::GetClassObject() const noexcept {
    if (m_factory != nullptr) {
        m_factory->AddRef();
    }
    return m_factory;
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
        m_cookie = cookie;
    }
    return hr;
}

void ServerModule::RevokeClassObject() noexcept {
    if (m_cookie != 0) {
        CoRevokeClassObject(m_cookie);
        m_cookie = 0;
    }
}
