#include "OpcDaInterfaces.h"

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
