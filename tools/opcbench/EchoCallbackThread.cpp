#include "EchoCallbackThread.h"

#include <objbase.h>
#include <new>
#include <vector>

#include "OpcConstants.h"

namespace {
// One callback with `count` items of the payload a group of double tags
// sends; the arrays are made for each call, as the server makes them.
void Call(IDataCallbackShape* callback, EchoCallbackThread::Kind kind, DWORD count, DWORD transaction) {
    std::vector<OPCHANDLE> handles(count);
    std::vector<VARIANT> values(count);
    std::vector<WORD> qualities(count, OPC_QUALITY_GOOD);
    std::vector<FILETIME> times(count);
    std::vector<HRESULT> errors(count, S_OK);
    FILETIME now{};
    CoFileTimeNow(&now);
    for (DWORD i = 0; i < count; ++i) {
        handles[i] = i;
        V_VT(&values[i]) = VT_R8;
        V_R8(&values[i]) = 0.5 * i;
        times[i] = now;
    }
    constexpr OPCHANDLE kGroup = 2;
    if (kind == EchoCallbackThread::Kind::kDataChange) {
        callback->OnDataChange(transaction, kGroup, S_OK, S_OK, count, handles.data(), values.data(), qualities.data(),
                               times.data(), errors.data());
    } else {
        callback->OnReadComplete(transaction, kGroup, S_OK, S_OK, count, handles.data(), values.data(),
                                 qualities.data(), times.data(), errors.data());
    }
}
}  // namespace

EchoCallbackThread::~EchoCallbackThread() {
    {
        ScopedLock guard(m_lock);
        m_stopping = true;
    }
    m_wake.Set();
    m_thread.Join();
}

void EchoCallbackThread::SetCallback(IDataCallbackShape* callback) {
    ScopedLock guard(m_lock);
    m_callback = callback;
}

bool EchoCallbackThread::HasCallback() {
    ScopedLock guard(m_lock);
    return m_callback != nullptr;
}

Microsoft::WRL::ComPtr<IDataCallbackShape> EchoCallbackThread::Callback() {
    ScopedLock guard(m_lock);
    return m_callback;
}

bool EchoCallbackThread::Post(Kind kind, DWORD count, DWORD transaction) {
    {
        ScopedLock guard(m_lock);
        if (!m_thread.IsRunning() && !m_thread.Start([this] { return Run(); })) return false;
        try {
            m_requests.push_back({kind, count, transaction});
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    m_wake.Set();
    return true;
}

unsigned EchoCallbackThread::Run() {
    // The server's data threads live in the multithreaded apartment too.
    const bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    for (;;) {
        Request request{};
        bool taken = false;
        Microsoft::WRL::ComPtr<IDataCallbackShape> callback;
        {
            ScopedLock guard(m_lock);
            if (m_stopping) break;
            if (!m_requests.empty()) {
                request = m_requests.front();
                m_requests.pop_front();
                callback = m_callback;
                taken = true;
            }
        }
        if (!taken) {
            m_wake.Wait();
        } else if (callback) {  // without a sink the request is dropped, as a server drops it
            Call(callback.Get(), request.kind, request.count, request.transaction);
        }
    }
    if (joined) CoUninitialize();
    return 0;
}
