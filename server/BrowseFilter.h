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

    bool WantsBranches() const noexcept { return m_type == OPC_BRANCH || m_type == OPC_FLAT; }
    bool WantsLeaves() const noexcept { return m_type == OPC_LEAF; }

    // The criteria (MatchesWildcard's patterns); letters compare without
    // regard to case, as names do.
    bool MatchesName(std::wstring_view name) const;
    // False for criteria that are no pattern (an unclosed '['): they match nothing.
    bool IsValid() const noexcept;
    // The data type and access rights filters, which concern tags only: the
    // tag's canonical type must be the one asked for, and its rights must
    // include every right asked for.
    bool MatchesLeaf(VARTYPE canonicalType, DWORD accessRights) const noexcept;

private:
    OPCBROWSETYPE m_type = static_cast<OPCBROWSETYPE>(0);
    std::wstring m_foldedCriteria;
    VARTYPE m_dataType = VT_EMPTY;
    DWORD m_accessRights = 0;
};

// Wildcard match of the whole text, case-sensitive (callers fold both sides
// for a comparison without case): '*' any run of characters, '?' any one,
// '#' one digit, "[abc]" or "[a-z]" one of those, "[!abc]" one of none of
// them ("[*]" is a plain star). An invalid pattern matches nothing.
bool MatchesWildcard(std::wstring_view text, std::wstring_view pattern) noexcept;
// False for a pattern with a '[' that no ']' closes, or an empty class.
bool IsValidWildcard(std::wstring_view pattern) noexcept;
