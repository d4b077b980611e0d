#pragma once
// A Win32 thread that runs a callable; the handle and id are what the rest of
// the program reports and waits on.
#include <windows.h>
#include <functional>

class Thread {
public:
    Thread() noexcept = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread at once; false when the platform refuses.
    bool Start(std::function<unsigned()> body);
    // Waits for the end; true when it ended (or never ran) within the time.
    bool Join(DWORD milliseconds = INFINITE) noexcept;
    // Lets the thread run on by itself (for a thread that must stop itself
    // and so cannot wait for its own end).
    void Detach() noexcept;
    bool IsRunning() const noexcept { return m_handle != nullptr; }
    DWORD Id() const noexcept { return m_id; }
    HANDLE Handle() const noexcept { return m_handle; }

private:
    static unsigned __stdcall Trampoline(void* arg);
    HANDLE m_handle = nullptr;
    DWORD m_id = 0;
};

inline DWORD CurrentThreadId() noexcept { return GetCurrentThreadId(); }
inline ULONGLONG TickCountMs() noexcept { return GetTickCount64(); }
