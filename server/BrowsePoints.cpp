#include "BrowsePoints.h"

#include <objbase.h>

#include <algorithm>
#include <utility>

#include "Text.h"

std::wstring BrowsePoints::Keep(Point point) {
    // Unguessable, and unique to this object even if the GUID source failed.
    GUID guid{};
    CoCreateGuid(&guid);
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    ScopedLock guard(m_lock);
    std::wstring name = FormatText(L"%llu", ++m_made).append(text);
    if (m_points.size() == kMostLive) m_points.pop_front();
    m_points.push_back(Entry{name, std::move(point)});
    return name;
}

bool BrowsePoints::Take(std::wstring_view name, std::wstring_view branchKey, const BrowseQuery& query, Point& point) {
    ScopedLock guard(m_lock);
    const auto found =
        std::find_if(m_points.begin(), m_points.end(), [name](const Entry& entry) { return entry.name == name; });
    if (found == m_points.end()) return false;
    if (!branchKey.empty() && branchKey != found->point.cursor.branchKey) return false;
    if (!query.SameAs(found->point.query)) return false;
    point = std::move(found->point);
    m_points.erase(found);
    return true;
}

size_t BrowsePoints::LiveCount() const {
    ScopedLock guard(m_lock);
    return m_points.size();
}
