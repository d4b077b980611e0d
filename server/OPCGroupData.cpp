// The group's subscriptions: the data object the client advises, the streams
// it receives, and the data thread that scans the items at the update rate.
#include "OPCGroup.h"

#include <new>
#include <vector>

#include "EventLog.h"
#include "FileTime.h"
#include "OpcConstants.h"
#include "StreamBlock.h"
#include "StreamFormats.h"

namespace {
constexpr size_t kGroupHeaderSize = 20;
constexpr size_t kRecordWithTime = 20;
constexpr size_t kRecordWithoutTime = 12;
}  // namespace

// IDataObject ---------------------------------------------------------------------

STDMETHODIMP OPCGroup::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) {
    if (pformatetcIn == nullptr || pmedium == nullptr) return E_INVALIDARG;
    const HRESULT hr = QueryGetData(pformatetcIn);
    if (FAILED(hr)) return hr;
    return BuildStream(pformatetcIn->cfFormat != StreamFormatData(), pmedium, 0);
}

STDMETHODIMP OPCGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }

STDMETHODIMP OPCGroup::QueryGetData(FORMATETC* pformatetc) {
    if (pformatetc == nullptr) return E_INVALIDARG;
    if (pformatetc->tymed != TYMED_HGLOBAL) return DV_E_TYMED;
    if (pformatetc->cfFormat == StreamFormatData() || pformatetc->cfFormat == StreamFormatDataTime()) return S_OK;
    return DV_E_FORMATETC;
}

STDMETHODIMP OPCGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) { return E_NOTIMPL; }
STDMETHODIMP OPCGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP OPCGroup::EnumFormatEtc(DWORD, IEnumFORMATETC**) { return E_NOTIMPL; }

STDMETHODIMP OPCGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) {
    if (pformatetc == nullptr || pAdvSink == nullptr || pdwConnection == nullptr) return E_INVALIDARG;
    if (pformatetc->dwAspect != DVASPECT_CONTENT || pformatetc->ptd != nullptr ||
        pformatetc->tymed != TYMED_HGLOBAL || pformatetc->lindex != -1) {
        return E_FAIL;
    }
    ScopedLock guard(m_csAdvise);
    if (m_pAdviseHolder == nullptr) {
        const HRESULT hr = CreateDataAdviseHolder(&m_pAdviseHolder);
        if (FAILED(hr)) return hr;
    }
    return m_pAdviseHolder->Advise(static_cast<IDataObject*>(this), pformatetc, advf, pAdvSink, pdwConnection);
}

STDMETHODIMP OPCGroup::DUnadvise(DWORD dwConnection) {
    ScopedLock guard(m_csAdvise);
    if (m_pAdviseHolder == nullptr) return OLE_E_NOCONNECTION;
    return m_pAdviseHolder->Unadvise(dwConnection);
}

STDMETHODIMP OPCGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    if (ppenumAdvise == nullptr) return E_INVALIDARG;
    *ppenumAdvise = nullptr;
    ScopedLock guard(m_csAdvise);
    if (m_pAdviseHolder == nullptr) return OLE_E_NOCONNECTION;
    return m_pAdviseHolder->EnumAdvise(ppenumAdvise);
}

// Streams -------------------------------------------------------------------------

HRESULT OPCGroup::BuildDataStream(STGMEDIUM* pmedium, DWORD dwTransactionID) {
    return BuildStream(false, pmedium, dwTransactionID);
}

HRESULT OPCGroup::BuildDataTimeStream(STGMEDIUM* pmedium, DWORD dwTransactionID) {
    return BuildStream(true, pmedium, dwTransactionID);
}

HRESULT OPCGroup::BuildStream(bool withTime, STGMEDIUM* pmedium, DWORD dwTransactionID) {
    ScopedLock guard(m_csItems);
    m_Changed.clear();
    try {
        m_Items.ForEach([this](COPCItem* item) {
            if (item->IsChanged()) m_Changed.push_back(item);
        });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const size_t count = m_Changed.size();
    const size_t recordSize = withTime ? kRecordWithTime : kRecordWithoutTime;
    const size_t valueStart = kGroupHeaderSize + count * recordSize;
    StreamBlock block;
    // Sized for the fixed parts at once; only strings and arrays grow it further.
    bool ok = block.Reserve(valueStart + count * StreamBlock::kVariantRecordSize) &&
              block.PutU32(4, static_cast<std::uint32_t>(count)) && block.PutU32(8, m_hClientGroup.load()) &&
              block.PutU32(12, dwTransactionID) && block.PutU32(16, static_cast<std::uint32_t>(S_OK));
    size_t offset = valueStart;
    for (size_t i = 0; ok && i < count; ++i) {
        const COPCItem& item = *m_Changed[i];
        const size_t record = kGroupHeaderSize + i * recordSize;
        WORD quality = item.Quality();
        size_t written = 0;
        const Variant& cached = item.Value();
        const VARTYPE requested = item.RequestedType();
        if (cached.Type() == requested || requested == VT_EMPTY) {
            ok = block.PutVariant(offset, cached.Ref(), written);
        } else {
            HRESULT converted = S_OK;
            Variant value = cached.ConvertedTo(requested, &converted);
            if (FAILED(converted)) {
                // Not convertible: the cached value in its own type, marked bad,
                // so that the stream stays well-formed.
                quality = OPC_QUALITY_BAD;
                ok = block.PutVariant(offset, cached.Ref(), written);
            } else {
                ok = block.PutVariant(offset, value.Ref(), written);
            }
        }
        ok = ok && block.PutU32(record, item.ClientHandle()) &&
             block.PutU32(record + 4, static_cast<std::uint32_t>(offset)) && block.PutU16(record + 8, quality) &&
             block.PutU16(record + 10, 0) && (!withTime || block.PutFileTime(record + 12, item.TimeStamp()));
        offset += written;
    }
    ok = ok && offset <= 0xFFFFFFFFu && block.PutU32(0, static_cast<std::uint32_t>(offset));
    if (!ok) return E_OUTOFMEMORY;  // the marks stay: the next stream carries them
    for (COPCItem* item : m_Changed) item->SetChanged(false);
    pmedium->tymed = TYMED_HGLOBAL;
    pmedium->hGlobal = block.Detach();
    pmedium->pUnkForRelease = nullptr;
    return S_OK;
}

HRESULT OPCGroup::FlushDataChange() {
    ScopedLock guard(m_csAdvise);
    if (m_pAdviseHolder == nullptr || !m_bDataPending) return S_FALSE;
    // The stream is sent and freed here rather than through the holder's
    // SendOnDataChange: under Wine that never frees the medium it fetched,
    // which leaked every stream of a subscription.
    std::vector<STATDATA> connections = AdviseConnections();
    HRESULT result = S_OK;
    for (STATDATA& connection : connections) {
        STGMEDIUM medium{};
        medium.tymed = TYMED_NULL;
        HRESULT hr = S_OK;
        if ((connection.advf & ADVF_NODATA) == 0) {
            hr = BuildStream(connection.formatetc.cfFormat != StreamFormatData(), &medium, 0);
        }
        if (SUCCEEDED(hr)) {
            connection.pAdvSink->OnDataChange(&connection.formatetc, &medium);
        } else {
            result = hr;  // the marks stay: the next scan sends them
        }
        if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal != nullptr) GlobalFree(medium.hGlobal);
        if ((connection.advf & ADVF_ONLYONCE) != 0) m_pAdviseHolder->Unadvise(connection.dwConnection);
    }
    for (STATDATA& connection : connections) {
        connection.pAdvSink->Release();
        CoTaskMemFree(connection.formatetc.ptd);
    }
    if (FAILED(result)) return result;
    m_bDataPending = false;
    return S_OK;
}

OPCGroup::SubscriptionCount OPCGroup::Subscriptions() {
    SubscriptionCount count;
    ScopedLock guard(m_csAdvise);
    std::vector<STATDATA> connections = AdviseConnections();
    count.dataObject = static_cast<DWORD>(connections.size());
    for (STATDATA& connection : connections) {
        connection.pAdvSink->Release();
        CoTaskMemFree(connection.formatetc.ptd);
    }
    return count;
}

std::vector<STATDATA> OPCGroup::AdviseConnections() {
    std::vector<STATDATA> connections;
    IEnumSTATDATA* enumerator = nullptr;
    if (m_pAdviseHolder == nullptr || FAILED(m_pAdviseHolder->EnumAdvise(&enumerator)) || enumerator == nullptr) {
        return connections;
    }
    STATDATA entry{};
    ULONG fetched = 0;
    while (enumerator->Next(1, &entry, &fetched) == S_OK && fetched == 1) {
        if (entry.pAdvSink == nullptr) {
            CoTaskMemFree(entry.formatetc.ptd);
            continue;
        }
        connections.push_back(entry);
    }
    enumerator->Release();
    return connections;
}

// The data thread -------------------------------------------------------------------

unsigned OPCGroup::DataThreadBody() {
    const DWORD id = CurrentThreadId();
    theEventLog << L"OPCGroup::ThreadStub - GrpName:" << Name() << L" DataThread Id: " << static_cast<unsigned>(id)
                << L"started" << EventLog::EndEntry;
    const bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (joined) {
        while (m_bDataThreadRun.load()) {
            // This scan answers any wake-up asked for before it (an activation):
            // the wait after it is a whole period. A stop is seen by the run flag.
            m_DataThreadWake.Reset();
            const ULONGLONG t0 = TickCountMs();
            if (m_bActive.load()) {
                if (ScanItems()) {
                    ScopedLock guard(m_csAdvise);
                    m_bDataPending = true;
                }
                if (m_bDataThreadRun.load()) {
                    FlushDataChange();
                    if (m_pServer) m_pServer->SetLastUpdate(FileTimeNow());
                }
            }
            // The period runs from scan start to scan start; a new rate applies
            // from the next wait.
            const ULONGLONG elapsed = TickCountMs() - t0;
            const DWORD rate = m_dwUpdateRate.load();
            if (elapsed < rate && m_bDataThreadRun.load()) {
                m_DataThreadWake.Wait(static_cast<DWORD>(rate - elapsed));
            }
        }
        CoUninitialize();
    }
    theEventLog << L"OPCGroup::ThreadStub - GrpName:" << Name() << L" DataThread Id: " << static_cast<unsigned>(id)
                << L" terminated" << EventLog::EndEntry;
    return 0;
}
