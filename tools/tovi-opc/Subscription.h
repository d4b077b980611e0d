#pragma once
// A watch's subscription to a group's changes: through the OPC DA 2.0
// IOPCDataCallback where the group offers it, else through the 1.0a
// data-change stream (OPCSTMFORMATDATATIME). Either way each delivery
// arrives as a DataStream, on whatever thread the server calls.
#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>
#include <functional>
#include <string>

#include "Arguments.h"
#include "CallbackConnection.h"
#include "DataStream.h"

class Subscription {
public:
    using Handler = std::function<void(const DataStream&)>;
    using Failure = std::function<void(const std::string&)>;  // a stream that could not be read

    Subscription() = default;
    ~Subscription() { Stop(); }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // `version` Any takes the callback where there is one, V1 and V2 force a
    // path. On failure the result, and `why` in words.
    HRESULT Start(IUnknown* group, DaVersion version, Handler handler, Failure failure, std::string* why);
    // V1 or V2 once started.
    DaVersion Used() const { return m_used; }
    void Stop();
    // Lets go without calling the server (it is gone).
    void Abandon();

private:
    DaVersion m_used = DaVersion::Any;
    CallbackConnection m_callback;
    Microsoft::WRL::ComPtr<IDataObject> m_data;
    DWORD m_connection = 0;
};
