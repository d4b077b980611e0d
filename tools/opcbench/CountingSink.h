#pragma once
// The 1.0a client's advise sink: keeps the arrival time and header of every
// data-change or completion stream.
#include <objidl.h>

#include "Arrivals.h"

class CountingSink final : public IAdviseSink, public ArrivalLog {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // A member of the benchmark's main: it outlives every call.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
};
