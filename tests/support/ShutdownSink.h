#pragma once
// A client's IOPCShutdown sink: records each reason it is given, or holds the
// call until the test lets it go. It lives on the test's stack; its count
// shows who still holds it.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ComObject.h"
#include "OpcDa.h"

class ShutdownSink final : public ComHeld<IOPCShutdown> {
public:
    explicit ShutdownSink(bool hang) : ComHeld(1), hang_(hang) {}
    ~ShutdownSink() { CloseHandle(gate_); }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        if (hang_) WaitForSingleObject(gate_, INFINITE);
        std::lock_guard<std::mutex> lock(mutex_);
        reasons_.push_back(reason != nullptr ? reason : L"<null>");
        return S_OK;
    }
    void LetGo() { SetEvent(gate_); }
    std::vector<std::wstring> Reasons() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reasons_;
    }
private:
    const bool hang_;
    HANDLE gate_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex mutex_;
    std::vector<std::wstring> reasons_;
};
