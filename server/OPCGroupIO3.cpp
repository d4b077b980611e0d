// The group's DA 3.0 reads and writes: by maximum age, and of values with
// their qualities and timestamps. Synchronous ones wait out the devices'
// response delay once, with no lock held; asynchronous ones go the way of
// IOPCAsyncIO2's (the group's thread, Cancel2, the callback connection).
#include "OPCGroup.h"

#include <algorithm>
#include <new>
#include <vector>

#include "CallArrays.h"
#include "ItemRequestRules.h"
#include "OpcConstants.h"
#include "TaskMem.h"

DWORD OPCGroup::DecideSources(DWORD count, const OPCHANDLE* handles, const DWORD* maxAges, DWORD* sources) {
    DWORD longest = 0;
    const ULONGLONG now = TickCountMs();
    ScopedLock guard(m_csItems);
    // An inactive group keeps no cache, whatever its items' flags.
    const bool active = m_bActive.load();
    for (DWORD i = 0; i < count; ++i) {
        const COPCItem* item = m_Items.Find(handles[i]);
        if (item == nullptr) {
            sources[i] = 0;
            continue;
        }
        sources[i] = SourceForMaxAge(maxAges[i], active ? item->CacheAge(now) : std::nullopt);
        if (sources[i] == OPC_DS_DEVICE) longest = std::max(longest, item->DeviceResponseDelay());
    }
    return longest;
}

ItemReading OPCGroup::ReadByAge(COPCItem& item, DWORD source) {
    if (source == OPC_DS_CACHE) return item.Read(OPC_DS_CACHE);
    // A device read makes no cache where there is none to keep.
    return m_bActive.load() ? item.Read(OPC_DS_DEVICE) : item.DeviceReading();
}

HRESULT OPCGroup::WriteRecord(COPCItem& item, const VARIANT& value, const ASyncRequest::QualityAndTime& extra) {
    return item.WriteVqt(value, extra.hasQuality ? &extra.quality : nullptr,
                         extra.hasTimeStamp ? &extra.timeStamp : nullptr);
}

namespace {
ASyncRequest::QualityAndTime ExtrasOf(const OPCITEMVQT& vqt) {
    return {vqt.bQualitySpecified != FALSE, vqt.wQuality, vqt.bTimeStampSpecified != FALSE, vqt.ftTimeStamp};
}
}  // namespace

// IOPCSyncIO2 -------------------------------------------------------------------

STDMETHODIMP OPCGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                  WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) {
    NoteCall(L"IOPCSyncIO2::ReadMaxAge");
    if (ppvValues == nullptr || ppwQualities == nullptr || ppftTimeStamps == nullptr || ppErrors == nullptr) {
        return E_INVALIDARG;
    }
    *ppvValues = nullptr;
    *ppwQualities = nullptr;
    *ppftTimeStamps = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || phServer == nullptr || pdwMaxAge == nullptr) return E_INVALIDARG;
    CallArrays<VARIANT> arrays;  // zeroed: every value VT_EMPTY
    TaskMemPtr<WORD> qualities(TaskAllocArray<WORD>(dwCount));
    TaskMemPtr<FILETIME> times(TaskAllocArray<FILETIME>(dwCount));
    if (!arrays.Allocate(dwCount, true) || !qualities || !times) return E_OUTOFMEMORY;
    std::vector<DWORD> sources;
    try {
        sources.resize(dwCount);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    WaitResponseDelay(DecideSources(dwCount, phServer, pdwMaxAge, sources.data()), nullptr);
    HRESULT* errors = arrays.errors.get();
    VARIANT* values = arrays.results.get();
    HRESULT result = S_OK;
    {
        ScopedLock guard(m_csItems);
        for (DWORD i = 0; i < dwCount; ++i) {
            COPCItem* item = m_Items.Find(phServer[i]);
            // An item removed during the wait counts as never there.
            HRESULT error = OPC_E_INVALIDHANDLE;
            if (item != nullptr && sources[i] != 0) {
                const ItemReading reading = ReadByAge(*item, sources[i]);
                qualities.get()[i] = reading.quality;
                times.get()[i] = reading.timeStamp;
                Variant delivered;
                error = ToRequestedType(reading.value, reading.requested, delivered);
                if (FAILED(error)) {
                    qualities.get()[i] = OPC_QUALITY_BAD;
                } else {
                    values[i] = delivered.Detach();
                }
            }
            errors[i] = error;
            if (FAILED(error)) result = S_FALSE;
        }
    }
    *ppvValues = arrays.results.release();
    *ppwQualities = qualities.release();
    *ppftTimeStamps = times.release();
    *ppErrors = arrays.errors.release();
    return result;
}

STDMETHODIMP OPCGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) {
    NoteCall(L"IOPCSyncIO2::WriteVQT");
    if (ppErrors == nullptr) return E_INVALIDARG;
    *ppErrors = nullptr;
    if (dwCount == 0 || phServer == nullptr || pItemVQT == nullptr) return E_INVALIDARG;
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    WaitResponseDelay(ResponseDelay(dwCount, phServer), nullptr);
    bool anyWritten = false;
    const HRESULT result =
        ForEachItem(dwCount, phServer, arrays.errors.get(), [pItemVQT, &anyWritten](COPCItem& item, DWORD i) {
            const OPCITEMVQT& vqt = pItemVQT[i];
            HRESULT error = CheckVqt(vqt);
            if (FAILED(error)) return error;
            if ((item.AccessRights() & OPC_WRITEABLE) == 0) return OPC_E_BADRIGHTS;
            try {
                error = WriteRecord(item, vqt.vDataValue, ExtrasOf(vqt));
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (SUCCEEDED(error)) {
                item.MarkChanged();
                anyWritten = true;
            }
            return error;
        });
    if (anyWritten) ReportWriteSoon();
    *ppErrors = arrays.errors.release();
    return result;
}

// IOPCAsyncIO3 ------------------------------------------------------------------

STDMETHODIMP OPCGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                                  DWORD* pdwCancelID, HRESULT** ppErrors) {
    NoteCall(L"IOPCAsyncIO3::ReadMaxAge");
    if (pdwMaxAge == nullptr) return E_INVALIDARG;
    return NewCallbackRequest(ASyncRequest::kRead, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors,
                              pdwMaxAge);
}

STDMETHODIMP OPCGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                                DWORD* pdwCancelID, HRESULT** ppErrors) {
    NoteCall(L"IOPCAsyncIO3::WriteVQT");
    if (pItemVQT == nullptr) return E_INVALIDARG;
    return NewCallbackRequest(ASyncRequest::kWrite, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors,
                              nullptr, pItemVQT);
}

STDMETHODIMP OPCGroup::RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) {
    NoteCall(L"IOPCAsyncIO3::RefreshMaxAge");
    return NewRefresh(0, dwMaxAge, dwTransactionID, pdwCancelID);
}
