#include "OpcDaInterfaces.h"

#include <ocidl.h>

#include <atomic>

namespace {
std::atomic<bool> g_da3Offered{true};
}  // namespace

bool IsDa3Interface(REFIID riid) noexcept {
    return riid == IID_IOPCBrowse || riid == IID_IOPCItemIO || riid == IID_IOPCSyncIO2 || riid == IID_IOPCAsyncIO3 ||
           riid == IID_IOPCGroupStateMgt2 || riid == IID_IOPCItemDeadbandMgt || riid == IID_IOPCItemSamplingMgt;
}

bool IsDa3Offered() noexcept { return g_da3Offered.load(std::memory_order_relaxed); }

void SetDa3Offered(bool offered) noexcept { g_da3Offered.store(offered, std::memory_order_relaxed); }

DaVersion DaVersionOf(REFIID riid) noexcept {
    if (IsDa3Interface(riid)) return DaVersion::Da30;
    if (riid == IID_IOPCCommon || riid == IID_IConnectionPointContainer || riid == IID_IOPCItemProperties ||
        riid == IID_IOPCAsyncIO2) {
        return DaVersion::Da205a;
    }
    if (riid == IID_IOPCServer || riid == IID_IOPCBrowseServerAddressSpace || riid == IID_IOPCItemMgt ||
        riid == IID_IOPCGroupStateMgt || riid == IID_IOPCPublicGroupStateMgt || riid == IID_IOPCSyncIO ||
        riid == IID_IOPCAsyncIO || riid == IID_IDataObject) {
        return DaVersion::Da10a;
    }
    return DaVersion::None;
}

const wchar_t* DaVersionText(DaVersion version) noexcept {
    switch (version) {
    case DaVersion::Da10a: return L"1.0a";
    case DaVersion::Da205a: return L"2.05a";
    case DaVersion::Da30: return L"3.0";
    case DaVersion::None: break;
    }
    return L"";
}
