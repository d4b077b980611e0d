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
    point_ = point;
    cookie_ = cookie;
    return S_OK;
}

void CallbackConnection::Disconnect() {
    if (!point_) return;
    point_->Unadvise(cookie_);
    point_.Reset();
}

void CallbackConnection::Abandon() {
    point_.Detach();  // a proxy whose server is gone: releasing it could wait on the dead peer
}
