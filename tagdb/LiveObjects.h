#pragma once
// Process-wide sets of live objects. A pointer from a list, a client handle or
// a tree item is only dereferenced after it is found here, so a stale pointer
// is refused without reading freed memory.
#include <windows.h>
#include <unordered_set>

class LiveObjectSet {
public:
    LiveObjectSet() = default;
    LiveObjectSet(const LiveObjectSet&) = delete;
    LiveObjectSet& operator=(const LiveObjectSet&) = delete;

    void Add(const void* object);
    void Remove(const void* object);
    bool Contains(const void* object) const;

private:
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::unordered_set<const void*> objects_;
};

LiveObjectSet& LiveTags();
LiveObjectSet& LiveGroups();
