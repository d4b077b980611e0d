#pragma once
// A group's items by server handle. Handles are issued in increasing order
// while the group's item lock is held, so appending keeps the table sorted:
// lookups are a binary search over one contiguous array, and iteration runs
// in the order the items were added, which gives enumerators a stable
// position (the last handle they returned) whatever is added or removed
// meanwhile. Removal leaves a hole that Compact closes, so that removing many
// items in one call costs one pass, not one shift per item.
#include <windows.h>
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

#include "OpcDa.h"

template <class T>
class ItemTable {
public:
    struct Entry {
        OPCHANDLE handle;
        T* object;  // null once removed
    };

    // False when `handle` does not follow the last one or memory runs out.
    bool Append(OPCHANDLE handle, T* object) noexcept {
        if (object == nullptr || (!entries_.empty() && entries_.back().handle >= handle)) return false;
        try {
            entries_.push_back(Entry{handle, object});
        } catch (...) {
            return false;
        }
        ++live_;
        return true;
    }

    T* Find(OPCHANDLE handle) const noexcept {
        const std::size_t at = Locate(handle);
        return at < entries_.size() && entries_[at].handle == handle ? entries_[at].object : nullptr;
    }

    // Withdraws a handle and gives the object it named, or null.
    T* Remove(OPCHANDLE handle) noexcept {
        const std::size_t at = Locate(handle);
        if (at >= entries_.size() || entries_[at].handle != handle || entries_[at].object == nullptr) return nullptr;
        T* object = entries_[at].object;
        entries_[at].object = nullptr;
        --live_;
        return object;
    }

    // Closes the holes left by Remove.
    void Compact() noexcept {
        if (live_ == entries_.size()) return;
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                      [](const Entry& e) { return e.object == nullptr; }),
                       entries_.end());
    }

    // Forgets every entry (the caller has dealt with the objects).
    void Clear() noexcept {
        entries_.clear();
        entries_.shrink_to_fit();
        live_ = 0;
    }

    template <class Visit>
    void ForEach(Visit&& visit) const {
        for (const Entry& e : entries_) {
            if (e.object != nullptr) visit(e.object);
        }
    }

    // The first live entry whose handle is greater than `after` (0: the first
    // of all), or null at the end.
    const Entry* NextAfter(OPCHANDLE after) const noexcept {
        std::size_t at = LowerBound(after);
        if (at < entries_.size() && entries_[at].handle == after) ++at;
        for (; at < entries_.size(); ++at) {
            if (entries_[at].object != nullptr) return &entries_[at];
        }
        return nullptr;
    }

    std::size_t Count() const noexcept { return live_; }
    void Reserve(std::size_t extra) {
        if (entries_.capacity() - entries_.size() < extra) entries_.reserve(entries_.size() + extra);
    }

private:
    // Clients name their items mostly in the order they added them: the entry
    // after the last one found is tried before a search.
    std::size_t Locate(OPCHANDLE handle) const noexcept {
        std::size_t at = next_.load(std::memory_order_relaxed);
        if (at >= entries_.size() || entries_[at].handle != handle) at = LowerBound(handle);
        next_.store(at + 1, std::memory_order_relaxed);
        return at;
    }

    std::size_t LowerBound(OPCHANDLE handle) const noexcept {
        return static_cast<std::size_t>(
            std::lower_bound(entries_.begin(), entries_.end(), handle,
                             [](const Entry& e, OPCHANDLE h) { return e.handle < h; }) -
            entries_.begin());
    }

    std::vector<Entry> entries_;
    std::size_t live_ = 0;
    mutable std::atomic<std::size_t> next_{0};  // a guess only, checked before use
};
