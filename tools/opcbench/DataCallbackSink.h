#pragma once
// The 2.0 client's IOPCDataCallback: keeps the arrival time, kind, group,
// transaction and item count of every data change and read completion. The
// echo's callback shape of the same methods reaches the same code.
#include "Arrivals.h"
#include "EchoShapes.h"

class DataCallbackSink final : public IOPCDataCallback, public IDataCallbackShape, public ArrivalLog {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // A member of the benchmark's main: it outlives every call.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                              VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) override;
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                                VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) override;
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    void Keep(Delivery kind, DWORD transaction, OPCHANDLE group, DWORD count, const VARIANT* values);
};
