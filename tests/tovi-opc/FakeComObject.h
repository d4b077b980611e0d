#pragma once
// Reference counting and QueryInterface for the test objects behind the proxies:
// exactly IUnknown and the listed interfaces are answered.
#include <windows.h>
#include <objbase.h>

template <class First, class... Rest>
class FakeComObject : public First, public Rest... {
public:
    FakeComObject() = default;
    FakeComObject(const FakeComObject&) = delete;
    FakeComObject& operator=(const FakeComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == __uuidof(First)) {
            *ppv = static_cast<First*>(this);
        } else {
            (void)((riid == __uuidof(Rest) && (*ppv = static_cast<Rest*>(this)) != nullptr) || ...);
        }
        if (*ppv == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~FakeComObject() = default;

private:
    LONG refs_ = 1;
};

// Hands a new object's interface to a caller: *ppv gets the reference for riid,
// the creation reference is dropped.
template <class T>
HRESULT HandOut(T* object, REFIID riid, void** ppv) {
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}
