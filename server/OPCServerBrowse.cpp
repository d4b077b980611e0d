// The server object's IOPCBrowse: the children of a branch by item ID, page
// by page with continuation points, and the properties of items by ID, each
// entry what IOPCItemProperties answers for the same item.
#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "BranchBrowser.h"
#include "Configuration.h"
#include "ItemPropertyList.h"
#include "OPCGroup.h"
#include "OPCServer.h"
#include "OpcConstants.h"
#include "TaskMem.h"
#include "Text.h"

namespace {
// Item IDs resolved in one hold of the configuration lock.
constexpr size_t kIdsPerHold = 1000;

std::wstring TextOf(LPCWSTR text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// Whether the values asked for include the scan rate, which needs a walk of
// the groups outside the configuration lock.
bool WantsScanRate(bool values, bool all, DWORD count, const DWORD* ids) {
    return values && (all || std::find(ids, ids + count, OPC_PROPERTY_SCAN_RATE) != ids + count);
}

void FreeElements(OPCBROWSEELEMENT* elements, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        FreeItemProperties(elements[i].ItemProperties);
    }
    CoTaskMemFree(elements);
}
}  // namespace

STDMETHODIMP OPCServer::GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                      DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                      OPCITEMPROPERTIES** ppItemProperties) {
    NoteCall(L"IOPCBrowse::GetProperties");
    if (ppItemProperties == nullptr) return E_POINTER;
    *ppItemProperties = nullptr;
    if (m_bClosing.load()) return E_FAIL;
    if (dwItemCount == 0 || pszItemIDs == nullptr || (dwPropertyCount != 0 && pdwPropertyIDs == nullptr)) {
        return E_INVALIDARG;
    }
    const bool all = dwPropertyCount == 0;
    const bool values = bReturnPropertyValues != FALSE;
    TaskMemPtr<OPCITEMPROPERTIES> results(TaskAllocArray<OPCITEMPROPERTIES>(dwItemCount));
    if (!results) return E_OUTOFMEMORY;
    OPCITEMPROPERTIES* entries = results.get();
    try {
        std::vector<std::optional<TagProperties>> properties(dwItemCount);
        std::vector<OPCS_Tag*> tags(dwItemCount, nullptr);
        for (DWORD first = 0; first < dwItemCount; first += kIdsPerHold) {
            ScopedLock lock(m_Configuration.Lock());
            for (DWORD i = first; i < dwItemCount && i < first + kIdsPerHold; ++i) {
                const LPCWSTR id = pszItemIDs[i] != nullptr ? pszItemIDs[i] : L"";
                entries[i].hrErrorID = TagProperties::FindTag(m_Configuration, id, &tags[i]);
                if (SUCCEEDED(entries[i].hrErrorID)) properties[i].emplace(*tags[i]);
            }
        }
        // Outside the configuration lock: a group takes its item lock before that one.
        if (WantsScanRate(values, all, dwPropertyCount, pdwPropertyIDs)) {
            for (DWORD i = 0; i < dwItemCount; ++i) {
                if (properties[i]) properties[i]->SetFastestGroupRate(OPCGroup::FastestRateOf(tags[i]));
            }
        }
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwItemCount; ++i) {
            if (properties[i]) {
                FillItemProperties(*properties[i], all, pdwPropertyIDs, dwPropertyCount, values, entries[i]);
            }
            if (entries[i].hrErrorID != S_OK) result = S_FALSE;
        }
        *ppItemProperties = results.release();
        return result;
    } catch (const std::bad_alloc&) {
        for (DWORD i = 0; i < dwItemCount; ++i) FreeItemProperties(entries[i]);
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                               OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                               BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                               DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                               OPCBROWSEELEMENT** ppBrowseElements) {
    NoteCall(L"IOPCBrowse::Browse");
    if (pszContinuationPoint == nullptr || pbMoreElements == nullptr || pdwCount == nullptr ||
        ppBrowseElements == nullptr) {
        return E_POINTER;
    }
    *pbMoreElements = FALSE;
    *pdwCount = 0;
    *ppBrowseElements = nullptr;
    if (m_bClosing.load()) return E_FAIL;
    const bool all = bReturnAllProperties != FALSE;
    if (!all && dwPropertyCount != 0 && pdwPropertyIDs == nullptr) return E_INVALIDARG;
    const bool withProperties = all || dwPropertyCount != 0;
    const bool values = bReturnPropertyValues != FALSE;
    try {
        BrowseQuery query;
        HRESULT hr = BrowseQuery::Parse(dwBrowseFilter, szElementNameFilter, szVendorFilter, query);
        if (FAILED(hr)) return hr;
        const std::wstring itemId = TextOf(szItemID);
        BranchCursor cursor;
        if (*pszContinuationPoint != nullptr && **pszContinuationPoint != L'\0') {
            BrowsePoints::Point point;
            if (!m_BrowsePoints.Take(*pszContinuationPoint, FoldCase(itemId), query, point)) {
                return OPC_E_INVALIDCONTINUATIONPOINT;
            }
            cursor = std::move(point.cursor);
        } else {
            hr = BranchBrowser::Open(m_Configuration, itemId, cursor);
            if (FAILED(hr)) return hr;
        }
        // Page by page under the lock, so that a large branch never holds
        // the configuration for the whole walk.
        const size_t limit = dwMaxElementsReturned == 0 ? SIZE_MAX : dwMaxElementsReturned;
        std::vector<BrowsedElement> found;
        while (!cursor.done && !(found.size() == limit && cursor.atMatch)) {
            hr = BranchBrowser::Next(m_Configuration, query, cursor, limit - found.size(), withProperties, found);
            if (FAILED(hr)) return hr;
        }
        if (WantsScanRate(values, all, dwPropertyCount, pdwPropertyIDs)) {
            for (BrowsedElement& element : found) {
                if (element.properties) element.properties->SetFastestGroupRate(OPCGroup::FastestRateOf(element.tag));
            }
        }
        // Kept first: what could throw is done before anything is allocated for the client.
        const bool more = !cursor.done;
        std::wstring pointName;
        if (more) pointName = m_BrowsePoints.Keep({std::move(cursor), std::move(query)});
        const size_t count = found.size();
        OPCBROWSEELEMENT* elements = nullptr;
        if (count != 0) {
            elements = TaskAllocArray<OPCBROWSEELEMENT>(count);
            if (elements == nullptr) return E_OUTOFMEMORY;
        }
        bool complete = true;
        for (size_t i = 0; i < count; ++i) {
            OPCBROWSEELEMENT& element = elements[i];
            element.szName = TaskStrDup(found[i].name);
            element.szItemID = TaskStrDup(found[i].itemId);
            element.dwFlagValue = found[i].flags;
            if (found[i].properties) {
                FillItemProperties(*found[i].properties, all, pdwPropertyIDs, dwPropertyCount, values,
                                   element.ItemProperties);
            }
            complete = complete && element.szName != nullptr && element.szItemID != nullptr &&
                       element.ItemProperties.hrErrorID != E_OUTOFMEMORY;
        }
        // Done: "" rather than null, so that a client testing the point's length stops.
        LPWSTR point = complete ? TaskStrDup(pointName) : nullptr;
        if (point == nullptr) {
            FreeElements(elements, count);
            return E_OUTOFMEMORY;
        }
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = point;
        *pbMoreElements = more ? TRUE : FALSE;
        *pdwCount = static_cast<DWORD>(count);
        *ppBrowseElements = elements;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
