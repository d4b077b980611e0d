#pragma once
// The process's CPU while one device polls, for the in-process benchmarks.
#include <windows.h>

#include "ToviDevice.h"

// Milliseconds of CPU the process has used, kernel and user.
inline double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return ((static_cast<double>(t.dwHighDateTime) * 4294967296.0) + t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

struct PollShare {
    double cpuShare;  // of one core
    double wallMs;
};

// `device` polls for `seconds`, then stops and is idle again.
inline PollShare PollFor(ToviDevice& device, DWORD seconds) {
    const double cpu0 = ProcessCpuMs();
    const ULONGLONG t0 = GetTickCount64();
    device.RequestPollStart(kPollOperator);
    Sleep(seconds * 1000);
    const double cpu1 = ProcessCpuMs();
    const ULONGLONG t1 = GetTickCount64();
    device.RequestPollStop(kPollOperator);
    while (device.GetPollState() != kPollIdle) Sleep(10);
    return PollShare{(cpu1 - cpu0) / static_cast<double>(t1 - t0), static_cast<double>(t1 - t0)};
}
