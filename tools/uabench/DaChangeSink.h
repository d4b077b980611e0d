#pragma once
// The sustained benchmark's DA 2.0 client: an IOPCDataCallback that hands
// every item of every data change, by its client handle, to the tally. A
// member of the benchmark's main: it outlives every call.
#include <windows.h>

#include <atomic>

#include "ComObject.h"
#include "CountSteps.h"
#include "OpcDa.h"

class DaChangeSink final : public ComHeld<IOPCDataCallback> {
public:
    explicit DaChangeSink(CountSteps& steps) : ComHeld(1), m_steps(steps) {}
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD*, FILETIME* pftTimeStamps, HRESULT*) override;
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    // Callbacks received, of any size.
    unsigned long Calls() const noexcept { return m_calls.load(); }

private:
    CountSteps& m_steps;
    std::atomic<unsigned long> m_calls{0};
};

// A counter's value as a number (a Boolean's true is 1); false when it has none.
bool CounterValue(const VARIANT& value, double& number, bool& isBool);
