#pragma once
// Ends the benchmark with a clear message when one step takes too long (a
// server that hangs in a call would otherwise hold it forever).
#include <windows.h>
#include <atomic>
#include <string>

#include "CriticalSection.h"

class Watchdog {
public:
    Watchdog();
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Starts the time of one step; a later Arm replaces it.
    void Arm(DWORD seconds, const char* step);
    void Disarm();
    // The process ended with the benchmark when it times out, if any.
    void SetServerProcess(DWORD processId) { m_serverProcessId = processId; }

private:
    static DWORD WINAPI Watch(void* self);

    CriticalSection m_lock;
    HANDLE m_stop = nullptr;
    HANDLE m_thread = nullptr;
    ULONGLONG m_deadline = 0;
    std::string m_step;
    std::atomic<DWORD> m_serverProcessId{0};
};
