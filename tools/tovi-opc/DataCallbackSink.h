#pragma once
// The OPC DA 2.0 callback sink of a group: each OnDataChange or
// OnReadComplete becomes a DataStream for a handler, on whatever thread the
// server's call arrives.
#include <windows.h>
#include <functional>

#include "ComObject.h"
#include "DataStream.h"
#include "OpcDa.h"

class DataCallbackSink final : public ComObject<IOPCDataCallback> {
public:
    using Handler = std::function<void(const DataStream&)>;

    // Either handler may be empty: those calls are then answered and dropped.
    DataCallbackSink(Handler onDataChange, Handler onReadComplete)
        : ComObject(1), m_onDataChange(std::move(onDataChange)), m_onReadComplete(std::move(onReadComplete)) {}

    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    ~DataCallbackSink() override = default;
    Handler m_onDataChange;
    Handler m_onReadComplete;
};
