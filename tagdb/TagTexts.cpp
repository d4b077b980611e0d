#include "TagTexts.h"

#include <mutex>

#include "OpcConstants.h"
#include "Text.h"
#include "resource.h"

namespace {
struct Texts {
    std::wstring good, uncertain, bad, readOnly, readWrite, localOverride, forced;
    std::wstring badSub[8];        // substatus 0, 4, 8, ... 28 of Bad
    std::wstring uncertainSub[8];  // substatus 0, 4, ... 28 of Uncertain
    std::wstring pollState[4];
};

Texts g_texts;
std::once_flag g_loaded;

void LoadOnce() {
    g_texts.good = LoadResString(IDS_QUALITY_GOOD);
    g_texts.uncertain = LoadResString(IDS_QUALITY_UNCERTAIN);
    g_texts.bad = LoadResString(IDS_QUALITY_BAD);
    g_texts.readOnly = LoadResString(IDS_ACCESS_READONLY);
    g_texts.readWrite = LoadResString(IDS_ACCESS_READWRITE);
    g_texts.localOverride = LoadResString(IDS_GOOD_LOCAL_OVERRIDE);
    g_texts.forced = LoadResString(IDS_QUALITY_FORCED);
    const UINT badIds[7] = {IDS_BAD_CONFIG_ERROR, IDS_BAD_NOT_CONNECTED, IDS_BAD_DEVICE_FAILURE, IDS_BAD_SENSOR_FAILURE,
                            IDS_BAD_LAST_KNOWN,   IDS_BAD_COMM_FAILURE,  IDS_BAD_OUT_OF_SERVICE};
    for (int i = 0; i < 7; ++i) {
        g_texts.badSub[i + 1] = LoadResString(badIds[i]);
    }
    g_texts.uncertainSub[1] = LoadResString(IDS_UNCERTAIN_LAST_KNOWN);
    g_texts.uncertainSub[4] = LoadResString(IDS_UNCERTAIN_NOT_ACCURATE);
    g_texts.uncertainSub[5] = LoadResString(IDS_UNCERTAIN_EU_EXCEEDED);
    g_texts.uncertainSub[6] = LoadResString(IDS_UNCERTAIN_SUB_NORMAL);
    const UINT pollIds[4] = {IDS_POLLSTATE_IDLE, IDS_POLLSTATE_STARTING, IDS_POLLSTATE_WAITING, IDS_POLLSTATE_POLLING};
    for (int i = 0; i < 4; ++i) {
        g_texts.pollState[i] = LoadResString(pollIds[i]);
    }
}

const Texts& T() {
    std::call_once(g_loaded, LoadOnce);
    return g_texts;
}

std::wstring WithSubstatus(const std::wstring& base, const std::wstring& sub) {
    return sub.empty() ? base : base + L" (" + sub + L")";
}
}  // namespace

void LoadTagTexts() { T(); }

std::wstring QualityText(WORD quality) {
    const Texts& t = T();
    switch (quality & OPC_QUALITY_MASK) {
    case OPC_QUALITY_UNCERTAIN: {
        const WORD sub = quality & 0xFF;
        // Only whole substatus codes (no limit bits) name their substatus.
        if (sub == OPC_QUALITY_LAST_USABLE || sub == OPC_QUALITY_SENSOR_CAL || sub == OPC_QUALITY_EGU_EXCEEDED ||
            sub == OPC_QUALITY_SUB_NORMAL) {
            return WithSubstatus(t.uncertain, t.uncertainSub[(sub & OPC_STATUS_MASK & ~OPC_QUALITY_MASK) / 4]);
        }
        return t.uncertain;
    }
    case OPC_QUALITY_BAD:
        if (quality != OPC_QUALITY_BAD && (quality & OPC_LIMIT_MASK) == 0 && quality <= OPC_QUALITY_OUT_OF_SERVICE) {
            return WithSubstatus(t.bad, t.badSub[quality / 4]);
        }
        return t.bad;
    default:  // Good, and the unused 0x80 shown as Good
        return (quality & 0xFF) == OPC_QUALITY_LOCAL_OVERRIDE ? WithSubstatus(t.good, t.localOverride) : t.good;
    }
}

std::wstring ForcedQualityText(WORD quality) { return T().forced + L": " + QualityText(quality); }

std::wstring AccessText(DWORD accessMode) { return accessMode == 1 ? T().readWrite : T().readOnly; }

std::wstring DataTypeName(VARTYPE type) {
    switch (type) {
    case VT_I2: return L"Short 2 Byte Int";
    case VT_I4: return L"Int 4 Byte Int";
    case VT_R4: return L"Float 4 Byte real";
    case VT_R8: return L"Double 8 Byte real";
    case VT_BSTR: return L"String";
    case VT_BOOL: return L"Bool (T/F,True/False,1/0)";
    case VT_UI1: return L"Byte 0-255";
    default: return L"Unknown";
    }
}

std::wstring PollStateText(int pollState) {
    if (pollState < 0 || pollState > 3) {
        return {};
    }
    return T().pollState[pollState];
}
