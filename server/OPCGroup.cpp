#include "OPCGroup.h"

#include <algorithm>
#include <new>
#include <unordered_set>
#include <utility>

#include "CEnumItemAttributes.h"
#include "CallbackBatch.h"
#include "ClientObjects.h"
#include "Configuration.h"
#include "EngineeringUnits.h"
#include "EventLog.h"
#include "FileTime.h"
#include "HandleTable.h"
#include "OPCServer.h"
#include "PollRequestBatch.h"
#include "OpcConstants.h"
#include "OPCS_Tag.h"
#include "CallArrays.h"
#include "TaskMem.h"

namespace {
// Every live group, so that the program's exit can stop their threads before
// the configuration they scan goes away.
struct GroupRegistry {
    CriticalSection lock;
    std::unordered_set<OPCGroup*> groups;
};
GroupRegistry& Registry() {
    static GroupRegistry registry;
    return registry;
}

}  // namespace

// Life cycle ------------------------------------------------------------------

OPCGroup::OPCGroup(std::shared_ptr<ServerLink> server) noexcept
    : ComObject(0), m_pServer(std::move(server)), m_hServerGroup(IssueServerHandle()) {
    {
        GroupRegistry& registry = Registry();
        ScopedLock guard(registry.lock);
        try {
            registry.groups.insert(this);
        } catch (...) {
            // Unlisted, the group's threads are stopped by its own destruction only.
        }
    }
    m_pDataCallback = ConnectionPoint::Create(IID_IOPCDataCallback, 1, [this]() -> IConnectionPointContainer* {
        return TryAddRef() ? static_cast<IConnectionPointContainer*>(this) : nullptr;
    });
    PostClientObjectMessage(true);
}

OPCGroup::~OPCGroup() {
    // First: a client that still holds the point no longer reaches the group,
    // and a running thread finds no sink. The point itself stays until the
    // threads have stopped: they still ask it.
    if (m_pDataCallback != nullptr) m_pDataCallback->Detach();
    {
        GroupRegistry& registry = Registry();
        ScopedLock guard(registry.lock);
        registry.groups.erase(this);
    }
    SignalStop();
    JoinThreads();
    if (m_pDataCallback != nullptr) {
        m_pDataCallback->Release();
        m_pDataCallback = nullptr;
    }
    std::vector<DataConnection> connections;
    {
        ScopedLock guard(m_csAdvise);
        connections.swap(m_DataConnections);
        m_nDataAdvise.store(0);
    }
    connections.clear();  // the sinks go outside the lock
    DeleteRetiredItems();
    {
        ScopedLock guard(m_csItems);
        PollRequestBatch polls;
        m_Items.ForEach([&polls](COPCItem* item) {
            polls.AddStop(item->EndActivation());
            delete item;
        });
        m_Items.Clear();
        polls.Flush();
    }
    // Last: the count of client objects may end a COM-started process, which
    // destroys the configuration this group's threads and items used.
    PostClientObjectMessage(false);
}

size_t OPCGroup::SinkCount() noexcept {
    const LONG advised = m_nDataAdvise.load();
    return (advised > 0 ? static_cast<size_t>(advised) : 0) +
           (m_pDataCallback != nullptr ? m_pDataCallback->ConnectionCount() : 0);
}

void OPCGroup::Abandon() {
    // The references its clients held through COM go; the threads stop at
    // once rather than with the last reference, which may be held elsewhere.
    CoDisconnectObject(static_cast<IOPCGroupStateMgt*>(this), 0);
    SignalStop();
    JoinThreads();
}

void OPCGroup::OnSinkGone() {
    if (m_pServer) OPCServer::CheckClientGone(m_pServer);
}

void OPCGroup::StopAllGroupThreads() {
    GroupRegistry& registry = Registry();
    ScopedLock guard(registry.lock);
    // All are told first: the grace of the calls their clients do not answer runs once, not once a group.
    for (OPCGroup* group : registry.groups) group->SignalStop();
    for (OPCGroup* group : registry.groups) group->JoinThreads();
}

std::optional<DWORD> OPCGroup::FastestRateOf(const OPCS_Tag* tag) {
    std::optional<DWORD> fastest;
    GroupRegistry& registry = Registry();
    ScopedLock guard(registry.lock);
    for (OPCGroup* group : registry.groups) {
        if (!group->m_bActive.load()) continue;
        const DWORD rate = group->m_dwUpdateRate.load();
        if (fastest && *fastest <= rate) continue;
        ScopedLock items(group->m_csItems);
        bool holds = false;
        group->m_Items.ForEach(
            [tag, &holds](COPCItem* item) { holds = holds || (item->IsActive() && item->IsOf(tag)); });
        if (holds) fastest = rate;
    }
    return fastest;
}

void OPCGroup::SignalStop() noexcept {
    m_bDataThreadRun.store(false);
    m_bASyncThreadRun.store(false);
    // A client's call that releases the group's last reference runs this on
    // the caller's thread: the group's thread that waits for that call lets
    // go of it at once.
    m_DataCaller.Stop(m_DataCaller.IsCallingThread());
    m_ASyncCaller.Stop(m_ASyncCaller.IsCallingThread());
    m_DataThreadWake.Set();
    m_ASyncThreadWake.Set();
}

void OPCGroup::JoinThreads() {
    StopThread(m_DataThread, m_bDataThreadRun, m_DataThreadWake);
    StopThread(m_ASyncThread, m_bASyncThreadRun, m_ASyncThreadWake);
}

void OPCGroup::StopThread(Thread& thread, std::atomic<bool>& run, AutoResetEvent& wake) {
    run.store(false);
    wake.Set();
    // A group released from inside its own thread (a callback that lets go of
    // the last reference) cannot wait for itself: that thread ends on its own.
    if (thread.Id() == CurrentThreadId()) {
        thread.Detach();
    } else {
        thread.Join();
    }
}

bool OPCGroup::Initialize(std::wstring name, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          const LONG* pTimeBias, const FLOAT* pPercentDeadband, DWORD dwLCID) {
    if (m_bInitialized) return true;
    m_bInitialized = true;
    {
        ScopedLock guard(m_csName);
        m_szName = std::move(name);
    }
    m_dwUpdateRate.store(dwRequestedUpdateRate);
    m_bActive.store(bActive != FALSE);
    m_hClientGroup.store(hClientGroup);
    if (pTimeBias != nullptr) m_lTimeBias.store(*pTimeBias);
    if (pPercentDeadband != nullptr) m_fPercentDeadband.store(*pPercentDeadband);
    m_dwLCID.store(dwLCID);
    if (m_hServerGroup == 0 || m_pDataCallback == nullptr || !m_DataThreadWake.IsValid() ||
        !m_ASyncThreadWake.IsValid())
        return false;

    m_bDataThreadRun.store(true);
    m_bASyncThreadRun.store(true);
    try {
        if (!m_DataThread.Start([this] { return DataThreadBody(); })) return false;
        if (!m_ASyncThread.Start([this] { return ASyncThreadBody(); })) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    theEventLog << L"OPCGroup::Initialize - GrpName:" << Name() << L"UpdateTime(ms)"
                << static_cast<unsigned long>(dwRequestedUpdateRate) << EventLog::EndEntry;
    return true;
}

std::wstring OPCGroup::Name() const {
    ScopedLock guard(m_csName);
    return m_szName;
}

// IOPCGroupStateMgt -------------------------------------------------------------

STDMETHODIMP OPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                OPCHANDLE* phServerGroup) {
    NoteCall(L"IOPCGroupStateMgt::GetState");
    if (ppName != nullptr) {
        try {
            *ppName = TaskStrDup(Name());
        } catch (const std::bad_alloc&) {
            *ppName = nullptr;
        }
        if (*ppName == nullptr) return E_OUTOFMEMORY;
    }
    if (pUpdateRate != nullptr) *pUpdateRate = m_dwUpdateRate.load();
    if (pActive != nullptr) *pActive = m_bActive.load();
    if (pTimeBias != nullptr) *pTimeBias = m_lTimeBias.load();
    if (pPercentDeadband != nullptr) *pPercentDeadband = m_fPercentDeadband.load();
    if (pLCID != nullptr) *pLCID = m_dwLCID.load();
    if (phClientGroup != nullptr) *phClientGroup = m_hClientGroup.load();
    if (phServerGroup != nullptr) *phServerGroup = m_hServerGroup;
    return S_OK;
}

STDMETHODIMP OPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                                FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) {
    NoteCall(L"IOPCGroupStateMgt::SetState");
    if (pRequestedUpdateRate != nullptr) m_dwUpdateRate.store(*pRequestedUpdateRate);
    if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = m_dwUpdateRate.load();
    if (pTimeBias != nullptr) m_lTimeBias.store(*pTimeBias);
    if (pPercentDeadband != nullptr) m_fPercentDeadband.store(*pPercentDeadband);
    if (pLCID != nullptr) m_dwLCID.store(*pLCID);
    if (phClientGroup != nullptr) m_hClientGroup.store(*phClientGroup);
    theEventLog << L"OPCGroup::SetState - GrpName:" << Name() << L"Update Rate (ms):"
                << static_cast<unsigned long>(m_dwUpdateRate.load()) << EventLog::EndEntry;
    if (pActive == nullptr) return S_OK;
    const BOOL active = *pActive != FALSE;
    if (m_bActive.exchange(active) == active) return S_OK;
    if (active) {
        ActivateItems();
        // A flush with nothing pending is no failure of the client's call.
        FlushDataChange();
        // The first scan of the newly active group need not wait out the period.
        m_DataThreadWake.Set();
        return S_OK;
    }
    DeactivateItems();
    return S_OK;
}

STDMETHODIMP OPCGroup::SetName(LPCWSTR szName) {
    NoteCall(L"IOPCGroupStateMgt::SetName");
    if (szName == nullptr) return E_FAIL;
    OPCServer* server = m_pServer ? m_pServer->Acquire() : nullptr;
    if (server == nullptr) return E_FAIL;
    HRESULT hr;
    try {
        hr = server->RenameGroup(this, szName);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    server->Release();
    return hr;
}

void OPCGroup::ApplyName(std::wstring name) {
    ScopedLock guard(m_csName);
    m_szName = std::move(name);
}

STDMETHODIMP OPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    NoteCall(L"IOPCGroupStateMgt::CloneGroup");
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    OPCServer* server = m_pServer ? m_pServer->Acquire() : nullptr;
    if (server == nullptr) return E_FAIL;
    LONG timeBias = m_lTimeBias.load();
    FLOAT deadband = m_fPercentDeadband.load();
    const HRESULT hr = server->AddGroup(szName, FALSE, m_dwUpdateRate.load(), m_hClientGroup.load(), &timeBias,
                                        &deadband, m_dwLCID.load(), nullptr, nullptr, riid, ppUnk);
    server->Release();
    return hr;
}

// IOPCPublicGroupStateMgt -----------------------------------------------------

STDMETHODIMP OPCGroup::GetState(BOOL* pPublic) {
    NoteCall(L"IOPCPublicGroupStateMgt::GetState");
    if (pPublic == nullptr) return E_INVALIDARG;
    *pPublic = FALSE;
    return S_OK;
}

STDMETHODIMP OPCGroup::MoveToPublic() {
    NoteCall(L"IOPCPublicGroupStateMgt::MoveToPublic");
    return E_NOTIMPL;
}

// IOPCItemMgt -------------------------------------------------------------------

HRESULT OPCGroup::ResolveItems(DWORD dwCount, const OPCITEMDEF* pItemArray, bool keep, OPCITEMRESULT** ppResults,
                               HRESULT** ppErrors) {
    if (pItemArray == nullptr || ppResults == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppResults = nullptr;
    *ppErrors = nullptr;
    CallArrays<OPCITEMRESULT> arrays;
    if (!arrays.Allocate(dwCount, true)) return E_OUTOFMEMORY;
    OPCITEMRESULT* results = arrays.results.get();
    HRESULT* errors = arrays.errors.get();
    Configuration* configuration = m_pServer ? &m_pServer->GetConfiguration() : nullptr;
    HRESULT result = S_OK;
    {
        ScopedLock guard(m_csItems);
        if (keep) {
            try {
                m_Items.Reserve(dwCount);
            } catch (const std::bad_alloc&) {
                // Append reports it item by item.
            }
        }
        const bool activate = keep && m_bActive.load();
        PollRequestBatch polls;  // made when the loop is over, still under the item lock
        for (DWORD i = 0; i < dwCount; ++i) {
            const OPCITEMDEF& definition = pItemArray[i];
            OPCS_Tag* tag = nullptr;
            if (configuration != nullptr && definition.szItemID != nullptr) {
                try {
                    tag = configuration->FindTag(definition.szItemID);
                } catch (const std::bad_alloc&) {
                    tag = nullptr;
                }
            }
            if (!OPCS_Tag::IsValidTag(tag)) {
                errors[i] = OPC_E_UNKNOWNITEMID;
                result = S_FALSE;
                continue;
            }
            OPCITEMRESULT& record = results[i];
            if (!keep) {
                // Validation keeps nothing: the record is the tag's, and its
                // handle names no item.
                record.hServer = IssueServerHandle();
                record.vtCanonicalDataType = tag->GetDataType();
                record.dwAccessRights = OPC_READABLE | (tag->GetAccessMode() == 1 ? DWORD{OPC_WRITEABLE} : DWORD{0});
                errors[i] = S_OK;
                continue;
            }
            auto* item = new (std::nothrow) COPCItem(tag, IssueServerHandle());
            if (item == nullptr || !m_Items.Append(item->ServerHandle(), item)) {
                delete item;
                errors[i] = E_OUTOFMEMORY;
                for (DWORD j = i + 1; j < dwCount; ++j) errors[j] = E_FAIL;  // never attempted
                result = S_FALSE;
                break;
            }
            item->CountChangesIn(&m_ullChangeStamp);
            if (activate) polls.AddStart(item, item->BeginActivation());
            item->SetActive(definition.bActive != FALSE);
            item->SetClientHandle(definition.hClient);
            item->SetRequestedTypeOfNew(definition.vtRequestedDataType);
            record.hServer = item->ServerHandle();
            record.vtCanonicalDataType = item->AddedType();
            record.dwAccessRights = item->AddedAccessRights();
            errors[i] = S_OK;
        }
    }
    *ppResults = arrays.results.release();
    *ppErrors = arrays.errors.release();
    return result;
}

STDMETHODIMP OPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                HRESULT** ppErrors) {
    NoteCall(L"IOPCItemMgt::AddItems");
    return ResolveItems(dwCount, pItemArray, true, ppAddResults, ppErrors);
}

STDMETHODIMP OPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                     HRESULT** ppErrors) {
    NoteCall(L"IOPCItemMgt::ValidateItems");
    return ResolveItems(dwCount, pItemArray, false, ppValidationResults, ppErrors);
}

STDMETHODIMP OPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemMgt::RemoveItems");
    if (phServer == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppErrors = nullptr;
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    const HRESULT result = WalkHandles(
        dwCount, phServer, arrays.errors.get(), E_FAIL, [this](OPCHANDLE h) { return m_Items.Remove(h); },
        [this](COPCItem& item, DWORD) {
            RetireItem(&item);
            return S_OK;
        });
    {
        ScopedLock guard(m_csItems);
        m_Items.Compact();
    }
    // The removed items end their poll requests and let go of their tags on
    // the group's own thread once the client pauses: its call touches none.
    m_ASyncThreadWake.Set();
    *ppErrors = arrays.errors.release();
    return result;
}

void OPCGroup::RetireItem(COPCItem* item) noexcept {
    // The caller holds the item lock. Without room in the list the item goes at once.
    m_Sampling.Forget(item->ServerHandle());
    try {
        item->EnableBuffer(false, m_Sampling.Budget());
    } catch (...) {
        // Turning off allocates nothing.
    }
    try {
        if (m_RetiredItems.empty()) m_u64RetiredSince = FileTimeToU64(FileTimeNow());
        m_RetiredItems.push_back(item);
    } catch (...) {
        delete item;
    }
}

DWORD OPCGroup::RetiredItemsWait() {
    // A pause: no call for a while. A client that never pauses still sees
    // its items go within a second.
    constexpr std::uint64_t kPause = 20 * 10000, kLatest = 1000 * 10000;  // in FILETIME units
    std::uint64_t since = 0;
    {
        ScopedLock guard(m_csItems);
        if (m_RetiredItems.empty()) return INFINITE;
        since = m_u64RetiredSince;
    }
    const std::uint64_t now = FileTimeToU64(FileTimeNow());
    FILETIME lastCall{};
    if (m_pServer) m_pServer->LastCall(lastCall);
    const std::uint64_t called = FileTimeToU64(lastCall);
    if (now < since || now < called) return 0;  // the clock was set back: no waiting on it
    const std::uint64_t pauseEnds = called + kPause, latest = since + kLatest;
    const std::uint64_t due = std::min(pauseEnds, latest);
    return due <= now ? 0 : static_cast<DWORD>((due - now + 9999) / 10000);
}

void OPCGroup::DeleteRetiredItems() {
    std::vector<COPCItem*> retired;
    {
        ScopedLock guard(m_csItems);
        if (m_RetiredItems.empty()) return;
        retired.swap(m_RetiredItems);
        // The requests end while the items still hold their tags, and with
        // them their devices.
        PollRequestBatch polls;
        for (COPCItem* item : retired) polls.AddStop(item->EndActivation());
        polls.Flush();
    }
    for (COPCItem* item : retired) delete item;
}

template <class Apply>
HRESULT OPCGroup::ForEachHandle(DWORD dwCount, const OPCHANDLE* phServer, HRESULT** ppErrors, Apply&& apply) {
    *ppErrors = nullptr;
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    const HRESULT result = WalkHandles(
        dwCount, phServer, arrays.errors.get(), E_FAIL, [this](OPCHANDLE h) { return m_Items.Find(h); },
        [&apply](COPCItem& item, DWORD i) {
            apply(item, i);
            return S_OK;
        });
    *ppErrors = arrays.errors.release();
    return result;
}

STDMETHODIMP OPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemMgt::SetActiveState");
    if (phServer == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [bActive](COPCItem& item, DWORD) { item.SetActive(bActive != FALSE); });
}

STDMETHODIMP OPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemMgt::SetClientHandles");
    if (phServer == nullptr || phClient == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [phClient](COPCItem& item, DWORD i) { item.SetClientHandle(phClient[i]); });
}

STDMETHODIMP OPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                    HRESULT** ppErrors) {
    NoteCall(L"IOPCItemMgt::SetDatatypes");
    if (phServer == nullptr || pRequestedDatatypes == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    return ForEachHandle(dwCount, phServer, ppErrors, [pRequestedDatatypes](COPCItem& item, DWORD i) {
        item.SetRequestedType(pRequestedDatatypes[i]);
    });
}

STDMETHODIMP OPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    NoteCall(L"IOPCItemMgt::CreateEnumerator");
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    return CEnumItemAttributes::Create(this, riid, reinterpret_cast<void**>(ppUnk));
}

bool OPCGroup::NextItemAttributes(OPCHANDLE after, OPCITEMATTRIBUTES& record, OPCHANDLE& handle) {
    ScopedLock guard(m_csItems);
    const auto* entry = m_Items.NextAfter(after);
    if (entry == nullptr) return false;
    const COPCItem& item = *entry->object;
    handle = entry->handle;
    record = OPCITEMATTRIBUTES{};
    record.szAccessPath = TaskStrDup(L"");
    try {
        record.szItemID = TaskStrDup(item.ItemID());
    } catch (const std::bad_alloc&) {
        record.szItemID = nullptr;
    }
    record.bActive = item.IsActive();
    record.hClient = item.ClientHandle();
    record.hServer = item.ServerHandle();
    record.dwAccessRights = item.AccessRights();
    record.vtRequestedDataType = item.RequestedType();
    record.vtCanonicalDataType = item.CanonicalType();
    VariantInit(&record.vEUInfo);
    double low = 0, high = 0;
    const bool limits = item.ValueLimits(low, high);
    EngineeringUnits(limits, low, high, record.dwEUType, record.vEUInfo);
    return true;
}

OPCHANDLE OPCGroup::NextItemHandle(OPCHANDLE after) {
    ScopedLock guard(m_csItems);
    const auto* entry = m_Items.NextAfter(after);
    return entry != nullptr ? entry->handle : 0;
}

size_t OPCGroup::ItemCount() {
    ScopedLock guard(m_csItems);
    return m_Items.Count();
}

// Items and threads ---------------------------------------------------------------

void OPCGroup::ActivateItems() {
    ScopedLock guard(m_csItems);
    PollRequestBatch polls;
    m_Items.ForEach([&polls](COPCItem* item) { polls.AddStart(item, item->BeginActivation()); });
    polls.Flush();
}

void OPCGroup::DeactivateItems() {
    ScopedLock guard(m_csItems);
    PollRequestBatch polls;
    m_Items.ForEach([&polls](COPCItem* item) { polls.AddStop(item->EndActivation()); });
    polls.Flush();
}

bool OPCGroup::ScanItems(CallbackBatch* batch, DWORD cookie) {
    ScopedLock guard(m_csItems);
    bool anyChanged = false;
    m_ullScanFrom = m_ullChangeStamp;
    if (!m_Sampling.IsIdle()) {
        // Some items are sampled at their own rate or buffer their samples:
        // the former are brought up to date only when due, the latter hand
        // over every change kept since the last callback.
        const ULONGLONG now = TickCountMs();
        SampleBudget& budget = m_Sampling.Budget();
        m_Items.ForEach([&anyChanged, batch, cookie, now, &budget](COPCItem* item) {
            try {
                if (item->TakeSampleDue(now)) {
                    item->Update();
                    if (batch != nullptr) item->BufferChange(cookie, budget);
                }
                anyChanged = anyChanged || item->IsChanged();
                if (batch == nullptr || !item->IsActive()) return;
                if (item->IsBuffered()) {
                    item->MoveBufferTo(*batch, budget);
                } else if (item->TakeCallbackChange(cookie)) {
                    batch->Add(item->Cached());
                }
            } catch (const std::bad_alloc&) {
                // As below: this change is lost to this callback.
            }
        });
        return anyChanged;
    }
    // One pass for both paths: 10,000 items walked once, not twice, under the lock.
    m_Items.ForEach([&anyChanged, batch, cookie](COPCItem* item) {
        item->Update();
        anyChanged = anyChanged || item->IsChanged();
        // A new connection (a new cookie) first gets every active item.
        if (batch != nullptr && item->IsActive() && item->TakeCallbackChange(cookie)) {
            try {
                batch->Add(item->Cached());
            } catch (const std::bad_alloc&) {
                // This change is lost to this callback; the next ones go as usual.
            }
        }
    });
    return anyChanged;
}
