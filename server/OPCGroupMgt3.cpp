// The group's DA 3.0 settings: which interfaces it answers, its keep-alive,
// and the deadband, sampling rate and buffering a client gives single items.
#include "OPCGroup.h"

#include <cmath>
#include <new>

#include "CallArrays.h"
#include "ItemRequestRules.h"
#include "OpcConstants.h"
#include "TaskMem.h"

STDMETHODIMP OPCGroup::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsDa3Interface(riid) && !IsDa3Offered()) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    const HRESULT hr = ComObject::QueryInterface(riid, ppv);
    // A group's interfaces tell the client's DA version too (IOPCAsyncIO2 is 2.05a alone).
    if (SUCCEEDED(hr) && m_pServer) m_pServer->NoteDaVersion(DaVersionOf(riid));
    return hr;
}

// IOPCGroupStateMgt2 ------------------------------------------------------------

STDMETHODIMP OPCGroup::SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) {
    NoteCall(L"IOPCGroupStateMgt2::SetKeepAlive");
    if (pdwRevisedKeepAliveTime == nullptr) return E_INVALIDARG;
    const DWORD revised = KeepAliveTimer::Revise(dwKeepAliveTime, m_dwUpdateRate.load());
    m_KeepAlive.Set(revised, TickCountMs());
    Reschedule();
    *pdwRevisedKeepAliveTime = revised;
    return revised == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

STDMETHODIMP OPCGroup::GetKeepAlive(DWORD* pdwKeepAliveTime) {
    NoteCall(L"IOPCGroupStateMgt2::GetKeepAlive");
    if (pdwKeepAliveTime == nullptr) return E_INVALIDARG;
    *pdwKeepAliveTime = m_KeepAlive.Time();
    return S_OK;
}

// Item settings ------------------------------------------------------------------

template <class Result, class Apply>
HRESULT OPCGroup::ItemSettingsCall(DWORD dwCount, const OPCHANDLE* phServer, Result** ppResults, HRESULT** ppErrors,
                                   Apply&& apply) {
    if (ppErrors == nullptr) return E_INVALIDARG;
    *ppErrors = nullptr;
    if (ppResults != nullptr) *ppResults = nullptr;
    if (dwCount == 0 || phServer == nullptr) return E_INVALIDARG;
    CallArrays<Result> arrays;
    if (!arrays.Allocate(dwCount, ppResults != nullptr)) return E_OUTOFMEMORY;
    Result* results = arrays.results.get();
    HRESULT result;
    try {
        result = ForEachItem(dwCount, phServer, arrays.errors.get(),
                             [&apply, results](COPCItem& item, DWORD i) { return apply(item, i, results); });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (ppResults != nullptr) *ppResults = arrays.results.release();
    *ppErrors = arrays.errors.release();
    return result;
}

// IOPCItemDeadbandMgt -----------------------------------------------------------

STDMETHODIMP OPCGroup::SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                       HRESULT** ppErrors) {
    NoteCall(L"IOPCItemDeadbandMgt::SetItemDeadband");
    if (pPercentDeadband == nullptr) return E_INVALIDARG;
    return ItemSettingsCall<FLOAT>(dwCount, phServer, nullptr, ppErrors,
                                   [pPercentDeadband](COPCItem& item, DWORD i, FLOAT*) -> HRESULT {
                                       const FLOAT percent = pPercentDeadband[i];
                                       // NaN fails both comparisons.
                                       if (!(percent >= 0.0f && percent <= 100.0f)) return E_INVALIDARG;
                                       if (!item.IsAnalog()) return OPC_E_DEADBANDNOTSUPPORTED;
                                       item.SetDeadband(percent);
                                       return S_OK;
                                   });
}

STDMETHODIMP OPCGroup::GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                       HRESULT** ppErrors) {
    NoteCall(L"IOPCItemDeadbandMgt::GetItemDeadband");
    if (ppPercentDeadband == nullptr) return E_INVALIDARG;
    return ItemSettingsCall<FLOAT>(dwCount, phServer, ppPercentDeadband, ppErrors,
                                   [](COPCItem& item, DWORD i, FLOAT* percents) -> HRESULT {
                                       if (!item.IsAnalog()) return OPC_E_DEADBANDNOTSUPPORTED;
                                       if (!item.HasDeadband()) return OPC_E_DEADBANDNOTSET;
                                       percents[i] = item.Deadband();
                                       return S_OK;
                                   });
}

STDMETHODIMP OPCGroup::ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemDeadbandMgt::ClearItemDeadband");
    return ItemSettingsCall<FLOAT>(dwCount, phServer, nullptr, ppErrors, [](COPCItem& item, DWORD, FLOAT*) -> HRESULT {
        if (!item.IsAnalog()) return OPC_E_DEADBANDNOTSUPPORTED;
        if (!item.HasDeadband()) return OPC_E_DEADBANDNOTSET;
        item.ClearDeadband();
        return S_OK;
    });
}

// IOPCItemSamplingMgt -----------------------------------------------------------

STDMETHODIMP OPCGroup::SetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwRequestedSamplingRate,
                                           DWORD** ppdwRevisedSamplingRate, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemSamplingMgt::SetItemSamplingRate");
    if (pdwRequestedSamplingRate == nullptr || ppdwRevisedSamplingRate == nullptr) return E_INVALIDARG;
    const HRESULT hr =
        ItemSettingsCall<DWORD>(dwCount, phServer, ppdwRevisedSamplingRate, ppErrors,
                                [this, pdwRequestedSamplingRate](COPCItem& item, DWORD i, DWORD* revised) -> HRESULT {
                                    const DWORD rate = ReviseSamplingRate(pdwRequestedSamplingRate[i]);
                                    m_Sampling.NoteRate(item.ServerHandle(), true);
                                    item.SetSamplingRate(rate);
                                    revised[i] = rate;
                                    return rate == pdwRequestedSamplingRate[i] ? S_OK : OPC_S_UNSUPPORTEDRATE;
                                });
    Reschedule();
    return hr;
}

STDMETHODIMP OPCGroup::GetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD** ppdwSamplingRate,
                                           HRESULT** ppErrors) {
    NoteCall(L"IOPCItemSamplingMgt::GetItemSamplingRate");
    if (ppdwSamplingRate == nullptr) return E_INVALIDARG;
    return ItemSettingsCall<DWORD>(dwCount, phServer, ppdwSamplingRate, ppErrors,
                                   [](COPCItem& item, DWORD i, DWORD* rates) -> HRESULT {
                                       if (item.SamplingRate() == 0) return OPC_E_RATENOTSET;
                                       rates[i] = item.SamplingRate();
                                       return S_OK;
                                   });
}

STDMETHODIMP OPCGroup::ClearItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemSamplingMgt::ClearItemSamplingRate");
    return ItemSettingsCall<DWORD>(dwCount, phServer, nullptr, ppErrors,
                                   [this](COPCItem& item, DWORD, DWORD*) -> HRESULT {
                                       if (item.SamplingRate() == 0) return OPC_E_RATENOTSET;
                                       item.SetSamplingRate(0);
                                       m_Sampling.NoteRate(item.ServerHandle(), false);
                                       return S_OK;
                                   });
}

STDMETHODIMP OPCGroup::SetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL* pbEnable, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemSamplingMgt::SetItemBufferEnable");
    if (pbEnable == nullptr) return E_INVALIDARG;
    return ItemSettingsCall<BOOL>(dwCount, phServer, nullptr, ppErrors,
                                  [this, pbEnable](COPCItem& item, DWORD i, BOOL*) -> HRESULT {
                                      const bool enable = pbEnable[i] != FALSE;
                                      m_Sampling.NoteBuffer(item.ServerHandle(), enable);
                                      item.EnableBuffer(enable, m_Sampling.Budget());
                                      return S_OK;
                                  });
}

STDMETHODIMP OPCGroup::GetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL** ppbEnable, HRESULT** ppErrors) {
    NoteCall(L"IOPCItemSamplingMgt::GetItemBufferEnable");
    if (ppbEnable == nullptr) return E_INVALIDARG;
    return ItemSettingsCall<BOOL>(dwCount, phServer, ppbEnable, ppErrors,
                                  [](COPCItem& item, DWORD i, BOOL* enabled) -> HRESULT {
                                      enabled[i] = item.IsBuffered() ? TRUE : FALSE;
                                      return S_OK;
                                  });
}
