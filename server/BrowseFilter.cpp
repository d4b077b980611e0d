#include "BrowseFilter.h"

#include "Text.h"

BrowseFilter::BrowseFilter(OPCBROWSETYPE type, LPCWSTR criteria, VARTYPE dataType, DWORD accessRights)
    : type_(type),
      foldedCriteria_(criteria != nullptr ? FoldCase(criteria) : std::wstring()),
      dataType_(dataType),
      accessRights_(accessRights & (OPC_READABLE | OPC_WRITEABLE)) {}

bool BrowseFilter::MatchesName(std::wstring_view name) const {
    if (foldedCriteria_.empty()) return true;
    return MatchesWildcard(FoldCase(name), foldedCriteria_);
}

bool BrowseFilter::MatchesLeaf(VARTYPE canonicalType, DWORD accessRights) const noexcept {
    if (dataType_ != VT_EMPTY && canonicalType != dataType_) return false;
    return (accessRights & accessRights_) == accessRights_;
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
