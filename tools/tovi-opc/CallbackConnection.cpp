#include "CallbackConnection.h"

#include <olectl.h>

#include "OpcDa.h"

HRESULT CallbackConnection::Connect(IUnknown* group, IUnknown* sink) {
    Disconnect();
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr =
        group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.GetAddressOf()));
    if (FAILED(hr)) return hr;
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf());
    if (FAILED(hr)) return hr;
    if (!point) return CONNECT_E_NOCONNECTION;
    DWORD cookie = 0;
    hr = point->Advise(sink, &cookie);
    if (FAILED(hr)) return hr;
    m_point = point;
    m_cookie = cookie;
    return S_OK;
}

void CallbackConnection::Disconnect() {
    if (!m_point) return;
    m_point->Unadvise(m_cookie);
    m_point.Reset();
}

void CallbackConnection::Abandon() {
    m_point.Detach();  // a proxy whose server is gone: releasing it could wait on the dead peer
}
