// The server object's IOPCItemIO: reads and writes by item ID, without a
// group. A read takes the tag's value as its device's polling last refreshed
// it when that is no older than the client's MaxAge; otherwise it reads from
// the device, which costs the device's response delay as a group's device
// read does. The call waits once, for the slowest device it needs, holding
// no lock meanwhile.
#include <algorithm>
#include <new>
#include <vector>

#include "CallArrays.h"
#include "Configuration.h"
#include "OPCS_Device.h"
#include "OPCS_Tag.h"
#include "OPCServer.h"
#include "OpcConstants.h"
#include "TagProperties.h"
#include "TaskMem.h"
#include "Variant.h"

namespace {
// Item IDs resolved in one hold of the configuration lock.
constexpr size_t kIdsPerHold = 1000;
// MaxAge from here up takes any value polling keeps (clients send 0x7FFFFFFF
// as well as 0xFFFFFFFF for "from the cache").
constexpr DWORD kAnyAge = 0x7FFFFFFF;

// An item whose tag is visited again after the wait: its pointer holds while
// the configuration's shape count stays.
struct Deferred {
    DWORD index;
    OPCS_Tag* tag;
    unsigned long long shape;
};

OPCS_Device* DeviceOf(OPCS_Tag* tag) {
    OPCS_TagGroup* owner = tag->GetOwner();
    OPCS_Device* device = OPCS_TagGroup::IsValidGroup(owner) ? owner->GetDevice() : nullptr;
    return OPCS_TagGroup::IsValidGroup(device) ? device : nullptr;
}

DWORD ResponseDelayOf(OPCS_Tag* tag) {
    OPCS_Device* device = DeviceOf(tag);
    return device != nullptr ? device->GetResponseDelay() : 0;
}

// True when the value polling keeps is young enough: the device polls and
// its last cycle ended no more than `maxAge` ms ago.
bool FreshEnough(OPCS_Tag* tag, DWORD maxAge, ULONGLONG nowMs) {
    if (maxAge == 0) return false;
    OPCS_Device* device = DeviceOf(tag);
    if (device == nullptr) return false;
    const ULONGLONG ended = device->LastCycleEndedMs();
    if (ended == 0) return false;
    return maxAge >= kAnyAge || nowMs < ended || nowMs - ended <= maxAge;
}

// Visits each item ID under the configuration lock, kIdsPerHold at a time:
// `found(i, tag, shape)` for a tag, else the error into `errors`.
template <class Found>
bool ResolveEach(Configuration& configuration, DWORD count, const LPCWSTR* ids, HRESULT* errors, Found found) {
    bool anyFailed = false;
    for (DWORD first = 0; first < count; first += kIdsPerHold) {
        ScopedLock lock(configuration.Lock());
        const unsigned long long shape = configuration.ShapeVersion();
        for (DWORD i = first; i < count && i < first + kIdsPerHold; ++i) {
            OPCS_Tag* tag = nullptr;
            errors[i] = TagProperties::FindTag(configuration, ids[i] != nullptr ? ids[i] : L"", &tag);
            if (FAILED(errors[i])) {
                anyFailed = true;
                continue;
            }
            errors[i] = found(i, tag, shape);
            anyFailed = anyFailed || FAILED(errors[i]);
        }
    }
    return anyFailed;
}

// Visits each deferred tag again after the wait, under the configuration
// lock: `visit(item, tag)` gives its result; a tag gone meanwhile is unknown.
template <class Visit>
bool RevisitEach(Configuration& configuration, const std::vector<Deferred>& items, const LPCWSTR* ids, HRESULT* errors,
                 Visit visit) {
    bool anyFailed = false;
    for (size_t first = 0; first < items.size(); first += kIdsPerHold) {
        ScopedLock lock(configuration.Lock());
        const unsigned long long shape = configuration.ShapeVersion();
        for (size_t k = first; k < items.size() && k < first + kIdsPerHold; ++k) {
            const Deferred& item = items[k];
            OPCS_Tag* tag = item.tag;
            if (item.shape != shape) {
                errors[item.index] = TagProperties::FindTag(configuration, ids[item.index], &tag);
                if (FAILED(errors[item.index])) {
                    anyFailed = true;
                    continue;
                }
            }
            errors[item.index] = visit(item.index, tag);
            anyFailed = anyFailed || FAILED(errors[item.index]);
        }
    }
    return anyFailed;
}
}  // namespace

STDMETHODIMP OPCServer::Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                             WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemIO::Read");
    if (ppvValues == nullptr || ppwQualities == nullptr || ppftTimeStamps == nullptr || ppErrors == nullptr) {
        return E_POINTER;
    }
    *ppvValues = nullptr;
    *ppwQualities = nullptr;
    *ppftTimeStamps = nullptr;
    *ppErrors = nullptr;
    if (m_bClosing.load()) return E_FAIL;
    if (dwCount == 0 || pszItemIDs == nullptr || pdwMaxAge == nullptr) return E_INVALIDARG;
    CallArrays<VARIANT> arrays;  // zero-filled: every VARIANT starts as VT_EMPTY
    TaskMemPtr<WORD> qualities(TaskAllocArray<WORD>(dwCount));
    TaskMemPtr<FILETIME> times(TaskAllocArray<FILETIME>(dwCount));
    if (!arrays.Allocate(dwCount, true) || !qualities || !times) return E_OUTOFMEMORY;
    VARIANT* values = arrays.results.get();
    WORD* quality = qualities.get();
    FILETIME* time = times.get();
    HRESULT* errors = arrays.errors.get();
    std::fill(quality, quality + dwCount, OPC_QUALITY_BAD);
    auto take = [values, quality, time](DWORD i, OPCS_Tag* tag) {
        TagState state = tag->GetState();
        values[i] = state.value.Detach();
        quality[i] = state.quality;
        time[i] = state.timestamp;
        return S_OK;
    };
    try {
        std::vector<Deferred> fromDevice;
        DWORD longest = 0;
        const ULONGLONG now = GetTickCount64();
        bool anyFailed = ResolveEach(m_Configuration, dwCount, pszItemIDs, errors,
                                     [&](DWORD i, OPCS_Tag* tag, unsigned long long shape) {
                                         if (FreshEnough(tag, pdwMaxAge[i], now)) return take(i, tag);
                                         longest = std::max(longest, ResponseDelayOf(tag));
                                         fromDevice.push_back({i, tag, shape});
                                         return S_OK;
                                     });
        if (longest != 0) Sleep(longest);
        anyFailed = RevisitEach(m_Configuration, fromDevice, pszItemIDs, errors,
                                [&take](DWORD i, OPCS_Tag* tag) {
                                    tag->RefreshBeforeRead();
                                    return take(i, tag);
                                }) ||
                    anyFailed;
        *ppvValues = arrays.results.release();
        *ppwQualities = qualities.release();
        *ppftTimeStamps = times.release();
        *ppErrors = arrays.errors.release();
        return anyFailed ? S_FALSE : S_OK;
    } catch (const std::bad_alloc&) {
        for (DWORD i = 0; i < dwCount; ++i) VariantClear(&values[i]);
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OPCServer::WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemIO::WriteVQT");
    if (ppErrors == nullptr) return E_POINTER;
    *ppErrors = nullptr;
    if (m_bClosing.load()) return E_FAIL;
    if (dwCount == 0 || pszItemIDs == nullptr || pItemVQT == nullptr) return E_INVALIDARG;
    CallArrays<HRESULT> arrays;
    if (!arrays.Allocate(dwCount, false)) return E_OUTOFMEMORY;
    HRESULT* errors = arrays.errors.get();
    try {
        std::vector<Deferred> writes;
        DWORD longest = 0;
        bool anyFailed = ResolveEach(m_Configuration, dwCount, pszItemIDs, errors,
                                     [&](DWORD i, OPCS_Tag* tag, unsigned long long shape) {
                                         if (tag->GetAccessMode() != 1) return OPC_E_BADRIGHTS;
                                         longest = std::max(longest, ResponseDelayOf(tag));
                                         writes.push_back({i, tag, shape});
                                         return S_OK;
                                     });
        // A write reaches the device as a group's write does: after its response delay.
        if (longest != 0) Sleep(longest);
        anyFailed = RevisitEach(m_Configuration, writes, pszItemIDs, errors,
                                [pItemVQT](DWORD i, OPCS_Tag* tag) {
                                    const OPCITEMVQT& vqt = pItemVQT[i];
                                    Variant value(vqt.vDataValue);
                                    return tag->ClientWriteVqt(value, vqt.bQualitySpecified ? &vqt.wQuality : nullptr,
                                                               vqt.bTimeStampSpecified ? &vqt.ftTimeStamp : nullptr);
                                }) ||
                    anyFailed;
        *ppErrors = arrays.errors.release();
        return anyFailed ? S_FALSE : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
