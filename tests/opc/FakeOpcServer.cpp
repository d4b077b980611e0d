#include "FakeOpcServer.h"

#include <cwchar>

#include "FakeEnumerators.h"
#include "OpcConstants.h"
#include "TaskMem.h"

FakeOpcServer::~FakeOpcServer() {
    for (auto& [name, group] : groups_) {
        group->Release();
    }
}

// A new group's revised rate is the requested one plus 1 (OPC_S_UNSUPPORTEDRATE).
STDMETHODIMP FakeOpcServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                     OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                     DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                     REFIID riid, LPUNKNOWN* ppUnk) {
    ++calls_->count;
    calls_->text = szName;
    calls_->active = bActive;
    calls_->rate = dwRequestedUpdateRate;
    calls_->clientGroup = hClientGroup;
    calls_->timeBias = pTimeBias ? std::optional<LONG>(*pTimeBias) : std::nullopt;
    calls_->deadband = pPercentDeadband ? std::optional<FLOAT>(*pPercentDeadband) : std::nullopt;
    calls_->lcid = dwLCID;
    calls_->riid = riid;
    *ppUnk = nullptr;
    if (calls_->text == L"dup") {
        return OPC_E_DUPLICATENAME;
    }
    auto* group = new FakeOpcGroup(groupCalls_);
    group->AddRef();
    groups_[calls_->text] = static_cast<IOPCGroupStateMgt*>(group);
    *phServerGroup = GroupHandle;
    *pRevisedUpdateRate = dwRequestedUpdateRate + 1;
    const HRESULT hr = HandOut(group, riid, reinterpret_cast<void**>(ppUnk));
    return SUCCEEDED(hr) ? OPC_S_UNSUPPORTEDRATE : hr;
}

// S_OK has no text: E_NOTIMPL and a null string, as a server without texts answers.
STDMETHODIMP FakeOpcServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    ++calls_->count;
    if (dwError == S_OK) {
        *ppString = nullptr;
        return E_NOTIMPL;
    }
    wchar_t text[80];
    swprintf(text, 80, L"Fehler 0x%08lX \u2013 Sprache %04lX", static_cast<unsigned long>(dwError),
             static_cast<unsigned long>(dwLocale));
    *ppString = TaskStrDup(text);
    return S_OK;
}

STDMETHODIMP FakeOpcServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    ++calls_->count;
    calls_->text = szName;
    calls_->riid = riid;
    *ppUnk = nullptr;
    const auto found = groups_.find(szName);
    return found == groups_.end() ? E_INVALIDARG : found->second->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

STDMETHODIMP FakeOpcServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    ++calls_->count;
    auto* status = TaskAllocArray<OPCSERVERSTATUS>(1);
    if (status == nullptr) {
        return E_OUTOFMEMORY;
    }
    status->ftStartTime = FILETIME{0x11111111, 0x01D00000};
    status->ftCurrentTime = FILETIME{0x22222222, 0x01D00001};
    status->ftLastUpdateTime = FILETIME{0x33333333, 0x01D00002};
    status->dwServerState = OPC_STATUS_SUSPENDED;
    status->dwGroupCount = static_cast<DWORD>(groups_.size());
    status->dwBandWidth = 0xFFFFFFFF;
    status->wMajorVersion = 2;
    status->wMinorVersion = 1;
    status->wBuildNumber = 1;
    status->szVendorInfo = TaskStrDup(L"Tovi Explorer by Zelkor Company \u00a9");
    *ppServerStatus = status;
    return S_OK;
}

STDMETHODIMP FakeOpcServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    ++calls_->count;
    calls_->serverGroup = hServerGroup;
    calls_->force = bForce;
    return hServerGroup == GroupHandle ? S_OK : OPC_E_INVALIDHANDLE;
}

STDMETHODIMP FakeOpcServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
    ++calls_->count;
    calls_->scope = dwScope;
    calls_->riid = riid;
    *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP FakeOpcServer::GetPublicGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    ++calls_->count;
    calls_->text = szName;
    calls_->riid = riid;
    *ppUnk = nullptr;
    return OPC_E_PUBLIC;
}

STDMETHODIMP FakeOpcServer::RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    ++calls_->count;
    calls_->serverGroup = hServerGroup;
    calls_->force = bForce;
    return E_NOTIMPL;
}

STDMETHODIMP FakeOpcServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    ++calls_->count;
    *pNameSpaceType = OPC_NS_FLAT;
    return S_OK;
}

STDMETHODIMP FakeOpcServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    ++calls_->count;
    calls_->direction = dwBrowseDirection;
    calls_->text = szString;
    return dwBrowseDirection == OPC_BROWSE_UP ? E_FAIL : S_OK;
}

STDMETHODIMP FakeOpcServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                             VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                             LPENUMSTRING* ppIEnumString) {
    ++calls_->count;
    calls_->browseType = dwBrowseFilterType;
    calls_->text = szFilterCriteria;
    calls_->typeFilter = vtDataTypeFilter;
    calls_->rightsFilter = dwAccessRightsFilter;
    auto* names = new FakeStringEnumerator({L"Pumpe1", L"Kessel 2", L"Ventil \u00df"});
    return HandOut(names, IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
}

STDMETHODIMP FakeOpcServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    ++calls_->count;
    calls_->text = szItemDataID;
    *szItemID = TaskStrDup(L"Pumpe1." + calls_->text);
    return S_OK;
}

STDMETHODIMP FakeOpcServer::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) {
    ++calls_->count;
    calls_->text = szItemID;
    *ppIEnumString = nullptr;
    return E_NOTIMPL;
}
