#pragma once
// Re-entrant lock over a Win32 critical section. Satisfies Lockable, so the
// standard guards work; ScopedLock is the one used throughout.
#include <windows.h>
#include <mutex>

class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() noexcept { EnterCriticalSection(&cs_); }
    void unlock() noexcept { LeaveCriticalSection(&cs_); }
    bool try_lock() noexcept { return TryEnterCriticalSection(&cs_) != FALSE; }

private:
    CRITICAL_SECTION cs_;
};

using ScopedLock = std::lock_guard<CriticalSection>;
