#pragma once
// The advise sink of a watch: parses each data-change stream and hands its
// items to a callback, on whatever thread the server's call arrives.
#include <windows.h>
#include <objidl.h>
#include <functional>
#include <string>

#include "ComObject.h"
#include "DataStream.h"

class DataChangeSink final : public ComObject<IAdviseSink> {
public:
    using Handler = std::function<void(const DataStream&)>;
    using Failure = std::function<void(const std::string&)>;

    DataChangeSink(UINT dataTimeFormat, Handler handler, Failure failure)
        : ComObject(1), m_format(dataTimeFormat), m_handler(std::move(handler)), m_failure(std::move(failure)) {}

    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

private:
    ~DataChangeSink() override = default;
    UINT m_format;
    Handler m_handler;
    Failure m_failure;
};
