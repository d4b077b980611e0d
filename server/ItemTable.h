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
        if (object == nullptr || (!m_entries.empty() && m_entries.back().handle >= handle)) return false;
        try {
            m_entries.push_back(Entry{handle, object});
        } catch (...) {
            return false;
        }
        ++m_live;
        return true;
    }

    T* Find(OPCHANDLE handle) const noexcept {
        const std::size_t at = Locate(handle);
        return at < m_entries.size() && m_entries[at].handle == handle ? m_entries[at].object : nullptr;
    }

    // Withdraws a handle and gives the object it named, or null.
    T* Remove(OPCHANDLE handle) noexcept {
        const std::size_t at = Locate(handle);
        if (at >= m_entries.size() || m_entries[at].handle != handle || m_entries[at].object == nullptr) return nullptr;
        T* object = m_entries[at].object;
        m_entries[at].object = nullptr;
        --m_live;
        return object;
    }

    // Closes the holes left by Remove.
    void Compact() noexcept {
        if (m_live == m_entries.size()) return;
        m_entries.erase(
            std::remove_if(m_entries.begin(), m_entries.end(), [](const Entry& e) { return e.object == nullptr; }),
            m_entries.end());
    }

    // Forgets every entry (the caller has dealt with the objects).
    void Clear() noexcept {
        m_entries.clear();
        m_entries.shrink_to_fit();
        m_live = 0;
    }

    template <class Visit>
    void ForEach(Visit&& visit) const {
        for (const Entry& e : m_entries) {
            if (e.object != nullptr) visit(e.object);
        }
    }

    // The first live entry whose handle is greater than `after` (0: the first
    // of all), or null at the end.
    const Entry* NextAfter(OPCHANDLE after) const noexcept {
        std::size_t at = LowerBound(after);
        if (at < m_entries.size() && m_entries[at].handle == after) ++at;
        for (; at < m_entries.size(); ++at) {
            if (m_entries[at].object != nullptr) return &m_entries[at];
        }
        return nullptr;
    }

    std::size_t Count() const noexcept { return m_live; }
    void Reserve(std::size_t extra) {
        if (m_entries.capacity() - m_entries.size() < extra) m_entries.reserve(m_entries.size() + extra);
    }

private:
    // Clients name their items mostly in the order they added them: the entry
    // after the last one found is tried before a search.
    std::size_t Locate(OPCHANDLE handle) const noexcept {
        std::size_t at = m_next.load(std::memory_order_relaxed);
        if (at >= m_entries.size() || m_entries[at].handle != handle) at = LowerBound(handle);
        m_next.store(at + 1, std::memory_order_relaxed);
        return at;
    }

    std::size_t LowerBound(OPCHANDLE handle) const noexcept {
        return static_cast<std::size_t>(std::lower_bound(m_entries.begin(), m_entries.end(), handle,
                                                         [](const Entry& e, OPCHANDLE h) { return e.handle < h; }) -
                                        m_entries.begin());
    }

    std::vector<Entry> m_entries;
    std::size_t m_live = 0;
    mutable std::atomic<std::size_t> m_next{0};  // a guess only, checked before use
};
