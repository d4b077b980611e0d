#pragma once
// The test objects behind the proxies: exactly IUnknown and the listed
// interfaces are answered; made with one reference.
#include <windows.h>
#include <objbase.h>

#include "ComObject.h"

template <class First, class... Rest>
class FakeComObject : public ComObject<First, Rest...> {
protected:
    FakeComObject() : ComObject<First, Rest...>(1) {}
};

// Hands a new object's interface to a caller: *ppv gets the reference for riid,
// the creation reference is dropped.
template <class T>
HRESULT HandOut(T* object, REFIID riid, void** ppv) {
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}
