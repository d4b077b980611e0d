#pragma once
#include <windows.h>

// Waits with a deadline, checking every few milliseconds.
template <class Condition>
bool WaitFor(DWORD milliseconds, Condition condition) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(25);
    }
}
