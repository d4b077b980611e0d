#include "EnumSnapshot.h"

#include <new>

#include "ClientObjects.h"
#include "TaskMem.h"

namespace {
// A copy the client owns; false when memory ran out.
bool CopyOut(const std::wstring& from, LPOLESTR& to) {
    to = TaskStrDup(from);
    return to != nullptr;
}
template <class I>
bool CopyOut(const Microsoft::WRL::ComPtr<I>& from, I*& to) {
    to = from.Get();
    to->AddRef();
    return true;
}
bool CopyOut(const ConnectionEnumTraits::Stored& from, CONNECTDATA& to) {
    to.pUnk = from.sink.Get();
    to.pUnk->AddRef();
    to.dwCookie = from.cookie;
    return true;
}

bool CopyOut(const StatDataEnumTraits::Stored& from, STATDATA& to) {
    to.formatetc = from.format;
    to.formatetc.ptd = nullptr;
    to.advf = from.advf;
    to.pAdvSink = from.sink.Get();
    if (to.pAdvSink != nullptr) to.pAdvSink->AddRef();
    to.dwConnection = from.cookie;
    return true;
}

void FreeOut(LPOLESTR& element) {
    CoTaskMemFree(element);
    element = nullptr;
}
template <class I>
void FreeOut(I*& element) {
    element->Release();
    element = nullptr;
}
void FreeOut(STATDATA& element) {
    if (element.pAdvSink != nullptr) element.pAdvSink->Release();
    element = STATDATA{};
}
void FreeOut(CONNECTDATA& element) {
    element.pUnk->Release();
    element = CONNECTDATA{};
}
}  // namespace

template <class Traits>
HRESULT EnumSnapshot<Traits>::Create(std::vector<Stored> entries, Interface** ppEnum, Refill refill) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    EnumSnapshot* enumerator = nullptr;
    try {
        enumerator = new EnumSnapshot(std::move(entries), std::move(refill), 0);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    enumerator->AddRef();
    *ppEnum = enumerator;
    return S_OK;
}

template <class Traits>
EnumSnapshot<Traits>::EnumSnapshot(std::vector<Stored> entries, Refill refill, size_t index)
    : ComObject<Interface>(0), m_entries(std::move(entries)), m_refill(std::move(refill)), m_index(index) {
    PostClientObjectMessage(true);
}

template <class Traits>
EnumSnapshot<Traits>::~EnumSnapshot() {
    PostClientObjectMessage(false);
}

template <class Traits>
STDMETHODIMP EnumSnapshot<Traits>::Next(ULONG celt, Element* rgelt, ULONG* pceltFetched) {
    if (pceltFetched != nullptr) *pceltFetched = 0;
    if (rgelt == nullptr) return E_INVALIDARG;
    ScopedLock guard(m_lock);
    ULONG fetched = 0;
    while (fetched < celt && m_index < m_entries.size()) {
        if (!CopyOut(m_entries[m_index], rgelt[fetched])) {
            // All or nothing: the client never frees the results of a failed call.
            for (ULONG i = 0; i < fetched; ++i) FreeOut(rgelt[i]);
            m_index -= fetched;
            return E_OUTOFMEMORY;
        }
        ++fetched;
        ++m_index;
    }
    if (pceltFetched != nullptr) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

template <class Traits>
STDMETHODIMP EnumSnapshot<Traits>::Skip(ULONG celt) {
    ScopedLock guard(m_lock);
    const size_t remaining = m_entries.size() - m_index;
    if (celt > remaining) {
        m_index = m_entries.size();
        return S_FALSE;
    }
    m_index += celt;
    return S_OK;
}

template <class Traits>
STDMETHODIMP EnumSnapshot<Traits>::Reset() {
    ScopedLock guard(m_lock);
    m_index = 0;
    return S_OK;
}

template <class Traits>
STDMETHODIMP EnumSnapshot<Traits>::Clone(Interface** ppEnum) {
    if (ppEnum == nullptr) return E_INVALIDARG;
    *ppEnum = nullptr;
    if (m_refill) return m_refill(ppEnum);
    EnumSnapshot* clone = nullptr;
    try {
        ScopedLock guard(m_lock);
        clone = new EnumSnapshot(m_entries, m_refill, m_index);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    clone->AddRef();
    *ppEnum = clone;
    return S_OK;
}

template class EnumSnapshot<StringEnumTraits>;
template class EnumSnapshot<UnknownEnumTraits>;
template class EnumSnapshot<ConnectionEnumTraits>;
template class EnumSnapshot<ConnectionPointEnumTraits>;
template class EnumSnapshot<StatDataEnumTraits>;
