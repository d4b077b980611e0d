#pragma once
// What a client asks BrowseOPCItemIDs for: the kind of names and the three
// filters that narrow them. Empty criteria, VT_EMPTY and 0 select everything.
#include <windows.h>
#include <string>
#include <string_view>

#include "OpcDa.h"

class BrowseFilter {
public:
    BrowseFilter() = default;
    // A null criteria pointer is the same as an empty one.
    BrowseFilter(OPCBROWSETYPE type, LPCWSTR criteria, VARTYPE dataType, DWORD accessRights);
    // A DA 3.0 element name filter (MatchesPattern's patterns) with the data
    // type and access rights filters.
    static BrowseFilter ForElements(LPCWSTR nameFilter, VARTYPE dataType, DWORD accessRights);

    bool WantsBranches() const noexcept { return m_type == OPC_BRANCH; }
    bool WantsLeaves() const noexcept { return m_type == OPC_LEAF; }
    // Every tag at and below the position, by its item ID.
    bool WantsFlat() const noexcept { return m_type == OPC_FLAT; }

    // The criteria (MatchesWildcard's, or MatchesPattern's for elements);
    // letters compare without regard to case, as names do.
    bool MatchesName(std::wstring_view name) const;
    // False for an element filter that is no pattern: it matches nothing.
    bool IsValid() const noexcept;
    // The data type and access rights filters, which concern tags only: the
    // tag's canonical type must be the one asked for, and its rights must
    // include every right asked for.
    bool MatchesLeaf(VARTYPE canonicalType, DWORD accessRights) const noexcept;

private:
    OPCBROWSETYPE m_type = static_cast<OPCBROWSETYPE>(0);
    std::wstring m_foldedCriteria;
    bool m_patterns = false;  // MatchesPattern's syntax
    VARTYPE m_dataType = VT_EMPTY;
    DWORD m_accessRights = 0;
};

// Wildcard match of the whole text ('*' any run, '?' any one character),
// case-sensitive; callers fold both sides for a comparison without case.
// What 2.05a browsing has always taken: every other character is itself.
bool MatchesWildcard(std::wstring_view text, std::wstring_view pattern) noexcept;
// The DA 2.0 wildcards of DA 3.0's element name filter, the same way: '*'
// and '?' as above, '#' one digit, "[abc]" or "[a-z]" one of those, "[!abc]"
// one of none of them ("[*]" is a plain star). An invalid pattern matches
// nothing.
bool MatchesPattern(std::wstring_view text, std::wstring_view pattern) noexcept;
// False for a pattern with a '[' that no ']' closes, or an empty class.
bool IsValidPattern(std::wstring_view pattern) noexcept;
