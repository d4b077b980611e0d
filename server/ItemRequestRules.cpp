#include "ItemRequestRules.h"

OPCDATASOURCE SourceForMaxAge(DWORD maxAge, std::optional<ULONGLONG> cacheAge) noexcept {
    constexpr DWORD kAnyAge = 0x7FFFFFFF;
    if (!cacheAge || maxAge == 0) return OPC_DS_DEVICE;
    if (maxAge >= kAnyAge || *cacheAge <= maxAge) return OPC_DS_CACHE;
    return OPC_DS_DEVICE;
}

HRESULT CheckVqt(const OPCITEMVQT& vqt) noexcept {
    if (V_VT(&vqt.vDataValue) == VT_EMPTY) return E_INVALIDARG;
    if (vqt.bQualitySpecified && vqt.wQuality > 0xFF) return E_INVALIDARG;
    if (vqt.bTimeStampSpecified && (vqt.ftTimeStamp.dwHighDateTime & 0x80000000u) != 0) return E_INVALIDARG;
    return S_OK;
}

DWORD ReviseSamplingRate(DWORD requested) noexcept {
    return requested < kFastestSamplingMs ? kFastestSamplingMs : requested;
}
