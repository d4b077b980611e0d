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

CEnumItemAttributes::CEnumItemAttributes(OPCGroup* group) : ComObject(0), m_group(group) {
    m_group->AddRef();
    PostClientObjectMessage(true);
}

CEnumItemAttributes::~CEnumItemAttributes() {
    m_group->Release();
    PostClientObjectMessage(false);
}

STDMETHODIMP CEnumItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
    if (ppItemArray == nullptr) return E_INVALIDARG;
    *ppItemArray = nullptr;
    if (pceltFetched != nullptr) *pceltFetched = 0;
    ScopedLock guard(m_lock);
    // No more records than the group has items: a huge count asks for nothing impossible.
    const ULONG room = static_cast<ULONG>(std::min<size_t>(celt, m_group->ItemCount()));
    TaskMemPtr<OPCITEMATTRIBUTES> records(TaskAllocArray<OPCITEMATTRIBUTES>(room));
    if (!records) return E_OUTOFMEMORY;
    ULONG filled = 0;
    while (filled < room) {
        OPCHANDLE handle = 0;
        if (!m_group->NextItemAttributes(m_position, records.get()[filled], handle)) break;
        m_position = handle;
        ++filled;
    }
    if (pceltFetched != nullptr) *pceltFetched = filled;
    *ppItemArray = records.release();
    return filled == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumItemAttributes::Skip(ULONG celt) {
    ScopedLock guard(m_lock);
    for (ULONG skipped = 0; skipped < celt; ++skipped) {
        const OPCHANDLE next = m_group->NextItemHandle(m_position);
        if (next == 0) return S_FALSE;
        m_position = next;
    }
    return S_OK;
}

STDMETHODIMP CEnumItemAttributes::Reset() {
    ScopedLock guard(m_lock);
    m_position = 0;
    return S_OK;
}

STDMETHODIMP CEnumItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    if (ppEnumItemAttributes == nullptr) return E_INVALIDARG;
    return Create(m_group, IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnumItemAttributes));
}
