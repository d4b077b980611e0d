#include "TagSearch.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include "Configuration.h"
#include "OPCS_Device.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "Text.h"

namespace {
struct UnitHash {
    const wchar_t* fold;  // null: as written
    size_t operator()(wchar_t c) const noexcept { return fold != nullptr ? fold[c] : c; }
};
struct UnitEqual {
    const wchar_t* fold;
    bool operator()(wchar_t a, wchar_t b) const noexcept { return fold != nullptr ? fold[a] == fold[b] : a == b; }
};

class Matcher {
public:
    explicit Matcher(const TagQuery& query)
        : m_fold(query.matchCase ? nullptr : UnitUpperTable()),
          m_searcher(query.text.begin(), query.text.end(), UnitHash{m_fold}, UnitEqual{m_fold}) {}
    bool Holds(std::wstring_view text) const { return std::search(text.begin(), text.end(), m_searcher) != text.end(); }

private:
    const wchar_t* m_fold;
    std::boyer_moore_horspool_searcher<std::wstring::const_iterator, UnitHash, UnitEqual> m_searcher;
};

template <class T>
std::vector<T*> ByOrdinal(std::vector<T*> objects) {
    std::erase_if(objects, [](T* object) { return !OPCS_TagGroup::IsValidGroup(object); });
    std::stable_sort(objects.begin(), objects.end(), [](T* a, T* b) { return a->GetOrdinal() < b->GetOrdinal(); });
    return objects;
}

class Walk {
public:
    Walk(const TagQuery& query, const TagSearchStart& start)
        : m_query(query),
          m_matcher(query),
          m_start(start),
          m_started(start.afterTag == nullptr && start.atGroup == nullptr) {}

    // True once a tag after the start matched (in `hit`).
    bool Visit(OPCS_TagGroup* group) {
        if (!m_started && m_start.afterTag == nullptr && group == m_start.atGroup) m_started = true;
        const std::wstring path = m_query.itemIds ? group->GetPath() : std::wstring();
        for (OPCS_Tag* tag : group->SnapshotTags()) {
            if (m_started || m_wrapped.tag == nullptr) {
                if (Matches(tag, path)) {
                    if (m_started) {
                        hit = TagSearchHit{tag, group};
                        return true;
                    }
                    m_wrapped = TagSearchHit{tag, group};
                }
            }
            if (tag == m_start.afterTag) m_started = true;
        }
        for (OPCS_TagGroup* child : ByOrdinal(group->SnapshotGroups())) {
            if (Visit(child)) return true;
        }
        return false;
    }
    TagSearchHit Wrapped() const { return m_wrapped; }

    TagSearchHit hit;

private:
    bool Matches(OPCS_Tag* tag, const std::wstring& path) {
        if (m_query.itemIds) {
            m_id.assign(path).append(tag->GetName());
            if (m_matcher.Holds(m_id)) return true;
        }
        return m_query.descriptions && m_matcher.Holds(tag->GetDescription());
    }

    const TagQuery& m_query;
    Matcher m_matcher;
    const TagSearchStart& m_start;
    bool m_started;
    TagSearchHit m_wrapped;  // the first match before the start
    std::wstring m_id;
};
}  // namespace

TagSearchHit FindNextTag(Configuration& configuration, const TagQuery& query, const TagSearchStart& start) {
    if (query.text.empty() || (!query.itemIds && !query.descriptions)) return {};
    Walk walk(query, start);
    // Deleting a tag or group takes this lock: every pointer the walk meets stays alive.
    ScopedLock guard(configuration.Lock());
    Dll<OPCS_Device*> list;
    configuration.CopyDeviceList(list);
    std::vector<OPCS_Device*> devices(list.begin(), list.end());
    for (OPCS_Device* device : ByOrdinal(std::move(devices))) {
        if (walk.Visit(device)) return walk.hit;
    }
    return walk.Wrapped();
}
