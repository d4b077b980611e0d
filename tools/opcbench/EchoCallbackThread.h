#pragma once
// The echo's own thread for the 2.0 floor: it calls the advised
// IDataCallbackShape (IOPCDataCallback's shape) with arrays of the asked
// size, one request after another, in the multithreaded apartment, as a
// group's data thread calls its client.
#include <windows.h>
#include <wrl/client.h>
#include <deque>

#include "CriticalSection.h"
#include "EchoShapes.h"
#include "AutoResetEvent.h"
#include "Thread.h"

class EchoCallbackThread {
public:
    enum class Kind { kDataChange, kReadComplete };

    EchoCallbackThread() = default;
    ~EchoCallbackThread();
    EchoCallbackThread(const EchoCallbackThread&) = delete;
    EchoCallbackThread& operator=(const EchoCallbackThread&) = delete;

    void SetCallback(IDataCallbackShape* callback);
    bool HasCallback();
    Microsoft::WRL::ComPtr<IDataCallbackShape> Callback();
    // Queues one call of `count` items; false when the thread cannot run.
    bool Post(Kind kind, DWORD count, DWORD transaction);

private:
    struct Request {
        Kind kind;
        DWORD count;
        DWORD transaction;
    };
    unsigned Run();

    CriticalSection m_lock;
    Microsoft::WRL::ComPtr<IDataCallbackShape> m_callback;
    std::deque<Request> m_requests;
    bool m_stopping = false;
    AutoResetEvent m_wake;
    Thread m_thread;
};
