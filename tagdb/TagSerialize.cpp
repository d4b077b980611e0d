// The tag record: the current layout, stored and loaded, and the older
// layouts, loaded only.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "Archive.h"
#include "FileTime.h"
#include "ForcedQuality.h"
#include "OpcConstants.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "OPCS_Tag.h"
#include "ToviTag.h"

namespace {
const RecordListTexts kTagListTexts = {
    L"Serialization Success - output tag:",          L"Serialization Error - output tag:",
    L"Serialization Error - failed to create tag#:", L"Serialization Error - input tag#:",
    L"Serialization Success - input tag:",           true};

// The flags word of an alarm block: which limits are set, and two switches.
constexpr DWORD kAlarmHasHighHigh = 1;
constexpr DWORD kAlarmHasHigh = 2;
constexpr DWORD kAlarmHasLow = 4;
constexpr DWORD kAlarmHasLowLow = 8;
constexpr DWORD kAlarmNeedsConfirm = 16;
constexpr DWORD kAlarmEnabled = 32;

void StoreAlarm(Archive& archive, const AlarmSettings& a) {
    archive.WriteDword(static_cast<DWORD>(a.kind));
    const DWORD flags = (a.highHigh ? kAlarmHasHighHigh : 0u) | (a.high ? kAlarmHasHigh : 0u) |
                        (a.low ? kAlarmHasLow : 0u) | (a.lowLow ? kAlarmHasLowLow : 0u) |
                        (a.needsConfirm ? kAlarmNeedsConfirm : 0u) | (a.enabled ? kAlarmEnabled : 0u);
    archive.WriteDword(flags);
    for (const std::optional<double>& limit : {a.highHigh, a.high, a.low, a.lowLow}) {
        archive.WriteDouble(limit.value_or(0));
    }
    archive.WriteDouble(a.deadband);
    archive.WriteWord(a.severity);
    archive.WriteWord(a.severityHighHigh);
    archive.WriteVariant(a.normalValue.Ref());
    archive.WriteString(a.message);
}

AlarmSettings LoadAlarm(Archive& archive) {
    AlarmSettings a;
    a.kind = static_cast<AlarmKind>(archive.ReadDword());
    const DWORD flags = archive.ReadDword();
    auto limit = [&](DWORD flag) {
        const double v = archive.ReadDouble();
        return (flags & flag) != 0 ? std::optional<double>(v) : std::nullopt;
    };
    a.highHigh = limit(kAlarmHasHighHigh);
    a.high = limit(kAlarmHasHigh);
    a.low = limit(kAlarmHasLow);
    a.lowLow = limit(kAlarmHasLowLow);
    a.needsConfirm = (flags & kAlarmNeedsConfirm) != 0;
    a.enabled = (flags & kAlarmEnabled) != 0;
    a.deadband = archive.ReadDouble();
    a.severity = archive.ReadWord();
    a.severityHighHigh = archive.ReadWord();
    a.normalValue = archive.ReadVariant();
    a.message = archive.ReadString();
    return a;
}

// Names never hold the item-ID separator; one from a hand-made file would
// make the object unreachable by item ID.
std::wstring ReadName(Archive& archive) {
    std::wstring name = archive.ReadString();
    std::replace(name.begin(), name.end(), kItemIdSeparator, L' ');
    return name;
}
}  // namespace

void OPCS_Tag::Serialize(Archive& archive) { TagRecord::Serialize(*this, archive); }

void ToviTag::Serialize(Archive& archive) {
    OPCS_Tag::Serialize(archive);
    SerializeProgramVersion(archive);
}

void TagRecord::Serialize(OPCS_Tag& tag, Archive& archive) {
    ScopedLock guard(tag.m_lock);
    if (archive.IsStoring()) {
        Store(tag, archive);
        return;
    }
    const double version = archive.ReadDouble();
    if (version >= 1.5) {
        LoadCurrent(tag, archive, version);
    } else if (version >= 1.1) {
        LoadFrom11To15(tag, archive, version);
    } else {
        LoadBefore11(tag, archive);  // also what an unreadable (NaN) version gets
    }
}

void TagRecord::Store(OPCS_Tag& tag, Archive& archive) {
    const bool forced = tag.m_forcedQuality != kNotForced;
    const bool alarmed = tag.m_alarm != nullptr;
    const bool historized = tag.m_historize.load();
    archive.WriteDouble(historized ? kHistoryRecordVersion
                        : alarmed  ? kAlarmRecordVersion
                        : forced   ? kForcedQualityRecordVersion
                                   : kRecordVersion);
    archive.WriteString(tag.GetName());
    archive.WriteString(tag.m_description);
    archive.WriteLong(tag.m_iconIndex);
    archive.WriteDword(tag.m_classCode);
    archive.WriteDword(tag.m_reserved);
    archive.WriteBool(tag.m_volatile);
    archive.WriteBool(tag.m_valueLimitsEnabled);
    archive.WriteBool(tag.m_rawLimitsEnabled);
    archive.WriteBool(tag.m_scalingEnabled);
    archive.WriteBool(tag.m_simulationEnabled);
    archive.WriteBool(tag.m_valueLimitsSet);
    archive.WriteBool(tag.m_rawLimitsSet);
    archive.WriteBool(tag.m_scalingSet);
    archive.WriteBool(tag.m_locked);
    archive.WriteWord(tag.m_quality);
    archive.WriteDword(tag.m_simulationStep);
    archive.WriteDword(tag.m_simulationPeriod);
    archive.WriteVariant(tag.m_value.Ref());
    archive.WriteFileTime(tag.m_timestamp);
    archive.WriteDword(tag.m_accessMode);
    archive.WriteDword(tag.m_simulationKind);
    archive.WriteDword(tag.m_dataType);
    archive.WriteDouble(tag.m_valueLow);
    archive.WriteDouble(tag.m_valueHigh);
    archive.WriteDouble(tag.m_rawLow);
    archive.WriteDouble(tag.m_rawHigh);
    archive.WriteDouble(tag.m_scaleOffset);
    archive.WriteDouble(tag.m_scaleFactor);
    archive.WriteDouble(tag.m_deadband);
    // kNotForced goes out as 0xFFFF, a quality ReadForcedQuality drops.
    if (forced || alarmed || historized) archive.WriteWord(static_cast<WORD>(tag.m_forcedQuality));
    if (alarmed || historized) StoreAlarm(archive, alarmed ? tag.m_alarm->settings : AlarmSettings{});
    if (historized) archive.WriteBool(true);
}

namespace {
// A volatile tag's value is not kept: it comes back empty and Bad.
void ResetIfVolatile(OPCS_Tag& tag) {
    if (tag.IsVolatile()) {
        tag.SetValue(Variant(), OPC_QUALITY_BAD, FileTimeNow());
    }
}
}  // namespace

void TagRecord::LoadCurrent(OPCS_Tag& tag, Archive& archive, double version) {
    tag.StoreName(ReadName(archive));
    tag.m_description = archive.ReadString();
    tag.m_iconIndex = archive.ReadLong();
    tag.m_classCode = archive.ReadDword();
    tag.m_reserved = archive.ReadDword();
    tag.m_volatile = archive.ReadBool();
    tag.m_valueLimitsEnabled = archive.ReadBool();
    tag.m_rawLimitsEnabled = archive.ReadBool();
    tag.m_scalingEnabled = archive.ReadBool();
    tag.m_simulationEnabled = archive.ReadBool();
    tag.m_valueLimitsSet = archive.ReadBool();
    tag.m_rawLimitsSet = archive.ReadBool();
    tag.m_scalingSet = archive.ReadBool();
    if (version >= 1.6) {
        tag.m_locked = archive.ReadBool();
    }
    tag.m_quality = archive.ReadWord();
    tag.m_simulationStep = archive.ReadDword();
    tag.m_simulationPeriod = archive.ReadDword();
    tag.m_value = archive.ReadVariant();
    tag.m_timestamp = archive.ReadFileTime();
    tag.m_accessMode = archive.ReadDword();
    tag.m_simulationKind = archive.ReadDword();
    tag.m_dataType = archive.ReadDword();
    tag.m_valueLow = archive.ReadDouble();
    tag.m_valueHigh = archive.ReadDouble();
    tag.m_rawLow = archive.ReadDouble();
    tag.m_rawHigh = archive.ReadDouble();
    tag.m_scaleOffset = archive.ReadDouble();
    tag.m_scaleFactor = archive.ReadDouble();
    tag.m_deadband = archive.ReadDouble();
    if (version >= kForcedQualityRecordVersion) tag.m_forcedQuality = ReadForcedQuality(archive);
    if (version >= kAlarmRecordVersion) {
        // Settings a hand-made file gives that do not suit the tag are dropped, as a bad forcing is.
        const AlarmSettings alarm = LoadAlarm(archive);
        if (alarm.IsAlarmed() && CheckAlarmSettings(alarm, static_cast<VARTYPE>(tag.m_dataType)).empty()) {
            tag.m_alarm = std::make_unique<TagAlarm>();
            tag.m_alarm->settings = alarm;
            tag.m_alarm->condition.Configure(alarm);
            tag.m_hasAlarm.store(true);
            tag.EvaluateAlarm(AlarmEventCause::Evaluated);
        }
    }
    if (version >= kHistoryRecordVersion) tag.m_historize.store(archive.ReadBool());
    ResetIfVolatile(tag);
}

namespace {
// The engineering settings of the older layouts, which go through the setters.
struct OlderLimits {
    DWORD valueLimits = 0;
    double valueLow = 0, valueHigh = 0;
    DWORD rawAndScaling = 0;
    double rawLow = 0, rawHigh = 0;
};

void ApplyOlderLimits(OPCS_Tag& tag, const OlderLimits& l) {
    tag.EnableValueLimits(l.valueLimits != 0);
    if (l.valueLimits != 0) {
        tag.SetValueLimits(l.valueLow, l.valueHigh);
    }
    tag.EnableRawLimits(l.rawAndScaling != 0);
    tag.EnableScaling(l.rawAndScaling != 0);
    if (l.rawAndScaling != 0) {
        tag.SetRawLimits(l.rawLow, l.rawHigh);
        // Equal value limits divide by zero: the factor is what IEEE arithmetic gives.
        tag.SetScaling(0, (l.rawHigh - l.rawLow) / (l.valueHigh - l.valueLow));
    }
}
}  // namespace

void TagRecord::LoadFrom11To15(OPCS_Tag& tag, Archive& archive, double version) {
    tag.StoreName(ReadName(archive));
    tag.m_description = archive.ReadString();
    tag.m_iconIndex = archive.ReadLong();
    tag.m_classCode = archive.ReadDword();
    tag.m_volatile = archive.ReadBool();
    tag.m_valueLimitsEnabled = archive.ReadBool();
    tag.m_scalingEnabled = archive.ReadBool();
    tag.m_simulationEnabled = archive.ReadBool();
    if (version >= 1.2) {
        tag.m_simulationStep = archive.ReadDword();
        tag.m_simulationPeriod = archive.ReadDword();
    }
    const WORD quality = archive.ReadWord();
    const VARTYPE dataType = version >= 1.3 ? static_cast<VARTYPE>(archive.ReadDword()) : archive.ReadWord();
    const FILETIME timestamp = archive.ReadFileTime();
    tag.m_accessMode = archive.ReadDword();
    tag.m_simulationKind = archive.ReadDword();
    OlderLimits limits;
    limits.valueLimits = archive.ReadDword();
    if (limits.valueLimits != 0) {
        limits.valueLow = archive.ReadDouble();
        limits.valueHigh = archive.ReadDouble();
    }
    limits.rawAndScaling = archive.ReadDword();
    if (limits.rawAndScaling != 0) {
        limits.rawLow = archive.ReadDouble();
        limits.rawHigh = archive.ReadDouble();
    }
    tag.m_deadband = archive.ReadDouble();
    Variant value = archive.ReadVariant();

    // The type first: a change of type empties the value, which comes after.
    tag.SetDataType(dataType);
    ApplyOlderLimits(tag, limits);
    tag.m_value = std::move(value);
    tag.m_quality = quality;
    tag.m_timestamp = timestamp;
    ResetIfVolatile(tag);
}

void TagRecord::LoadBefore11(OPCS_Tag& tag, Archive& archive) {
    tag.StoreName(ReadName(archive));
    tag.m_description = archive.ReadString();
    tag.m_iconIndex = archive.ReadLong();
    const VARTYPE dataType = archive.ReadWord();
    tag.m_accessMode = archive.ReadDword();
    tag.m_simulationKind = archive.ReadDword();
    OlderLimits limits;
    limits.valueLimits = archive.ReadDword();
    limits.rawAndScaling = archive.ReadDword();
    limits.rawLow = archive.ReadDouble();
    limits.rawHigh = archive.ReadDouble();
    limits.valueLow = archive.ReadDouble();
    limits.valueHigh = archive.ReadDouble();
    archive.ReadDouble();
    archive.ReadDouble();
    tag.m_deadband = archive.ReadDouble();

    tag.SetDataType(dataType);
    ApplyOlderLimits(tag, limits);
}

void TagRecord::StoreList(Archive& archive, const Dll<OPCS_Tag*>& tags) {
    StoreRecordList(
        archive, tags, kTagListTexts, [](OPCS_Tag* t) { return OPCS_Tag::IsValidTag(t); },
        [](OPCS_Tag& t) {
            ScopedLock guard(t.m_lock);
            return t.m_classCode;
        });
}

std::vector<std::unique_ptr<OPCS_Tag>> TagRecord::LoadList(Archive& archive) {
    std::vector<std::unique_ptr<OPCS_Tag>> tags;
    LoadRecordList<OPCS_Tag>(
        archive, kTagListTexts, [] { return std::make_unique<ToviTag>(); },
        [&tags](std::unique_ptr<OPCS_Tag> tag) { tags.push_back(std::move(tag)); });
    return tags;
}
