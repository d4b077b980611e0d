#include "Watchdog.h"

#include <cstdio>

Watchdog::Watchdog() {
    m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = CreateThread(nullptr, 0, &Watchdog::Watch, this, 0, nullptr);
}

Watchdog::~Watchdog() {
    SetEvent(m_stop);
    if (m_thread != nullptr) {
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
    CloseHandle(m_stop);
}

void Watchdog::Arm(DWORD seconds, const char* step) {
    ScopedLock guard(m_lock);
    m_deadline = GetTickCount64() + seconds * 1000ULL;
    m_step = step;
}

void Watchdog::Disarm() {
    ScopedLock guard(m_lock);
    m_deadline = 0;
}

DWORD WINAPI Watchdog::Watch(void* self) {
    auto* dog = static_cast<Watchdog*>(self);
    while (WaitForSingleObject(dog->m_stop, 250) == WAIT_TIMEOUT) {
        std::string step;
        {
            ScopedLock guard(dog->m_lock);
            if (dog->m_deadline == 0 || GetTickCount64() <= dog->m_deadline) continue;
            step = dog->m_step;
        }
        std::fprintf(stderr, "opc_benchmark: time-out: %s did not finish in time\n", step.c_str());
        std::fflush(stderr);
        if (const DWORD id = dog->m_serverProcessId.load(); id != 0) {
            if (HANDLE server = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
                TerminateProcess(server, 99);
                CloseHandle(server);
            }
        }
        ExitProcess(3);
    }
    return 0;
}
