#include "BranchBrowser.h"

#include <algorithm>

#include "BrowsePosition.h"
#include "Configuration.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "OpcConstants.h"
#include "Text.h"

namespace {
DWORD AccessRightsOf(OPCS_Tag* tag) {
    // Access mode 1 is read/write; every tag can be read.
    return OPC_READABLE | (tag->GetAccessMode() == 1 ? OPC_WRITEABLE : 0);
}

std::wstring_view Trimmed(std::wstring_view text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos) return {};
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

bool ParseVendorFilter(std::wstring_view text, VARTYPE& type, DWORD& rights) {
    type = VT_EMPTY;
    rights = 0;
    while (!text.empty()) {
        const size_t end = text.find(L';');
        const std::wstring_view term = Trimmed(text.substr(0, end));
        text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
        if (term.empty()) continue;
        const size_t equals = term.find(L'=');
        if (equals == std::wstring_view::npos) return false;
        const std::wstring_view key = Trimmed(term.substr(0, equals));
        const std::wstring_view value = Trimmed(term.substr(equals + 1));
        if (EqualsNoCase(key, L"DataType")) {
            if (value.empty() || value.size() > 5 ||
                value.find_first_not_of(L"0123456789") != std::wstring_view::npos) {
                return false;
            }
            const unsigned long number = std::stoul(std::wstring(value));
            if (number > 0xFFFF) return false;
            type = static_cast<VARTYPE>(number);
        } else if (EqualsNoCase(key, L"Access")) {
            if (EqualsNoCase(value, L"Read")) {
                rights = OPC_READABLE;
            } else if (EqualsNoCase(value, L"Write")) {
                rights = OPC_WRITEABLE;
            } else if (EqualsNoCase(value, L"ReadWrite")) {
                rights = OPC_READABLE | OPC_WRITEABLE;
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool InvalidItemId(std::wstring_view itemId) {
    return itemId.front() == kItemIdSeparator || itemId.back() == kItemIdSeparator ||
           itemId.find(L"..") != std::wstring_view::npos;
}

std::vector<OPCS_TagGroup*> BranchesOf(Configuration& configuration, OPCS_TagGroup* branch) {
    return branch == nullptr ? BranchesAtRoot(configuration) : BranchesBelow(configuration, branch);
}
}  // namespace

HRESULT BrowseQuery::Parse(OPCBROWSEFILTER kind, LPCWSTR nameFilter, LPCWSTR vendorFilter, BrowseQuery& query) {
    if (kind != OPC_BROWSE_FILTER_ALL && kind != OPC_BROWSE_FILTER_BRANCHES && kind != OPC_BROWSE_FILTER_ITEMS) {
        return E_INVALIDARG;
    }
    query.kind = kind;
    query.nameFilter = nameFilter != nullptr ? nameFilter : L"";
    query.vendorFilter = vendorFilter != nullptr ? vendorFilter : L"";
    VARTYPE type = VT_EMPTY;
    DWORD rights = 0;
    if (!ParseVendorFilter(query.vendorFilter, type, rights)) return OPC_E_INVALIDFILTER;
    query.filter = BrowseFilter::ForElements(query.nameFilter.c_str(), type, rights);
    return query.filter.IsValid() ? S_OK : OPC_E_INVALIDFILTER;
}

bool BrowseQuery::SameAs(const BrowseQuery& other) const {
    return kind == other.kind && nameFilter == other.nameFilter && vendorFilter == other.vendorFilter;
}

HRESULT BranchBrowser::Open(Configuration& configuration, std::wstring_view itemId, BranchCursor& cursor) {
    cursor = BranchCursor{};
    if (!itemId.empty() && InvalidItemId(itemId)) return OPC_E_INVALIDITEMID;
    ScopedLock lock(configuration.Lock());
    cursor.shape = configuration.ShapeVersion();
    if (itemId.empty()) return S_OK;
    cursor.branchKey = FoldCase(itemId);
    cursor.branch = BranchNamed(configuration, itemId);
    if (cursor.branch != nullptr) return S_OK;
    if (!OPCS_Tag::IsValidTag(configuration.FindTag(itemId))) return OPC_E_UNKNOWNITEMID;
    cursor.leaf = true;
    cursor.done = true;
    return S_OK;
}

bool BranchBrowser::Relocate(Configuration& configuration, BranchCursor& cursor) {
    if (!cursor.branchKey.empty()) {
        cursor.branch = BranchNamed(configuration, cursor.branchKey);
        if (cursor.branch == nullptr) return false;
    }
    if (!cursor.inTags) {
        const std::vector<OPCS_TagGroup*> branches = BranchesOf(configuration, cursor.branch);
        const auto found = std::find_if(branches.begin(), branches.end(), [&cursor](OPCS_TagGroup* branch) {
            return OPCS_TagGroup::IsValidGroup(branch) && EqualsNoCase(branch->GetName(), cursor.nextName);
        });
        // Gone: as many places on as it was, so that nothing is given twice
        // unless the branches before it changed too.
        if (found != branches.end()) cursor.branchIndex = static_cast<size_t>(found - branches.begin());
        return true;
    }
    if (!cursor.tagsBegun) return true;
    ScopedLock guard(cursor.branch->Lock());
    const Dll<OPCS_Tag*>& tags = cursor.branch->Tags();
    size_t ordinal = 0;
    for (auto node = tags.begin(); node != tags.end(); ++node, ++ordinal) {
        if (OPCS_Tag::IsValidTag(*node) && EqualsNoCase((*node)->GetName(), cursor.nextName)) {
            cursor.tag = node;
            cursor.tagOrdinal = ordinal;
            return true;
        }
    }
    cursor.tag = tags.begin();
    const size_t steps = std::min(cursor.tagOrdinal, static_cast<size_t>(tags.Count()));
    std::advance(cursor.tag, static_cast<std::ptrdiff_t>(steps));
    cursor.tagOrdinal = steps;
    return true;
}

HRESULT BranchBrowser::Next(Configuration& configuration, const BrowseQuery& query, BranchCursor& cursor, size_t most,
                            bool withProperties, std::vector<BrowsedElement>& out) {
    ScopedLock lock(configuration.Lock());
    if (cursor.done) return S_OK;
    const unsigned long long shape = configuration.ShapeVersion();
    if (shape != cursor.shape && !Relocate(configuration, cursor)) return OPC_E_UNKNOWNITEMID;
    cursor.shape = shape;
    cursor.atMatch = false;
    const std::wstring path = cursor.branch != nullptr ? cursor.branch->GetPath() : std::wstring();
    size_t visits = 0;
    size_t taken = 0;
    if (!cursor.inTags) {
        const std::vector<OPCS_TagGroup*> branches = BranchesOf(configuration, cursor.branch);
        for (; cursor.branchIndex < branches.size(); ++cursor.branchIndex) {
            OPCS_TagGroup* child = branches[cursor.branchIndex];
            if (!OPCS_TagGroup::IsValidGroup(child)) continue;
            std::wstring name = child->GetName();
            if (visits++ == kVisitsPerHold) {
                cursor.nextName = std::move(name);
                return S_OK;
            }
            if (query.kind == OPC_BROWSE_FILTER_ITEMS || !query.filter.MatchesName(name)) continue;
            if (taken == most) {
                cursor.atMatch = true;
                cursor.nextName = std::move(name);
                return S_OK;
            }
            // Every branch may hold something, as 2.05a browsing shows it.
            BrowsedElement element;
            element.itemId = path + name;
            element.name = std::move(name);
            element.flags = OPC_BROWSE_HASCHILDREN;
            out.push_back(std::move(element));
            ++taken;
        }
        cursor.inTags = true;
        if (cursor.branch == nullptr || query.kind == OPC_BROWSE_FILTER_BRANCHES) {
            cursor.done = true;
            return S_OK;
        }
    }
    const size_t firstTag = out.size();
    const bool leafFilter = !query.vendorFilter.empty();
    {
        ScopedLock guard(cursor.branch->Lock());
        const Dll<OPCS_Tag*>& tags = cursor.branch->Tags();
        if (!cursor.tagsBegun) {
            cursor.tag = tags.begin();
            cursor.tagOrdinal = 0;
            cursor.tagsBegun = true;
        }
        for (; cursor.tag != tags.end(); ++cursor.tag, ++cursor.tagOrdinal) {
            OPCS_Tag* tag = *cursor.tag;
            if (!OPCS_Tag::IsValidTag(tag)) continue;
            std::wstring name = tag->GetName();
            if (visits++ == kVisitsPerHold) {
                cursor.nextName = std::move(name);
                break;
            }
            if (!query.filter.MatchesName(name) ||
                (leafFilter && !query.filter.MatchesLeaf(tag->GetDataType(), AccessRightsOf(tag)))) {
                continue;
            }
            if (taken == most) {
                cursor.atMatch = true;
                cursor.nextName = std::move(name);
                break;
            }
            BrowsedElement element;
            element.itemId = path + name;
            element.name = std::move(name);
            element.flags = OPC_BROWSE_ISITEM;
            element.tag = tag;
            out.push_back(std::move(element));
            ++taken;
        }
        if (cursor.tag == tags.end()) cursor.done = true;
    }
    // Outside the group's lock, which comes after the device's: the
    // properties read the tag's device.
    if (withProperties) {
        for (size_t i = firstTag; i < out.size(); ++i) out[i].properties.emplace(*out[i].tag);
    }
    return S_OK;
}
