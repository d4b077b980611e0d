#pragma once
// Process-wide sets of live objects. A pointer from a list, a client handle or
// a tree item is only dereferenced after it is found here, so a stale pointer
// is refused without reading freed memory.
#include <windows.h>
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

private:
    // Open addressing with linear probing: a lookup touches one cache line in
    // the common case, which matters when every item ID resolution asks here.
    static constexpr std::uintptr_t kEmpty = 0;
    static constexpr std::uintptr_t kRemoved = 1;
    size_t Probe(std::uintptr_t key) const noexcept;
    void Grow();

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<std::uintptr_t> slots_;
    size_t used_ = 0;   // live entries
    size_t filled_ = 0; // live entries and tombstones
};

LiveObjectSet& LiveTags();
LiveObjectSet& LiveGroups();
