#pragma once
// The thread that offers the class factory to COM: it joins the
// multithreaded apartment, registers the class object and waits for its quit
// message. Every client call therefore arrives on a worker thread of that
// apartment, never on the user-interface thread.
#include <windows.h>
#include <atomic>

#include "AutoResetEvent.h"
#include "Thread.h"

class ServerModule;

class ClassObjectThread {
public:
    ClassObjectThread() = default;
    ~ClassObjectThread() { Stop(); }
    ClassObjectThread(const ClassObjectThread&) = delete;
    ClassObjectThread& operator=(const ClassObjectThread&) = delete;

    // Starts the thread and waits (bounded) until it has registered the class
    // object or given up; false when the thread could not be started.
    bool Start(ServerModule& module);
    // Clears the run flag, posts WM_QUIT and waits for the end; a failed wait
    // terminates the thread. With a time limit a thread that has not ended
    // by then is left to the end of the process.
    void Stop(DWORD milliseconds = INFINITE) noexcept;

    DWORD ThreadId() const noexcept { return m_thread.Id(); }
    bool IsRunning() const noexcept { return m_thread.IsRunning(); }
    // The outcome of joining the apartment and registering; E_PENDING before.
    HRESULT RegistrationResult() const noexcept { return m_result.load(); }

private:
    unsigned Run(ServerModule& module);

    Thread m_thread;
    AutoResetEvent m_ready;
    std::atomic<bool> m_run{true};
    std::atomic<HRESULT> m_result{E_PENDING};
};
