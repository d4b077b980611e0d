#include "DataCallbackSink.h"

namespace {
HRESULT Deliver(const DataCallbackSink::Handler& handler, DWORD transaction, OPCHANDLE group, HRESULT masterError,
                DWORD count, const OPCHANDLE* handles, const VARIANT* values, const WORD* qualities,
                const FILETIME* times, const HRESULT* errors) {
    if (!handler) return S_OK;
    if (count != 0 &&
        (handles == nullptr || values == nullptr || qualities == nullptr || times == nullptr || errors == nullptr)) {
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

STDMETHODIMP DataCallbackSink::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT hrMastererror,
                                            DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues,
                                            WORD* pwQualities, FILETIME* pftTimeStamps, HRESULT* pErrors) {
    return Deliver(m_onDataChange, dwTransid, hGroup, hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
                   pftTimeStamps, pErrors);
}

STDMETHODIMP DataCallbackSink::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT hrMastererror,
                                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues,
                                              WORD* pwQualities, FILETIME* pftTimeStamps, HRESULT* pErrors) {
    return Deliver(m_onReadComplete, dwTransid, hGroup, hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
                   pftTimeStamps, pErrors);
}
