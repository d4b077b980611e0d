#pragma once
// A sink connected to a group's IOPCDataCallback connection point (OPC DA
// 2.0), disconnected again when it ends.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

class CallbackConnection {
public:
    CallbackConnection() = default;
    ~CallbackConnection() { Disconnect(); }
    CallbackConnection(const CallbackConnection&) = delete;
    CallbackConnection& operator=(const CallbackConnection&) = delete;

    // E_NOINTERFACE when the group has no connection points,
    // CONNECT_E_NOCONNECTION when none is for the callback, else Advise's result.
    HRESULT Connect(IUnknown* group, IUnknown* sink);
    void Disconnect();
    // Lets go without calling the server (it is gone).
    void Abandon();

private:
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};
