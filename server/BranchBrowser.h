#pragma once
// The children of one branch of the address space, page by page, as DA 3.0
// Browse gives them: the sub-branches first, then the tags, each with its
// name, its item ID (what 2.05a GetItemID gives) and its flags. A cursor
// marks where the next page begins; it survives between calls without any
// lock, and finds its place again without walking from the start unless the
// tree's shape changed meanwhile.
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BrowseFilter.h"
#include "Dll.h"
#include "OpcDa.h"
#include "TagProperties.h"

class Configuration;
class OPCS_Tag;
class OPCS_TagGroup;

// What a Browse asks for beside the branch: the kind of children and the two
// filters, as given (a continuation point must come back with the same).
struct BrowseQuery {
    OPCBROWSEFILTER kind = OPC_BROWSE_FILTER_ALL;
    std::wstring nameFilter;
    std::wstring vendorFilter;
    BrowseFilter filter;  // both filters, parsed

    // E_INVALIDARG for an unknown kind, OPC_E_INVALIDFILTER for a pattern or
    // vendor filter that cannot be used. The vendor filter: "" or terms
    // separated by ';', "DataType=N" (the item's canonical VARTYPE is N) and
    // "Access=Read", "Access=Write" or "Access=ReadWrite" (the item has at
    // least those rights), keys and words in any letter case; items only.
    static HRESULT Parse(OPCBROWSEFILTER kind, LPCWSTR nameFilter, LPCWSTR vendorFilter, BrowseQuery& query);
    bool SameAs(const BrowseQuery& other) const;
};

struct BranchCursor {
    std::wstring branchKey;  // the branch's item ID folded, "" for the root
    OPCS_TagGroup* branch = nullptr;
    bool leaf = false;             // opened on a tag: no children
    unsigned long long shape = 0;  // the shape count while the places below were taken
    bool inTags = false;
    bool tagsBegun = false;
    size_t branchIndex = 0;
    Dll<OPCS_Tag*>::ConstNode tag{};
    size_t tagOrdinal = 0;  // the tags passed
    std::wstring nextName;  // of the child at the cursor, to find it again after a change
    bool atMatch = false;   // the child at the cursor was found to pass the query
    bool done = false;
};

struct BrowsedElement {
    std::wstring name;
    std::wstring itemId;
    DWORD flags = 0;
    OPCS_Tag* tag = nullptr;  // alive only under the configuration lock it was found under
    std::optional<TagProperties> properties;
};

class BranchBrowser {
public:
    // The children visited in one hold of the configuration lock at most.
    static constexpr size_t kVisitsPerHold = 10000;

    // A cursor at the first child of the branch `itemId` ("" the root):
    // OPC_E_INVALIDITEMID for an ID nothing could bear, OPC_E_UNKNOWNITEMID.
    // A tag's ID opens a cursor with no children.
    static HRESULT Open(Configuration& configuration, std::wstring_view itemId, BranchCursor& cursor);

    // Takes the children that pass the query into `out`, `most` at most, in
    // one hold of the configuration lock and kVisitsPerHold visits; stops on
    // the first passing child beyond `most` (atMatch). Tags come with their
    // properties when `withProperties`. OPC_E_UNKNOWNITEMID once the branch
    // is gone.
    static HRESULT Next(Configuration& configuration, const BrowseQuery& query, BranchCursor& cursor, size_t most,
                        bool withProperties, std::vector<BrowsedElement>& out);

private:
    // Brings a cursor whose shape count is old back to its place.
    static bool Relocate(Configuration& configuration, BranchCursor& cursor);
};
