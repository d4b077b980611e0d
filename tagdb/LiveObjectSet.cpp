#include "LiveObjectSet.h"

namespace {
// Waiting on the other side: spin briefly, then give the processor away (the
// holder may be waiting for it on a machine of few cores).
void Backoff(unsigned& spins) noexcept {
    if (++spins < 64) {
        YieldProcessor();
    } else if (!SwitchToThread()) {
        Sleep(0);
    }
}

size_t Hash(std::uintptr_t key) noexcept {
    std::uint64_t x = key;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x);
}
}  // namespace

std::atomic<std::uint32_t>& LiveObjectSet::SlotOfThread() const noexcept {
    // Thread IDs are multiples of four; threads that share a slot only share its line.
    return m_readers[(GetCurrentThreadId() >> 2) % kReaderSlots].count;
}

// The reader's count and the writer's flag are each written before the other
// side's is read (sequentially consistent), so one of them always sees the other.
void LiveObjectSet::EnterRead(std::atomic<std::uint32_t>& slot) const noexcept {
    for (unsigned spins = 0;;) {
        slot.fetch_add(1);
        if (!m_writing.load()) return;
        slot.fetch_sub(1);
        while (m_writing.load(std::memory_order_relaxed)) Backoff(spins);
    }
}

void LiveObjectSet::EnterWrite() noexcept {
    AcquireSRWLockExclusive(&m_writers);
    m_writing.store(true);
    for (ReaderSlot& slot : m_readers) {
        for (unsigned spins = 0; slot.count.load() != 0;) Backoff(spins);
    }
}

void LiveObjectSet::LeaveWrite() noexcept {
    m_writing.store(false, std::memory_order_release);
    ReleaseSRWLockExclusive(&m_writers);
}

// Index of the key's slot, or of the first free slot on its probe path.
size_t LiveObjectSet::Probe(std::uintptr_t key) const noexcept {
    const size_t mask = m_slots.size() - 1;
    size_t i = Hash(key) & mask;
    size_t firstRemoved = SIZE_MAX;
    for (;;) {
        const std::uintptr_t slot = m_slots[i];
        if (slot == key) return i;
        if (slot == kEmpty) return firstRemoved != SIZE_MAX ? firstRemoved : i;
        if (slot == kRemoved && firstRemoved == SIZE_MAX) firstRemoved = i;
        i = (i + 1) & mask;
    }
}

void LiveObjectSet::Grow() {
    size_t size = 64;
    while (size < (m_used + 1) * 4) size *= 2;      // keep the load below a half
    std::vector<std::uintptr_t> old(size, kEmpty);  // out of memory here leaves the set as it was
    old.swap(m_slots);
    m_filled = 0;
    for (std::uintptr_t key : old) {
        if (key != kEmpty && key != kRemoved) {
            m_slots[Probe(key)] = key;
            ++m_filled;
        }
    }
}

void LiveObjectSet::Add(const void* object) {
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    if (key <= kRemoved) return;
    EnterWrite();
    try {
        if (m_slots.empty() || (m_filled + 1) * 2 > m_slots.size()) Grow();
    } catch (...) {
        LeaveWrite();
        throw;
    }
    const size_t i = Probe(key);
    if (m_slots[i] != key) {
        if (m_slots[i] == kEmpty) ++m_filled;
        m_slots[i] = key;
        ++m_used;
    }
    LeaveWrite();
}

void LiveObjectSet::Remove(const void* object) {
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    if (key <= kRemoved) return;
    EnterWrite();
    if (!m_slots.empty()) {
        const size_t i = Probe(key);
        if (m_slots[i] == key) {
            m_slots[i] = kRemoved;
            --m_used;
            m_removals.fetch_add(1, std::memory_order_relaxed);
        }
    }
    LeaveWrite();
}

bool LiveObjectSet::Contains(const void* object) const {
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    if (key <= kRemoved) return false;
    std::atomic<std::uint32_t>& slot = SlotOfThread();
    EnterRead(slot);
    const bool found = !m_slots.empty() && m_slots[Probe(key)] == key;
    slot.fetch_sub(1, std::memory_order_release);
    return found;
}

// Function-local statics: usable from any constructor, even of static objects.
LiveObjectSet& LiveTags() {
    static LiveObjectSet set;
    return set;
}

LiveObjectSet& LiveGroups() {
    static LiveObjectSet set;
    return set;
}
