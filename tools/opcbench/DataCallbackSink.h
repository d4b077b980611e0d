#pragma once
// The 2.0 client's IOPCDataCallback: keeps the arrival time, kind, group,
// transaction and item count of every data change and read completion. The
// echo's callback shape of the same methods reaches the same code. A member
// of the benchmark's main: it outlives every call.
#include "ArrivalLog.h"
#include "ComObject.h"
#include "EchoShapes.h"

class DataCallbackSink final : public ComHeld<IOPCDataCallback, IDataCallbackShape>, public ArrivalLog {
public:
    DataCallbackSink() : ComHeld(1) {}
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                              VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) override;
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                                VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) override;
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    void Keep(Delivery kind, DWORD transaction, OPCHANDLE group, DWORD count, const VARIANT* values);
};
