#include "DataCallbackSink.h"

#include <cmath>

STDMETHODIMP DataCallbackSink::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount,
                                            OPCHANDLE*, VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) {
    Keep(Delivery::kDataChange, dwTransid, hGroup, dwCount, pvValues);
    return S_OK;
}

STDMETHODIMP DataCallbackSink::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount,
                                              OPCHANDLE*, VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) {
    Keep(Delivery::kReadComplete, dwTransid, hGroup, dwCount, pvValues);
    return S_OK;
}

void DataCallbackSink::Keep(Delivery kind, DWORD transaction, OPCHANDLE group, DWORD count, const VARIANT* values) {
    const double ms = NowMs();
    const double first = count > 0 && values != nullptr && V_VT(&values[0]) == VT_R8 ? V_R8(&values[0]) : NAN;
    Record({ms, kind, 0, count, group, transaction, first});
}
