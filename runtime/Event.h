#pragma once
// Auto-reset event: one Set releases one waiter, then the event resets itself.
#include <windows.h>

enum class WaitResult { Signalled, TimedOut, Failed };

class AutoResetEvent {
public:
    AutoResetEvent() noexcept : h_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~AutoResetEvent() { if (h_) CloseHandle(h_); }
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    bool IsValid() const noexcept { return h_ != nullptr; }
    void Set() noexcept { if (h_) SetEvent(h_); }
    void Reset() noexcept { if (h_) ResetEvent(h_); }
    WaitResult Wait(DWORD milliseconds = INFINITE) noexcept {
        if (!h_) return WaitResult::Failed;
        switch (WaitForSingleObject(h_, milliseconds)) {
        case WAIT_OBJECT_0: return WaitResult::Signalled;
        case WAIT_TIMEOUT: return WaitResult::TimedOut;
        default: return WaitResult::Failed;
        }
    }
    HANDLE Handle() const noexcept { return h_; }

private:
    HANDLE h_;
};
