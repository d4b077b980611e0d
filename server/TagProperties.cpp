#include "TagProperties.h"

#include <algorithm>
#include <iterator>

#include "OPCS_Device.h"
#include "Configuration.h"
#include "EngineeringUnits.h"
#include "OpcConstants.h"
#include "OpcDa.h"
#include "SimulatedSignal.h"
#include "OPCS_TagGroup.h"

namespace {
// The tag's own settings.
constexpr DWORD kRawLow = OPC_PROPERTY_VENDOR_FIRST;
constexpr DWORD kRawHigh = OPC_PROPERTY_VENDOR_FIRST + 1;
constexpr DWORD kScaleOffset = OPC_PROPERTY_VENDOR_FIRST + 2;
constexpr DWORD kScaleFactor = OPC_PROPERTY_VENDOR_FIRST + 3;
constexpr DWORD kDeadband = OPC_PROPERTY_VENDOR_FIRST + 4;
constexpr DWORD kVolatile = OPC_PROPERTY_VENDOR_FIRST + 5;
constexpr DWORD kSimulated = OPC_PROPERTY_VENDOR_FIRST + 6;
constexpr DWORD kSimulationSignal = OPC_PROPERTY_VENDOR_FIRST + 7;
constexpr DWORD kSimulationStep = OPC_PROPERTY_VENDOR_FIRST + 8;
constexpr DWORD kSimulationPeriod = OPC_PROPERTY_VENDOR_FIRST + 9;

// Every property a tag can have, in id order. The type of 8 is that of
// its value (none without value limits).
constexpr ItemProperty kProperties[] = {
    {OPC_PROPERTY_DATATYPE, L"Item Canonical DataType", VT_I2},
    {OPC_PROPERTY_VALUE, L"Item Value", VT_VARIANT},
    {OPC_PROPERTY_QUALITY, L"Item Quality", VT_I2},
    {OPC_PROPERTY_TIMESTAMP, L"Item Timestamp", VT_DATE},
    {OPC_PROPERTY_ACCESS_RIGHTS, L"Item Access Rights", VT_I4},
    {OPC_PROPERTY_SCAN_RATE, L"Server Scan Rate", VT_R4},
    {OPC_PROPERTY_EU_TYPE, L"Item EU Type", VT_I4},
    {OPC_PROPERTY_EU_INFO, L"Item EUInfo", VT_ARRAY | VT_R8},
    {OPC_PROPERTY_DESCRIPTION, L"Item Description", VT_BSTR},
    {OPC_PROPERTY_HIGH_EU, L"High EU", VT_R8},
    {OPC_PROPERTY_LOW_EU, L"Low EU", VT_R8},
    {kRawLow, L"Raw Low Limit", VT_R8},
    {kRawHigh, L"Raw High Limit", VT_R8},
    {kScaleOffset, L"Scaling Offset", VT_R8},
    {kScaleFactor, L"Scaling Factor", VT_R8},
    {kDeadband, L"Deadband (percent of the value range)", VT_R8},
    {kVolatile, L"Volatile (the value is cleared when polling starts or stops)", VT_BOOL},
    {kSimulated, L"Simulated", VT_BOOL},
    {kSimulationSignal, L"Simulation Signal (1 Ramp, 2 Triangle, 3 Sine, 4 Square, 5 Random, 6 Count)", VT_I4},
    {kSimulationStep, L"Simulation Step", VT_I4},
    {kSimulationPeriod, L"Simulation Period (ms)", VT_I4},
};

// FILETIME counts 100 ns from 1601-01-01, DATE days from 1899-12-30.
constexpr double kFileTimeTicksPerDay = 864e9;
constexpr double kDaysFrom1601To1899 = 109205;

double DateOf(FILETIME time) {
    const auto ticks = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / kFileTimeTicksPerDay - kDaysFrom1601To1899;
}

void SetR8(VARIANT& v, double value) {
    V_VT(&v) = VT_R8;
    V_R8(&v) = value;
}
void SetI4(VARIANT& v, LONG value) {
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
}
void SetI2(VARIANT& v, SHORT value) {
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
}
void SetBool(VARIANT& v, bool value) {
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
}
}  // namespace

TagProperties::TagProperties(OPCS_Tag& tag) : m_settings(tag.GetSettings()) {
    OPCS_TagGroup* owner = tag.GetOwner();
    OPCS_Device* device = OPCS_TagGroup::IsValidGroup(owner) ? owner->GetDevice() : nullptr;
    if (OPCS_TagGroup::IsValidGroup(device)) {
        m_pollMs = device->PollIntervalMs();
        m_sourceMs = device->ValueIntervalMs();
    }
    // A signal moves the value at its own pace, whatever the device's refresh.
    if (m_settings.simulation.enabled) {
        m_sourceMs = SimulationUpdateMs(m_settings.simulation.kind, m_settings.simulation.period);
    }
}

DWORD TagProperties::ScanRateMs() const {
    // A client sees a change at its group's next scan, and no scan sees the
    // value change faster than the signal or the device's refresh moves it.
    if (m_groupRateMs) return std::max(*m_groupRateMs, m_sourceMs);
    // Nobody scans it: the pace at which the server itself keeps it.
    return m_sourceMs != 0 ? m_sourceMs : m_pollMs;
}

bool TagProperties::Has(DWORD id) const {
    switch (id) {
    case OPC_PROPERTY_HIGH_EU:
    case OPC_PROPERTY_LOW_EU: return m_settings.valueLimitsSet;
    case kRawLow:
    case kRawHigh: return m_settings.rawLimitsSet;
    case kScaleOffset:
    case kScaleFactor: return m_settings.scalingSet;
    default:
        return std::any_of(std::begin(kProperties), std::end(kProperties),
                           [id](const ItemProperty& p) { return p.id == id; });
    }
}

std::vector<ItemProperty> TagProperties::Available() const {
    std::vector<ItemProperty> available;
    for (ItemProperty property : kProperties) {
        if (!Has(property.id)) continue;
        if (property.id == OPC_PROPERTY_EU_INFO && !m_settings.valueLimitsSet) property.type = VT_EMPTY;
        available.push_back(property);
    }
    return available;
}

HRESULT TagProperties::Value(DWORD id, VARIANT& value) const {
    VariantClear(&value);
    if (!Has(id)) return OPC_E_INVALID_PID;
    switch (id) {
    case OPC_PROPERTY_DATATYPE: SetI2(value, static_cast<SHORT>(m_settings.type)); break;
    case OPC_PROPERTY_VALUE: return m_settings.value.CopyTo(&value);
    case OPC_PROPERTY_QUALITY: SetI2(value, static_cast<SHORT>(m_settings.quality)); break;
    case OPC_PROPERTY_TIMESTAMP:
        V_VT(&value) = VT_DATE;
        V_DATE(&value) = DateOf(m_settings.timestamp);
        break;
    case OPC_PROPERTY_ACCESS_RIGHTS:
        // Access mode 1 is read/write; every tag can be read.
        SetI4(value, OPC_READABLE | (m_settings.access == 1 ? OPC_WRITEABLE : 0));
        break;
    case OPC_PROPERTY_SCAN_RATE:
        V_VT(&value) = VT_R4;
        V_R4(&value) = static_cast<float>(ScanRateMs());
        break;
    case OPC_PROPERTY_EU_TYPE:
    case OPC_PROPERTY_EU_INFO: {
        OPCEUTYPE type = OPC_NOENUM;
        VARIANT info;
        VariantInit(&info);
        EngineeringUnits(m_settings.valueLimitsSet, m_settings.valueLow, m_settings.valueHigh, type, info);
        if (id == OPC_PROPERTY_EU_TYPE) {
            VariantClear(&info);
            SetI4(value, type);
        } else {
            value = info;  // handed over
        }
        break;
    }
    case OPC_PROPERTY_DESCRIPTION:
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) =
            SysAllocStringLen(m_settings.description.data(), static_cast<UINT>(m_settings.description.size()));
        if (V_BSTR(&value) == nullptr) {
            V_VT(&value) = VT_EMPTY;
            return E_OUTOFMEMORY;
        }
        break;
    case OPC_PROPERTY_HIGH_EU: SetR8(value, m_settings.valueHigh); break;
    case OPC_PROPERTY_LOW_EU: SetR8(value, m_settings.valueLow); break;
    case kRawLow: SetR8(value, m_settings.rawLow); break;
    case kRawHigh: SetR8(value, m_settings.rawHigh); break;
    case kScaleOffset: SetR8(value, m_settings.scaleOffset); break;
    case kScaleFactor: SetR8(value, m_settings.scaleFactor); break;
    case kDeadband: SetR8(value, m_settings.deadband); break;
    case kVolatile: SetBool(value, m_settings.isVolatile); break;
    case kSimulated: SetBool(value, m_settings.simulation.enabled); break;
    case kSimulationSignal: SetI4(value, static_cast<LONG>(m_settings.simulation.kind)); break;
    case kSimulationStep: SetI4(value, static_cast<LONG>(m_settings.simulation.step)); break;
    case kSimulationPeriod:
        SetI4(value, static_cast<LONG>(std::min<unsigned long long>(
                         1ull * m_settings.simulation.period * kSimulationTickMs, 0x7FFFFFFFull)));
        break;
    default: return OPC_E_INVALID_PID;
    }
    return S_OK;
}

HRESULT TagProperties::FindTag(Configuration& configuration, std::wstring_view itemId, OPCS_Tag** tag) {
    *tag = nullptr;
    // Every name is non-empty and holds no separator: an empty name between
    // separators (or at either end) can name nothing.
    if (itemId.empty() || itemId.front() == kItemIdSeparator || itemId.back() == kItemIdSeparator ||
        itemId.find(L"..") != std::wstring_view::npos) {
        return OPC_E_INVALIDITEMID;
    }
    OPCS_Tag* found = configuration.FindTag(itemId);
    if (!OPCS_Tag::IsValidTag(found)) return OPC_E_UNKNOWNITEMID;
    *tag = found;
    return S_OK;
}
