#include "FakeEnumerators.h"

#include "TaskMem.h"

STDMETHODIMP FakeStringEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
    ULONG fetched = 0;
    while (fetched < celt && next_ < names_.size()) {
        rgelt[fetched++] = TaskStrDup(names_[next_++]);
    }
    if (pceltFetched != nullptr) {
        *pceltFetched = fetched;
    }
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP FakeStringEnumerator::Skip(ULONG celt) {
    const size_t left = names_.size() - next_;
    next_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
}

STDMETHODIMP FakeStringEnumerator::Reset() {
    next_ = 0;
    return S_OK;
}

STDMETHODIMP FakeStringEnumerator::Clone(IEnumString** ppenum) {
    return HandOut(new FakeStringEnumerator(names_), IID_IEnumString, reinterpret_cast<void**>(ppenum));
}

void FakeItemEnumerator::Fill(ULONG index, OPCITEMATTRIBUTES& record) {
    VariantInit(&record.vEUInfo);
    if (index == 0) {
        record.szAccessPath = TaskStrDup(L"");
        record.szItemID = TaskStrDup(L"Pumpe1.Durchfluss");
        record.bActive = TRUE;
        record.hClient = 11;
        record.hServer = 101;
        record.dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
        record.dwBlobSize = 3;
        record.pBlob = TaskAllocArray<BYTE>(3);
        record.pBlob[0] = 0xB0;
        record.pBlob[1] = 0x0B;
        record.pBlob[2] = 0x00;
        record.vtRequestedDataType = VT_R4;
        record.vtCanonicalDataType = VT_R8;
        record.dwEUType = OPC_ANALOG;
        if (SAFEARRAY* range = SafeArrayCreateVector(VT_R8, 0, 2)) {
            static_cast<double*>(range->pvData)[0] = 10.0;
            static_cast<double*>(range->pvData)[1] = 90.0;
            V_VT(&record.vEUInfo) = VT_ARRAY | VT_R8;
            V_ARRAY(&record.vEUInfo) = range;
        }
    } else {
        record.szAccessPath = nullptr;
        record.szItemID = TaskStrDup(L"Pumpe1.Zustand");
        record.bActive = FALSE;
        record.hClient = 12;
        record.hServer = 102;
        record.dwAccessRights = OPC_READABLE;
        record.vtRequestedDataType = VT_EMPTY;
        record.vtCanonicalDataType = VT_BSTR;
        record.dwEUType = OPC_NOENUM;
    }
}

STDMETHODIMP FakeItemEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
    *ppItemArray = TaskAllocArray<OPCITEMATTRIBUTES>(celt);
    if (*ppItemArray == nullptr) {
        return E_OUTOFMEMORY;
    }
    ULONG fetched = 0;
    while (fetched < celt && next_ < ItemCount) {
        Fill(next_++, (*ppItemArray)[fetched++]);
    }
    *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP FakeItemEnumerator::Skip(ULONG celt) {
    const ULONG left = ItemCount - next_;
    next_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
}

STDMETHODIMP FakeItemEnumerator::Reset() {
    next_ = 0;
    return S_OK;
}

STDMETHODIMP FakeItemEnumerator::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    return HandOut(new FakeItemEnumerator, IID_IEnumOPCItemAttributes,
                   reinterpret_cast<void**>(ppEnumItemAttributes));
}
