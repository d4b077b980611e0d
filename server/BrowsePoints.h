#pragma once
// The continuation points one server object handed out: each an opaque
// string that names a cursor kept here, good for one use. A point of another
// server object, one made up or one used already is unknown here; only the
// newest kMostLive are kept, so a client that never comes back costs little.
#include <deque>
#include <string>
#include <string_view>

#include "BranchBrowser.h"
#include "CriticalSection.h"

class BrowsePoints {
public:
    static constexpr size_t kMostLive = 32;

    struct Point {
        BranchCursor cursor;
        BrowseQuery query;
    };

    // Keeps the point; its name, never empty. Throws std::bad_alloc.
    std::wstring Keep(Point point);
    // Takes the point of that name if it was made for `branchKey` (or
    // `branchKey` is empty: the point alone says where) and the same query.
    // False, leaving the point, otherwise.
    bool Take(std::wstring_view name, std::wstring_view branchKey, const BrowseQuery& query, Point& point);
    size_t LiveCount() const;

private:
    struct Entry {
        std::wstring name;
        Point point;
    };
    mutable CriticalSection m_lock;  // leaf lock
    std::deque<Entry> m_points;      // oldest first
    unsigned long long m_made = 0;
};
