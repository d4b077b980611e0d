#include "Subscription.h"

#include "DataCallbackSink.h"
#include "DataChangeSink.h"
#include "ErrorText.h"
#include "OpcConstants.h"
#include "OpcDa.h"

namespace {
// The transaction of the refresh that gives a new callback the current values.
constexpr DWORD kFirstRefresh = 1;
}  // namespace

HRESULT Subscription::Start(IUnknown* group, DaVersion version, Handler handler, Failure failure, std::string* why) {
    Stop();
    HRESULT hr = S_OK;
    if (version != DaVersion::V1) {
        auto* sink = new DataCallbackSink(handler, nullptr);
        hr = m_callback.Connect(group, sink);
        sink->Release();
        if (SUCCEEDED(hr)) {
            m_used = DaVersion::V2;
            // Not every server sends a new connection the items' values at once;
            // a refresh makes sure it gets them (a value seen twice prints once).
            Microsoft::WRL::ComPtr<IOPCAsyncIO2> io;
            DWORD cancel = 0;
            if (SUCCEEDED(group->QueryInterface(IID_IOPCAsyncIO2, reinterpret_cast<void**>(io.GetAddressOf())))) {
                io->Refresh2(OPC_DS_CACHE, kFirstRefresh, &cancel);
            }
            return S_OK;
        }
        if (IsConnectionLost(hr)) {
            *why = ResultText(hr);
            return hr;
        }
        if (version == DaVersion::V2) {
            *why = "the group has no data callback (IOPCDataCallback, OPC DA 2.0): " + ResultText(hr);
            return hr;
        }
    }
    hr = group->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(m_data.GetAddressOf()));
    if (FAILED(hr)) {
        *why = "the group offers no subscription: " + ResultText(hr);
        return hr;
    }
    const UINT format = RegisterClipboardFormatW(OPC_STREAM_FORMAT_DATATIME);
    auto* sink = new DataChangeSink(format, std::move(handler), std::move(failure));
    FORMATETC formatEtc{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    // advf 0: with ADVF_NODATA the holder would send empty media.
    hr = m_data->DAdvise(&formatEtc, 0, sink, &m_connection);
    sink->Release();
    if (FAILED(hr)) {
        m_data.Reset();
        *why = "the subscription was refused: " + ResultText(hr);
        return hr;
    }
    m_used = DaVersion::V1;
    return S_OK;
}

void Subscription::Stop() {
    m_callback.Disconnect();
    if (m_data) m_data->DUnadvise(m_connection);
    m_data.Reset();
    m_used = DaVersion::Any;
}

void Subscription::Abandon() {
    m_callback.Abandon();
    m_data.Detach();  // a proxy whose server is gone: releasing it could wait on the dead peer
    m_used = DaVersion::Any;
}
