#include "FakeDa3Server.h"

#include <cwchar>

#include "OpcConstants.h"
#include "TaskMem.h"

FakeDa3Server::FakeDa3Server(std::vector<std::pair<std::wstring, VARTYPE>> items, Paging paging, bool qualityWrites)
    : ComObject(1), m_paging(paging), m_qualityWrites(qualityWrites) {
    // One element per ID: an item that has children too is both.
    auto add = [this](const std::wstring& parent, const std::wstring& id, DWORD flag) {
        std::vector<Element>& siblings = m_children[parent];
        for (Element& e : siblings) {
            if (e.id == id) {
                e.flags |= flag;
                return;
            }
        }
        siblings.push_back({id.substr(parent.empty() ? 0 : parent.size() + 1), id, flag});
    };
    for (const auto& [id, type] : items) {
        m_items[id] = type;
        std::wstring parent;
        for (size_t dot = id.find(L'.'); dot != std::wstring::npos; dot = id.find(L'.', dot + 1)) {
            add(parent, id.substr(0, dot), OPC_BROWSE_HASCHILDREN);
            parent = id.substr(0, dot);
        }
        add(parent, id, OPC_BROWSE_ISITEM);
    }
}

STDMETHODIMP FakeDa3Server::GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL, DWORD dwPropertyCount,
                                          DWORD* pdwPropertyIDs, OPCITEMPROPERTIES** ppItemProperties) {
    *ppItemProperties = TaskAllocArray<OPCITEMPROPERTIES>(dwItemCount);
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwItemCount; ++i) {
        OPCITEMPROPERTIES& out = (*ppItemProperties)[i];
        const auto item = m_items.find(pszItemIDs[i]);
        if (item == m_items.end()) {
            out.hrErrorID = OPC_E_UNKNOWNITEMID;
            result = S_FALSE;
            continue;
        }
        out.dwNumProperties = dwPropertyCount;
        out.pItemProperties = TaskAllocArray<OPCITEMPROPERTY>(dwPropertyCount);
        for (DWORD k = 0; k < dwPropertyCount; ++k) {
            OPCITEMPROPERTY& property = out.pItemProperties[k];
            property.dwPropertyID = pdwPropertyIDs[k];
            property.szDescription = TaskStrDup(L"Item Canonical DataType");
            if (pdwPropertyIDs[k] != OPC_PROPERTY_DATATYPE) {
                property.hrErrorID = OPC_E_INVALID_PID;
                result = S_FALSE;
                continue;
            }
            property.vtDataType = VT_I2;
            V_VT(&property.vValue) = VT_I2;
            V_I2(&property.vValue) = static_cast<SHORT>(item->second);
        }
    }
    return result;
}

STDMETHODIMP FakeDa3Server::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                   OPCBROWSEFILTER, LPWSTR, LPWSTR, BOOL, BOOL, DWORD, DWORD* pdwPropertyIDs,
                                   BOOL* pbMoreElements, DWORD* pdwCount, OPCBROWSEELEMENT** ppBrowseElements) {
    ++browseCalls;
    *pbMoreElements = FALSE;
    *pdwCount = 0;
    *ppBrowseElements = nullptr;
    // What a proxy would refuse.
    if (szItemID == nullptr || pdwPropertyIDs == nullptr) return HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER);
    const auto children = m_children.find(szItemID);
    if (children == m_children.end()) return OPC_E_UNKNOWNITEMID;
    // The point is "branch|offset", so that it alone locates the position.
    size_t offset = 0;
    if (*pszContinuationPoint != nullptr && **pszContinuationPoint != L'\0') {
        const std::wstring point = *pszContinuationPoint;
        const size_t bar = point.rfind(L'|');
        if (bar == std::wstring::npos || point.substr(0, bar) != szItemID) return OPC_E_INVALIDCONTINUATIONPOINT;
        offset = std::wcstoul(point.c_str() + bar + 1, nullptr, 10);
    }
    const std::vector<Element>& all = children->second;
    size_t count = all.size() - offset;
    if (dwMaxElementsReturned != 0 && count > dwMaxElementsReturned) {
        count = dwMaxElementsReturned + (m_paging == Paging::OverPage ? 1 : 0);
        *pbMoreElements = TRUE;
    }
    CoTaskMemFree(*pszContinuationPoint);
    const bool more = *pbMoreElements && m_paging == Paging::Points;
    *pszContinuationPoint =
        TaskStrDup(more ? std::wstring(szItemID) + L"|" + std::to_wstring(offset + count) : std::wstring());
    *pdwCount = static_cast<DWORD>(count);
    *ppBrowseElements = TaskAllocArray<OPCBROWSEELEMENT>(count);
    for (size_t i = 0; i < count; ++i) {
        (*ppBrowseElements)[i].szName = TaskStrDup(all[offset + i].name);
        (*ppBrowseElements)[i].szItemID = TaskStrDup(all[offset + i].id);
        (*ppBrowseElements)[i].dwFlagValue = all[offset + i].flags;
    }
    if (count > largestPage) largestPage = static_cast<DWORD>(count);
    return S_OK;
}

STDMETHODIMP FakeDa3Server::Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                 WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) {
    if (dwCount == 0) return E_INVALIDARG;
    *ppvValues = TaskAllocArray<VARIANT>(dwCount);
    *ppwQualities = TaskAllocArray<WORD>(dwCount);
    *ppftTimeStamps = TaskAllocArray<FILETIME>(dwCount);
    *ppErrors = TaskAllocArray<HRESULT>(dwCount);
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        maxAges.push_back(pdwMaxAge[i]);
        if (m_items.count(pszItemIDs[i]) == 0) {
            (*ppErrors)[i] = OPC_E_UNKNOWNITEMID;
            result = S_FALSE;
            continue;
        }
        // The value tells the item's place, the timestamp the MaxAge it was read with.
        V_VT(&(*ppvValues)[i]) = VT_R8;
        V_R8(&(*ppvValues)[i]) = i + 0.5;
        (*ppwQualities)[i] = static_cast<WORD>(0xC0 - i);
        (*ppftTimeStamps)[i] = FILETIME{pdwMaxAge[i], 0x01DA0000};
    }
    return result;
}

STDMETHODIMP FakeDa3Server::WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) {
    if (dwCount == 0) return E_INVALIDARG;
    *ppErrors = TaskAllocArray<HRESULT>(dwCount);
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMVQT& vqt = pItemVQT[i];
        const HRESULT error = m_items.count(pszItemIDs[i]) == 0 ? OPC_E_UNKNOWNITEMID
                              : !m_qualityWrites && (vqt.bQualitySpecified || vqt.bTimeStampSpecified)
                                  ? OPC_E_NOTSUPPORTED
                                  : S_OK;
        (*ppErrors)[i] = error;
        if (FAILED(error)) {
            result = S_FALSE;
            continue;
        }
        VARIANT text;
        VariantInit(&text);
        VariantChangeTypeEx(&text, const_cast<VARIANT*>(&vqt.vDataValue), LOCALE_INVARIANT, 0, VT_BSTR);
        written.push_back({pszItemIDs[i], V_VT(&vqt.vDataValue),
                           V_VT(&vqt.vDataValue) == VT_EMPTY ? L"" : V_BSTR(&text), vqt.bQualitySpecified != FALSE,
                           vqt.wQuality, vqt.bTimeStampSpecified != FALSE, vqt.ftTimeStamp});
        VariantClear(&text);
    }
    return result;
}
