#pragma once
// The 1.0a client's advise sink: keeps the arrival time and header of every
// data-change or completion stream.
// A member of the benchmark's main: it outlives every call.
#include <objidl.h>

#include "ArrivalLog.h"
#include "ComObject.h"

class CountingSink final : public ComHeld<IAdviseSink>, public ArrivalLog {
public:
    CountingSink() : ComHeld(1) {}
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
};
