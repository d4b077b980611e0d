#include "Watchdog.h"

#include <cstdio>

Watchdog::Watchdog() {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &Watchdog::Watch, this, 0, nullptr);
}

Watchdog::~Watchdog() {
    SetEvent(stop_);
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    CloseHandle(stop_);
}

void Watchdog::Arm(DWORD seconds, const char* step) {
    ScopedLock guard(lock_);
    deadline_ = GetTickCount64() + seconds * 1000ULL;
    step_ = step;
}

void Watchdog::Disarm() {
    ScopedLock guard(lock_);
    deadline_ = 0;
}

DWORD WINAPI Watchdog::Watch(void* self) {
    auto* dog = static_cast<Watchdog*>(self);
    while (WaitForSingleObject(dog->stop_, 250) == WAIT_TIMEOUT) {
        std::string step;
        {
            ScopedLock guard(dog->lock_);
            if (dog->deadline_ == 0 || GetTickCount64() <= dog->deadline_) continue;
            step = dog->step_;
        }
        std::fprintf(stderr, "opc_benchmark: time-out: %s did not finish in time\n", step.c_str());
        std::fflush(stderr);
        if (const DWORD id = dog->serverProcessId_.load(); id != 0) {
            if (HANDLE server = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
                TerminateProcess(server, 99);
                CloseHandle(server);
            }
        }
        ExitProcess(3);
    }
    return 0;
}
