// The group's reads and writes: synchronous ones on the caller's thread,
// asynchronous ones queued for the group's own thread and completed through
// the client's advise connection.
#include "OPCGroup.h"

#include <algorithm>
#include <new>
#include <utility>

#include "CallArrays.h"
#include "EventLog.h"
#include "OpcConstants.h"
#include "OpcStreamLayout.h"
#include "StreamBlock.h"
#include "StreamFormats.h"

// IOPCSyncIO --------------------------------------------------------------------

STDMETHODIMP OPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                            HRESULT** ppErrors) {
    NoteCall(L"IOPCSyncIO::Read");
    if (phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    CallArrays<OPCITEMSTATE> arrays;
    if (!arrays.Allocate(dwCount, true)) return E_OUTOFMEMORY;
    if (dwSource == OPC_DS_DEVICE) WaitResponseDelay(ResponseDelay(dwCount, phServer), nullptr);
    OPCITEMSTATE* states = arrays.results.get();
    HRESULT* errors = arrays.errors.get();
    // Under the item lock although a read changes no table: an item removed
    // by another client thread must not go while it is read.
    const HRESULT result = WalkHandles(
        dwCount, phServer, errors, S_FALSE, [this](OPCHANDLE h) { return m_Items.Find(h); },
        [states, dwSource](COPCItem& item, DWORD i) {
            const ItemReading reading = item.Read(dwSource);
            OPCITEMSTATE& state = states[i];
            state.hClient = reading.hClient;
            state.ftTimeStamp = reading.timeStamp;
            state.wQuality = reading.quality;
            state.wReserved = 0;
            VariantInit(&state.vDataValue);
            Variant delivered;
            const HRESULT error = ToRequestedType(reading.value, reading.requested, delivered);
            if (FAILED(error)) {
                state.wQuality = OPC_QUALITY_BAD;
                return error;
            }
            state.vDataValue = delivered.Detach();
            return S_OK;
        });
    *ppItemValues = arrays.results.release();
    *ppErrors = arrays.errors.release();
    return result;
}

STDMETHODIMP OPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
    NoteCall(L"IOPCSyncIO::Write");
    if (phServer == nullptr || pItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppErrors = nullptr;
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    HRESULT* errors = arrays.errors.get();
    WaitResponseDelay(ResponseDelay(dwCount, phServer), nullptr);
    // An item that fails makes the call S_FALSE, as for every other per-item
    // error: E_FAIL would tell the client that the error array is not its own.
    bool anyWritten = false;
    const HRESULT result = WalkHandles(
        dwCount, phServer, errors, S_FALSE, [this](OPCHANDLE h) { return m_Items.Find(h); },
        [pItemValues, &anyWritten](COPCItem& item, DWORD i) {
            if ((item.AccessRights() & OPC_WRITEABLE) == 0) return OPC_E_BADRIGHTS;
            HRESULT written = E_FAIL;
            try {
                written = item.WriteValue(pItemValues[i]);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (FAILED(written)) return written;
            item.MarkChanged();
            anyWritten = true;
            return S_OK;
        });
    if (anyWritten) ReportWriteSoon();
    *ppErrors = arrays.errors.release();
    return result;
}

// IOPCAsyncIO --------------------------------------------------------------------

HRESULT OPCGroup::QueueRequest(std::unique_ptr<ASyncRequest> request, DWORD* pTransactionID) {
    request->dwTransactionID = m_dwNextTransactionID.fetch_add(1);
    *pTransactionID = request->dwTransactionID;
    try {
        ScopedLock guard(m_csItems);
        m_ASyncQueue.push_back(std::move(request));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_ASyncThreadWake.Set();
    return S_OK;
}

HRESULT OPCGroup::NewItemRequest(DWORD kind, DWORD dwConnection, DWORD dwSource, DWORD dwCount,
                                 const OPCHANDLE* phServer, const VARIANT* pItemValues, DWORD* pTransactionID,
                                 HRESULT** ppErrors) {
    *ppErrors = nullptr;
    if (kind != ASyncRequest::kWrite && ConnectionFormat(dwConnection) == StreamFormatWriteComplete()) {
        return CONNECT_E_NOCONNECTION;  // its client parses write completions only
    }
    {
        // Any invalid handle refuses the whole call before anything is made.
        ScopedLock guard(m_csItems);
        for (DWORD i = 0; i < dwCount; ++i) {
            if (m_Items.Find(phServer[i]) == nullptr) return E_FAIL;
        }
    }
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    auto request = std::unique_ptr<ASyncRequest>(new (std::nothrow) ASyncRequest);
    if (!request) return E_OUTOFMEMORY;
    request->nType = kind;
    request->dwConnection = dwConnection;
    request->dwSource = dwSource;
    try {
        request->items.assign(phServer, phServer + dwCount);
        if (pItemValues != nullptr) {
            request->values.reserve(dwCount);
            for (DWORD i = 0; i < dwCount; ++i) request->values.emplace_back(pItemValues[i]);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = QueueRequest(std::move(request), pTransactionID);
    if (FAILED(hr)) return hr;
    *ppErrors = arrays.errors.release();  // all S_OK
    return S_OK;
}

STDMETHODIMP OPCGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                            DWORD* pTransactionID, HRESULT** ppErrors) {
    NoteCall(L"IOPCAsyncIO::Read");
    if (phServer == nullptr || pTransactionID == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    return NewItemRequest(ASyncRequest::kRead, dwConnection, static_cast<DWORD>(dwSource), dwCount, phServer, nullptr,
                          pTransactionID, ppErrors);
}

STDMETHODIMP OPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                             DWORD* pTransactionID, HRESULT** ppErrors) {
    NoteCall(L"IOPCAsyncIO::Write");
    if (phServer == nullptr || pItemValues == nullptr || pTransactionID == nullptr || ppErrors == nullptr) {
        return E_INVALIDARG;
    }
    return NewItemRequest(ASyncRequest::kWrite, dwConnection, 0, dwCount, phServer, pItemValues, pTransactionID,
                          ppErrors);
}

STDMETHODIMP OPCGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    NoteCall(L"IOPCAsyncIO::Refresh");
    if (pTransactionID == nullptr) return E_INVALIDARG;
    if (ConnectionFormat(dwConnection) == StreamFormatWriteComplete()) return CONNECT_E_NOCONNECTION;
    auto request = std::unique_ptr<ASyncRequest>(new (std::nothrow) ASyncRequest);
    if (!request) return E_OUTOFMEMORY;
    request->nType = ASyncRequest::kRefresh;
    request->dwConnection = dwConnection;
    request->dwSource = static_cast<DWORD>(dwSource);
    return QueueRequest(std::move(request), pTransactionID);
}

STDMETHODIMP OPCGroup::Cancel(DWORD dwTransactionID) {
    NoteCall(L"IOPCAsyncIO::Cancel");
    std::unique_ptr<ASyncRequest> withdrawn;
    {
        ScopedLock guard(m_csItems);
        for (auto it = m_ASyncQueue.begin(); it != m_ASyncQueue.end(); ++it) {
            if (!(*it)->callback && (*it)->dwTransactionID == dwTransactionID) {
                withdrawn = std::move(*it);
                m_ASyncQueue.erase(it);
                break;
            }
        }
        // A request still waiting for its slow device has not begun either.
        if (!withdrawn && m_pDelayedRequest != nullptr && !m_pDelayedRequest->callback &&
            !m_pDelayedRequest->cancelled && m_pDelayedRequest->dwTransactionID == dwTransactionID) {
            m_pDelayedRequest->cancelled = true;
            return S_OK;
        }
    }
    // Not queued: carried out already, under way, or never made.
    return withdrawn ? S_OK : E_FAIL;
}

void OPCGroup::CarryOut(ASyncRequest& request) {
    ScopedLock guard(m_csItems);
    switch (request.nType) {
    case ASyncRequest::kRefresh:
        if (m_bActive.load()) m_Items.ForEach([](COPCItem* item) { item->Update(); });
        break;
    case ASyncRequest::kRead:
        request.readings.reserve(request.items.size());
        for (OPCHANDLE handle : request.items) {
            if (COPCItem* item = m_Items.Find(handle)) {
                request.readings.push_back(item->Read(static_cast<OPCDATASOURCE>(request.dwSource)));
                request.readStamps.emplace_back(handle, item->ChangedAt());
            }
        }
        break;
    case ASyncRequest::kWrite:
        request.outcomes.reserve(request.items.size());
        for (size_t i = 0; i < request.items.size(); ++i) {
            COPCItem* item = m_Items.Find(request.items[i]);
            if (item == nullptr) continue;  // removed since the call: no record
            HRESULT error = OPC_E_BADRIGHTS;
            if ((item->AccessRights() & OPC_WRITEABLE) != 0) {
                error = item->WriteValue(request.values[i].Ref());
                if (SUCCEEDED(error)) item->MarkChanged();
            }
            request.outcomes.push_back({item->ClientHandle(), error});
        }
        ReportWriteSoon();
        break;
    default: break;
    }
}

DWORD OPCGroup::ResponseDelay(DWORD count, const OPCHANDLE* handles) {
    DWORD longest = 0;
    ScopedLock guard(m_csItems);
    for (DWORD i = 0; i < count; ++i) {
        if (const COPCItem* item = m_Items.Find(handles[i])) longest = std::max(longest, item->DeviceResponseDelay());
    }
    return longest;
}

DWORD OPCGroup::ResponseDelay(ASyncRequest& request) {
    if (request.byAge) {
        if (request.nType == ASyncRequest::kRefresh) {
            const DWORD maxAge = request.maxAges.empty() ? 0 : request.maxAges.front();
            request.items.clear();
            ScopedLock guard(m_csItems);
            m_Items.ForEach([&request](const COPCItem* item) {
                if (item->IsActive()) request.items.push_back(item->ServerHandle());
            });
            request.maxAges.assign(request.items.size(), maxAge);
        }
        request.sources.resize(request.items.size());
        return DecideSources(static_cast<DWORD>(request.items.size()), request.items.data(), request.maxAges.data(),
                             request.sources.data());
    }
    if (request.nType != ASyncRequest::kWrite && request.dwSource != OPC_DS_DEVICE) return 0;
    if (request.nType != ASyncRequest::kRefresh) {
        return ResponseDelay(static_cast<DWORD>(request.items.size()), request.items.data());
    }
    DWORD longest = 0;
    ScopedLock guard(m_csItems);
    m_Items.ForEach([&longest](COPCItem* item) { longest = std::max(longest, item->DeviceResponseDelay()); });
    return longest;
}

void OPCGroup::WaitResponseDelay(DWORD milliseconds, ASyncRequest* request) {
    if (milliseconds == 0) return;
    if (request == nullptr) {
        Sleep(milliseconds);  // the caller's own thread: only its call waits
        return;
    }
    {
        ScopedLock guard(m_csItems);
        m_pDelayedRequest = request;
    }
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < end && m_bASyncThreadRun.load(); now = GetTickCount64()) {
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(end - now, 50)));
        ScopedLock guard(m_csItems);
        if (request->cancelled) break;
    }
    ScopedLock guard(m_csItems);
    m_pDelayedRequest = nullptr;
}

HRESULT OPCGroup::OnASyncComplete(const ASyncRequest& request) {
    std::vector<STATDATA> connections;
    std::vector<SentMarks> sent;
    {
        ScopedLock guard(m_csAdvise);
        if (m_DataConnections.empty()) return S_FALSE;
        connections = AdviseConnections(AdviseKind::kAll, &sent);
    }
    STATDATA target{};
    SentMarks marks;
    bool found = false;
    for (size_t i = 0; i < connections.size(); ++i) {
        STATDATA& entry = connections[i];
        if (!found && entry.dwConnection == request.dwConnection) {
            target = entry;
            marks = std::move(sent[i]);
            found = true;
            continue;
        }
        entry.pAdvSink->Release();
        CoTaskMemFree(entry.formatetc.ptd);
    }
    if (!found) return S_FALSE;  // nobody advised that number: the completion is dropped

    STGMEDIUM medium{};
    FORMATETC format = target.formatetc;
    const bool withTime = target.formatetc.cfFormat != StreamFormatData();
    HRESULT hr;
    if (request.nType == ASyncRequest::kWrite) {
        format.cfFormat = static_cast<CLIPFORMAT>(StreamFormatWriteComplete());
        hr = BuildWriteCompleteStream(request, &medium);
    } else if (request.nType == ASyncRequest::kRead) {
        hr = BuildReadStream(withTime, request, &medium);
        // Before it goes, so that no scan's stream sends its connection the same items meanwhile.
        if (SUCCEEDED(hr)) {
            try {
                NoteRead(target.dwConnection, request.readStamps);
            } catch (const std::bad_alloc&) {
                // The items stay marked: a refresh may report them once more.
            }
        }
    } else {
        // A refresh reports to its connection whatever that connection was not sent yet.
        try {
            std::vector<StampedReading> changes;
            const ULONGLONG upTo = GatherChanges(marks.reportedUpTo, changes);
            hr = BuildChangeStream(withTime, changes, marks, request.dwTransactionID, &medium);
            if (SUCCEEDED(hr)) NoteReported({target.dwConnection}, upTo);
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    // Called with no lock held.
    if (SUCCEEDED(hr)) {
        SendStream(&m_ASyncCaller, target.pAdvSink, format, medium);
    } else if (medium.hGlobal != nullptr) {
        GlobalFree(medium.hGlobal);
    }
    target.pAdvSink->Release();
    CoTaskMemFree(target.formatetc.ptd);
    return hr;
}

UINT OPCGroup::ConnectionFormat(DWORD dwConnection) {
    ScopedLock guard(m_csAdvise);
    for (const DataConnection& c : m_DataConnections) {
        if (c.cookie == dwConnection) return c.format.cfFormat;
    }
    return 0;
}

HRESULT OPCGroup::BuildWriteCompleteStream(const ASyncRequest& request, STGMEDIUM* pmedium) {
    using namespace OpcStream;
    const size_t count = request.outcomes.size();
    // A write refused for any item is no success of the whole request.
    const bool allWritten = std::all_of(request.outcomes.begin(), request.outcomes.end(),
                                        [](const ASyncRequest::Outcome& o) { return o.error == S_OK; });
    StreamBlock block;
    if (!block.Reserve(kWriteHeaderSize + count * kWriteItemSize) ||
        !block.PutU32(kWriteItemCount, static_cast<std::uint32_t>(count)) ||
        !block.PutU32(kWriteClientHandle, m_hClientGroup.load()) ||
        !block.PutU32(kWriteTransactionId, request.dwTransactionID) ||
        !block.PutU32(kWriteStatus, static_cast<std::uint32_t>(allWritten ? S_OK : S_FALSE))) {
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t record = kWriteHeaderSize + i * kWriteItemSize;
        if (!block.PutU32(record + kWriteItemClientHandle, request.outcomes[i].hClient) ||
            !block.PutU32(record + kWriteItemError, static_cast<std::uint32_t>(request.outcomes[i].error))) {
            return E_OUTOFMEMORY;
        }
    }
    pmedium->tymed = TYMED_HGLOBAL;
    pmedium->hGlobal = block.Detach();
    pmedium->pUnkForRelease = nullptr;
    return S_OK;
}

unsigned OPCGroup::ASyncThreadBody() {
    const DWORD id = CurrentThreadId();
    theEventLog << L"OPCGroup::ASyncThreadStub - GrpName " << Name() << L"ASyncThread Id:" << static_cast<unsigned>(id)
                << L"started" << EventLog::EndEntry;
    const bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (joined) {
        while (m_bASyncThreadRun.load()) {
            DWORD idle = RetiredItemsWait();
            if (idle == 0) {
                DeleteRetiredItems();
                idle = INFINITE;
            }
            std::unique_ptr<ASyncRequest> request;
            {
                ScopedLock guard(m_csItems);
                if (!m_ASyncQueue.empty()) {
                    request = std::move(m_ASyncQueue.front());
                    m_ASyncQueue.pop_front();
                }
            }
            if (!m_bASyncThreadRun.load()) break;
            if (!request) {
                m_ASyncThreadWake.Wait(idle);
                continue;
            }
            DWORD delay = 0;
            try {
                delay = ResponseDelay(*request);
            } catch (const std::bad_alloc&) {
                // Undecided, a read by age completes empty.
                request->items.clear();
                request->sources.clear();
            }
            WaitResponseDelay(delay, request.get());
            if (!m_bASyncThreadRun.load()) break;
            if (request->cancelled && !request->callback) continue;  // 1.0a: a cancelled request says nothing
            if (request->callback) {
                CompleteCallbackRequest(*request);
                continue;
            }
            try {
                CarryOut(*request);
            } catch (const std::bad_alloc&) {
                // A write whose outcomes cannot be kept completes with what it has.
            }
            OnASyncComplete(*request);
        }
        CoUninitialize();
    }
    theEventLog << L"OPCGroup::ASyncThreadStub - GrpName " << Name() << L"ASyncThread Id:" << static_cast<unsigned>(id)
                << L"terminated" << EventLog::EndEntry;
    return 0;
}
