#pragma once
// Exclusive, non-re-entrant lock over a slim reader/writer lock, for leaf
// locks held around a copy: unlike a critical section it costs no
// allocation to make or to delete, and 8 bytes, which counts at a million
// objects.
#include <windows.h>
#include <mutex>

class SlimLock {
public:
    SlimLock() noexcept = default;
    SlimLock(const SlimLock&) = delete;
    SlimLock& operator=(const SlimLock&) = delete;

    void lock() noexcept { AcquireSRWLockExclusive(&m_lock); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&m_lock); }
    bool try_lock() noexcept { return TryAcquireSRWLockExclusive(&m_lock) != FALSE; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

using SlimScopedLock = std::lock_guard<SlimLock>;
