#pragma once
// An item's buffered samples: with buffering on, each change sampled between
// two updates of the group waits here and goes, oldest first, in the next
// OnDataChange. Bounded per item and, through the group's SampleBudget, per
// group: when full, the oldest sample gives way to the newest and the item's
// entries of that callback say so. Guarded by the group's item lock.
#include <windows.h>

#include <cstddef>
#include <deque>

#include "COPCItem.h"

class CallbackBatch;

// The samples every buffer of one group holds together.
class SampleBudget {
public:
    static constexpr size_t kGroupBound = 100000;

    explicit SampleBudget(size_t bound = kGroupBound) noexcept : m_bound(bound) {}
    bool TryTake() noexcept {
        if (m_held >= m_bound) return false;
        ++m_held;
        return true;
    }
    // An empty buffer always takes its one sample: the latest change of an
    // item is never lost to the others'.
    void Take() noexcept { ++m_held; }
    void Give(size_t count) noexcept { m_held -= count < m_held ? count : m_held; }
    size_t Held() const noexcept { return m_held; }

private:
    size_t m_bound;
    size_t m_held = 0;
};

class SampleBuffer {
public:
    static constexpr size_t kItemBound = 200;

    SampleBuffer() = default;
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;

    void Push(ItemReading reading, SampleBudget& budget);
    // Moves every sample into `batch`, oldest first, with
    // OPC_S_DATAQUEUEOVERFLOW when samples were dropped since the last move;
    // the budget gets them back.
    void MoveTo(CallbackBatch& batch, SampleBudget& budget);
    // Forgets the samples (buffering off, the item removed).
    void Clear(SampleBudget& budget) noexcept;
    size_t Count() const noexcept { return m_samples.size(); }

private:
    std::deque<ItemReading> m_samples;
    bool m_overflowed = false;
};
