#pragma once
// A group's keep-alive: when its time passes with no OnDataChange sent to the
// callback connection, an empty one tells the client that the group still
// runs. Any OnDataChange restarts the time; there is no fixed beat. Written
// by the client's call and by both group threads: every member is atomic.
#include <windows.h>

#include <atomic>
#include <limits>

class KeepAliveTimer {
public:
    static constexpr ULONGLONG kNever = std::numeric_limits<ULONGLONG>::max();
    // Below this the data thread cannot promise the time.
    static constexpr DWORD kShortestMs = 10;

    // The time the group keeps for `requested` at `updateRate`: none stays
    // none; else never below the update rate (no OnDataChange can be due
    // sooner) nor below kShortestMs.
    static DWORD Revise(DWORD requested, DWORD updateRate) noexcept;

    // Sets the (revised) time and starts it at `now`.
    void Set(DWORD milliseconds, ULONGLONG now) noexcept;
    DWORD Time() const noexcept { return m_time.load(); }
    // An OnDataChange went at `now`.
    void NoteSent(ULONGLONG now) noexcept { m_lastSent.store(now); }
    // The tick at which an empty OnDataChange is due, kNever without a time.
    ULONGLONG DueAt() const noexcept;

private:
    std::atomic<DWORD> m_time{0};
    std::atomic<ULONGLONG> m_lastSent{0};
};
