// The group's subscriptions: the data object the client advises, the streams
// it receives, and the data thread that scans the items at the update rate.
#include "OPCGroup.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "EnumSnapshot.h"
#include "CallbackBatch.h"
#include "EventLog.h"
#include "FileTime.h"
#include "ItemRequestRules.h"
#include "OpcConstants.h"
#include "OpcStreamLayout.h"
#include "ScanGrid.h"
#include "StreamBlock.h"
#include "StreamFormats.h"

using namespace OpcStream;

namespace {
size_t ItemRecordSize(bool withTime) { return withTime ? kItemWithTimeSize : kItemWithoutTimeSize; }

// Makes room for the fixed parts at once (only strings and arrays grow the
// block further) and writes the group header but its size, known last.
bool PutGroupHeader(StreamBlock& block, size_t count, bool withTime, OPCHANDLE hClientGroup, DWORD transactionId) {
    return block.Reserve(kGroupHeaderSize + count * (ItemRecordSize(withTime) + kValueRecordSize)) &&
           block.PutU32(kGroupItemCount, static_cast<std::uint32_t>(count)) &&
           block.PutU32(kGroupClientHandle, hClientGroup) && block.PutU32(kGroupTransactionId, transactionId) &&
           block.PutU32(kGroupStatus, static_cast<std::uint32_t>(S_OK));
}
}  // namespace

// IDataObject ---------------------------------------------------------------------

STDMETHODIMP OPCGroup::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) {
    NoteCall(L"IDataObject::GetData");
    if (pformatetcIn == nullptr || pmedium == nullptr) return E_INVALIDARG;
    HRESULT hr = QueryGetData(pformatetcIn);
    if (FAILED(hr)) return hr;
    // A client's own calls report what changed since its last call, beside
    // the advise connections and taking nothing from them.
    std::vector<StampedReading> changes;
    ULONGLONG since = 0, upTo = 0;
    try {
        ScopedLock guard(m_csItems);
        since = m_ullGetDataUpTo;
        upTo = GatherChanges(since, changes);
        m_ullGetDataUpTo = upTo;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    hr = BuildChangeStream(pformatetcIn->cfFormat != StreamFormatData(), changes, SentMarks{since, {}}, 0, pmedium);
    if (FAILED(hr)) {
        ScopedLock guard(m_csItems);
        if (m_ullGetDataUpTo == upTo) m_ullGetDataUpTo = since;  // the next call carries them
    }
    return hr;
}

STDMETHODIMP OPCGroup::GetDataHere(FORMATETC*, STGMEDIUM*) {
    NoteCall(L"IDataObject::GetDataHere");
    return E_NOTIMPL;
}

STDMETHODIMP OPCGroup::QueryGetData(FORMATETC* pformatetc) {
    NoteCall(L"IDataObject::QueryGetData");
    if (pformatetc == nullptr) return E_INVALIDARG;
    if (pformatetc->tymed != TYMED_HGLOBAL) return DV_E_TYMED;
    if (pformatetc->cfFormat == StreamFormatData() || pformatetc->cfFormat == StreamFormatDataTime()) return S_OK;
    return DV_E_FORMATETC;
}

STDMETHODIMP OPCGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) {
    NoteCall(L"IDataObject::GetCanonicalFormatEtc");
    return E_NOTIMPL;
}

STDMETHODIMP OPCGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) {
    NoteCall(L"IDataObject::SetData");
    return E_NOTIMPL;
}

STDMETHODIMP OPCGroup::EnumFormatEtc(DWORD, IEnumFORMATETC**) {
    NoteCall(L"IDataObject::EnumFormatEtc");
    return E_NOTIMPL;
}

STDMETHODIMP OPCGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) {
    NoteCall(L"IDataObject::DAdvise");
    if (pformatetc == nullptr || pAdvSink == nullptr || pdwConnection == nullptr) return E_INVALIDARG;
    if (pformatetc->dwAspect != DVASPECT_CONTENT || pformatetc->ptd != nullptr || pformatetc->tymed != TYMED_HGLOBAL ||
        pformatetc->lindex != -1) {
        return E_FAIL;
    }
    // A connection of any other format would be sent streams it cannot parse.
    const UINT format = pformatetc->cfFormat;
    if (format != StreamFormatData() && format != StreamFormatDataTime() && format != StreamFormatWriteComplete()) {
        return DV_E_FORMATETC;
    }
    DataConnection connection{0, *pformatetc, advf, pAdvSink, ClientProcess::OfCaller(), 0, {}};
    {
        // A new connection's first data change carries what the last scan found.
        ScopedLock guard(m_csItems);
        connection.reportedUpTo = m_ullScanFrom;
    }
    {
        ScopedLock guard(m_csAdvise);
        connection.cookie = m_dwNextDataCookie++;
        if (m_dwNextDataCookie == 0) m_dwNextDataCookie = 1;
        try {
            m_DataConnections.push_back(connection);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;  // `connection` lets the sink go below, outside the lock
        }
        m_bEverAdvised = true;
        ++m_nDataAdvise;
    }
    *pdwConnection = connection.cookie;
    if ((advf & ADVF_PRIMEFIRST) != 0 && format != StreamFormatWriteComplete()) {
        // The first stream, every item's state, goes at once, on the client's
        // own call and with no lock held.
        STGMEDIUM medium{};
        medium.tymed = TYMED_NULL;
        HRESULT hr = S_OK;
        if ((advf & ADVF_NODATA) == 0) {
            std::vector<StampedReading> changes;
            try {
                const ULONGLONG upTo = GatherChanges(0, changes);
                hr = BuildChangeStream(format != StreamFormatData(), changes, SentMarks{}, 0, &medium);
                if (SUCCEEDED(hr)) NoteReported({connection.cookie}, upTo);
            } catch (const std::bad_alloc&) {
                hr = E_OUTOFMEMORY;
            }
        }
        if (SUCCEEDED(hr)) pAdvSink->OnDataChange(pformatetc, &medium);
        if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal != nullptr) GlobalFree(medium.hGlobal);
        if ((advf & ADVF_ONLYONCE) != 0) TakeDataConnection(connection.cookie);
    }
    return S_OK;
}

STDMETHODIMP OPCGroup::DUnadvise(DWORD dwConnection) {
    NoteCall(L"IDataObject::DUnadvise");
    return TakeDataConnection(dwConnection) ? S_OK : OLE_E_NOCONNECTION;
}

bool OPCGroup::TakeDataConnection(DWORD cookie) {
    Microsoft::WRL::ComPtr<IAdviseSink> gone;
    {
        ScopedLock guard(m_csAdvise);
        for (auto it = m_DataConnections.begin(); it != m_DataConnections.end(); ++it) {
            if (it->cookie == cookie) {
                gone = std::move(it->sink);
                m_DataConnections.erase(it);
                --m_nDataAdvise;
                break;
            }
        }
    }
    // The sink is let go here, outside the lock: a remote sink's release is a
    // call into its client.
    return gone != nullptr;
}

STDMETHODIMP OPCGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    NoteCall(L"IDataObject::EnumDAdvise");
    if (ppenumAdvise == nullptr) return E_INVALIDARG;
    *ppenumAdvise = nullptr;
    std::vector<StatDataEnumTraits::Stored> entries;
    try {
        ScopedLock guard(m_csAdvise);
        if (!m_bEverAdvised) return OLE_E_NOCONNECTION;
        entries.reserve(m_DataConnections.size());
        for (const DataConnection& c : m_DataConnections) entries.push_back({c.format, c.advf, c.sink, c.cookie});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return StatDataEnumerator::Create(std::move(entries), ppenumAdvise);
}

// Streams -------------------------------------------------------------------------

ULONGLONG OPCGroup::GatherChanges(ULONGLONG since, std::vector<StampedReading>& changes) {
    ScopedLock guard(m_csItems);
    changes.clear();
    m_Items.ForEach([since, &changes](COPCItem* item) {
        if (item->ChangedAt() > since) changes.push_back({item->ChangedAt(), item->ServerHandle(), item->Cached()});
    });
    return m_ullChangeStamp;
}

bool OPCGroup::SentMarks::Unsent(const StampedReading& change) const {
    if (change.changedAt <= reportedUpTo) return false;
    if (reads.empty()) return true;
    const auto read = reads.find(change.hServer);
    return read == reads.end() || change.changedAt > read->second;
}

HRESULT OPCGroup::BuildChangeStream(bool withTime, const std::vector<StampedReading>& changes, const SentMarks& sent,
                                    DWORD dwTransactionID, STGMEDIUM* pmedium) {
    std::vector<const ItemReading*> readings;
    try {
        for (const StampedReading& change : changes) {
            if (sent.Unsent(change)) readings.push_back(&change.reading);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return BuildReadingsStream(withTime, dwTransactionID, readings, pmedium);
}

HRESULT OPCGroup::BuildReadingsStream(bool withTime, DWORD dwTransactionID,
                                      const std::vector<const ItemReading*>& readings, STGMEDIUM* pmedium) {
    const size_t count = readings.size();
    StreamBlock block;
    bool ok = PutGroupHeader(block, count, withTime, m_hClientGroup.load(), dwTransactionID);
    size_t offset = kGroupHeaderSize + count * ItemRecordSize(withTime);
    for (size_t i = 0; ok && i < count; ++i) {
        const ItemReading& r = *readings[i];
        const size_t record = kGroupHeaderSize + i * ItemRecordSize(withTime);
        ok = PutStreamItem(block, record, offset, withTime, r.hClient, r.requested, r.value, r.quality, r.timeStamp);
    }
    ok = ok && offset <= 0xFFFFFFFFu && block.PutU32(kGroupSize, static_cast<std::uint32_t>(offset));
    if (!ok) return E_OUTOFMEMORY;
    pmedium->tymed = TYMED_HGLOBAL;
    pmedium->hGlobal = block.Detach();
    pmedium->pUnkForRelease = nullptr;
    return S_OK;
}

bool OPCGroup::PutStreamItem(StreamBlock& block, size_t record, size_t& offset, bool withTime, OPCHANDLE hClient,
                             VARTYPE requested, const Variant& value, WORD quality, FILETIME timeStamp) {
    size_t written = 0;
    bool ok;
    if (value.IsEmpty() || requested == VT_EMPTY || value.Type() == requested) {
        ok = block.PutVariant(offset, value.Ref(), written);
    } else {
        Variant delivered;
        if (FAILED(ToRequestedType(value, requested, delivered))) {
            quality = OPC_QUALITY_BAD;
            ok = block.PutVariant(offset, value.Ref(), written);
        } else {
            ok = block.PutVariant(offset, delivered.Ref(), written);
        }
    }
    ok = ok && block.PutU32(record + kItemClientHandle, hClient) &&
         block.PutU32(record + kItemValueOffset, static_cast<std::uint32_t>(offset)) &&
         block.PutU16(record + kItemQuality, quality) && block.PutU16(record + kItemReserved, 0) &&
         (!withTime || block.PutFileTime(record + kItemTimeStamp, timeStamp));
    offset += written;
    return ok;
}

HRESULT OPCGroup::BuildReadStream(bool withTime, const ASyncRequest& request, STGMEDIUM* pmedium) {
    std::vector<const ItemReading*> readings;
    try {
        for (const ItemReading& r : request.readings) readings.push_back(&r);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return BuildReadingsStream(withTime, request.dwTransactionID, readings, pmedium);
}

HRESULT OPCGroup::FlushDataChange(ClientCaller* caller) {
    std::vector<STATDATA> connections;
    std::vector<SentMarks> sent;
    {
        ScopedLock guard(m_csAdvise);
        if (m_DataConnections.empty() || !m_bDataPending) return S_FALSE;
        connections = AdviseConnections(AdviseKind::kData, &sent);
        m_bDataPending = false;
    }
    // One gathering serves every connection: each is sent, in its own format,
    // what changed after its own last report, so that no connection's stream
    // takes anything from another's.
    ULONGLONG oldest = ~0ull;
    for (size_t i = 0; i < connections.size(); ++i) {
        if ((connections[i].advf & ADVF_NODATA) == 0) oldest = std::min(oldest, sent[i].reportedUpTo);
    }
    std::vector<StampedReading> changes;
    std::vector<DWORD> reported;
    ULONGLONG upTo = 0;
    HRESULT result = S_OK;
    bool gathered = false;
    try {
        reported.reserve(connections.size());
        upTo = GatherChanges(oldest, changes);
        gathered = true;
    } catch (const std::bad_alloc&) {
        result = E_OUTOFMEMORY;
    }
    // The sinks are called on this copy, which holds a reference to each, with
    // no lock held: a slow or re-entering client stalls no other call, and a
    // connection that goes meanwhile (DUnadvise, a gone client) leaves the
    // copy's sink intact.
    for (size_t i = 0; gathered && i < connections.size(); ++i) {
        STATDATA& connection = connections[i];
        STGMEDIUM medium{};
        medium.tymed = TYMED_NULL;
        HRESULT hr = S_OK;
        if ((connection.advf & ADVF_NODATA) == 0) {
            const SentMarks& marks = sent[i];
            // Nothing of its own to report (its last stream carried it all): no stream.
            if (std::none_of(changes.begin(), changes.end(),
                             [&marks](const StampedReading& c) { return marks.Unsent(c); })) {
                continue;
            }
            hr = BuildChangeStream(connection.formatetc.cfFormat != StreamFormatData(), changes, marks, 0, &medium);
        }
        if (FAILED(hr)) {
            result = hr;  // this connection's changes wait for the next scan
        } else if (SendStream(caller, connection.pAdvSink, connection.formatetc, medium) != E_ABORT) {
            reported.push_back(connection.dwConnection);
        }
        if ((connection.advf & ADVF_ONLYONCE) != 0) TakeDataConnection(connection.dwConnection);
    }
    NoteReported(reported, upTo);
    for (STATDATA& connection : connections) {
        connection.pAdvSink->Release();
        CoTaskMemFree(connection.formatetc.ptd);
    }
    if (FAILED(result)) {
        ScopedLock guard(m_csAdvise);
        m_bDataPending = true;
    }
    return result;
}

HRESULT OPCGroup::SendStream(ClientCaller* caller, IAdviseSink* sink, const FORMATETC& format,
                             const STGMEDIUM& medium) {
    struct Stream {
        Microsoft::WRL::ComPtr<IAdviseSink> sink;
        FORMATETC format{};
        STGMEDIUM medium{};
        Stream() = default;
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        ~Stream() {
            if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal != nullptr) GlobalFree(medium.hGlobal);
        }
    };
    std::shared_ptr<Stream> stream;
    try {
        stream = std::make_shared<Stream>();
    } catch (const std::bad_alloc&) {
        if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal != nullptr) GlobalFree(medium.hGlobal);
        return E_OUTOFMEMORY;
    }
    stream->sink = sink;
    stream->format = format;
    stream->medium = medium;
    return CallClient(caller, L"IAdviseSink::OnDataChange", [stream]() -> HRESULT {
        stream->sink->OnDataChange(&stream->format, &stream->medium);
        return S_OK;
    });
}

void OPCGroup::NoteReported(const std::vector<DWORD>& cookies, ULONGLONG stamp) {
    ScopedLock guard(m_csAdvise);
    for (DataConnection& c : m_DataConnections) {
        if (std::find(cookies.begin(), cookies.end(), c.cookie) == cookies.end()) continue;
        c.reportedUpTo = std::max(c.reportedUpTo, stamp);
        // What a read carried is held by the stamp now.
        std::erase_if(c.reads, [&c](const auto& read) { return read.second <= c.reportedUpTo; });
    }
}

void OPCGroup::NoteRead(DWORD cookie, const std::vector<std::pair<OPCHANDLE, ULONGLONG>>& read) {
    ScopedLock guard(m_csAdvise);
    for (DataConnection& c : m_DataConnections) {
        if (c.cookie != cookie) continue;
        for (const auto& [handle, stamp] : read) {
            if (stamp <= c.reportedUpTo) continue;
            ULONGLONG& kept = c.reads[handle];
            kept = std::max(kept, stamp);
        }
        return;
    }
}

bool OPCGroup::DropEndedClients() {
    std::vector<DataConnection> gone;
    {
        ScopedLock guard(m_csAdvise);
        gone = TakeEndedClients(m_DataConnections);
        m_nDataAdvise -= static_cast<LONG>(gone.size());
    }
    const size_t callbacks = m_pDataCallback != nullptr ? m_pDataCallback->DropEnded() : 0;
    if (gone.empty() && callbacks == 0) return false;
    theEventLog << L"OPCGroup - GrpName:" << Name() << L" client process ended, connections dropped:"
                << static_cast<unsigned long>(gone.size() + callbacks) << EventLog::EndEntry;
    gone.clear();  // the sinks go outside the lock
    OnSinkGone();
    return true;
}

OPCGroup::SubscriptionCount OPCGroup::Subscriptions() {
    SubscriptionCount count;
    const LONG advised = m_nDataAdvise.load();
    count.dataObject = advised > 0 ? static_cast<DWORD>(advised) : 0;
    count.callback = m_pDataCallback->IsConnected() ? 1 : 0;
    return count;
}

std::vector<STATDATA> OPCGroup::AdviseConnections(AdviseKind kind, std::vector<SentMarks>* sent) {
    std::vector<STATDATA> connections;
    connections.reserve(m_DataConnections.size());
    if (sent != nullptr) sent->reserve(m_DataConnections.size());
    for (const DataConnection& c : m_DataConnections) {
        // A write-complete connection is sent write completions only.
        if (kind == AdviseKind::kData && c.format.cfFormat == StreamFormatWriteComplete()) continue;
        STATDATA entry{};
        entry.formatetc = c.format;
        entry.formatetc.ptd = nullptr;
        entry.advf = c.advf;
        entry.pAdvSink = c.sink.Get();
        entry.pAdvSink->AddRef();
        entry.dwConnection = c.cookie;
        connections.push_back(entry);
        if (sent != nullptr) sent->push_back(SentMarks{c.reportedUpTo, c.reads});
    }
    return connections;
}

// The data thread -------------------------------------------------------------------

void OPCGroup::WaitForNextScan(ULONGLONG due, ULONGLONG lastSent) {
    // A client's write through the group is reported as soon as the rate
    // allows: at once when nothing was sent for a whole period.
    const DWORD rate = m_dwUpdateRate.load();
    for (;;) {
        ULONGLONG now = TickCountMs();
        if (now >= due || !m_bDataThreadRun.load()) return;
        const ULONGLONG between = BetweenScans(now);
        now = TickCountMs();
        if (now >= due) return;
        const ULONGLONG wake = std::min(due, std::max(between, now + 1));
        const WaitResult woken = m_DataThreadWake.Wait(static_cast<DWORD>(wake - now));
        if (woken == WaitResult::TimedOut) continue;
        if (woken != WaitResult::Signalled) return;
        // A changed rate or keep-alive: only the wake-up times move.
        if (m_bRescheduled.exchange(false) && !m_bReportSoon.load()) continue;
        if (!m_bReportSoon.exchange(false)) return;  // an activation or a stop: at once
        const ULONGLONG allowed = lastSent == 0 ? now : lastSent + rate;
        due = std::min(due, std::max(now, allowed));
    }
}

ULONGLONG OPCGroup::BetweenScans(ULONGLONG now) {
    // An inactive group neither samples nor keeps its client company.
    if (!m_bActive.load()) return KeepAliveTimer::kNever;
    ULONGLONG next = KeepAliveTimer::kNever;
    if (!m_Sampling.IsIdle()) {
        DWORD cookie = 0;
        Microsoft::WRL::ComPtr<IOPCDataCallback> sink;
        if (m_bCallbackEnabled.load()) sink.Attach(CallbackSink(&cookie));
        ScopedLock guard(m_csItems);
        try {
            next = m_Sampling.SampleDue(m_Items, now, sink != nullptr ? cookie : 0);
        } catch (const std::bad_alloc&) {
            next = now + kFastestSamplingMs;  // tried again shortly
        }
    }
    if (m_KeepAlive.DueAt() <= now) SendKeepAlive();
    return std::min(next, m_KeepAlive.DueAt());
}

void OPCGroup::Reschedule() noexcept {
    m_bRescheduled.store(true);
    m_DataThreadWake.Set();
}

void OPCGroup::ReportWriteSoon() {
    if (!m_bActive.load()) return;
    // Nobody to report to: waking the data thread would only scan every item
    // under the item lock beside the writer's next calls, and a sleeping
    // thread's wake-up is most of a small write's cost. A connection made
    // later gets the change with its first report.
    if (m_nDataAdvise.load() == 0 && (m_pDataCallback == nullptr || !m_pDataCallback->IsConnected())) return;
    m_bReportSoon.store(true);
    m_DataThreadWake.Set();
}

unsigned OPCGroup::DataThreadBody() {
    const DWORD id = CurrentThreadId();
    theEventLog << L"OPCGroup::ThreadStub - GrpName:" << Name() << L" DataThread Id: " << static_cast<unsigned>(id)
                << L"started" << EventLog::EndEntry;
    const bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (joined) {
        ULONGLONG lastSent = 0;  // the start of the last scan that sent anything; 0: none yet
        ULONGLONG due = 0;       // when the scan about to run was due; 0: the first
        while (m_bDataThreadRun.load()) {
            // This scan answers any wake-up asked for before it (an activation,
            // a client's write). A stop is seen by the run flag.
            m_DataThreadWake.Reset();
            m_bReportSoon.store(false);
            m_bRescheduled.store(false);
            const ULONGLONG t0 = TickCountMs();
            DropEndedClients();
            if (m_bActive.load()) {
                DWORD cookie = 0;
                IOPCDataCallback* sink = m_bCallbackEnabled.load() ? CallbackSink(&cookie) : nullptr;
                // Shared with the call that sends it, which may outlive this scan.
                std::shared_ptr<CallbackBatch> batch;
                try {
                    if (sink != nullptr) batch = std::make_shared<CallbackBatch>();
                } catch (const std::bad_alloc&) {
                    // The changes wait for the next scan.
                }
                if (ScanItems(batch.get(), cookie)) {
                    ScopedLock guard(m_csAdvise);
                    m_bDataPending = true;
                }
                if (m_bDataThreadRun.load()) {
                    bool sent = FlushDataChange(&m_DataCaller) != S_FALSE;
                    sent = SendCallbackChanges(sink, cookie, batch) || sent;
                    if (sent) lastSent = t0;
                    if (m_pServer) m_pServer->SetLastUpdate(FileTimeNow());
                }
                if (sink != nullptr) sink->Release();
            }
            // A new rate applies from this wait.
            due = NextScanDue(due, t0, m_dwUpdateRate.load());
            WaitForNextScan(due, lastSent);
        }
        CoUninitialize();
    }
    theEventLog << L"OPCGroup::ThreadStub - GrpName:" << Name() << L" DataThread Id: " << static_cast<unsigned>(id)
                << L" terminated" << EventLog::EndEntry;
    return 0;
}
