#include "Da3Browse.h"

#include "OpcConstants.h"
#include "Text.h"

namespace {
// A server whose point leads on without elements must not hold the walk for ever.
constexpr int kMaxEmptyPages = 16;

void FreeElements(OPCBROWSEELEMENT* elements, DWORD count) {
    for (DWORD i = 0; elements != nullptr && i < count; ++i) {
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        OPCITEMPROPERTIES& properties = elements[i].ItemProperties;
        for (DWORD k = 0; properties.pItemProperties != nullptr && k < properties.dwNumProperties; ++k) {
            CoTaskMemFree(properties.pItemProperties[k].szItemID);
            CoTaskMemFree(properties.pItemProperties[k].szDescription);
            VariantClear(&properties.pItemProperties[k].vValue);
        }
        CoTaskMemFree(properties.pItemProperties);
    }
    CoTaskMemFree(elements);
}
}  // namespace

HRESULT Da3BrowseSource::Level(std::vector<BrowseEntry>& leaves, std::vector<BrowseEntry>& branches) {
    leaves.clear();
    branches.clear();
    m_why.clear();
    std::wstring branch = m_path.empty() ? std::wstring() : m_path.back();
    LPWSTR point = nullptr;  // the server's, freed and replaced by each call
    DWORD noProperties = 0;  // a proxy takes no null array, even an empty one
    HRESULT hr = S_OK;
    for (int emptyPages = 0;;) {
        BOOL more = FALSE;
        DWORD count = 0;
        OPCBROWSEELEMENT* elements = nullptr;
        ++m_calls;
        hr = m_browse->Browse(branch.data(), &point, m_pageSize, OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(L""),
                              const_cast<LPWSTR>(L""), FALSE, FALSE, 0, &noProperties, &more, &count, &elements);
        if (FAILED(hr)) {
            FreeElements(elements, count);
            break;
        }
        for (DWORD i = 0; elements != nullptr && i < count; ++i) {
            const OPCBROWSEELEMENT& element = elements[i];
            BrowseEntry entry{element.szName != nullptr ? element.szName : L"",
                              element.szItemID != nullptr ? element.szItemID : L""};
            // An item with children is both; an empty branch is neither, and still a branch.
            const bool item = (element.dwFlagValue & OPC_BROWSE_ISITEM) != 0;
            if (item) leaves.push_back(entry);
            if (!item || (element.dwFlagValue & OPC_BROWSE_HASCHILDREN) != 0) branches.push_back(entry);
        }
        FreeElements(elements, count);
        if (m_pageSize != 0 && count > m_pageSize) {
            m_why =
                "the server gave " + std::to_string(count) + " elements for a page of " + std::to_string(m_pageSize);
            hr = E_UNEXPECTED;
            break;
        }
        const bool pointGiven = point != nullptr && *point != L'\0';
        if (!more) break;
        if (!pointGiven) {
            m_why = "the server has more elements than it gave and no continuation point to reach them";
            hr = E_FAIL;
            break;
        }
        if (count == 0 && ++emptyPages > kMaxEmptyPages) {
            m_why = "the server's continuation points lead to nothing but empty pages";
            hr = E_FAIL;
            break;
        }
    }
    CoTaskMemFree(point);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT Da3BrowseSource::Down(const BrowseEntry& branch) {
    if (branch.itemId.empty()) return OPC_E_INVALIDITEMID;
    m_path.push_back(branch.itemId);
    return S_OK;
}

HRESULT Da3BrowseSource::Up() {
    if (!m_path.empty()) m_path.pop_back();
    return S_OK;
}

HRESULT Da3BrowseSource::Enter(const std::wstring& name) {
    std::vector<BrowseEntry> leaves, branches;
    const HRESULT hr = Level(leaves, branches);
    if (FAILED(hr)) return hr;
    // The name as written first; else in any letter case, as 2.0 browsing takes it.
    for (const bool exact : {true, false}) {
        for (const BrowseEntry& branch : branches) {
            const bool same = exact
                                  ? branch.name == name
                                  : CompareStringOrdinal(branch.name.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL;
            if (same) return Down(branch);
        }
    }
    return OPC_E_UNKNOWNITEMID;
}

std::wstring Da3BrowseSource::ItemId(const BrowseEntry& leaf) { return leaf.itemId.empty() ? leaf.name : leaf.itemId; }
