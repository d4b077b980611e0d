#pragma once
// Auto-reset event: one Set releases one waiter, then the event resets itself.
#include <windows.h>

enum class WaitResult { Signalled, TimedOut, Failed };

class AutoResetEvent {
public:
    AutoResetEvent() noexcept : m_h(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~AutoResetEvent() {
        if (m_h) CloseHandle(m_h);
    }
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    bool IsValid() const noexcept { return m_h != nullptr; }
    void Set() noexcept {
        if (m_h) SetEvent(m_h);
    }
    void Reset() noexcept {
        if (m_h) ResetEvent(m_h);
    }
    WaitResult Wait(DWORD milliseconds = INFINITE) noexcept {
        if (!m_h) return WaitResult::Failed;
        switch (WaitForSingleObject(m_h, milliseconds)) {
        case WAIT_OBJECT_0: return WaitResult::Signalled;
        case WAIT_TIMEOUT: return WaitResult::TimedOut;
        default: return WaitResult::Failed;
        }
    }
    HANDLE Handle() const noexcept { return m_h; }

private:
    HANDLE m_h;
};
