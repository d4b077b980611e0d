#pragma once
// What the store and its series share, and what outlives the store while a
// series is still held: the limits, the clock, the count of bytes and the
// signal that wakes the store's thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "HistoryTypes.h"

struct HistoryShared {
    std::atomic<HistoryTime> spanTicks{0};
    std::atomic<std::uint64_t> memoryBytes{0};
    std::atomic<std::uint64_t> bytesUsed{0};

    mutable std::mutex clockLock;
    std::function<HistoryTime()> clock;

    std::mutex wakeLock;
    std::condition_variable wake;
    bool wakeUp = false;
    bool stopping = false;

    HistoryTime Now() const;
    // Counts a chunk's bytes; crossing the bound wakes the store's thread.
    void Add(std::uint64_t bytes);
    void Release(std::uint64_t bytes) noexcept { bytesUsed.fetch_sub(bytes, std::memory_order_relaxed); }
    void Wake();
};
