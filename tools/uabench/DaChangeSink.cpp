#include "DaChangeSink.h"

#include "BenchProcess.h"

bool CounterValue(const VARIANT& value, double& number, bool& isBool) {
    isBool = V_VT(&value) == VT_BOOL;
    if (isBool) {
        number = V_BOOL(&value) != VARIANT_FALSE ? 1 : 0;
        return true;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_R8))) return false;
    number = V_R8(&converted);
    return true;
}

STDMETHODIMP DaChangeSink::OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                                        VARIANT* pvValues, WORD*, FILETIME* pftTimeStamps, HRESULT*) {
    ++m_calls;
    const double arrival = NowMs();
    if (phClientItems == nullptr || pvValues == nullptr || pftTimeStamps == nullptr) return S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        double value = 0;
        bool isBool = false;
        if (!CounterValue(pvValues[i], value, isBool)) continue;
        const FILETIME& t = pftTimeStamps[i];
        const double ms =
            static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
        m_steps.Heard(phClientItems[i], value, isBool, ms, arrival);
    }
    return S_OK;
}
