#include "BrowseFilter.h"

#include "Text.h"

BrowseFilter::BrowseFilter(OPCBROWSETYPE type, LPCWSTR criteria, VARTYPE dataType, DWORD accessRights)
    : m_type(type),
      m_foldedCriteria(criteria != nullptr ? FoldCase(criteria) : std::wstring()),
      m_dataType(dataType),
      m_accessRights(accessRights & (OPC_READABLE | OPC_WRITEABLE)) {}

BrowseFilter BrowseFilter::ForElements(LPCWSTR nameFilter, VARTYPE dataType, DWORD accessRights) {
    BrowseFilter filter(OPC_FLAT, nameFilter, dataType, accessRights);
    filter.m_patterns = true;
    return filter;
}

bool BrowseFilter::MatchesName(std::wstring_view name) const {
    if (m_foldedCriteria.empty()) return true;
    return m_patterns ? MatchesPattern(FoldCase(name), m_foldedCriteria)
                      : MatchesWildcard(FoldCase(name), m_foldedCriteria);
}

bool BrowseFilter::IsValid() const noexcept { return !m_patterns || IsValidPattern(m_foldedCriteria); }

bool BrowseFilter::MatchesLeaf(VARTYPE canonicalType, DWORD accessRights) const noexcept {
    if (m_dataType != VT_EMPTY && canonicalType != m_dataType) return false;
    return (accessRights & m_accessRights) == m_accessRights;
}

namespace {
// The end of the class that opens at `open` (the index of its ']'), or npos
// when nothing closes it or it holds no character.
size_t ClassEnd(std::wstring_view pattern, size_t open) noexcept {
    size_t first = open + 1;
    if (first < pattern.size() && pattern[first] == L'!') ++first;
    const size_t close = pattern.find(L']', first);
    return close == first ? std::wstring_view::npos : close;
}

bool ClassMatches(std::wstring_view members, wchar_t c) noexcept {
    for (size_t i = 0; i < members.size(); ++i) {
        if (i + 2 < members.size() && members[i + 1] == L'-') {
            if (c >= members[i] && c <= members[i + 2]) return true;
            i += 2;
        } else if (members[i] == c) {
            return true;
        }
    }
    return false;
}

// Whether the one-character token at `p` (no star) takes `c`; `next` is the
// index after the token. Without `classes`, only '?' stands for another.
bool TokenMatches(std::wstring_view pattern, size_t p, wchar_t c, bool classes, size_t& next) noexcept {
    if (!classes) {
        next = p + 1;
        return pattern[p] == L'?' || pattern[p] == c;
    }
    switch (pattern[p]) {
    case L'?': next = p + 1; return true;
    case L'#': next = p + 1; return c >= L'0' && c <= L'9';
    case L'[': {
        const size_t close = ClassEnd(pattern, p);
        const bool negated = pattern[p + 1] == L'!';
        const size_t first = p + (negated ? 2 : 1);
        next = close + 1;
        return ClassMatches(pattern.substr(first, close - first), c) != negated;
    }
    default: next = p + 1; return pattern[p] == c;
    }
}
}  // namespace

bool IsValidPattern(std::wstring_view pattern) noexcept {
    for (size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] != L'[') continue;
        const size_t close = ClassEnd(pattern, p);
        if (close == std::wstring_view::npos) return false;
        p = close;
    }
    return true;
}

namespace {
bool Matches(std::wstring_view text, std::wstring_view pattern, bool classes) noexcept {
    // Greedy with one remembered star: each star only ever moves forward, so
    // the work is bounded by text length times pattern length.
    size_t t = 0, p = 0;
    size_t starPattern = std::wstring_view::npos, starText = 0;
    while (t < text.size()) {
        size_t next = 0;
        if (p < pattern.size() && pattern[p] != L'*' && TokenMatches(pattern, p, text[t], classes, next)) {
            ++t;
            p = next;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            starPattern = p++;
            starText = t;
        } else if (starPattern != std::wstring_view::npos) {
            p = starPattern + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}
}  // namespace

bool MatchesWildcard(std::wstring_view text, std::wstring_view pattern) noexcept {
    return Matches(text, pattern, false);
}

bool MatchesPattern(std::wstring_view text, std::wstring_view pattern) noexcept {
    return IsValidPattern(pattern) && Matches(text, pattern, true);
}
