#include "OPCServer.h"

#include <climits>
#include <new>
#include <string>

#include "CEnumItemIDs.h"
#include "ClientObjects.h"
#include "Device.h"
#include "Document.h"
#include "FileTime.h"
#include "OpcConstants.h"
#include "OPCGroup.h"
#include "ServerStartTime.h"
#include "Tag.h"
#include "TaskMem.h"
#include "Text.h"
#include "resource_server.h"

namespace {
// The server's version as reported by GetStatus.
constexpr WORD kMajorVersion = 2;
constexpr WORD kMinorVersion = 1;
constexpr WORD kBuildNumber = 1;

// Marks a reference count whose last reference is gone: nothing may revive it.
constexpr LONG kDying = LONG_MIN;

std::wstring TextOf(LPCWSTR text) { return text != nullptr ? std::wstring(text) : std::wstring(); }
}  // namespace

OPCServer::OPCServer() noexcept { ServerList::Instance().Add(this, m_ListEntry); }

OPCServer::~OPCServer() {
    m_bClosing.store(true);
    ServerList::Instance().Remove(m_ListEntry);
    std::unordered_map<OPCHANDLE, OPCGroup*> groups;
    {
        ScopedLock guard(m_csGroups);
        if (m_pLink) m_pLink->Detach();
        groups.swap(m_Groups);
    }
    // Released outside the lock: a group's end waits for its threads.
    for (auto& entry : groups) entry.second->Release();
    PostClientObjectMessage(false);
}

// IUnknown ------------------------------------------------------------------

STDMETHODIMP OPCServer::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) {
        *ppv = static_cast<IOPCServer*>(this);
    } else if (riid == IID_IOPCBrowseServerAddressSpace) {
        *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) OPCServer::AddRef() { return static_cast<ULONG>(++m_cRef); }

STDMETHODIMP_(ULONG) OPCServer::Release() {
    // The last release marks the count dying in the same step, so that the
    // exit's DestroyAllServers can never take a reference on it meanwhile.
    LONG count = m_cRef.load();
    for (;;) {
        if (count <= 0) return 0;  // a release too many: nothing left to give back
        const LONG next = count == 1 ? kDying : count - 1;
        if (m_cRef.compare_exchange_weak(count, next)) break;
    }
    if (count == 1) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count - 1);
}

bool OPCServer::TryAddRef() noexcept {
    LONG count = m_cRef.load();
    while (count != kDying) {
        if (m_cRef.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
}

// IOPCServer ----------------------------------------------------------------

STDMETHODIMP OPCServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                 OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                                 OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                                 LPUNKNOWN* ppUnk) {
    if (m_bClosing.load()) return E_FAIL;
    if (ppUnk == nullptr) return E_INVALIDARG;
    try {
        ScopedLock guard(m_csGroups);
        *ppUnk = nullptr;
        std::wstring name = TextOf(szName);
        if (name.empty()) {
            // The first free "Group%d": names freed by removed groups come back.
            for (unsigned n = 1;; ++n) {
                name = L"Group" + std::to_wstring(n);
                if (FindGroupByName(name) == nullptr) break;
            }
        } else if (FindGroupByName(name) != nullptr) {
            return OPC_E_DUPLICATENAME;
        }
        std::shared_ptr<ServerLink> link = Link();
        if (!link) return E_OUTOFMEMORY;
        auto* group = new (std::nothrow) OPCGroup(link);
        if (group == nullptr) return E_OUTOFMEMORY;
        group->AddRef();  // the table's reference
        if (!group->Initialize(std::move(name), bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias,
                               pPercentDeadband, dwLCID)) {
            group->Release();
            return E_OUTOFMEMORY;
        }
        try {
            m_Groups.emplace(group->ServerHandle(), group);
        } catch (const std::bad_alloc&) {
            group->Release();
            return E_OUTOFMEMORY;
        }
        if (phServerGroup != nullptr) *phServerGroup = group->ServerHandle();
        // The rate is never revised: the requested one is given back, 0 included.
        if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = group->UpdateRate();
        return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::shared_ptr<ServerLink> OPCServer::Link() {
    ScopedLock guard(m_csGroups);
    if (!m_pLink) m_pLink = std::make_shared<ServerLink>(this);
    return m_pLink;
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT, LCID, LPWSTR* ppString) {
    if (ppString != nullptr) *ppString = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OPCServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (m_bClosing.load()) return E_FAIL;
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (szName == nullptr) return E_INVALIDARG;
    ScopedLock guard(m_csGroups);
    OPCGroup* group = FindGroupByName(szName);
    if (group == nullptr) return E_INVALIDARG;
    return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

STDMETHODIMP OPCServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    if (m_bClosing.load()) return E_FAIL;
    if (ppServerStatus == nullptr) return E_INVALIDARG;
    *ppServerStatus = nullptr;
    TaskMemPtr<OPCSERVERSTATUS> status(TaskAllocArray<OPCSERVERSTATUS>(1));
    if (!status) return E_OUTOFMEMORY;
    try {
        status->szVendorInfo = TaskStrDup(LoadResString(IDS_SERVER_VENDOR_INFO));
    } catch (const std::bad_alloc&) {
        status->szVendorInfo = nullptr;
    }
    if (status->szVendorInfo == nullptr) return E_OUTOFMEMORY;
    status->ftStartTime = ServerStartTime();
    status->ftCurrentTime = FileTimeNow();
    status->ftLastUpdateTime = GetLastUpdateTime();
    status->dwServerState = OPC_STATUS_RUNNING;
    {
        ScopedLock guard(m_csGroups);
        status->dwGroupCount = static_cast<DWORD>(m_Groups.size());
    }
    status->dwBandWidth = 0;
    status->wMajorVersion = kMajorVersion;
    status->wMinorVersion = kMinorVersion;
    status->wBuildNumber = kBuildNumber;
    status->wReserved = 0;
    *ppServerStatus = status.release();
    return S_OK;
}

STDMETHODIMP OPCServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL) {
    if (m_bClosing.load()) return E_FAIL;
    OPCGroup* group = nullptr;
    {
        ScopedLock guard(m_csGroups);
        if (hServerGroup == 0) return E_INVALIDARG;
        auto found = m_Groups.find(hServerGroup);
        if (found == m_Groups.end()) return E_INVALIDARG;
        group = found->second;
        m_Groups.erase(found);
    }
    // A group the client still holds runs on until its last reference goes;
    // released outside the lock, since its end waits for its threads.
    group->Release();
    return S_OK;
}

STDMETHODIMP OPCServer::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) { return E_NOTIMPL; }

OPCGroup* OPCServer::FindGroupByName(std::wstring_view name) {
    if (m_bClosing.load()) return nullptr;
    ScopedLock guard(m_csGroups);
    for (const auto& entry : m_Groups) {
        if (entry.second->Name() == name) return entry.second;
    }
    return nullptr;
}

HRESULT OPCServer::RenameGroup(OPCGroup* group, const std::wstring& name) {
    if (m_bClosing.load()) return E_FAIL;
    ScopedLock guard(m_csGroups);
    if (group->Name() == name) return S_OK;
    if (FindGroupByName(name) != nullptr) return OPC_E_DUPLICATENAME;
    group->ApplyName(name);
    return S_OK;
}

FILETIME OPCServer::GetLastUpdateTime() const noexcept {
    ScopedLock guard(m_csGroups);
    return m_pLink ? m_pLink->LastUpdate() : FILETIME{};
}

// IOPCBrowseServerAddressSpace ----------------------------------------------

STDMETHODIMP OPCServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    if (pNameSpaceType == nullptr) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

STDMETHODIMP OPCServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    if (m_bClosing.load()) return E_FAIL;
    try {
        ScopedLock guard(m_csGroups);
        // Under the configuration lock the position and its neighbours cannot
        // be deleted while they are looked at.
        ScopedLock configuration(ConfigurationLock());
        OPCS_TagGroup* position = m_BrowsePosition.Group();
        if (dwBrowseDirection == OPC_BROWSE_UP) {
            if (position == nullptr) return E_FAIL;
            OPCS_TagGroup* parent = OPCS_TagGroup::IsValidGroup(position) ? position->GetParent() : nullptr;
            m_BrowsePosition.MoveTo(OPCS_TagGroup::IsValidGroup(parent) ? parent : nullptr);
            return S_OK;
        }
        const std::wstring name = TextOf(szString);
        if (position == nullptr) {
            OPCS_Doc* document = OPCS_Doc::Get();
            if (document == nullptr) return E_INVALIDARG;
            Dll<OPCS_Device*> devices;
            document->CopyDeviceList(devices);
            for (OPCS_Device* device : devices) {
                if (OPCS_TagGroup::IsValidGroup(device) && EqualsNoCase(device->GetName(), name)) {
                    m_BrowsePosition.MoveTo(device);
                    return S_OK;
                }
            }
            return E_INVALIDARG;
        }
        if (!OPCS_TagGroup::IsValidGroup(position)) return E_INVALIDARG;
        for (OPCS_TagGroup* child : position->SnapshotGroups()) {
            if (OPCS_TagGroup::IsValidGroup(child) && EqualsNoCase(child->GetName(), name)) {
                m_BrowsePosition.MoveTo(child);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                         VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                         LPENUMSTRING* ppIEnumString) {
    if (m_bClosing.load()) return E_FAIL;
    if (ppIEnumString == nullptr) return E_INVALIDARG;
    *ppIEnumString = nullptr;
    try {
        const BrowseFilter filter(dwBrowseFilterType, szFilterCriteria, vtDataTypeFilter, dwAccessRightsFilter);
        return CEnumItemIDs::Create(m_BrowsePosition, filter, ppIEnumString);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    if (m_bClosing.load()) return E_FAIL;
    if (szItemID == nullptr) return E_INVALIDARG;
    *szItemID = nullptr;
    if (szItemDataID == nullptr) return E_INVALIDARG;
    try {
        ScopedLock guard(m_csGroups);
        ScopedLock configuration(ConfigurationLock());
        const std::wstring_view name(szItemDataID);
        OPCS_TagGroup* position = m_BrowsePosition.Group();
        bool found = false;
        std::wstring itemId;
        if (position == nullptr) {
            // At the root the names are the devices'.
            if (OPCS_Doc* document = OPCS_Doc::Get()) {
                Dll<OPCS_Device*> devices;
                document->CopyDeviceList(devices);
                for (OPCS_Device* device : devices) {
                    if (OPCS_TagGroup::IsValidGroup(device) && device->GetName() == name) {
                        found = true;
                        break;
                    }
                }
            }
        } else if (OPCS_TagGroup::IsValidGroup(position)) {
            itemId = position->GetPath();
            for (OPCS_TagGroup* child : position->SnapshotGroups()) {
                if (OPCS_TagGroup::IsValidGroup(child) && child->GetName() == name) {
                    found = true;
                    break;
                }
            }
            if (!found) {
                ScopedLock positionGuard(position->Lock());
                for (OPCS_Tag* tag : position->Tags()) {
                    if (OPCS_Tag::IsValidTag(tag) && tag->GetName() == name) {
                        found = true;
                        break;
                    }
                }
            }
        }
        if (!found) return E_INVALIDARG;
        itemId += name;
        *szItemID = TaskStrDup(itemId);
        return *szItemID != nullptr ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) { return E_NOTIMPL; }

// Process level -------------------------------------------------------------

void OPCServer::DestroyAllServers() {
    for (;;) {
        bool anyLeft = false;
        OPCServer* server = ServerList::Instance().TakeOne(&anyLeft);
        if (server != nullptr) {
            // Remote clients are cut off first, so that none of their calls
            // can reach the object after it is gone.
            CoDisconnectObject(static_cast<IOPCServer*>(server), 0);
            delete server;
        } else if (anyLeft) {
            Sleep(1);  // the rest are in their last Release: they leave by themselves
        } else {
            return;
        }
    }
}

void OPCServer::OnObjectDeleting(OPCS_TagGroup* object) { BrowsePosition::OnGroupDeleting(object); }
