#pragma once
// An OPC group: the COM object a client creates with AddGroup. It owns the
// client's items and runs two threads: DataThread scans the items at the
// update rate, ASyncThread works off the queue of asynchronous requests.
// Clients subscribe through IDataObject (1.0a streams, every scan) or through
// the one IOPCDataCallback connection (2.0, by exception); no client is ever
// called while a lock of the group is held. The two threads call their
// client through a ClientCaller each, so that stopping them never waits long
// for a client that does not answer.
//
// Creation: `new (std::nothrow) OPCGroup(link)` gives reference count 0 and
// posts one more client object; the destructor posts the one fewer.
#include <windows.h>
#include <objidl.h>
#include <ocidl.h>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ASyncRequest.h"
#include "COPCItem.h"
#include "ClientCaller.h"
#include "ComObject.h"
#include "ConnectionPoint.h"
#include "CriticalSection.h"
#include "AutoResetEvent.h"
#include "ItemTable.h"
#include "KeepAliveTimer.h"
#include "OpcConstants.h"
#include "OpcDa.h"
#include "OpcDaInterfaces.h"
#include "SamplingSchedule.h"
#include "ServerLink.h"
#include "Thread.h"

class CallbackBatch;
class StreamBlock;

// The DA 3.0 interfaces answer their 2.05a bases as well (ComBaseInterface).
class OPCGroup final
    : public ComObject<IOPCGroupStateMgt2, IOPCPublicGroupStateMgt, IOPCSyncIO2, IOPCAsyncIO, IOPCAsyncIO3, IOPCItemMgt,
                       IDataObject, IConnectionPointContainer, IOPCItemDeadbandMgt, IOPCItemSamplingMgt> {
public:
    explicit OPCGroup(std::shared_ptr<ServerLink> server) noexcept;
    OPCGroup(const OPCGroup&) = delete;
    OPCGroup& operator=(const OPCGroup&) = delete;

    // Stores the state and starts the two threads; a second call does nothing.
    // False when the group has no server handle or a thread cannot start.
    bool Initialize(std::wstring name, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                    const LONG* pTimeBias, const FLOAT* pPercentDeadband, DWORD dwLCID);

    OPCHANDLE ServerHandle() const noexcept { return m_hServerGroup; }
    std::wstring Name() const;
    DWORD UpdateRate() const noexcept { return m_dwUpdateRate.load(); }
    bool IsActive() const noexcept { return m_bActive.load(); }

    // A reference unless the last one is already gone (the group is dying)
    // or was never taken.
    bool TryAddRef() noexcept { return ComObject::TryAddRef(false); }

    // The DA 3.0 interfaces only while the server offers them.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                          DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCGroupStateMgt2
    STDMETHODIMP SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override;
    STDMETHODIMP GetKeepAlive(DWORD* pdwKeepAliveTime) override;

    // IOPCPublicGroupStateMgt
    STDMETHODIMP GetState(BOOL* pPublic) override;
    STDMETHODIMP MoveToPublic() override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCSyncIO2
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                            WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // IOPCAsyncIO
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;

    // IOPCAsyncIO2
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;

    // IOPCAsyncIO3
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                            DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                          DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override;

    // IOPCItemDeadbandMgt
    STDMETHODIMP SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;

    // IOPCItemSamplingMgt
    STDMETHODIMP SetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwRequestedSamplingRate,
                                     DWORD** ppdwRevisedSamplingRate, HRESULT** ppErrors) override;
    STDMETHODIMP GetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD** ppdwSamplingRate,
                                     HRESULT** ppErrors) override;
    STDMETHODIMP ClearItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL* pbEnable, HRESULT** ppErrors) override;
    STDMETHODIMP GetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL** ppbEnable, HRESULT** ppErrors) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IDataObject
    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // Sends a pending data change to the advise connections: S_FALSE when
    // there is no connection or nothing pending. Without a caller the sinks
    // are called on this thread (a client's own call).
    HRESULT FlushDataChange(ClientCaller* caller = nullptr);
    // The group's sinks (advise connections and the callback connection).
    size_t SinkCount() noexcept;
    // Cuts the group off from its clients (their references go) and stops its
    // threads: its client is gone. The group itself ends with the last
    // reference held in the server.
    void Abandon();
    // Delivers a carried-out request's completion to the connection it names;
    // S_FALSE (dropped) when there is no such connection. On ASyncThread.
    HRESULT OnASyncComplete(const ASyncRequest& request);

    // For the item enumerator: the record of the first item whose server
    // handle follows `after` (0: the first of all), filled under the item
    // lock. False at the end of the table.
    bool NextItemAttributes(OPCHANDLE after, OPCITEMATTRIBUTES& record, OPCHANDLE& handle);
    // The server handle of the first item after `after`, or 0 at the end.
    OPCHANDLE NextItemHandle(OPCHANDLE after);
    size_t ItemCount();
    // The group's subscriptions, for the operator's list of clients; takes no lock.
    struct SubscriptionCount {
        DWORD dataObject = 0;  // IDataObject advise connections
        DWORD callback = 0;    // IOPCDataCallback connections
    };
    SubscriptionCount Subscriptions();
    // The change-driven OnDataChange of the items the scan found moved since
    // they were last reported; false when nothing was sent. On DataThread.
    bool SendCallbackChanges(IOPCDataCallback* sink, DWORD cookie, std::shared_ptr<CallbackBatch> batch);
    // Waits until the next scan is `due`, or less when a client's write may
    // be reported sooner; meanwhile samples the items with a rate of their
    // own and keeps the keep-alive.
    void WaitForNextScan(ULONGLONG due, ULONGLONG lastSent);
    // After a client's write through the group: its change goes out to the group's
    // subscriptions, if any, as soon as the rate allows.
    void ReportWriteSoon();

    // The rename itself, once the server has checked the name.
    void ApplyName(std::wstring name);

    // The fastest update rate of the active groups, of any client, in which
    // an active item shows `tag` (compared, never dereferenced); none when no
    // group scans it. Takes each group's item lock: the caller holds none.
    static std::optional<DWORD> FastestRateOf(const OPCS_Tag* tag);

    // Program exit: stops the threads of every live group, so that none scans
    // the configuration while it is destroyed. The groups stay usable for reads.
    static void StopAllGroupThreads();

private:
    ~OPCGroup() override;

    void ActivateItems();
    void DeactivateItems();
    // Runs Update on every valid item; true when any item is marked afterwards.
    // With a batch, the items whose change is due to the callback connection
    // `cookie` join it in the same pass.
    bool ScanItems(CallbackBatch* batch = nullptr, DWORD cookie = 0);
    unsigned DataThreadBody();
    // The data thread's work due at `now` between two scans; the tick at
    // which more will be due (KeepAliveTimer::kNever: none).
    ULONGLONG BetweenScans(ULONGLONG now);
    void SendKeepAlive();
    // The data thread looks again at when it must wake (a rate or keep-alive changed).
    void Reschedule() noexcept;
    unsigned ASyncThreadBody();
    // An item's state as its change left it for the advise connections.
    struct StampedReading {
        ULONGLONG changedAt;
        OPCHANDLE hServer;
        ItemReading reading;
    };
    // Items a 1.0a read completion sent a connection (by server handle), each
    // with the change stamp its reading carried: they are not its to report
    // again until they change anew.
    using ReadMarks = std::unordered_map<OPCHANDLE, ULONGLONG>;
    // What one advise connection was sent: every change stamped up to
    // `reportedUpTo`, and the items its reads carried.
    struct SentMarks {
        ULONGLONG reportedUpTo = 0;
        ReadMarks reads;
        bool Unsent(const StampedReading& change) const;
    };
    // One pass under the item lock for every connection: the cached state of
    // each item that changed after `since`, in table order; gives the stamp
    // that the gathered changes reach.
    ULONGLONG GatherChanges(ULONGLONG since, std::vector<StampedReading>& changes);
    // A data stream of the gathered changes that `sent` does not hold, built with no lock held.
    HRESULT BuildChangeStream(bool withTime, const std::vector<StampedReading>& changes, const SentMarks& sent,
                              DWORD dwTransactionID, STGMEDIUM* pmedium);
    HRESULT BuildReadingsStream(bool withTime, DWORD dwTransactionID, const std::vector<const ItemReading*>& readings,
                                STGMEDIUM* pmedium);
    // One item's record and value in a data stream at `offset`, which it advances.
    // A value that does not convert goes in its own type with bad quality:
    // the stream has no per-item error.
    static bool PutStreamItem(StreamBlock& block, size_t record, size_t& offset, bool withTime, OPCHANDLE hClient,
                              VARTYPE requested, const Variant& value, WORD quality, FILETIME timeStamp);
    // A 1.0a read completion: the requested items as the read found them.
    HRESULT BuildReadStream(bool withTime, const ASyncRequest& request, STGMEDIUM* pmedium);
    HRESULT BuildWriteCompleteStream(const ASyncRequest& request, STGMEDIUM* pmedium);
    // The advise connections in the order they were made (only those that
    // take data streams, for kData), each entry owning its sink reference
    // (there is no target device), with what each was sent when asked;
    // the caller holds m_csAdvise.
    enum class AdviseKind { kAll, kData };
    std::vector<STATDATA> AdviseConnections(AdviseKind kind = AdviseKind::kAll, std::vector<SentMarks>* sent = nullptr);
    // The connections of `cookies` have reported every change up to `stamp`.
    void NoteReported(const std::vector<DWORD>& cookies, ULONGLONG stamp);
    // A read completion carries `read` (items and their change stamps) to the connection `cookie`.
    void NoteRead(DWORD cookie, const std::vector<std::pair<OPCHANDLE, ULONGLONG>>& read);
    // The format of an advised connection, or 0 when there is none of that number.
    UINT ConnectionFormat(DWORD dwConnection);
    // Ends the advise connection of `cookie`, its sink let go outside the
    // lock; false when there is none.
    bool TakeDataConnection(DWORD cookie);
    // Drops the advise connections and the callback connection whose
    // advising client's process has ended, before anything is sent to them;
    // true when any went.
    bool DropEndedClients();
    // A sink of this group was dropped because its client is gone: the server
    // may find that its client has gone altogether.
    void OnSinkGone();
    // Checks the handles, copies the call into a request and queues it.
    HRESULT NewItemRequest(DWORD kind, DWORD dwConnection, DWORD dwSource, DWORD dwCount, const OPCHANDLE* phServer,
                           const VARIANT* pItemValues, DWORD* pTransactionID, HRESULT** ppErrors);
    // Gives a 2.0 request its cancel id and queues it; the caller holds
    // m_csItems. Throws bad_alloc with the queue unchanged.
    void QueueCallbackRequest(std::unique_ptr<ASyncRequest> request, DWORD* pdwCancelID);
    HRESULT QueueRequest(std::unique_ptr<ASyncRequest> request, DWORD* pTransactionID);
    // A removed item, withdrawn from the table under the item lock, kept
    // until DeleteRetiredItems.
    void RetireItem(COPCItem* item) noexcept;
    void DeleteRetiredItems();
    // Milliseconds the retired items still wait for a pause in the client's
    // calls (INFINITE without any): freed beside the reply to the client's
    // next call, thousands of them slow it.
    DWORD RetiredItemsWait();
    // Works one request on the items (under the item lock).
    void CarryOut(ASyncRequest& request);
    // The longest response delay of the devices a request reads from or
    // writes to (0 for cache reads); taken under the item lock.
    DWORD ResponseDelay(DWORD count, const OPCHANDLE* handles);
    // Decides a read by age's sources first.
    DWORD ResponseDelay(ASyncRequest& request);
    // Waits out a device's response delay holding no lock on the caller's
    // thread (request null) or on the group thread, where the wait ends early
    // when the group stops or a client cancels the request meanwhile.
    void WaitResponseDelay(DWORD milliseconds, ASyncRequest* request);
    // A 2.0 request: carried out, then its completion (or OnCancelComplete)
    // sent with no lock held.
    void CompleteCallbackRequest(ASyncRequest& request);
    // Queues a 2.0 read or write of the valid (for a write, writeable)
    // handles; the others get their error at once. A 3.0 read gives the
    // items' maximum ages, a 3.0 write its records instead of values.
    HRESULT NewCallbackRequest(DWORD kind, DWORD dwCount, const OPCHANDLE* phServer, const VARIANT* pItemValues,
                               DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors,
                               const DWORD* pMaxAges = nullptr, const OPCITEMVQT* pVqts = nullptr);
    // Refresh2 (from `source`) and RefreshMaxAge (`maxAge` given).
    HRESULT NewRefresh(DWORD source, std::optional<DWORD> maxAge, DWORD dwTransactionID, DWORD* pdwCancelID);
    // Under the item lock: the source of each item read by its maximum age
    // (0: no such item) and the longest response delay of those read from
    // their devices.
    DWORD DecideSources(DWORD count, const OPCHANDLE* handles, const DWORD* maxAges, DWORD* sources);
    // An item read from `source` as a read by age takes it; the caller holds the item lock.
    ItemReading ReadByAge(COPCItem& item, DWORD source);
    // A write of one record: its value, with its quality and timestamp where given.
    static HRESULT WriteRecord(COPCItem& item, const VARIANT& value, const ASyncRequest::QualityAndTime& extra);
    // The callback sink with a reference for the caller, or null.
    IOPCDataCallback* CallbackSink(DWORD* cookie);
    void NoteCall(const wchar_t* method) const noexcept {
        if (m_pServer) m_pServer->NoteCall(method);
    }
    // A call into the client (`method` names it, a literal) on `caller`, or
    // on this thread without one; E_ABORT when the group stopped before it
    // was made or before the client answered, which the event log then says.
    template <class Call>
    HRESULT CallClient(ClientCaller* caller, const wchar_t* method, Call&& call);
    void NoteNotAnswering(const wchar_t* method) noexcept;
    // IAdviseSink::OnDataChange with a stream that the call owns and frees.
    HRESULT SendStream(ClientCaller* caller, IAdviseSink* sink, const FORMATETC& format, const STGMEDIUM& medium);
    // Both threads are told to stop and their calls into the client to end
    // (at once for the call that runs this), without waiting.
    void SignalStop() noexcept;
    // Waits for both threads' end: SignalStop first.
    void JoinThreads();
    void StopThread(Thread& thread, std::atomic<bool>& run, AutoResetEvent& wake);
    // Item-definition work shared by AddItems and ValidateItems.
    HRESULT ResolveItems(DWORD dwCount, const OPCITEMDEF* pItemArray, bool keep, OPCITEMRESULT** ppResults,
                         HRESULT** ppErrors);
    // The walk of every call that takes server handles: under the item lock,
    // `take` finds (or withdraws) the item of each handle in order and
    // `apply(item, i)` gives its error; an invalid handle ends the walk with
    // E_FAIL, and an item's failure makes the result `onItemError`.
    template <class Take, class Apply>
    HRESULT WalkHandles(DWORD dwCount, const OPCHANDLE* phServer, HRESULT* errors, HRESULT onItemError, Take&& take,
                        Apply&& apply);
    // SetActiveState, SetClientHandles and SetDatatypes: the walk with its error array.
    template <class Apply>
    HRESULT ForEachHandle(DWORD dwCount, const OPCHANDLE* phServer, HRESULT** ppErrors, Apply&& apply);
    // The walk of the DA 3.0 calls, under the item lock: an invalid handle is
    // that entry's error and the walk goes on; S_FALSE when any entry failed.
    template <class Apply>
    HRESULT ForEachItem(DWORD dwCount, const OPCHANDLE* phServer, HRESULT* errors, Apply&& apply);
    // The same for the item settings calls, with their error array and,
    // where asked, a result array of `Result`.
    template <class Result, class Apply>
    HRESULT ItemSettingsCall(DWORD dwCount, const OPCHANDLE* phServer, Result** ppResults, HRESULT** ppErrors,
                             Apply&& apply);

    std::shared_ptr<ServerLink> m_pServer;  // the server that created the group, while it lives
    const OPCHANDLE m_hServerGroup;

    mutable CriticalSection m_csName;  // leaf lock: the name is read by other groups' lookups
    std::wstring m_szName;
    std::atomic<BOOL> m_bActive{FALSE};
    std::atomic<DWORD> m_dwUpdateRate{1000};
    std::atomic<OPCHANDLE> m_hClientGroup{0};
    std::atomic<LONG> m_lTimeBias{0};
    std::atomic<FLOAT> m_fPercentDeadband{0};
    std::atomic<DWORD> m_dwLCID{0};
    bool m_bInitialized = false;
    std::atomic<DWORD> m_dwNextTransactionID{2};
    std::atomic<DWORD> m_dwNextCancelID{1};
    std::atomic<BOOL> m_bCallbackEnabled{TRUE};
    std::atomic<LONG> m_nDataAdvise{0};  // live IDataObject connections, counted for Subscriptions
    bool m_bDataPending = false;
    struct DataConnection {
        DWORD cookie;
        FORMATETC format;  // without a target device
        DWORD advf;
        Microsoft::WRL::ComPtr<IAdviseSink> sink;
        ClientProcess client;    // of the call that advised
        ULONGLONG reportedUpTo;  // the changes it was sent: those stamped up to this
        ReadMarks reads;         // and, stamped later, those its reads carried
    };
    // Cookies are never used twice, so that a late call about a connection
    // that has gone can never meet another connection.
    std::vector<DataConnection> m_DataConnections;
    DWORD m_dwNextDataCookie = 1;
    bool m_bEverAdvised = false;  // before the first DAdvise there is no connection list at all

    ItemTable<COPCItem> m_Items;
    // Under m_csItems: the count of item changes, that count before the last
    // scan (where a new connection starts), and what a client's own GetData
    // reported last.
    ULONGLONG m_ullChangeStamp = 0;
    ULONGLONG m_ullScanFrom = 0;
    ULONGLONG m_ullGetDataUpTo = 0;
    std::vector<COPCItem*> m_RetiredItems;  // removed, their tags still held: deleted by the asynchronous thread
    std::uint64_t m_u64RetiredSince = 0;    // FILETIME of the oldest retired item
    std::deque<std::unique_ptr<ASyncRequest>> m_ASyncQueue;  // oldest first
    ASyncRequest* m_pDelayedRequest = nullptr;               // taken off the queue, waiting out a response delay
    CriticalSection m_csItems;   // guards m_Items, the items, the scans and the request queue
    CriticalSection m_csAdvise;  // guards the advise connections and m_bDataPending; never held across a client call
    ConnectionPoint* m_pDataCallback = nullptr;  // one reference; the group's only IOPCDataCallback point

    ClientCaller m_DataCaller;   // DataThread's calls into the client
    ClientCaller m_ASyncCaller;  // ASyncThread's
    Thread m_DataThread;
    std::atomic<bool> m_bDataThreadRun{false};
    std::atomic<bool> m_bReportSoon{false};   // the data thread's wake-up is a client's write
    std::atomic<bool> m_bRescheduled{false};  // the data thread's wake-up is a changed rate or keep-alive
    KeepAliveTimer m_KeepAlive;
    SamplingSchedule m_Sampling;  // under m_csItems
    AutoResetEvent m_DataThreadWake;
    Thread m_ASyncThread;
    std::atomic<bool> m_bASyncThreadRun{false};
    AutoResetEvent m_ASyncThreadWake;
};

template <class Call>
HRESULT OPCGroup::CallClient(ClientCaller* caller, const wchar_t* method, Call&& call) {
    if (caller == nullptr) return call();
    HRESULT result = S_OK;
    switch (caller->Run(std::forward<Call>(call), &result)) {
    case ClientCaller::Outcome::Answered: return result;
    case ClientCaller::Outcome::NotAnswered: NoteNotAnswering(method); return E_ABORT;
    default: return E_ABORT;
    }
}

template <class Apply>
HRESULT OPCGroup::ForEachItem(DWORD dwCount, const OPCHANDLE* phServer, HRESULT* errors, Apply&& apply) {
    HRESULT result = S_OK;
    ScopedLock guard(m_csItems);
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = m_Items.Find(phServer[i]);
        errors[i] = item != nullptr ? apply(*item, i) : OPC_E_INVALIDHANDLE;
        if (FAILED(errors[i])) result = S_FALSE;
    }
    return result;
}

template <class Take, class Apply>
HRESULT OPCGroup::WalkHandles(DWORD dwCount, const OPCHANDLE* phServer, HRESULT* errors, HRESULT onItemError,
                              Take&& take, Apply&& apply) {
    HRESULT result = S_OK;
    ScopedLock guard(m_csItems);
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = take(phServer[i]);
        if (item == nullptr) {
            errors[i] = OPC_E_INVALIDHANDLE;
            // Entries after it were never attempted: they say so rather than
            // keep the zero of S_OK.
            for (DWORD j = i + 1; j < dwCount; ++j) errors[j] = E_FAIL;
            return E_FAIL;
        }
        errors[i] = apply(*item, i);
        if (FAILED(errors[i])) result = onItemError;
    }
    return result;
}
