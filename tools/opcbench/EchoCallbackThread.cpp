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
        callback->OnDataChange(transaction, kGroup, S_OK, S_OK, count, handles.data(), values.data(),
                               qualities.data(), times.data(), errors.data());
    } else {
        callback->OnReadComplete(transaction, kGroup, S_OK, S_OK, count, handles.data(), values.data(),
                                 qualities.data(), times.data(), errors.data());
    }
}
}  // namespace

EchoCallbackThread::~EchoCallbackThread() {
    {
        ScopedLock guard(lock_);
        stopping_ = true;
    }
    wake_.Set();
    thread_.Join();
}

void EchoCallbackThread::SetCallback(IDataCallbackShape* callback) {
    ScopedLock guard(lock_);
    callback_ = callback;
}

bool EchoCallbackThread::HasCallback() {
    ScopedLock guard(lock_);
    return callback_ != nullptr;
}

bool EchoCallbackThread::Post(Kind kind, DWORD count, DWORD transaction) {
    {
        ScopedLock guard(lock_);
        if (!thread_.IsRunning() && !thread_.Start([this] { return Run(); })) return false;
        try {
            requests_.push_back({kind, count, transaction});
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    wake_.Set();
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
            ScopedLock guard(lock_);
            if (stopping_) break;
            if (!requests_.empty()) {
                request = requests_.front();
                requests_.pop_front();
                callback = callback_;
                taken = true;
            }
        }
        if (!taken) {
            wake_.Wait();
        } else if (callback) {  // without a sink the request is dropped, as a server drops it
            Call(callback.Get(), request.kind, request.count, request.transaction);
        }
    }
    if (joined) CoUninitialize();
    return 0;
}
