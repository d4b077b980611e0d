// The server object's IOPCItemProperties: the properties of the tag an item
// ID names, read in one visit of the tag while the configuration holds it.
#include <new>
#include <optional>

#include "CallArrays.h"
#include "Configuration.h"
#include "OPCGroup.h"
#include "OPCServer.h"
#include "OpcConstants.h"
#include "TagProperties.h"
#include "TaskMem.h"

namespace {
// The properties of the tag `itemId` names, or the call's failure.
HRESULT ReadTag(Configuration& configuration, LPCWSTR itemId, std::optional<TagProperties>& properties) {
    OPCS_Tag* tag = nullptr;
    try {
        // The tag cannot be deleted while the configuration lock is held.
        ScopedLock lock(configuration.Lock());
        const HRESULT hr = TagProperties::FindTag(configuration, itemId, &tag);
        if (FAILED(hr)) return hr;
        properties.emplace(*tag);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // Outside the configuration lock: a group takes its item lock before that one.
    properties->SetFastestGroupRate(OPCGroup::FastestRateOf(tag));
    return S_OK;
}
}  // namespace

STDMETHODIMP OPCServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                 LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) {
    NoteCall(L"IOPCItemProperties::QueryAvailableProperties");
    if (pdwCount == nullptr || ppPropertyIDs == nullptr || ppDescriptions == nullptr || ppvtDataTypes == nullptr) {
        return E_POINTER;
    }
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    if (szItemID == nullptr) return E_INVALIDARG;
    std::optional<TagProperties> properties;
    const HRESULT hr = ReadTag(m_Configuration, szItemID, properties);
    if (FAILED(hr)) return hr;
    try {
        const std::vector<ItemProperty> available = properties->Available();
        const size_t count = available.size();
        TaskMemPtr<DWORD> ids(TaskAllocArray<DWORD>(count));
        TaskMemPtr<LPWSTR> descriptions(TaskAllocArray<LPWSTR>(count));
        TaskMemPtr<VARTYPE> types(TaskAllocArray<VARTYPE>(count));
        if (!ids || !descriptions || !types) return E_OUTOFMEMORY;
        for (size_t i = 0; i < count; ++i) {
            ids.get()[i] = available[i].id;
            types.get()[i] = available[i].type;
            descriptions.get()[i] = TaskStrDup(available[i].description);
            if (descriptions.get()[i] == nullptr) {
                for (size_t j = 0; j < i; ++j) CoTaskMemFree(descriptions.get()[j]);
                return E_OUTOFMEMORY;
            }
        }
        *pdwCount = static_cast<DWORD>(count);
        *ppPropertyIDs = ids.release();
        *ppDescriptions = descriptions.release();
        *ppvtDataTypes = types.release();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                          HRESULT** ppErrors) {
    NoteCall(L"IOPCItemProperties::GetItemProperties");
    if (ppvData == nullptr || ppErrors == nullptr) return E_POINTER;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    if (szItemID == nullptr || pdwPropertyIDs == nullptr || dwCount == 0) return E_INVALIDARG;
    std::optional<TagProperties> properties;
    HRESULT hr = ReadTag(m_Configuration, szItemID, properties);
    if (FAILED(hr)) return hr;
    // Zero-filled: every VARIANT starts as VT_EMPTY.
    CallArrays<VARIANT> arrays;
    if (!arrays.Allocate(dwCount, true)) return E_OUTOFMEMORY;
    hr = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        arrays.errors.get()[i] = properties->Value(pdwPropertyIDs[i], arrays.results.get()[i]);
        if (FAILED(arrays.errors.get()[i])) hr = S_FALSE;
    }
    *ppvData = arrays.results.release();
    *ppErrors = arrays.errors.release();
    return hr;
}

STDMETHODIMP OPCServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                      HRESULT** ppErrors) {
    NoteCall(L"IOPCItemProperties::LookupItemIDs");
    if (ppszNewItemIDs == nullptr || ppErrors == nullptr) return E_POINTER;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    if (szItemID == nullptr || pdwPropertyIDs == nullptr || dwCount == 0) return E_INVALIDARG;
    std::optional<TagProperties> properties;
    const HRESULT hr = ReadTag(m_Configuration, szItemID, properties);
    if (FAILED(hr)) return hr;
    CallArrays<LPWSTR> arrays;
    if (!arrays.Allocate(dwCount, true)) return E_OUTOFMEMORY;
    // No property of a tag is an item of its own: ids 1-6 never have one, the
    // others the tag has fail as a whole, the rest are not the tag's.
    for (DWORD i = 0; i < dwCount; ++i) {
        const DWORD id = pdwPropertyIDs[i];
        arrays.errors.get()[i] = id > OPC_PROPERTY_SCAN_RATE && properties->Has(id) ? E_FAIL : OPC_E_INVALID_PID;
    }
    *ppszNewItemIDs = arrays.results.release();
    *ppErrors = arrays.errors.release();
    return S_FALSE;
}
