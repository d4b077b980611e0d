#pragma once
// Counts the calls of an observer under way, so that the observer's setter
// can wait until none that saw the old observer is left. Every tag change of
// every poll thread passes here: each thread counts in a slot of its own
// cache line instead of all of them in one shared word.
#include <windows.h>
#include <atomic>
#include <cstddef>

class CallsUnderWay {
public:
    // Sequentially consistent, as the observer's pointer is stored and read:
    // a call that counted itself before the setter looked is seen by it, and
    // one that counted after sees the new observer.
    std::atomic<long>& Enter() noexcept {
        std::atomic<long>& slot = m_slots[(GetCurrentThreadId() >> 2) % kSlots].count;
        slot.fetch_add(1);
        return slot;
    }
    static void Leave(std::atomic<long>& slot) noexcept { slot.fetch_sub(1); }
    bool None() const noexcept {
        for (const Slot& slot : m_slots) {
            if (slot.count.load() != 0) return false;
        }
        return true;
    }

private:
    struct alignas(64) Slot {
        std::atomic<long> count{0};
    };
    static constexpr std::size_t kSlots = 16;
    Slot m_slots[kSlots];
};
