#pragma once
// What DA 3.0 browsing and item properties give, copied out of the task
// allocator's arrays into plain values that tests compare.
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "OpcDa.h"
#include "Variant.h"

// Two values alike: the same type and, by the OLE Automation comparison or
// element by element for arrays, the same value.
inline bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    if (V_VT(&a) == VT_EMPTY) return true;
    if ((V_VT(&a) & VT_ARRAY) != 0) {
        SAFEARRAY* x = V_ARRAY(&a);
        SAFEARRAY* y = V_ARRAY(&b);
        LONG xl = 0, xu = 0, yl = 0, yu = 0;
        SafeArrayGetLBound(x, 1, &xl);
        SafeArrayGetUBound(x, 1, &xu);
        SafeArrayGetLBound(y, 1, &yl);
        SafeArrayGetUBound(y, 1, &yu);
        if (xl != yl || xu != yu) return false;
        for (LONG i = xl; i <= xu; ++i) {
            double u = 0, v = 0;
            SafeArrayGetElement(x, &i, &u);
            SafeArrayGetElement(y, &i, &v);
            if (u != v) return false;
        }
        return true;
    }
    return VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_INVARIANT, 0) == VARCMP_EQ;
}

struct PropertyEntry {
    DWORD id = 0;
    VARTYPE type = VT_EMPTY;
    std::wstring description;
    bool hasDescription = false;
    bool hasItemId = false;
    Variant value;
    HRESULT hr = S_OK;
    bool operator==(const PropertyEntry& o) const {
        return id == o.id && type == o.type && description == o.description && hasDescription == o.hasDescription &&
               hasItemId == o.hasItemId && hr == o.hr && SameValue(value.Ref(), o.value.Ref());
    }
};

struct PropertySet {
    HRESULT hr = S_OK;
    bool listNull = true;
    std::vector<PropertyEntry> entries;
    bool operator==(const PropertySet& o) const { return hr == o.hr && listNull == o.listNull && entries == o.entries; }
};

// Copies and frees one OPCITEMPROPERTIES' contents.
inline PropertySet TakeProperties(OPCITEMPROPERTIES& p) {
    PropertySet set;
    set.hr = p.hrErrorID;
    set.listNull = p.pItemProperties == nullptr;
    for (DWORD i = 0; i < p.dwNumProperties && p.pItemProperties != nullptr; ++i) {
        OPCITEMPROPERTY& e = p.pItemProperties[i];
        PropertyEntry entry;
        entry.id = e.dwPropertyID;
        entry.type = e.vtDataType;
        entry.hasDescription = e.szDescription != nullptr;
        if (e.szDescription != nullptr) entry.description = e.szDescription;
        entry.hasItemId = e.szItemID != nullptr;
        entry.value = Variant(e.vValue);
        entry.hr = e.hrErrorID;
        VariantClear(&e.vValue);
        CoTaskMemFree(e.szDescription);
        CoTaskMemFree(e.szItemID);
        set.entries.push_back(std::move(entry));
    }
    CoTaskMemFree(p.pItemProperties);
    return set;
}

struct Element {
    std::wstring name;
    std::wstring itemId;
    DWORD flags = 0;
    PropertySet properties;
    bool operator==(const Element& o) const {
        return name == o.name && itemId == o.itemId && flags == o.flags && properties == o.properties;
    }
};

struct BrowseRequest {
    BrowseRequest(std::wstring id = L"", DWORD max = 0, OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL,
                  std::wstring names = L"", std::wstring vendor = L"", bool all = false, bool withValues = false,
                  std::vector<DWORD> propertyIds = {})
        : itemId(std::move(id)),
          most(max),
          kind(filter),
          nameFilter(std::move(names)),
          vendorFilter(std::move(vendor)),
          allProperties(all),
          values(withValues),
          ids(std::move(propertyIds)) {}
    std::wstring itemId;
    DWORD most = 0;
    OPCBROWSEFILTER kind = OPC_BROWSE_FILTER_ALL;
    std::wstring nameFilter;
    std::wstring vendorFilter;
    bool allProperties = false;
    bool values = false;
    std::vector<DWORD> ids;
};

struct Page {
    HRESULT hr = E_FAIL;
    std::vector<Element> elements;
    BOOL more = FALSE;
    bool pointNull = true;
    std::wstring point;
};

// One Browse call, the point handed in as a client's own task memory.
inline Page BrowseOnce(IOPCBrowse* browse, const BrowseRequest& request, const std::wstring& pointIn = L"") {
    Page page;
    LPWSTR point = nullptr;
    if (!pointIn.empty()) {
        point = static_cast<LPWSTR>(CoTaskMemAlloc((pointIn.size() + 1) * sizeof(wchar_t)));
        wcscpy(point, pointIn.c_str());
    }
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    // Never null, as a proxy wants it, even with no id in it.
    std::vector<DWORD> ids = request.ids;
    ids.push_back(0);
    page.hr = browse->Browse(const_cast<LPWSTR>(request.itemId.c_str()), &point, request.most, request.kind,
                             const_cast<LPWSTR>(request.nameFilter.c_str()),
                             const_cast<LPWSTR>(request.vendorFilter.c_str()), request.allProperties, request.values,
                             static_cast<DWORD>(ids.size() - 1), ids.data(), &page.more, &count, &elements);
    page.pointNull = point == nullptr;
    if (point != nullptr) page.point = point;
    CoTaskMemFree(point);
    for (DWORD i = 0; i < count && elements != nullptr; ++i) {
        Element element;
        element.name = elements[i].szName != nullptr ? elements[i].szName : L"<null>";
        element.itemId = elements[i].szItemID != nullptr ? elements[i].szItemID : L"<null>";
        element.flags = elements[i].dwFlagValue;
        element.properties = TakeProperties(elements[i].ItemProperties);
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        page.elements.push_back(std::move(element));
    }
    CoTaskMemFree(elements);
    return page;
}

inline std::vector<std::wstring> NamesOf(const std::vector<Element>& elements) {
    std::vector<std::wstring> names;
    for (const Element& e : elements) names.push_back(e.name);
    return names;
}

// Every page of a browse, following the points; false when a page broke the
// rules of paging (too many elements, a point without more, more without one).
inline bool BrowseAll(IOPCBrowse* browse, BrowseRequest request, std::vector<Element>& all, int* pages = nullptr,
                      bool resumeWithEmptyId = false) {
    std::wstring point;
    for (int n = 1;; ++n) {
        BrowseRequest asked = request;
        if (!point.empty() && resumeWithEmptyId) asked.itemId.clear();
        Page page = BrowseOnce(browse, asked, point);
        if (page.hr != S_OK) return false;
        if (request.most != 0 && page.elements.size() > request.most) return false;
        if (page.pointNull || (page.more != FALSE) != !page.point.empty()) return false;
        all.insert(all.end(), page.elements.begin(), page.elements.end());
        if (!page.more) {
            if (pages != nullptr) *pages = n;
            return true;
        }
        point = page.point;
    }
}

// GetProperties of one item.
inline PropertySet PropertiesByGetProperties(IOPCBrowse* browse, const std::wstring& itemId, bool values,
                                             std::vector<DWORD> ids, HRESULT* hr = nullptr) {
    LPWSTR id = const_cast<LPWSTR>(itemId.c_str());
    OPCITEMPROPERTIES* results = nullptr;
    ids.push_back(0);  // never null, as a proxy wants it
    const HRESULT result =
        browse->GetProperties(1, &id, values, static_cast<DWORD>(ids.size() - 1), ids.data(), &results);
    if (hr != nullptr) *hr = result;
    if (results == nullptr) return {};
    PropertySet set = TakeProperties(results[0]);
    CoTaskMemFree(results);
    return set;
}
