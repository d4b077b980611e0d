#include "CEnumItemAttributes.h"

#include <algorithm>
#include <new>

#include "ClientObjects.h"
#include "OPCGroup.h"
#include "TaskMem.h"

HRESULT CEnumItemAttributes::Create(OPCGroup* group, REFIID riid, void** ppv) {
    *ppv = nullptr;
    auto* enumerator = new (std::nothrow) CEnumItemAttributes(group);
    if (enumerator == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = enumerator->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete enumerator;
    return hr;
}

CEnumItemAttributes::CEnumItemAttributes(OPCGroup* group) : ComObject(0), group_(group) {
    group_->AddRef();
    PostClientObjectMessage(true);
}

CEnumItemAttributes::~CEnumItemAttributes() {
    group_->Release();
    PostClientObjectMessage(false);
}

STDMETHODIMP CEnumItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
    if (ppItemArray == nullptr) return E_INVALIDARG;
    *ppItemArray = nullptr;
    if (pceltFetched != nullptr) *pceltFetched = 0;
    ScopedLock guard(lock_);
    // No more records than the group has items: a huge count asks for nothing impossible.
    const ULONG room = static_cast<ULONG>(std::min<size_t>(celt, group_->ItemCount()));
    TaskMemPtr<OPCITEMATTRIBUTES> records(TaskAllocArray<OPCITEMATTRIBUTES>(room));
    if (!records) return E_OUTOFMEMORY;
    ULONG filled = 0;
    while (filled < room) {
        OPCHANDLE handle = 0;
        if (!group_->NextItemAttributes(position_, records.get()[filled], handle)) break;
        position_ = handle;
        ++filled;
    }
    if (pceltFetched != nullptr) *pceltFetched = filled;
    *ppItemArray = records.release();
    return filled == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumItemAttributes::Skip(ULONG celt) {
    ScopedLock guard(lock_);
    for (ULONG skipped = 0; skipped < celt; ++skipped) {
        const OPCHANDLE next = group_->NextItemHandle(position_);
        if (next == 0) return S_FALSE;
        position_ = next;
    }
    return S_OK;
}

STDMETHODIMP CEnumItemAttributes::Reset() {
    ScopedLock guard(lock_);
    position_ = 0;
    return S_OK;
}

STDMETHODIMP CEnumItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    if (ppEnumItemAttributes == nullptr) return E_INVALIDARG;
    return Create(group_, IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnumItemAttributes));
}
