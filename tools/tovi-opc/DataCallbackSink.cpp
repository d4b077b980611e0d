#include "DataCallbackSink.h"

namespace {
HRESULT Deliver(const DataCallbackSink::Handler& handler, DWORD transaction, OPCHANDLE group, HRESULT masterError,
                DWORD count, const OPCHANDLE* handles, const VARIANT* values, const WORD* qualities,
                const FILETIME* times, const HRESULT* errors) {
    if (!handler) return S_OK;
    if (count != 0 && (handles == nullptr || values == nullptr || qualities == nullptr || times == nullptr ||
                       errors == nullptr)) {
        return E_INVALIDARG;
    }
    DataStream stream;
    stream.groupClientHandle = group;
    stream.transactionId = transaction;
    stream.status = masterError;
    stream.items.resize(count);
    for (DWORD i = 0; i < count; ++i) {
        StreamItem& item = stream.items[i];
        item.clientHandle = handles[i];
        item.quality = qualities[i];
        item.timestamp = times[i];
        item.error = errors[i];
        // The arrays stay the caller's.
        if (FAILED(item.error) || FAILED(VariantCopy(&item.value, const_cast<VARIANT*>(&values[i])))) {
            VariantClear(&item.value);
        }
    }
    handler(stream);
    return S_OK;
}
}  // namespace

STDMETHODIMP DataCallbackSink::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
        *ppv = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DataCallbackSink::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) DataCallbackSink::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP DataCallbackSink::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT hrMastererror,
                                            DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues,
                                            WORD* pwQualities, FILETIME* pftTimeStamps, HRESULT* pErrors) {
    return Deliver(onDataChange_, dwTransid, hGroup, hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
                   pftTimeStamps, pErrors);
}

STDMETHODIMP DataCallbackSink::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT hrMastererror,
                                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues,
                                              WORD* pwQualities, FILETIME* pftTimeStamps, HRESULT* pErrors) {
    return Deliver(onReadComplete_, dwTransid, hGroup, hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
                   pftTimeStamps, pErrors);
}
