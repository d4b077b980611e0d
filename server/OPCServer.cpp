#include "OPCServer.h"

#include <olectl.h>

#include <algorithm>
#include <new>
#include <string>
#include <thread>

#include "CEnumItemIDs.h"
#include "ClientObjects.h"
#include "ConnectionPoint.h"
#include "OPCS_Device.h"
#include "Configuration.h"
#include "EnumSnapshot.h"
#include "ResultText.h"
#include "EventLog.h"
#include "FileTime.h"
#include "OpcConstants.h"
#include "OPCGroup.h"
#include "ServerStartTime.h"
#include "OPCS_Tag.h"
#include "TaskMem.h"
#include "Text.h"
#include "resource_server.h"

namespace {
// The server's version as reported by GetStatus.
constexpr WORD kMajorVersion = 2;
constexpr WORD kMinorVersion = 1;
constexpr WORD kBuildNumber = 1;

std::wstring TextOf(LPCWSTR text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// The threads that release the groups of a gone client; the program's exit
// closes the gate and waits for them before it destroys the servers.
std::atomic<long> g_reapers{0};
std::atomic<bool> g_reapingClosed{false};
}  // namespace

OPCServer::OPCServer(Configuration& configuration) noexcept
    : ComObject(0), m_Configuration(configuration), m_ftConnected(FileTimeNow()), m_Process(ClientProcess::OfCaller()) {
    ServerList::Instance().Add(this, m_ListEntry);
}

OPCServer::~OPCServer() {
    // A watcher hears of the client as it was, however short its stay.
    const ClientGoneObserver goneObserver = GetClientGoneObserver();
    ClientSnapshot gone;
    bool described = false;
    if (goneObserver != nullptr) {
        try {
            gone = Describe();
            described = true;
        } catch (const std::bad_alloc&) {}
    }
    m_bClosing.store(true);
    ServerList::Instance().Remove(m_ListEntry);
    if (described) goneObserver(gone);
    ConnectionPoint* point = nullptr;
    std::wstring clientName;
    {
        ScopedLock guard(m_csClient);
        std::swap(point, m_pShutdownPoint);
        clientName.swap(m_szClientName);
    }
    if (point != nullptr) {
        point->Detach();  // lets the sinks go
        point->Release();
    }
    std::unordered_map<OPCHANDLE, OPCGroup*> groups;
    {
        ScopedLock guard(m_csGroups);
        if (m_pLink) m_pLink->Detach();
        groups.swap(m_Groups);
    }
    // Released outside the lock: a group's end waits for its threads.
    for (auto& entry : groups) entry.second->Release();
    if (!clientName.empty()) {
        theEventLog << L"OPC client disconnected - Name:" << clientName << EventLog::EndEntry;
    }
    PostClientObjectMessage(false);
}

STDMETHODIMP OPCServer::QueryInterface(REFIID riid, void** ppv) {
    if (IsDa3Interface(riid) && !IsDa3Offered()) {
        if (ppv != nullptr) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    const HRESULT hr = ComObject::QueryInterface(riid, ppv);
    if (SUCCEEDED(hr)) {
        const int version = static_cast<int>(DaVersionOf(riid));
        int seen = m_nDaVersion.load();
        while (seen < version && !m_nDaVersion.compare_exchange_weak(seen, version)) {}
    }
    return hr;
}

void OPCServer::NoteCall(const wchar_t* method) noexcept {
    m_u64LastCallTime.store(FileTimeToU64(FileTimeNow()));
    m_pLastCall.store(method);
}

// IOPCServer ----------------------------------------------------------------

STDMETHODIMP OPCServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                                 LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                                 DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) {
    NoteCall(L"IOPCServer::AddGroup");
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
        // A locale the client chose for the connection is the default of its groups.
        const DWORD locale = dwLCID == 0 && m_bLocaleSet.load() ? m_dwLocale.load() : dwLCID;
        if (!group->Initialize(std::move(name), bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias,
                               pPercentDeadband, locale)) {
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
    if (!m_pLink) m_pLink = std::make_shared<ServerLink>(this, m_Configuration, Client());
    return m_pLink;
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    NoteCall(L"IOPCServer::GetErrorString");
    // Any locale is answered: the texts are the same in every one offered.
    return ErrorString(dwError, dwLocale, ppString);
}

STDMETHODIMP OPCServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    NoteCall(L"IOPCServer::GetGroupByName");
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
    NoteCall(L"IOPCServer::GetStatus");
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
    NoteCall(L"IOPCServer::RemoveGroup");
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

STDMETHODIMP OPCServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
    NoteCall(L"IOPCServer::CreateGroupEnumerator");
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (dwScope < OPC_ENUM_PRIVATE_CONNECTIONS || dwScope > OPC_ENUM_ALL) return E_INVALIDARG;
    if (riid != IID_IEnumUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
    if (m_bClosing.load()) return E_FAIL;
    // The server has no public groups: those scopes are always empty.
    const bool privateGroups = dwScope != OPC_ENUM_PUBLIC_CONNECTIONS && dwScope != OPC_ENUM_PUBLIC;
    try {
        std::vector<OPCGroup*> groups;
        ScopedLock guard(m_csGroups);
        if (privateGroups) {
            groups.reserve(m_Groups.size());
            for (const auto& entry : m_Groups) groups.push_back(entry.second);
        }
        // The oldest group first, as the client added them.
        std::sort(groups.begin(), groups.end(),
                  [](OPCGroup* a, OPCGroup* b) { return a->ServerHandle() < b->ServerHandle(); });
        HRESULT hr;
        if (riid == IID_IEnumString) {
            std::vector<std::wstring> names;
            names.reserve(groups.size());
            for (OPCGroup* group : groups) names.push_back(group->Name());
            hr = StringEnumerator::Create(std::move(names), reinterpret_cast<IEnumString**>(ppUnk));
        } else {
            std::vector<Microsoft::WRL::ComPtr<IUnknown>> unknowns;
            unknowns.reserve(groups.size());
            for (OPCGroup* group : groups) unknowns.emplace_back(static_cast<IOPCItemMgt*>(group));
            hr = UnknownEnumerator::Create(std::move(unknowns), reinterpret_cast<IEnumUnknown**>(ppUnk));
        }
        if (FAILED(hr)) return hr;
        return groups.empty() ? S_FALSE : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

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
    NoteCall(L"IOPCBrowseServerAddressSpace::QueryOrganization");
    if (pNameSpaceType == nullptr) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

STDMETHODIMP OPCServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    NoteCall(L"IOPCBrowseServerAddressSpace::ChangeBrowsePosition");
    if (m_bClosing.load()) return E_FAIL;
    try {
        ScopedLock guard(m_csGroups);
        // Under the configuration lock the position and its neighbours cannot
        // be deleted while they are looked at.
        ScopedLock configuration(m_Configuration.Lock());
        OPCS_TagGroup* position = m_BrowsePosition.Group();
        if (dwBrowseDirection == OPC_BROWSE_UP) {
            if (position == nullptr) return E_FAIL;
            m_BrowsePosition.MoveTo(OPCS_TagGroup::IsValidGroup(position) ? PositionAbove(m_Configuration, position)
                                                                          : nullptr);
            return S_OK;
        }
        if (dwBrowseDirection == OPC_BROWSE_TO) {
            // Nothing names the root; a name that is no branch leaves the position where it was.
            if (szString == nullptr || *szString == L'\0') {
                m_BrowsePosition.MoveTo(nullptr);
                return S_OK;
            }
            OPCS_TagGroup* branch = BranchNamed(m_Configuration, szString);
            if (branch == nullptr) return E_FAIL;
            m_BrowsePosition.MoveTo(branch);
            return S_OK;
        }
        const std::wstring name = TextOf(szString);
        if (position == nullptr) {
            for (OPCS_TagGroup* branch : BranchesAtRoot(m_Configuration)) {
                if (OPCS_TagGroup::IsValidGroup(branch) && EqualsNoCase(branch->GetName(), name)) {
                    m_BrowsePosition.MoveTo(branch);
                    return S_OK;
                }
            }
            return E_INVALIDARG;
        }
        if (!OPCS_TagGroup::IsValidGroup(position)) return E_INVALIDARG;
        for (OPCS_TagGroup* child : BranchesBelow(m_Configuration, position)) {
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
    NoteCall(L"IOPCBrowseServerAddressSpace::BrowseOPCItemIDs");
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
    NoteCall(L"IOPCBrowseServerAddressSpace::GetItemID");
    if (m_bClosing.load()) return E_FAIL;
    if (szItemID == nullptr) return E_INVALIDARG;
    *szItemID = nullptr;
    if (szItemDataID == nullptr) return E_INVALIDARG;
    try {
        ScopedLock guard(m_csGroups);
        ScopedLock configuration(m_Configuration.Lock());
        const std::wstring_view name(szItemDataID);
        OPCS_TagGroup* position = m_BrowsePosition.Group();
        bool found = false;
        std::wstring itemId;
        if (position == nullptr) {
            // At the root the names are the devices'.
            {
                Dll<OPCS_Device*> devices;
                m_Configuration.CopyDeviceList(devices);
                for (OPCS_Device* device : devices) {
                    if (OPCS_TagGroup::IsValidGroup(device) && device->GetName() == name) {
                        found = true;
                        break;
                    }
                }
            }
            if (OPCS_TagGroup* control = m_Configuration.RootControlBranch(); !found && control != nullptr) {
                found = control->GetName() == name;
            }
        } else if (OPCS_TagGroup::IsValidGroup(position)) {
            itemId = position->GetPath();
            for (OPCS_TagGroup* child : BranchesBelow(m_Configuration, position)) {
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

STDMETHODIMP OPCServer::BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) {
    NoteCall(L"IOPCBrowseServerAddressSpace::BrowseAccessPaths");
    return E_NOTIMPL;
}

// IOPCCommon ----------------------------------------------------------------

STDMETHODIMP OPCServer::SetLocaleID(LCID dwLcid) {
    NoteCall(L"IOPCCommon::SetLocaleID");
    if (!IsAvailableLocale(dwLcid)) return E_INVALIDARG;
    m_dwLocale.store(dwLcid);
    m_bLocaleSet.store(true);
    return S_OK;
}

STDMETHODIMP OPCServer::GetLocaleID(LCID* pdwLcid) {
    NoteCall(L"IOPCCommon::GetLocaleID");
    if (pdwLcid == nullptr) return E_INVALIDARG;
    *pdwLcid = m_dwLocale.load();
    return S_OK;
}

STDMETHODIMP OPCServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    NoteCall(L"IOPCCommon::QueryAvailableLocaleIDs");
    if (pdwCount == nullptr || pdwLcid == nullptr) return E_INVALIDARG;
    *pdwCount = 0;
    *pdwLcid = nullptr;
    const auto locales = AvailableLocales();
    LCID* list = TaskAllocArray<LCID>(locales.size());
    if (list == nullptr) return E_OUTOFMEMORY;
    std::copy(locales.begin(), locales.end(), list);
    *pdwCount = static_cast<DWORD>(locales.size());
    *pdwLcid = list;
    return S_OK;
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    NoteCall(L"IOPCCommon::GetErrorString");
    return ErrorString(dwError, m_dwLocale.load(), ppString);
}

STDMETHODIMP OPCServer::SetClientName(LPCWSTR szName) {
    NoteCall(L"IOPCCommon::SetClientName");
    if (szName == nullptr) return E_INVALIDARG;
    try {
        std::wstring name(szName);
        bool first = false;
        {
            ScopedLock guard(m_csClient);
            if (name == m_szClientName) return S_OK;
            first = m_szClientName.empty();
            m_szClientName = name;
        }
        {
            ScopedLock guard(m_csGroups);
            if (m_pLink) m_pLink->SetClientName(name);
        }
        if (!name.empty()) {
            theEventLog << (first ? L"OPC client connected - Name:" : L"OPC client renamed - Name:") << name
                        << EventLog::EndEntry;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// IConnectionPointContainer --------------------------------------------------

ConnectionPoint* OPCServer::ShutdownPoint() {
    ScopedLock guard(m_csClient);
    if (m_bClosing.load()) return nullptr;
    if (m_pShutdownPoint == nullptr) {
        m_pShutdownPoint = ConnectionPoint::Create(IID_IOPCShutdown, 0, [this]() -> IConnectionPointContainer* {
            return TryAddRef() ? static_cast<IConnectionPointContainer*>(this) : nullptr;
        });
        if (m_pShutdownPoint == nullptr) return nullptr;
    }
    m_pShutdownPoint->AddRef();
    return m_pShutdownPoint;
}

STDMETHODIMP OPCServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    NoteCall(L"IConnectionPointContainer::EnumConnectionPoints");
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    ConnectionPoint* point = ShutdownPoint();
    if (point == nullptr) return m_bClosing.load() ? E_FAIL : E_OUTOFMEMORY;
    try {
        std::vector<Microsoft::WRL::ComPtr<IConnectionPoint>> points;
        points.emplace_back(point);
        point->Release();
        return ConnectionPointEnumerator::Create(std::move(points), ppEnum);
    } catch (const std::bad_alloc&) {
        point->Release();
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    NoteCall(L"IConnectionPointContainer::FindConnectionPoint");
    if (ppCP == nullptr) return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_IOPCShutdown) return CONNECT_E_NOCONNECTION;
    ConnectionPoint* point = ShutdownPoint();
    if (point == nullptr) return m_bClosing.load() ? E_FAIL : E_OUTOFMEMORY;
    *ppCP = point;
    return S_OK;
}

std::vector<Microsoft::WRL::ComPtr<IOPCShutdown>> OPCServer::ShutdownSinks() {
    ConnectionPoint* point = nullptr;
    {
        ScopedLock guard(m_csClient);
        point = m_pShutdownPoint;
        if (point != nullptr) point->AddRef();
    }
    if (point == nullptr) return {};
    auto sinks = point->Sinks<IOPCShutdown>();
    point->Release();
    return sinks;
}

ClientIdentity OPCServer::Client() const {
    ClientIdentity client;
    client.process = m_Process;
    ScopedLock guard(m_csClient);
    client.name = m_szClientName;
    return client;
}

// The operator's view ---------------------------------------------------------

ClientSnapshot OPCServer::Describe() {
    ClientSnapshot client;
    {
        ScopedLock guard(m_csClient);
        client.clientName = m_szClientName;
    }
    client.connectedSince = m_ftConnected;
    const wchar_t* call = m_pLastCall.load();
    std::uint64_t callTime = m_u64LastCallTime.load();
    ScopedLock guard(m_csGroups);
    client.groups = static_cast<DWORD>(m_Groups.size());
    for (const auto& entry : m_Groups) {
        client.items += static_cast<DWORD>(entry.second->ItemCount());
        const OPCGroup::SubscriptionCount subscriptions = entry.second->Subscriptions();
        client.dataObjectSubscriptions += subscriptions.dataObject;
        client.callbackSubscriptions += subscriptions.callback;
    }
    DaVersion version = static_cast<DaVersion>(m_nDaVersion.load());
    if (m_pLink) {
        version = std::max(version, m_pLink->HighestDaVersion());
        // The groups record their calls on the link.
        FILETIME groupCallTime{};
        const wchar_t* groupCall = m_pLink->LastCall(groupCallTime);
        if (groupCall != nullptr && FileTimeToU64(groupCallTime) >= callTime) {
            call = groupCall;
            callTime = FileTimeToU64(groupCallTime);
        }
    }
    if (call != nullptr) client.lastCall = call;
    client.lastCallTime = U64ToFileTime(callTime);
    client.daVersion = DaVersionText(version);
    return client;
}

// Process level -------------------------------------------------------------

void OPCServer::CheckClientGone(std::shared_ptr<ServerLink> link) {
    g_reapers.fetch_add(1);
    if (g_reapingClosed.load() || !link) {
        g_reapers.fetch_sub(1);
        return;
    }
    try {
        std::thread([link] {
            if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
                if (OPCServer* server = link->Acquire()) {
                    server->ReleaseGroupsIfClientGone();
                    server->Release();
                }
                CoUninitialize();
            }
            g_reapers.fetch_sub(1);
        }).detach();
    } catch (...) {
        g_reapers.fetch_sub(1);  // no thread: the groups stay, as before any sink failed
    }
}

void OPCServer::ReleaseGroupsIfClientGone() {
    if (m_bClosing.load()) return;
    // A shutdown sink is never called until the end: its client is looked at now.
    ConnectionPoint* point = nullptr;
    {
        ScopedLock guard(m_csClient);
        point = m_pShutdownPoint;
        if (point != nullptr) point->AddRef();
    }
    if (point != nullptr) {
        point->DropEnded();
        const bool answers = point->IsConnected();
        point->Release();
        if (answers) return;
    }
    std::unordered_map<OPCHANDLE, OPCGroup*> groups;
    {
        ScopedLock guard(m_csGroups);
        for (const auto& entry : m_Groups) {
            if (entry.second->SinkCount() != 0) return;  // a sink still answers: the client lives
        }
        groups.swap(m_Groups);
    }
    if (groups.empty()) return;
    theEventLog << L"OPC client gone - its groups are released: " << static_cast<unsigned long>(groups.size())
                << EventLog::EndEntry;
    for (auto& entry : groups) {
        entry.second->Abandon();
        entry.second->Release();
    }
}

void OPCServer::DestroyAllServers() {
    // No server is let go by a gone client's clean-up from here on.
    g_reapingClosed.store(true);
    while (g_reapers.load() != 0) Sleep(1);
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
