#include "ServerClassFactory.h"

#include <new>
#include <utility>

#include "ClientObjects.h"

ServerClassFactory* ServerClassFactory::Create(ServerObjectCreator creator) {
    return new (std::nothrow) ServerClassFactory(std::move(creator));
}

STDMETHODIMP ServerClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    // A process that is ending with its last client takes no new one: the
    // class object is withdrawn by then, and the client's next request starts
    // a fresh process.
    if (!AdmitClientObject()) {
        return CO_E_SERVER_STOPPING;
    }
    struct Admission {
        ~Admission() { EndAdmission(); }
    } admission;
    IUnknown* object = nullptr;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        hr = m_creator != nullptr ? m_creator(&object) : E_UNEXPECTED;
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    if (FAILED(hr) || object == nullptr) {
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    PostClientObjectMessage(true);
    hr = object->QueryInterface(riid, ppv);
    // On success the client's reference is the only one left; on failure
    // this destroys the object, which posts "one fewer".
    object->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}

STDMETHODIMP ServerClassFactory::LockServer(BOOL lock) {
    PostClientObjectMessage(lock != FALSE);
    return S_OK;
}
