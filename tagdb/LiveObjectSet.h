#pragma once
// Process-wide sets of live objects. A pointer from a list, a client handle or
// a tree item is only dereferenced after it is found here, so a stale pointer
// is refused without reading freed memory.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <vector>

class LiveObjectSet {
public:
    LiveObjectSet() = default;
    LiveObjectSet(const LiveObjectSet&) = delete;
    LiveObjectSet& operator=(const LiveObjectSet&) = delete;

    void Add(const void* object);
    void Remove(const void* object);
    bool Contains(const void* object) const;
    // Moves with every removal: a pointer kept since it last read the same
    // count cannot have been freed, nor reused for another object.
    std::uint64_t Removals() const noexcept { return m_removals.load(std::memory_order_relaxed); }

private:
    // Open addressing with linear probing: a lookup touches one cache line in
    // the common case, which matters when every item ID resolution asks here.
    static constexpr std::uintptr_t kEmpty = 0;
    static constexpr std::uintptr_t kRemoved = 1;
    size_t Probe(std::uintptr_t key) const noexcept;
    void Grow();

    // Every item a client adds, reads or scans asks here, from several
    // threads at once: readers must not write to one shared cache line (a
    // shared SRW lock does, and costs a wake call at each release under
    // Wine). A reader counts itself in the slot of its thread; a writer (rare:
    // a tag or group made or deleted) raises `m_writing`, waits until every
    // slot is empty, and holds `m_writers` against other writers.
    struct alignas(64) ReaderSlot {
        std::atomic<std::uint32_t> count{0};
    };
    static constexpr size_t kReaderSlots = 64;
    std::atomic<std::uint32_t>& SlotOfThread() const noexcept;
    void EnterRead(std::atomic<std::uint32_t>& slot) const noexcept;
    void EnterWrite() noexcept;
    void LeaveWrite() noexcept;
    mutable ReaderSlot m_readers[kReaderSlots];
    alignas(64) std::atomic<bool> m_writing{false};
    SRWLOCK m_writers = SRWLOCK_INIT;
    std::vector<std::uintptr_t> m_slots;
    size_t m_used = 0;    // live entries
    size_t m_filled = 0;  // live entries and tombstones
    std::atomic<std::uint64_t> m_removals{0};
};

LiveObjectSet& LiveTags();
LiveObjectSet& LiveGroups();
