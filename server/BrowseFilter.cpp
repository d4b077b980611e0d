#include "BrowseFilter.h"

#include "Text.h"

BrowseFilter::BrowseFilter(OPCBROWSETYPE type, LPCWSTR criteria, VARTYPE dataType, DWORD accessRights)
    : m_type(type),
      m_foldedCriteria(criteria != nullptr ? FoldCase(criteria) : std::wstring()),
      m_dataType(dataType),
      m_accessRights(accessRights & (OPC_READABLE | OPC_WRITEABLE)) {}

bool BrowseFilter::MatchesName(std::wstring_view name) const {
    if (m_foldedCriteria.empty()) return true;
    return MatchesWildcard(FoldCase(name), m_foldedCriteria);
}

bool BrowseFilter::MatchesLeaf(VARTYPE canonicalType, DWORD accessRights) const noexcept {
    if (m_dataType != VT_EMPTY && canonicalType != m_dataType) return false;
    return (accessRights & m_accessRights) == m_accessRights;
}

bool MatchesWildcard(std::wstring_view text, std::wstring_view pattern) noexcept {
    // Greedy with one remembered star: each star only ever moves forward, so
    // the work is bounded by text length times pattern length.
    size_t t = 0, p = 0;
    size_t starPattern = std::wstring_view::npos, starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || (pattern[p] != L'*' && pattern[p] == text[t]))) {
            ++t;
            ++p;
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
