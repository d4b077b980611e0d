#pragma once
// Re-entrant lock over a Win32 critical section. Satisfies Lockable, so the
// standard guards work; ScopedLock is the one used throughout.
#include <windows.h>
#include <mutex>

class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() noexcept { EnterCriticalSection(&m_cs); }
    void unlock() noexcept { LeaveCriticalSection(&m_cs); }
    bool try_lock() noexcept { return TryEnterCriticalSection(&m_cs) != FALSE; }

private:
    CRITICAL_SECTION m_cs;
};

using ScopedLock = std::lock_guard<CriticalSection>;
