// The group's 2.0 side: the IOPCDataCallback connection point, IOPCAsyncIO2
// transactions, and change-driven OnDataChange by exception. Each client call
// is made with no lock held: what it needs is copied under the item lock and
// the sink referenced, then the lock is let go.
#include "OPCGroup.h"

#include <memory>
#include <new>
#include <utility>

#include "CallArrays.h"
#include "CallbackBatch.h"
#include "EnumSnapshot.h"
#include "ItemRequestRules.h"
#include "OpcConstants.h"

// IConnectionPointContainer -------------------------------------------------------

STDMETHODIMP OPCGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    NoteCall(L"IConnectionPointContainer::EnumConnectionPoints");
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    try {
        std::vector<Microsoft::WRL::ComPtr<IConnectionPoint>> points{m_pDataCallback};
        return ConnectionPointEnumerator::Create(std::move(points), ppEnum);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    NoteCall(L"IConnectionPointContainer::FindConnectionPoint");
    if (ppCP == nullptr) return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_IOPCDataCallback) return CONNECT_E_NOCONNECTION;
    *ppCP = m_pDataCallback;
    m_pDataCallback->AddRef();
    return S_OK;
}

IOPCDataCallback* OPCGroup::CallbackSink(DWORD* cookie) {
    // The point keeps the sink as the interface it asked for.
    return static_cast<IOPCDataCallback*>(m_pDataCallback->Sink(cookie));
}

// Change-driven callbacks -----------------------------------------------------------

bool OPCGroup::SendCallbackChanges(IOPCDataCallback* sink, DWORD cookie, std::shared_ptr<CallbackBatch> batch) {
    if (sink == nullptr || batch == nullptr || batch->Count() == 0) return false;
    const Microsoft::WRL::ComPtr<IOPCDataCallback> held(sink);
    const OPCHANDLE hGroup = m_hClientGroup.load();
    const HRESULT hr = CallClient(&m_DataCaller, L"IOPCDataCallback::OnDataChange",
                                  [held, batch, hGroup] { return batch->SendData(held.Get(), 0, hGroup, false); });
    m_KeepAlive.NoteSent(TickCountMs());
    if (m_pDataCallback->DropIfGone(cookie, hr)) OnSinkGone();
    return true;
}

void OPCGroup::SendKeepAlive() {
    DWORD cookie = 0;
    Microsoft::WRL::ComPtr<IOPCDataCallback> sink;
    if (m_bCallbackEnabled.load()) sink.Attach(CallbackSink(&cookie));
    if (sink != nullptr) {
        const OPCHANDLE hGroup = m_hClientGroup.load();
        // Empty, but through a proxy the arrays still need somewhere to point.
        const HRESULT hr = CallClient(&m_DataCaller, L"IOPCDataCallback::OnDataChange", [sink, hGroup] {
            OPCHANDLE client = 0;
            VARIANT value;
            VariantInit(&value);
            WORD quality = 0;
            FILETIME time{};
            HRESULT error = S_OK;
            return sink->OnDataChange(0, hGroup, S_OK, S_OK, 0, &client, &value, &quality, &time, &error);
        });
        if (m_pDataCallback->DropIfGone(cookie, hr)) OnSinkGone();
    }
    // Without a connection to tell, the time starts over all the same.
    m_KeepAlive.NoteSent(TickCountMs());
}

void OPCGroup::NoteNotAnswering(const wchar_t* method) noexcept {
    try {
        if (m_pServer) LogNotAnswering(m_pServer->Client(), method);
    } catch (const std::bad_alloc&) {
        // Unsaid.
    }
}

// IOPCAsyncIO2 ------------------------------------------------------------------------

HRESULT OPCGroup::NewCallbackRequest(DWORD kind, DWORD dwCount, const OPCHANDLE* phServer, const VARIANT* pItemValues,
                                     DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors,
                                     const DWORD* pMaxAges, const OPCITEMVQT* pVqts) {
    if (phServer == nullptr || pdwCancelID == nullptr || ppErrors == nullptr ||
        (kind == ASyncRequest::kWrite && pItemValues == nullptr && pVqts == nullptr)) {
        return E_INVALIDARG;
    }
    *pdwCancelID = 0;
    *ppErrors = nullptr;
    if (!m_pDataCallback->IsConnected()) return CONNECT_E_NOCONNECTION;
    if (dwCount == 0) return E_INVALIDARG;
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    HRESULT* errors = arrays.errors.get();
    HRESULT result = S_OK;
    try {
        auto request = std::make_unique<ASyncRequest>();
        request->nType = kind;
        request->callback = true;
        request->dwSource = OPC_DS_DEVICE;
        request->dwTransactionID = dwTransactionID;
        request->byAge = pMaxAges != nullptr;
        request->items.reserve(dwCount);
        ScopedLock guard(m_csItems);
        for (DWORD i = 0; i < dwCount; ++i) {
            const COPCItem* item = m_Items.Find(phServer[i]);
            if (item == nullptr) {
                errors[i] = OPC_E_INVALIDHANDLE;
            } else if (pVqts != nullptr && FAILED(CheckVqt(pVqts[i]))) {
                errors[i] = E_INVALIDARG;
            } else if (kind == ASyncRequest::kWrite && (item->AccessRights() & OPC_WRITEABLE) == 0) {
                errors[i] = OPC_E_BADRIGHTS;
            } else {
                errors[i] = S_OK;
                request->items.push_back(phServer[i]);
                if (pItemValues != nullptr) request->values.emplace_back(pItemValues[i]);
                if (pMaxAges != nullptr) request->maxAges.push_back(pMaxAges[i]);
                if (pVqts != nullptr) {
                    const OPCITEMVQT& vqt = pVqts[i];
                    request->values.emplace_back(vqt.vDataValue);
                    request->qualitiesAndTimes.push_back({vqt.bQualitySpecified != FALSE, vqt.wQuality,
                                                          vqt.bTimeStampSpecified != FALSE, vqt.ftTimeStamp});
                }
                continue;
            }
            result = S_FALSE;
        }
        // Only the items that passed are carried out; with none, nothing is.
        if (!request->items.empty()) QueueCallbackRequest(std::move(request), pdwCancelID);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_ASyncThreadWake.Set();
    *ppErrors = arrays.errors.release();
    return result;
}

void OPCGroup::QueueCallbackRequest(std::unique_ptr<ASyncRequest> request, DWORD* pdwCancelID) {
    DWORD id = m_dwNextCancelID.fetch_add(1);
    if (id == 0) id = m_dwNextCancelID.fetch_add(1);  // 0 is no transaction
    request->dwCancelID = id;
    m_ASyncQueue.push_back(std::move(request));
    *pdwCancelID = id;
}

STDMETHODIMP OPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                            HRESULT** ppErrors) {
    NoteCall(L"IOPCAsyncIO2::Read");
    return NewCallbackRequest(ASyncRequest::kRead, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors);
}

STDMETHODIMP OPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                             DWORD* pdwCancelID, HRESULT** ppErrors) {
    NoteCall(L"IOPCAsyncIO2::Write");
    return NewCallbackRequest(ASyncRequest::kWrite, dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID,
                              ppErrors);
}

STDMETHODIMP OPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
    NoteCall(L"IOPCAsyncIO2::Refresh2");
    return NewRefresh(static_cast<DWORD>(dwSource), std::nullopt, dwTransactionID, pdwCancelID);
}

HRESULT OPCGroup::NewRefresh(DWORD source, std::optional<DWORD> maxAge, DWORD dwTransactionID, DWORD* pdwCancelID) {
    if (pdwCancelID == nullptr) return E_INVALIDARG;
    *pdwCancelID = 0;
    if (!m_pDataCallback->IsConnected()) return CONNECT_E_NOCONNECTION;
    if (!maxAge && source != OPC_DS_CACHE && source != OPC_DS_DEVICE) return E_INVALIDARG;
    if (!m_bActive.load()) return E_FAIL;
    try {
        auto request = std::make_unique<ASyncRequest>();
        request->nType = ASyncRequest::kRefresh;
        request->callback = true;
        request->dwSource = source;
        request->dwTransactionID = dwTransactionID;
        if (maxAge) {
            request->byAge = true;
            request->maxAges.push_back(*maxAge);
        }
        ScopedLock guard(m_csItems);
        bool anyActive = false;
        m_Items.ForEach([&anyActive](const COPCItem* item) { anyActive = anyActive || item->IsActive(); });
        if (!anyActive) return E_FAIL;
        QueueCallbackRequest(std::move(request), pdwCancelID);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_ASyncThreadWake.Set();
    return S_OK;
}

STDMETHODIMP OPCGroup::Cancel2(DWORD dwCancelID) {
    NoteCall(L"IOPCAsyncIO2::Cancel2");
    if (!m_pDataCallback->IsConnected()) return CONNECT_E_NOCONNECTION;
    // The thread takes a request off the queue under the same lock: a request
    // still queued, or still waiting for its slow device, has not begun; one
    // carried out is too late to cancel.
    ScopedLock guard(m_csItems);
    auto cancel = [dwCancelID](ASyncRequest* request) {
        if (request == nullptr || !request->callback || request->cancelled || request->dwCancelID != dwCancelID) {
            return false;
        }
        request->cancelled = true;  // OnCancelComplete now replaces its completion
        return true;
    };
    for (auto& request : m_ASyncQueue) {
        if (cancel(request.get())) return S_OK;
    }
    return cancel(m_pDelayedRequest) ? S_OK : E_FAIL;
}

STDMETHODIMP OPCGroup::SetEnable(BOOL bEnable) {
    NoteCall(L"IOPCAsyncIO2::SetEnable");
    if (!m_pDataCallback->IsConnected()) return CONNECT_E_NOCONNECTION;
    m_bCallbackEnabled.store(bEnable != FALSE);
    return S_OK;
}

STDMETHODIMP OPCGroup::GetEnable(BOOL* pbEnable) {
    NoteCall(L"IOPCAsyncIO2::GetEnable");
    if (pbEnable == nullptr) return E_INVALIDARG;
    if (!m_pDataCallback->IsConnected()) return CONNECT_E_NOCONNECTION;
    *pbEnable = m_bCallbackEnabled.load();
    return S_OK;
}

void OPCGroup::CompleteCallbackRequest(ASyncRequest& request) {
    const OPCHANDLE hGroup = m_hClientGroup.load();
    // Shared with the call that sends it, which may outlive this request.
    std::shared_ptr<CallbackBatch> shared;
    try {
        shared = std::make_shared<CallbackBatch>();
        CallbackBatch& batch = *shared;
        if (!request.cancelled) {
            ScopedLock guard(m_csItems);
            batch.Reserve(request.items.size());
            switch (request.nType) {
            case ASyncRequest::kRead:
            case ASyncRequest::kRefresh:
                if (request.byAge) {
                    // The items and sources decided before the wait; a
                    // refresh's items are those that were active then.
                    for (size_t i = 0; i < request.items.size(); ++i) {
                        COPCItem* item = m_Items.Find(request.items[i]);
                        if (item == nullptr || (request.nType == ASyncRequest::kRefresh && !item->IsActive())) continue;
                        batch.Add(ReadByAge(*item, request.sources[i]));
                    }
                } else if (request.nType == ASyncRequest::kRead) {
                    for (OPCHANDLE handle : request.items) {
                        if (COPCItem* item = m_Items.Find(handle)) batch.Add(item->Read(OPC_DS_DEVICE));
                    }
                } else {
                    m_Items.ForEach([&batch, &request](COPCItem* item) {
                        if (item->IsActive()) batch.Add(item->Read(static_cast<OPCDATASOURCE>(request.dwSource)));
                    });
                }
                break;
            case ASyncRequest::kWrite:
                for (size_t i = 0; i < request.items.size(); ++i) {
                    COPCItem* item = m_Items.Find(request.items[i]);
                    if (item == nullptr) continue;  // removed since the call
                    const HRESULT written =
                        request.qualitiesAndTimes.empty()
                            ? item->WriteValue(request.values[i].Ref())
                            : WriteRecord(*item, request.values[i].Ref(), request.qualitiesAndTimes[i]);
                    if (SUCCEEDED(written)) item->MarkChanged();
                    batch.AddOutcome(item->ClientHandle(), written);
                }
                ReportWriteSoon();
                break;
            default: break;
            }
        }
    } catch (const std::bad_alloc&) {
        // Completed with what was gathered.
    }
    if (shared == nullptr) return;  // no memory even for an empty completion
    DWORD cookie = 0;
    Microsoft::WRL::ComPtr<IOPCDataCallback> sink;
    sink.Attach(CallbackSink(&cookie));
    if (sink == nullptr) return;  // the connection went: nobody to tell
    const DWORD tid = request.dwTransactionID;
    const bool cancelled = request.cancelled;
    const DWORD type = request.nType;
    const wchar_t* method = cancelled                      ? L"IOPCDataCallback::OnCancelComplete"
                            : type == ASyncRequest::kWrite ? L"IOPCDataCallback::OnWriteComplete"
                            : type == ASyncRequest::kRead  ? L"IOPCDataCallback::OnReadComplete"
                                                           : L"IOPCDataCallback::OnDataChange";
    const HRESULT hr = CallClient(&m_ASyncCaller, method, [sink, shared, tid, hGroup, cancelled, type] {
        if (cancelled) return sink->OnCancelComplete(tid, hGroup);
        if (type == ASyncRequest::kWrite) return shared->SendWriteComplete(sink.Get(), tid, hGroup);
        return shared->SendData(sink.Get(), tid, hGroup, type == ASyncRequest::kRead);
    });
    if (!cancelled && type == ASyncRequest::kRefresh) m_KeepAlive.NoteSent(TickCountMs());
    if (m_pDataCallback->DropIfGone(cookie, hr)) OnSinkGone();
}
