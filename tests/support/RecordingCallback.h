#pragma once
// A client's IOPCDataCallback that keeps a copy of every call it receives and
// lets a test wait for them. It can hold a call back until the test opens its
// gate, answer as a client that is gone, and run a test's action inside a
// call (a client calling back into the group).
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ComObject.h"
#include "OpcDa.h"

struct CallbackItem {
    OPCHANDLE hClient = 0;
    VARTYPE type = VT_EMPTY;
    double number = 0;  // the value as VT_R8 where it converts
    std::wstring text;  // the value as VT_BSTR where it converts
    WORD quality = 0;
    FILETIME timeStamp{};
    HRESULT error = S_OK;
};

struct CallbackCall {
    enum Kind { DataChange, ReadComplete, WriteComplete, CancelComplete } kind = DataChange;
    DWORD transactionId = 0;
    OPCHANDLE hGroup = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<CallbackItem> items;
};

// Lives on the test's stack.
class RecordingCallback final : public ComHeld<IOPCDataCallback> {
public:
    RecordingCallback() : ComHeld(1) {}

    STDMETHODIMP OnDataChange(DWORD tid, OPCHANDLE hGroup, HRESULT q, HRESULT e, DWORD n, OPCHANDLE* h, VARIANT* v,
                              WORD* w, FILETIME* t, HRESULT* errors) override {
        return Record(CallbackCall::DataChange, tid, hGroup, q, e, n, h, v, w, t, errors);
    }
    STDMETHODIMP OnReadComplete(DWORD tid, OPCHANDLE hGroup, HRESULT q, HRESULT e, DWORD n, OPCHANDLE* h, VARIANT* v,
                                WORD* w, FILETIME* t, HRESULT* errors) override {
        return Record(CallbackCall::ReadComplete, tid, hGroup, q, e, n, h, v, w, t, errors);
    }
    STDMETHODIMP OnWriteComplete(DWORD tid, OPCHANDLE hGroup, HRESULT e, DWORD n, OPCHANDLE* h,
                                 HRESULT* errors) override {
        return Record(CallbackCall::WriteComplete, tid, hGroup, S_OK, e, n, h, nullptr, nullptr, nullptr, errors);
    }
    STDMETHODIMP OnCancelComplete(DWORD tid, OPCHANDLE hGroup) override {
        return Record(CallbackCall::CancelComplete, tid, hGroup, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr,
                      nullptr);
    }

    // Every call after this answers `hr` (a client that is gone answers so).
    void Answer(HRESULT hr) { m_answer.store(hr); }
    // Run inside each call, before it is recorded.
    void OnCall(std::function<void()> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_action = std::move(action);
    }
    void Close() { SetGate(false); }
    void Open() { SetGate(true); }

    bool WaitFor(size_t count, DWORD milliseconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [&] { return m_calls.size() >= count; });
    }
    std::vector<CallbackCall> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls.size();
    }
    // Calls of one kind with one transaction id.
    size_t Count(CallbackCall::Kind kind, DWORD tid) {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const CallbackCall& c : m_calls) n += c.kind == kind && c.transactionId == tid ? 1 : 0;
        return n;
    }

private:
    HRESULT Record(CallbackCall::Kind kind, DWORD tid, OPCHANDLE hGroup, HRESULT q, HRESULT e, DWORD n, OPCHANDLE* h,
                   VARIANT* v, WORD* w, FILETIME* t, HRESULT* errors) {
        std::function<void()> action;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_gateChanged.wait(lock, [this] { return m_open; });
            action = m_action;
        }
        if (action) action();
        CallbackCall call{kind, tid, hGroup, q, e, {}};
        for (DWORD i = 0; i < n; ++i) {
            CallbackItem item;
            item.hClient = h[i];
            item.error = errors[i];
            if (v != nullptr) {
                item.type = V_VT(&v[i]);
                VARIANT x;
                VariantInit(&x);
                if (SUCCEEDED(VariantChangeType(&x, &v[i], 0, VT_R8))) item.number = V_R8(&x);
                if (SUCCEEDED(VariantChangeType(&x, &v[i], 0, VT_BSTR))) item.text = V_BSTR(&x);
                VariantClear(&x);
                item.quality = w[i];
                item.timeStamp = t[i];
            }
            call.items.push_back(item);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(std::move(call));
        m_arrived.notify_all();
        return m_answer.load();
    }
    void SetGate(bool open) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = open;
        m_gateChanged.notify_all();
    }

    std::atomic<HRESULT> m_answer{S_OK};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::condition_variable m_gateChanged;
    bool m_open = true;
    std::function<void()> m_action;
    std::vector<CallbackCall> m_calls;
};
