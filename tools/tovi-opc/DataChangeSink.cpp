#include "DataChangeSink.h"

STDMETHODIMP DataChangeSink::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
        *ppv = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DataChangeSink::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) DataChangeSink::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP_(void) DataChangeSink::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
    // Only the subscribed format; the medium belongs to the caller.
    if (format == nullptr || medium == nullptr || format->cfFormat != format_ || medium->tymed != TYMED_HGLOBAL) {
        return;
    }
    DataStream stream;
    std::string why;
    if (ParseDataStream(medium->hGlobal, true, stream, &why)) {
        handler_(stream);
    } else {
        failure_(why);
    }
}
