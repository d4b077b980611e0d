#include "AsyncRead.h"

#include <wrl/client.h>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "CallbackConnection.h"
#include "DataCallbackSink.h"
#include "ErrorText.h"

using Microsoft::WRL::ComPtr;

namespace {
// The completion may arrive on another thread before Read returns, or after
// this read gave up: the sink keeps its own reference to what it fills.
struct Pending {
    std::mutex lock;
    std::condition_variable arrived;
    DWORD transaction = 0;
    bool done = false;
    std::vector<StreamItem> items;
};

DWORD NewTransaction() {
    static LONG last = static_cast<LONG>(GetTickCount() & 0xFFFF);
    return static_cast<DWORD>(InterlockedIncrement(&last)) | 0x10000u;  // never 0, which change-driven data uses
}
}  // namespace

HRESULT ReadAsync2(IUnknown* group, const std::vector<OPCHANDLE>& handles, DWORD waitMs, std::vector<HRESULT>& errors,
                   std::vector<StreamItem>& completed, std::string* why) {
    errors.assign(handles.size(), E_FAIL);
    completed.clear();
    ComPtr<IOPCAsyncIO2> io;
    HRESULT hr = group->QueryInterface(IID_IOPCAsyncIO2, reinterpret_cast<void**>(io.GetAddressOf()));
    if (FAILED(hr)) {
        *why = "the server has no IOPCAsyncIO2 (OPC DA 2.0 asynchronous reads): " + ResultText(hr);
        return hr;
    }
    auto pending = std::make_shared<Pending>();
    pending->transaction = NewTransaction();
    auto* sink = new DataCallbackSink(nullptr, [pending](const DataStream& stream) {
        std::lock_guard<std::mutex> guard(pending->lock);
        if (stream.transactionId != pending->transaction || pending->done) return;
        pending->items = stream.items;
        pending->done = true;
        pending->arrived.notify_all();
    });
    CallbackConnection connection;
    hr = connection.Connect(group, sink);
    sink->Release();
    if (IsConnectionLost(hr)) {
        *why = ResultText(hr);
        connection.Abandon();
        return hr;
    }
    if (FAILED(hr)) {
        *why = "the group has no data callback (IOPCDataCallback, OPC DA 2.0), through which IOPCAsyncIO2 answers: " +
               ResultText(hr);
        return hr;
    }
    DWORD cancel = 0;
    HRESULT* itemErrors = nullptr;
    hr = io->Read(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()), pending->transaction,
                  &cancel, &itemErrors);
    if (FAILED(hr)) {
        CoTaskMemFree(itemErrors);
        *why = "the read failed: " + ResultText(hr);
        if (IsConnectionLost(hr)) connection.Abandon();
        return hr;
    }
    bool anyStarted = false;
    for (size_t i = 0; i < handles.size(); ++i) {
        errors[i] = itemErrors != nullptr ? itemErrors[i] : E_FAIL;
        anyStarted = anyStarted || SUCCEEDED(errors[i]);
    }
    CoTaskMemFree(itemErrors);
    // No item read: no completion comes.
    if (!anyStarted) return S_OK;
    std::unique_lock<std::mutex> guard(pending->lock);
    if (!pending->arrived.wait_for(guard, std::chrono::milliseconds(waitMs), [&] { return pending->done; })) {
        pending->done = true;  // a late completion is dropped
        guard.unlock();
        io->Cancel2(cancel);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", waitMs / 1000.0);
        *why = std::string("no read completion (OnReadComplete) arrived within ") + seconds + " s";
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }
    completed = std::move(pending->items);
    return S_OK;
}
