#include "OPCS_Tag.h"

#include <algorithm>

#include "Configuration.h"
#include "DateTimeText.h"
#include "ForcedQuality.h"
#include "OPCS_Device.h"
#include "FileTime.h"
#include "LiveObjectSet.h"
#include "OpcConstants.h"
#include "OPCS_TagGroup.h"
#include "TagTexts.h"
#include "TreeLimits.h"
#include "ValueText.h"

namespace {
// The values a limit has cut on this thread: a write asks whether its own value was cut.
thread_local unsigned t_clampedValues = 0;

// Limits apply to numeric values only; the result stays a double.
void Clamp(Variant& v, bool set, double low, double high) {
    if (!set || !IsNumericType(v.Type()) || FAILED(v.ChangeType(VT_R8))) {
        return;
    }
    double x = V_R8(v.Get());
    if (!(low <= x)) x = low;  // also catches NaN
    if (!(high >= x)) x = high;
    if (x != V_R8(v.Get())) ++t_clampedValues;
    V_R8(v.Get()) = x;
}
}  // namespace

OPCS_Tag::OPCS_Tag() {
    m_timestamp = FileTimeNow();
    LiveTags().Add(this);
}

OPCS_Tag::~OPCS_Tag() {
    LiveTags().Remove(this);
    ScopedLock guard(m_lock);
    StoreName(L"Deleted");
    m_description = L"Deleted";
    m_simulationKind = 0;
    m_simulationStep = 0;
    m_dataType = VT_EMPTY;
    m_timestamp = FILETIME{};
    m_quality = 0;
    m_owner = nullptr;
    m_accessMode = 0;
    m_iconIndex = 0;
    m_volatile = true;
    m_value.Clear();
    m_deadband = 0;
    m_valueLimitsEnabled = m_rawLimitsEnabled = m_scalingEnabled = m_simulationEnabled = false;
    m_signature = 0;
}

bool OPCS_Tag::IsValidTag(const void* pointer) {
    return LiveTags().Contains(pointer) && static_cast<const OPCS_Tag*>(pointer)->m_signature == kTagSignature;
}

bool OPCS_Tag::IsStillValidTag(const void* pointer, std::atomic<std::uint64_t>& checkedAt) {
    // Read before the lookup: a removal meanwhile is seen at the next call.
    const std::uint64_t stamp = LiveTags().Removals() + 1;
    if (pointer != nullptr && checkedAt.load(std::memory_order_relaxed) == stamp) return true;
    if (!IsValidTag(pointer)) return false;
    checkedAt.store(stamp, std::memory_order_relaxed);
    return true;
}

void OPCS_Tag::StoreName(std::wstring name) {
    SlimScopedLock guard(m_nameLock);
    m_name = std::move(name);
}

std::wstring OPCS_Tag::GetName() const {
    SlimScopedLock guard(m_nameLock);
    return m_name;
}

Configuration* OPCS_Tag::OwnerConfiguration() const noexcept {
    // No lock taken on the way up: the caller holds the tag's, which keeps the owner and its parents alive.
    return m_owner != nullptr ? m_owner->ConfigurationAbove() : nullptr;
}

void OPCS_Tag::MarkModifiedIfOwned() {
    // Read first: every poll thread's change passes here, and a store to the
    // shared flag would move its cache line between them at each one.
    Configuration* configuration = OwnerConfiguration();
    if (configuration != nullptr && !configuration->IsModified()) configuration->SetModified(true);
}

void OPCS_Tag::CountChange(bool shape) {
    m_changes.fetch_add(1, std::memory_order_acq_rel);
    // Every change of value or quality in effect passes here, whatever made it.
    if (m_alarm != nullptr) EvaluateAlarm(AlarmEventCause::Evaluated);
    if (m_history != nullptr) RecordHistory();
    Configuration* configuration = OwnerConfiguration();
    if (configuration == nullptr) return;
    if (shape) configuration->NoteShapeChanged(ShapeScope::Members(m_owner));
    configuration->NotifyTagChanged(this);
}

void OPCS_Tag::MarkValueModifiedIfOwned() {
    if (!m_volatile) {
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetDescription(const std::wstring& text) {
    ScopedLock guard(m_lock);
    if (text != m_description) {
        m_description = text;
        CountChange(true);
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetQuality(WORD quality) {
    ScopedLock guard(m_lock);
    if (quality != m_quality) {
        m_quality = quality;
        CountChange();
        m_timestamp = FileTimeNow();
        MarkValueModifiedIfOwned();
    }
}

std::wstring OPCS_Tag::GetQualityText() {
    ScopedLock guard(m_lock);
    const int forced = ForcedQualityInEffect();
    return forced != kNotForced ? ForcedQualityText(static_cast<WORD>(forced)) : QualityText(m_quality);
}

bool OPCS_Tag::SetValueNow(const Variant& value) { return SetValue(value, OPC_QUALITY_GOOD, FileTimeNow()); }

bool OPCS_Tag::SetValue(const Variant& value, WORD quality, FILETIME time) {
    ScopedLock guard(m_lock);
    m_rawValue = value;
    m_value = RawToEngineering(value);
    m_timestamp = time;
    m_quality = quality;
    // Counted before the conversion: an alarm judges an empty value (a
    // volatile tag cleared) as empty, not as the 0 it converts to.
    CountChange();
    if (FAILED(m_value.ChangeType(static_cast<VARTYPE>(m_dataType)))) {
        return false;
    }
    MarkValueModifiedIfOwned();
    return true;
}

void OPCS_Tag::InvalidateIfVolatile(WORD quality) {
    ScopedLock guard(m_lock);
    if (!m_volatile) return;
    // Already so since the last start or stop: a device polling 100,000 tags
    // then touches only those written meanwhile.
    const bool alreadyInvalid = m_quality == quality && m_rawValue.IsEmpty() && m_timestamp.dwLowDateTime == 0 &&
                                m_timestamp.dwHighDateTime == 0 &&
                                (m_value.IsEmpty() || m_value.Type() == static_cast<VARTYPE>(m_dataType));
    if (!alreadyInvalid) SetValue(Variant(), quality, FILETIME{});
}

std::wstring OPCS_Tag::GetValueText() {
    ScopedLock guard(m_lock);
    return QualityInEffect() == OPC_QUALITY_GOOD ? FormatValueText(m_value.Ref()) : L"?";
}

std::wstring OPCS_Tag::GetRawValueText() {
    ScopedLock guard(m_lock);
    return QualityInEffect() == OPC_QUALITY_GOOD ? FormatValueText(m_rawValue.Ref()) : L"?";
}

bool OPCS_Tag::WriteFromClient(Variant& value) { return ClientWrite(value) == S_OK; }

HRESULT OPCS_Tag::ClientWrite(Variant& value) {
    {
        ScopedLock guard(m_lock);
        if (m_accessMode != 1) return OPC_E_BADRIGHTS;
    }
    // A tag refuses only a value it cannot take in its type.
    return WriteValue(value) ? S_OK : OPC_E_BADTYPE;
}

HRESULT OPCS_Tag::ClientWriteReportingClamp(Variant& value) {
    const unsigned before = t_clampedValues;
    const HRESULT result = ClientWrite(value);
    return result == S_OK && t_clampedValues != before ? OPC_S_CLAMP : result;
}

HRESULT OPCS_Tag::ClientWriteVqt(Variant& value, const WORD* quality, const FILETIME* timestamp) {
    if (quality == nullptr && timestamp == nullptr) return ClientWriteReportingClamp(value);
    {
        ScopedLock guard(m_lock);
        const Configuration* configuration = OwnerConfiguration();
        if (configuration == nullptr || !configuration->ClientQualityWritesAllowed()) return OPC_E_NOTSUPPORTED;
        // The high byte is a vendor's, which no client of ours may claim;
        // FileTimeToSystemTime refuses a FILETIME with its top bit set.
        if ((quality != nullptr && *quality > 0xFF) ||
            (timestamp != nullptr && (timestamp->dwHighDateTime & 0x80000000u) != 0)) {
            return E_INVALIDARG;
        }
        if (m_accessMode != 1) return OPC_E_BADRIGHTS;
    }
    const unsigned before = t_clampedValues;
    const HRESULT result = WriteQualifiedValue(value, quality != nullptr ? *quality : OPC_QUALITY_GOOD,
                                               timestamp != nullptr ? *timestamp : FileTimeNow());
    return result == S_OK && t_clampedValues != before ? OPC_S_CLAMP : result;
}

HRESULT OPCS_Tag::WriteQualifiedValue(Variant&, WORD, FILETIME) { return OPC_E_NOTSUPPORTED; }

Variant OPCS_Tag::RawToEngineering(const Variant& raw) {
    ScopedLock guard(m_lock);
    Variant v(raw);
    if (IsNumericType(v.Type())) {
        ClampToRawLimits(v);
        if (m_scalingSet && SUCCEEDED(v.ChangeType(VT_R8))) {
            V_R8(v.Get()) = (V_R8(v.Get()) + m_scaleOffset) * m_scaleFactor;
        }
        ClampToValueLimits(v);
    }
    return v;
}

void OPCS_Tag::ClampToValueLimits(Variant& value) {
    ScopedLock guard(m_lock);
    Clamp(value, m_valueLimitsSet, m_valueLow, m_valueHigh);
}

void OPCS_Tag::ClampToRawLimits(Variant& value) {
    ScopedLock guard(m_lock);
    Clamp(value, m_rawLimitsSet, m_rawLow, m_rawHigh);
}

void OPCS_Tag::SetDataType(VARTYPE type) {
    OPCS_Device* release = nullptr;
    {
        ScopedLock guard(m_lock);
        if (type == m_dataType) return;
        m_dataType = type;
        m_value.Clear();
        release = DropAlarmIfUnfit();
        CountChange(true);
        MarkModifiedIfOwned();
    }
    ReleaseAlarmPoll(release);
}

std::wstring OPCS_Tag::GetItemID() {
    OPCS_TagGroup* owner = GetOwner();
    std::wstring id = OPCS_TagGroup::IsValidGroup(owner) ? owner->GetPath() : std::wstring(1, kItemIdSeparator);
    return id + GetName();
}

int OPCS_Tag::GetIconIndex() { return m_iconIndex; }

Variant OPCS_Tag::GetValue() {
    ScopedLock guard(m_lock);
    return m_value;
}

WORD OPCS_Tag::GetQuality() {
    ScopedLock guard(m_lock);
    return QualityInEffect();
}

TagState OPCS_Tag::GetState() {
    ScopedLock guard(m_lock);
    return TagState{m_value, QualityInEffect(), m_timestamp};
}

int OPCS_Tag::ForcedQualityInEffect() const {
    if (m_forcedQuality != kNotForced) return m_forcedQuality;
    for (OPCS_TagGroup* group = m_owner; group != nullptr; group = group->GetParent()) {
        if (const int forced = group->GetForcedQuality(); forced != kNotForced) return forced;
    }
    return kNotForced;
}

WORD OPCS_Tag::QualityInEffect() const {
    const int forced = ForcedQualityInEffect();
    return forced != kNotForced ? static_cast<WORD>(forced) : m_quality;
}

bool OPCS_Tag::ForceQuality(int quality) {
    if (!IsForcibleQuality(quality)) return false;
    ScopedLock guard(m_lock);
    if (quality != m_forcedQuality) {
        m_forcedQuality = quality;
        CountChange();
        MarkModifiedIfOwned();
    }
    return true;
}

int OPCS_Tag::GetForcedQuality() {
    ScopedLock guard(m_lock);
    return m_forcedQuality;
}

int OPCS_Tag::GetForcedQualityInEffect() {
    ScopedLock guard(m_lock);
    return ForcedQualityInEffect();
}

void OPCS_Tag::NoteForcingChanged() {
    ScopedLock guard(m_lock);
    CountChange();
}

void OPCS_Tag::Rename(std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    if (text.size() > kMaxNameLength) return;
    OPCS_TagGroup* owner = GetOwner();
    if (OPCS_TagGroup::IsValidGroup(owner)) {
        // The owner checks the name against its index and renames us under
        // its lock, then ours: the lock order of groups and tags.
        owner->RenameTag(this, text);
        return;
    }
    ScopedLock guard(m_lock);
    if (text == GetName()) {
        return;
    }
    StoreName(std::move(text));
    CountChange();
}

void OPCS_Tag::ApplyRename(std::wstring name) {
    ScopedLock guard(m_lock);
    StoreName(std::move(name));
    CountChange(true);
    MarkModifiedIfOwned();
}

std::wstring OPCS_Tag::GetTimestampText() {
    ScopedLock guard(m_lock);
    if (QualityInEffect() != OPC_QUALITY_GOOD) {
        return L"----------";
    }
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&m_timestamp, &local) || !FileTimeToSystemTime(&local, &st)) {
        return {};
    }
    return FormatDateTime(st);
}

std::wstring OPCS_Tag::GetAccessText() {
    ScopedLock guard(m_lock);
    return AccessText(m_accessMode);
}

void OPCS_Tag::EnableValueLimits(bool enable) {
    ScopedLock guard(m_lock);
    if (enable != m_valueLimitsEnabled) {
        m_valueLimitsEnabled = enable;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::EnableRawLimits(bool enable) {
    ScopedLock guard(m_lock);
    if (enable != m_rawLimitsEnabled) {
        m_rawLimitsEnabled = enable;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::EnableScaling(bool enable) {
    ScopedLock guard(m_lock);
    if (enable != m_scalingEnabled) {
        m_scalingEnabled = enable;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetValueLimits(double low, double high) {
    if (!(low <= high)) {
        return;
    }
    ScopedLock guard(m_lock);
    if (!m_valueLimitsEnabled) {
        if (m_valueLimitsSet) m_changes.fetch_add(1, std::memory_order_acq_rel);
        m_valueLimitsSet = false;
        return;
    }
    if (m_valueLimitsSet && m_valueLow == low && m_valueHigh == high) {
        return;
    }
    m_valueLow = low;
    m_valueHigh = high;
    m_valueLimitsSet = true;
    m_changes.fetch_add(1, std::memory_order_acq_rel);
    MarkModifiedIfOwned();
}

void OPCS_Tag::SetRawLimits(double low, double high) {
    if (!(low <= high)) {
        return;
    }
    ScopedLock guard(m_lock);
    if (!m_rawLimitsEnabled) {
        m_rawLimitsSet = false;
        return;
    }
    if (m_rawLimitsSet && m_rawLow == low && m_rawHigh == high) {
        return;
    }
    m_rawLow = low;
    m_rawHigh = high;
    m_rawLimitsSet = true;
    MarkModifiedIfOwned();
}

void OPCS_Tag::ClearValueLimits() {
    ScopedLock guard(m_lock);
    if (m_valueLimitsSet) {
        m_valueLimitsSet = false;
        m_changes.fetch_add(1, std::memory_order_acq_rel);
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetScaling(double offset, double factor) {
    ScopedLock guard(m_lock);
    if (!m_scalingEnabled) {
        m_scalingSet = false;
        return;
    }
    if (m_scalingSet && m_scaleOffset == offset && m_scaleFactor == factor) {
        return;
    }
    m_scaleOffset = offset;
    m_scaleFactor = factor;
    m_scalingSet = true;
    MarkModifiedIfOwned();
}

void OPCS_Tag::SetDeadband(double percent) {
    if (!(percent >= 0 && percent <= 100)) {
        return;
    }
    ScopedLock guard(m_lock);
    if (percent != m_deadband) {
        m_deadband = percent;
        m_changes.fetch_add(1, std::memory_order_acq_rel);
        MarkModifiedIfOwned();
    }
}

std::wstring OPCS_Tag::GetDescription() {
    ScopedLock g(m_lock);
    return m_description;
}
VARTYPE OPCS_Tag::GetDataType() {
    ScopedLock g(m_lock);
    return static_cast<VARTYPE>(m_dataType);
}
DWORD OPCS_Tag::GetAccessMode() {
    ScopedLock g(m_lock);
    return m_accessMode;
}
FILETIME OPCS_Tag::GetTimestamp() {
    ScopedLock g(m_lock);
    return m_timestamp;
}
bool OPCS_Tag::IsVolatile() {
    ScopedLock g(m_lock);
    return m_volatile;
}
bool OPCS_Tag::IsLocked() {
    ScopedLock g(m_lock);
    return m_locked;
}
DWORD OPCS_Tag::GetChangeCount() {
    ScopedLock g(m_lock);
    return m_changes.load();
}
bool OPCS_Tag::AreValueLimitsEnabled() {
    ScopedLock g(m_lock);
    return m_valueLimitsEnabled;
}
bool OPCS_Tag::AreValueLimitsSet() {
    ScopedLock g(m_lock);
    return m_valueLimitsSet;
}
double OPCS_Tag::GetValueLowLimit() {
    ScopedLock g(m_lock);
    return m_valueLow;
}
double OPCS_Tag::GetValueHighLimit() {
    ScopedLock g(m_lock);
    return m_valueHigh;
}
double OPCS_Tag::GetDeadband() {
    ScopedLock g(m_lock);
    return m_deadband;
}
TagChangeState OPCS_Tag::GetChangeState() {
    ScopedLock g(m_lock);
    return TagChangeState{TagState{m_value, QualityInEffect(), m_timestamp}, static_cast<VARTYPE>(m_dataType),
                          TagDeadband{m_valueLimitsSet, m_deadband, m_valueLow, m_valueHigh}};
}
TagSimulation OPCS_Tag::GetSimulation() {
    ScopedLock g(m_lock);
    return TagSimulation{m_simulationEnabled, m_simulationKind, m_simulationStep, m_simulationPeriod};
}
bool OPCS_Tag::AssignSimulation(const TagSimulation& simulation) {
    if (simulation == TagSimulation{m_simulationEnabled, m_simulationKind, m_simulationStep, m_simulationPeriod}) {
        return false;
    }
    m_simulationEnabled = simulation.enabled;
    m_simulationKind = simulation.kind;
    m_simulationStep = simulation.step;
    m_simulationPeriod = simulation.period;
    return true;
}

void OPCS_Tag::SetSimulation(const TagSimulation& simulation) {
    OPCS_TagGroup* owner = nullptr;
    {
        ScopedLock g(m_lock);
        if (!AssignSimulation(simulation)) return;
        CountChange();
        owner = m_owner;
    }
    // Outside our lock: a group's lock is never taken while a tag's is held.
    if (OPCS_TagGroup::IsValidGroup(owner)) {
        owner->NotifyChanged();
        if (OPCS_Device* device = owner->GetDevice()) device->Reschedule();
    }
}
void OPCS_Tag::ApplyProperties(std::wstring name, const TagEdit& edit) {
    Rename(std::move(name));
    ApplyEdit(edit);
}

bool OPCS_Tag::ApplyEdit(const TagEdit& edit) {
    OPCS_TagGroup* owner = nullptr;
    bool simulationChanged = false;
    bool converted = false;
    OPCS_Device* release = nullptr;
    {
        ScopedLock g(m_lock);
        bool changed = edit.description != m_description || edit.type != m_dataType || edit.access != m_accessMode;
        m_description = edit.description;
        m_dataType = edit.type;
        m_accessMode = edit.access;
        if (!edit.limitValues) {
            changed = changed || m_valueLimitsSet;
            m_valueLimitsSet = false;
        } else {
            if (edit.low <= edit.high) {
                if (!m_valueLimitsEnabled) {
                    m_valueLimitsSet = false;
                } else if (!m_valueLimitsSet || m_valueLow != edit.low || m_valueHigh != edit.high) {
                    m_valueLow = edit.low;
                    m_valueHigh = edit.high;
                    m_valueLimitsSet = true;
                    changed = true;
                }
            }
            if (edit.deadband >= 0 && edit.deadband <= 100 && edit.deadband != m_deadband) {
                m_deadband = edit.deadband;
                changed = true;
            }
        }
        simulationChanged = AssignSimulation(edit.simulation);
        // The value last: through the new limits into the new type.
        m_rawValue = edit.value;
        Variant engineering = RawToEngineering(edit.value);
        converted = SUCCEEDED(engineering.ChangeType(edit.type));
        if (converted) {
            m_value = std::move(engineering);
        } else {
            m_value.Clear();
        }
        m_quality = converted ? OPC_QUALITY_GOOD : OPC_QUALITY_BAD;
        m_timestamp = FileTimeNow();
        // Judged on the new value; settings that do not suit the new type remove the alarm.
        const bool alarmFits = CheckAlarmSettings(edit.alarm, edit.type).empty();
        release = PlaceAlarm(alarmFits ? edit.alarm : AlarmSettings{});
        changed = changed || edit.historize != m_historize.load();
        m_historize.store(edit.historize, std::memory_order_release);
        CountChange(true);
        if (changed || simulationChanged) MarkModifiedIfOwned();
        MarkValueModifiedIfOwned();
        owner = m_owner;
    }
    // Outside our lock: a group's lock is never taken while a tag's is held.
    if (simulationChanged && OPCS_TagGroup::IsValidGroup(owner)) {
        owner->NotifyChanged();
        if (OPCS_Device* device = owner->GetDevice()) device->Reschedule();
    }
    ReleaseAlarmPoll(release);
    SyncAlarmPolling();
    SyncHistory();
    return converted;
}
TagSettings OPCS_Tag::GetSettings() {
    ScopedLock g(m_lock);
    TagSettings s;
    s.type = static_cast<VARTYPE>(m_dataType);
    s.access = m_accessMode;
    s.description = m_description;
    s.value = m_value;
    s.quality = m_quality;
    s.timestamp = m_timestamp;
    s.valueLimitsSet = m_valueLimitsSet;
    s.valueLow = m_valueLow;
    s.valueHigh = m_valueHigh;
    s.rawLimitsSet = m_rawLimitsSet;
    s.rawLow = m_rawLow;
    s.rawHigh = m_rawHigh;
    s.scalingSet = m_scalingSet;
    s.scaleOffset = m_scaleOffset;
    s.scaleFactor = m_scaleFactor;
    s.deadband = m_deadband;
    s.isVolatile = m_volatile;
    s.simulation = TagSimulation{m_simulationEnabled, m_simulationKind, m_simulationStep, m_simulationPeriod};
    if (m_alarm != nullptr) s.alarm = m_alarm->settings;
    s.historize = m_historize.load();
    return s;
}
void OPCS_Tag::PlaceSettings(const TagSettings& s) {
    OPCS_TagGroup* owner = nullptr;
    bool simulationChanged = false;
    OPCS_Device* release = nullptr;
    {
        ScopedLock g(m_lock);
        m_dataType = s.type;
        m_accessMode = s.access;
        m_description = s.description;
        m_value = s.value;
        m_rawValue = s.value;
        m_quality = s.quality;
        m_timestamp = s.timestamp;
        m_valueLimitsSet = s.valueLimitsSet;
        m_valueLimitsEnabled = m_valueLimitsEnabled || s.valueLimitsSet;
        m_valueLow = s.valueLow;
        m_valueHigh = s.valueHigh;
        m_rawLimitsSet = s.rawLimitsSet;
        m_rawLimitsEnabled = m_rawLimitsEnabled || s.rawLimitsSet;
        m_rawLow = s.rawLow;
        m_rawHigh = s.rawHigh;
        m_scalingSet = s.scalingSet;
        m_scalingEnabled = m_scalingEnabled || s.scalingSet;
        m_scaleOffset = s.scaleOffset;
        m_scaleFactor = s.scaleFactor;
        m_deadband = s.deadband;
        m_volatile = s.isVolatile;
        simulationChanged = AssignSimulation(s.simulation);
        release = PlaceAlarm(CheckAlarmSettings(s.alarm, s.type).empty() ? s.alarm : AlarmSettings{});
        m_historize.store(s.historize, std::memory_order_release);
        CountChange(true);
        MarkModifiedIfOwned();
        owner = m_owner;
    }
    if (simulationChanged && OPCS_TagGroup::IsValidGroup(owner)) {
        owner->NotifyChanged();
        if (OPCS_Device* device = owner->GetDevice()) device->Reschedule();
    }
    ReleaseAlarmPoll(release);
    SyncAlarmPolling();
    SyncHistory();
}
TagDeadband OPCS_Tag::GetDeadbandSettings() {
    ScopedLock g(m_lock);
    return TagDeadband{m_valueLimitsSet, m_deadband, m_valueLow, m_valueHigh};
}
LONG OPCS_Tag::GetClientReferenceCount() {
    ScopedLock g(m_lock);
    return m_clientReferences;
}
DWORD OPCS_Tag::GetReserved() {
    ScopedLock g(m_lock);
    return m_reserved;
}
OPCS_TagGroup* OPCS_Tag::GetOwner() {
    ScopedLock g(m_lock);
    return m_owner;
}

LONG OPCS_Tag::AddClientReference() {
    ScopedLock g(m_lock);
    return ++m_clientReferences;
}
OPCS_Tag::ClientView OPCS_Tag::AddClientView() {
    ScopedLock g(m_lock);
    ++m_clientReferences;
    return ClientView{static_cast<VARTYPE>(m_dataType), m_accessMode == 1, m_owner};
}
LONG OPCS_Tag::ReleaseClientReference() {
    ScopedLock g(m_lock);
    return --m_clientReferences;
}

void OPCS_Tag::SetLocked(bool locked) {
    ScopedLock g(m_lock);
    if (locked != m_locked) {
        m_locked = locked;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetVolatile(bool isVolatile) {
    ScopedLock g(m_lock);
    if (isVolatile != m_volatile) {
        m_volatile = isVolatile;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetAccessMode(DWORD mode) {
    ScopedLock g(m_lock);
    if (mode != m_accessMode) {
        m_accessMode = mode;
        CountChange(true);
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetOwner(OPCS_TagGroup* owner) {
    ScopedLock g(m_lock);
    m_owner = owner;
}
