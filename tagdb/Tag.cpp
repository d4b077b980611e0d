#include "Tag.h"

#include <algorithm>

#include "DateTimeText.h"
#include "Device.h"
#include "FileTime.h"
#include "LiveObjects.h"
#include "OpcConstants.h"
#include "TagGroup.h"
#include "TagTexts.h"
#include "ValueText.h"

namespace {
// Limits apply to numeric values only; the result stays a double.
void Clamp(Variant& v, bool set, double low, double high) {
    if (!set || !IsNumericType(v.Type()) || FAILED(v.ChangeType(VT_R8))) {
        return;
    }
    double x = V_R8(v.Get());
    if (!(low <= x)) x = low;  // also catches NaN
    if (!(high >= x)) x = high;
    V_R8(v.Get()) = x;
}
}  // namespace

OPCS_Tag::OPCS_Tag() {
    timestamp_ = FileTimeNow();
    LiveTags().Add(this);
}

OPCS_Tag::~OPCS_Tag() {
    LiveTags().Remove(this);
    ScopedLock guard(lock_);
    StoreName(L"Deleted");
    description_ = L"Deleted";
    simulationKind_ = 0;
    simulationStep_ = 0;
    dataType_ = VT_EMPTY;
    timestamp_ = FILETIME{};
    quality_ = 0;
    owner_ = nullptr;
    accessMode_ = 0;
    iconIndex_ = 0;
    volatile_ = true;
    value_.Clear();
    deadband_ = 0;
    valueLimitsEnabled_ = rawLimitsEnabled_ = scalingEnabled_ = simulationEnabled_ = false;
    signature_ = 0;
}

bool OPCS_Tag::IsValidTag(const void* pointer) {
    return LiveTags().Contains(pointer) &&
           static_cast<const OPCS_Tag*>(pointer)->signature_ == kTagSignature;
}

void OPCS_Tag::StoreName(std::wstring name) {
    ScopedLock guard(nameLock_);
    name_ = std::move(name);
}

std::wstring OPCS_Tag::GetName() const {
    ScopedLock guard(nameLock_);
    return name_;
}

void OPCS_Tag::MarkModifiedIfOwned() {
    if (!OPCS_TagGroup::IsValidGroup(owner_)) return;
    // No lock taken on the way up: the caller holds the tag's.
    if (OPCS_Device* device = owner_->GetDevice()) device->MarkConfigurationModified();
}

void OPCS_Tag::MarkValueModifiedIfOwned() {
    if (!volatile_) {
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetDescription(const std::wstring& text) {
    ScopedLock guard(lock_);
    if (text != description_) {
        description_ = text;
        ++changes_;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetQuality(WORD quality) {
    ScopedLock guard(lock_);
    if (quality != quality_) {
        quality_ = quality;
        ++changes_;
        timestamp_ = FileTimeNow();
        MarkValueModifiedIfOwned();
    }
}

std::wstring OPCS_Tag::GetQualityText() {
    ScopedLock guard(lock_);
    return QualityText(quality_);
}

bool OPCS_Tag::SetValueNow(const Variant& value) {
    return SetValue(value, OPC_QUALITY_GOOD, FileTimeNow());
}

bool OPCS_Tag::SetValue(const Variant& value, WORD quality, FILETIME time) {
    ScopedLock guard(lock_);
    rawValue_ = value;
    value_ = RawToEngineering(value);
    timestamp_ = time;
    quality_ = quality;
    ++changes_;
    if (FAILED(value_.ChangeType(static_cast<VARTYPE>(dataType_)))) {
        return false;
    }
    MarkValueModifiedIfOwned();
    return true;
}

void OPCS_Tag::InvalidateIfVolatile(WORD quality) {
    ScopedLock guard(lock_);
    if (!volatile_) return;
    // Already so since the last start or stop: a device polling 100,000 tags
    // then touches only those written meanwhile.
    const bool alreadyInvalid = quality_ == quality && rawValue_.IsEmpty() && timestamp_.dwLowDateTime == 0 &&
                                timestamp_.dwHighDateTime == 0 &&
                                (value_.IsEmpty() || value_.Type() == static_cast<VARTYPE>(dataType_));
    if (!alreadyInvalid) SetValue(Variant(), quality, FILETIME{});
}

std::wstring OPCS_Tag::GetValueText() {
    ScopedLock guard(lock_);
    return quality_ == OPC_QUALITY_GOOD ? FormatValueText(value_.Ref()) : L"?";
}

std::wstring OPCS_Tag::GetRawValueText() {
    ScopedLock guard(lock_);
    return quality_ == OPC_QUALITY_GOOD ? FormatValueText(rawValue_.Ref()) : L"?";
}

bool OPCS_Tag::WriteFromClient(Variant& value) {
    {
        ScopedLock guard(lock_);
        if (accessMode_ != 1) {
            return false;
        }
    }
    return WriteValue(value);
}

Variant OPCS_Tag::RawToEngineering(const Variant& raw) {
    ScopedLock guard(lock_);
    Variant v(raw);
    if (IsNumericType(v.Type())) {
        ClampToRawLimits(v);
        if (scalingSet_ && SUCCEEDED(v.ChangeType(VT_R8))) {
            V_R8(v.Get()) = (V_R8(v.Get()) + scaleOffset_) * scaleFactor_;
        }
        ClampToValueLimits(v);
    }
    return v;
}

void OPCS_Tag::ClampToValueLimits(Variant& value) {
    ScopedLock guard(lock_);
    Clamp(value, valueLimitsSet_, valueLow_, valueHigh_);
}

void OPCS_Tag::ClampToRawLimits(Variant& value) {
    ScopedLock guard(lock_);
    Clamp(value, rawLimitsSet_, rawLow_, rawHigh_);
}

void OPCS_Tag::SetDataType(VARTYPE type) {
    ScopedLock guard(lock_);
    if (type != dataType_) {
        dataType_ = type;
        value_.Clear();
        ++changes_;
        MarkModifiedIfOwned();
    }
}

std::wstring OPCS_Tag::GetItemID() {
    OPCS_TagGroup* owner = GetOwner();
    std::wstring id = OPCS_TagGroup::IsValidGroup(owner) ? owner->GetPath() : std::wstring(1, kItemIdSeparator);
    return id + GetName();
}

int OPCS_Tag::GetIconIndex() { return iconIndex_; }

Variant OPCS_Tag::GetValue() {
    ScopedLock guard(lock_);
    return value_;
}

WORD OPCS_Tag::GetQuality() {
    ScopedLock guard(lock_);
    return quality_;
}

TagState OPCS_Tag::GetState() {
    ScopedLock guard(lock_);
    return TagState{value_, quality_, timestamp_};
}

void OPCS_Tag::Rename(std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    OPCS_TagGroup* owner = GetOwner();
    if (OPCS_TagGroup::IsValidGroup(owner)) {
        // The owner checks the name against its index and renames us under
        // its lock, then ours: the lock order of groups and tags.
        owner->RenameTag(this, text);
        return;
    }
    ScopedLock guard(lock_);
    if (text == GetName()) {
        return;
    }
    StoreName(std::move(text));
    ++changes_;
}

void OPCS_Tag::ApplyRename(std::wstring name) {
    ScopedLock guard(lock_);
    StoreName(std::move(name));
    ++changes_;
    MarkModifiedIfOwned();
}

std::wstring OPCS_Tag::GetTimestampText() {
    ScopedLock guard(lock_);
    if (quality_ != OPC_QUALITY_GOOD) {
        return L"----------";
    }
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&timestamp_, &local) || !FileTimeToSystemTime(&local, &st)) {
        return {};
    }
    return FormatDateTime(st);
}

std::wstring OPCS_Tag::GetAccessText() {
    ScopedLock guard(lock_);
    return AccessText(accessMode_);
}

void OPCS_Tag::EnableValueLimits(bool enable) {
    ScopedLock guard(lock_);
    if (enable != valueLimitsEnabled_) {
        valueLimitsEnabled_ = enable;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::EnableRawLimits(bool enable) {
    ScopedLock guard(lock_);
    if (enable != rawLimitsEnabled_) {
        rawLimitsEnabled_ = enable;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::EnableScaling(bool enable) {
    ScopedLock guard(lock_);
    if (enable != scalingEnabled_) {
        scalingEnabled_ = enable;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetValueLimits(double low, double high) {
    if (!(low <= high)) {
        return;
    }
    ScopedLock guard(lock_);
    if (!valueLimitsEnabled_) {
        valueLimitsSet_ = false;
        return;
    }
    if (valueLimitsSet_ && valueLow_ == low && valueHigh_ == high) {
        return;
    }
    valueLow_ = low;
    valueHigh_ = high;
    valueLimitsSet_ = true;
    MarkModifiedIfOwned();
}

void OPCS_Tag::SetRawLimits(double low, double high) {
    if (!(low <= high)) {
        return;
    }
    ScopedLock guard(lock_);
    if (!rawLimitsEnabled_) {
        rawLimitsSet_ = false;
        return;
    }
    if (rawLimitsSet_ && rawLow_ == low && rawHigh_ == high) {
        return;
    }
    rawLow_ = low;
    rawHigh_ = high;
    rawLimitsSet_ = true;
    MarkModifiedIfOwned();
}

void OPCS_Tag::ClearValueLimits() {
    ScopedLock guard(lock_);
    if (valueLimitsSet_) {
        valueLimitsSet_ = false;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetScaling(double offset, double factor) {
    ScopedLock guard(lock_);
    if (!scalingEnabled_) {
        scalingSet_ = false;
        return;
    }
    if (scalingSet_ && scaleOffset_ == offset && scaleFactor_ == factor) {
        return;
    }
    scaleOffset_ = offset;
    scaleFactor_ = factor;
    scalingSet_ = true;
    MarkModifiedIfOwned();
}

void OPCS_Tag::SetDeadband(double percent) {
    if (!(percent >= 0 && percent <= 100)) {
        return;
    }
    ScopedLock guard(lock_);
    if (percent != deadband_) {
        deadband_ = percent;
        MarkModifiedIfOwned();
    }
}

std::wstring OPCS_Tag::GetDescription() { ScopedLock g(lock_); return description_; }
VARTYPE OPCS_Tag::GetDataType() { ScopedLock g(lock_); return static_cast<VARTYPE>(dataType_); }
DWORD OPCS_Tag::GetAccessMode() { ScopedLock g(lock_); return accessMode_; }
FILETIME OPCS_Tag::GetTimestamp() { ScopedLock g(lock_); return timestamp_; }
bool OPCS_Tag::IsVolatile() { ScopedLock g(lock_); return volatile_; }
bool OPCS_Tag::IsLocked() { ScopedLock g(lock_); return locked_; }
DWORD OPCS_Tag::GetChangeCount() { ScopedLock g(lock_); return changes_; }
bool OPCS_Tag::AreValueLimitsEnabled() { ScopedLock g(lock_); return valueLimitsEnabled_; }
bool OPCS_Tag::AreValueLimitsSet() { ScopedLock g(lock_); return valueLimitsSet_; }
double OPCS_Tag::GetValueLowLimit() { ScopedLock g(lock_); return valueLow_; }
double OPCS_Tag::GetValueHighLimit() { ScopedLock g(lock_); return valueHigh_; }
double OPCS_Tag::GetDeadband() { ScopedLock g(lock_); return deadband_; }
TagChangeState OPCS_Tag::GetChangeState() {
    ScopedLock g(lock_);
    return TagChangeState{TagState{value_, quality_, timestamp_}, static_cast<VARTYPE>(dataType_),
                          TagDeadband{valueLimitsSet_, deadband_, valueLow_, valueHigh_}};
}
TagSimulation OPCS_Tag::GetSimulation() {
    ScopedLock g(lock_);
    return TagSimulation{simulationEnabled_, simulationKind_, simulationStep_, simulationPeriod_};
}
bool OPCS_Tag::AssignSimulation(const TagSimulation& simulation) {
    if (simulation == TagSimulation{simulationEnabled_, simulationKind_, simulationStep_, simulationPeriod_}) {
        return false;
    }
    simulationEnabled_ = simulation.enabled;
    simulationKind_ = simulation.kind;
    simulationStep_ = simulation.step;
    simulationPeriod_ = simulation.period;
    return true;
}

void OPCS_Tag::SetSimulation(const TagSimulation& simulation) {
    OPCS_TagGroup* owner = nullptr;
    {
        ScopedLock g(lock_);
        if (!AssignSimulation(simulation)) return;
        ++changes_;
        owner = owner_;
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
    {
        ScopedLock g(lock_);
        bool changed = edit.description != description_ || edit.type != dataType_ || edit.access != accessMode_;
        description_ = edit.description;
        dataType_ = edit.type;
        accessMode_ = edit.access;
        if (!edit.limitValues) {
            changed = changed || valueLimitsSet_;
            valueLimitsSet_ = false;
        } else {
            if (edit.low <= edit.high) {
                if (!valueLimitsEnabled_) {
                    valueLimitsSet_ = false;
                } else if (!valueLimitsSet_ || valueLow_ != edit.low || valueHigh_ != edit.high) {
                    valueLow_ = edit.low;
                    valueHigh_ = edit.high;
                    valueLimitsSet_ = true;
                    changed = true;
                }
            }
            if (edit.deadband >= 0 && edit.deadband <= 100 && edit.deadband != deadband_) {
                deadband_ = edit.deadband;
                changed = true;
            }
        }
        simulationChanged = AssignSimulation(edit.simulation);
        // The value last: through the new limits into the new type.
        rawValue_ = edit.value;
        Variant engineering = RawToEngineering(edit.value);
        converted = SUCCEEDED(engineering.ChangeType(edit.type));
        if (converted) {
            value_ = std::move(engineering);
        } else {
            value_.Clear();
        }
        quality_ = converted ? OPC_QUALITY_GOOD : OPC_QUALITY_BAD;
        timestamp_ = FileTimeNow();
        ++changes_;
        if (changed || simulationChanged) MarkModifiedIfOwned();
        MarkValueModifiedIfOwned();
        owner = owner_;
    }
    // Outside our lock: a group's lock is never taken while a tag's is held.
    if (simulationChanged && OPCS_TagGroup::IsValidGroup(owner)) {
        owner->NotifyChanged();
        if (OPCS_Device* device = owner->GetDevice()) device->Reschedule();
    }
    return converted;
}
TagSettings OPCS_Tag::GetSettings() {
    ScopedLock g(lock_);
    TagSettings s;
    s.type = static_cast<VARTYPE>(dataType_);
    s.access = accessMode_;
    s.description = description_;
    s.value = value_;
    s.quality = quality_;
    s.timestamp = timestamp_;
    s.valueLimitsSet = valueLimitsSet_;
    s.valueLow = valueLow_;
    s.valueHigh = valueHigh_;
    s.rawLimitsSet = rawLimitsSet_;
    s.rawLow = rawLow_;
    s.rawHigh = rawHigh_;
    s.scalingSet = scalingSet_;
    s.scaleOffset = scaleOffset_;
    s.scaleFactor = scaleFactor_;
    s.deadband = deadband_;
    s.isVolatile = volatile_;
    s.simulation = TagSimulation{simulationEnabled_, simulationKind_, simulationStep_, simulationPeriod_};
    return s;
}
void OPCS_Tag::PlaceSettings(const TagSettings& s) {
    OPCS_TagGroup* owner = nullptr;
    bool simulationChanged = false;
    {
        ScopedLock g(lock_);
        dataType_ = s.type;
        accessMode_ = s.access;
        description_ = s.description;
        value_ = s.value;
        rawValue_ = s.value;
        quality_ = s.quality;
        timestamp_ = s.timestamp;
        valueLimitsSet_ = s.valueLimitsSet;
        valueLimitsEnabled_ = valueLimitsEnabled_ || s.valueLimitsSet;
        valueLow_ = s.valueLow;
        valueHigh_ = s.valueHigh;
        rawLimitsSet_ = s.rawLimitsSet;
        rawLimitsEnabled_ = rawLimitsEnabled_ || s.rawLimitsSet;
        rawLow_ = s.rawLow;
        rawHigh_ = s.rawHigh;
        scalingSet_ = s.scalingSet;
        scalingEnabled_ = scalingEnabled_ || s.scalingSet;
        scaleOffset_ = s.scaleOffset;
        scaleFactor_ = s.scaleFactor;
        deadband_ = s.deadband;
        volatile_ = s.isVolatile;
        simulationChanged = AssignSimulation(s.simulation);
        ++changes_;
        MarkModifiedIfOwned();
        owner = owner_;
    }
    if (simulationChanged && OPCS_TagGroup::IsValidGroup(owner)) {
        owner->NotifyChanged();
        if (OPCS_Device* device = owner->GetDevice()) device->Reschedule();
    }
}
TagDeadband OPCS_Tag::GetDeadbandSettings() {
    ScopedLock g(lock_);
    return TagDeadband{valueLimitsSet_, deadband_, valueLow_, valueHigh_};
}
LONG OPCS_Tag::GetClientReferenceCount() { ScopedLock g(lock_); return clientReferences_; }
DWORD OPCS_Tag::GetReserved() { ScopedLock g(lock_); return reserved_; }
OPCS_TagGroup* OPCS_Tag::GetOwner() { ScopedLock g(lock_); return owner_; }

LONG OPCS_Tag::AddClientReference() { ScopedLock g(lock_); return ++clientReferences_; }
LONG OPCS_Tag::ReleaseClientReference() { ScopedLock g(lock_); return --clientReferences_; }

void OPCS_Tag::SetLocked(bool locked) {
    ScopedLock g(lock_);
    if (locked != locked_) {
        locked_ = locked;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetVolatile(bool isVolatile) {
    ScopedLock g(lock_);
    if (isVolatile != volatile_) {
        volatile_ = isVolatile;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetAccessMode(DWORD mode) {
    ScopedLock g(lock_);
    if (mode != accessMode_) {
        accessMode_ = mode;
        ++changes_;
        MarkModifiedIfOwned();
    }
}

void OPCS_Tag::SetOwner(OPCS_TagGroup* owner) {
    ScopedLock g(lock_);
    owner_ = owner;
}
