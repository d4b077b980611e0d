// The tag record: the current layout, stored and loaded, and the older
// layouts, loaded only.
#include <algorithm>
#include <memory>
#include <string>

#include "Archive.h"
#include "FileTime.h"
#include "OpcConstants.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "Tag.h"
#include "ToviTag.h"

namespace {
const RecordListTexts kTagListTexts = {
    L"Serialization Success - output tag:", L"Serialization Error - output tag:",
    L"Serialization Error - failed to create tag#:", L"Serialization Error - input tag#:",
    L"Serialization Success - input tag:", true};

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
    ScopedLock guard(tag.lock_);
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
    archive.WriteDouble(kRecordVersion);
    archive.WriteString(tag.GetName());
    archive.WriteString(tag.description_);
    archive.WriteLong(tag.iconIndex_);
    archive.WriteDword(tag.classCode_);
    archive.WriteDword(tag.reserved_);
    archive.WriteBool(tag.volatile_);
    archive.WriteBool(tag.valueLimitsEnabled_);
    archive.WriteBool(tag.rawLimitsEnabled_);
    archive.WriteBool(tag.scalingEnabled_);
    archive.WriteBool(tag.simulationEnabled_);
    archive.WriteBool(tag.valueLimitsSet_);
    archive.WriteBool(tag.rawLimitsSet_);
    archive.WriteBool(tag.scalingSet_);
    archive.WriteBool(tag.locked_);
    archive.WriteWord(tag.quality_);
    archive.WriteDword(tag.simulationStep_);
    archive.WriteDword(tag.simulationPeriod_);
    archive.WriteVariant(tag.value_.Ref());
    archive.WriteFileTime(tag.timestamp_);
    archive.WriteDword(tag.accessMode_);
    archive.WriteDword(tag.simulationKind_);
    archive.WriteDword(tag.dataType_);
    archive.WriteDouble(tag.valueLow_);
    archive.WriteDouble(tag.valueHigh_);
    archive.WriteDouble(tag.rawLow_);
    archive.WriteDouble(tag.rawHigh_);
    archive.WriteDouble(tag.scaleOffset_);
    archive.WriteDouble(tag.scaleFactor_);
    archive.WriteDouble(tag.deadband_);
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
    tag.description_ = archive.ReadString();
    tag.iconIndex_ = archive.ReadLong();
    tag.classCode_ = archive.ReadDword();
    tag.reserved_ = archive.ReadDword();
    tag.volatile_ = archive.ReadBool();
    tag.valueLimitsEnabled_ = archive.ReadBool();
    tag.rawLimitsEnabled_ = archive.ReadBool();
    tag.scalingEnabled_ = archive.ReadBool();
    tag.simulationEnabled_ = archive.ReadBool();
    tag.valueLimitsSet_ = archive.ReadBool();
    tag.rawLimitsSet_ = archive.ReadBool();
    tag.scalingSet_ = archive.ReadBool();
    if (version >= 1.6) {
        tag.locked_ = archive.ReadBool();
    }
    tag.quality_ = archive.ReadWord();
    tag.simulationStep_ = archive.ReadDword();
    tag.simulationPeriod_ = archive.ReadDword();
    tag.value_ = archive.ReadVariant();
    tag.timestamp_ = archive.ReadFileTime();
    tag.accessMode_ = archive.ReadDword();
    tag.simulationKind_ = archive.ReadDword();
    tag.dataType_ = archive.ReadDword();
    tag.valueLow_ = archive.ReadDouble();
    tag.valueHigh_ = archive.ReadDouble();
    tag.rawLow_ = archive.ReadDouble();
    tag.rawHigh_ = archive.ReadDouble();
    tag.scaleOffset_ = archive.ReadDouble();
    tag.scaleFactor_ = archive.ReadDouble();
    tag.deadband_ = archive.ReadDouble();
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
    tag.description_ = archive.ReadString();
    tag.iconIndex_ = archive.ReadLong();
    tag.classCode_ = archive.ReadDword();
    tag.volatile_ = archive.ReadBool();
    tag.valueLimitsEnabled_ = archive.ReadBool();
    tag.scalingEnabled_ = archive.ReadBool();
    tag.simulationEnabled_ = archive.ReadBool();
    if (version >= 1.2) {
        tag.simulationStep_ = archive.ReadDword();
        tag.simulationPeriod_ = archive.ReadDword();
    }
    const WORD quality = archive.ReadWord();
    const VARTYPE dataType = version >= 1.3 ? static_cast<VARTYPE>(archive.ReadDword()) : archive.ReadWord();
    const FILETIME timestamp = archive.ReadFileTime();
    tag.accessMode_ = archive.ReadDword();
    tag.simulationKind_ = archive.ReadDword();
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
    tag.deadband_ = archive.ReadDouble();
    Variant value = archive.ReadVariant();

    // The type first: a change of type empties the value, which comes after.
    tag.SetDataType(dataType);
    ApplyOlderLimits(tag, limits);
    tag.value_ = std::move(value);
    tag.quality_ = quality;
    tag.timestamp_ = timestamp;
    ResetIfVolatile(tag);
}

void TagRecord::LoadBefore11(OPCS_Tag& tag, Archive& archive) {
    tag.StoreName(ReadName(archive));
    tag.description_ = archive.ReadString();
    tag.iconIndex_ = archive.ReadLong();
    const VARTYPE dataType = archive.ReadWord();
    tag.accessMode_ = archive.ReadDword();
    tag.simulationKind_ = archive.ReadDword();
    OlderLimits limits;
    limits.valueLimits = archive.ReadDword();
    limits.rawAndScaling = archive.ReadDword();
    limits.rawLow = archive.ReadDouble();
    limits.rawHigh = archive.ReadDouble();
    limits.valueLow = archive.ReadDouble();
    limits.valueHigh = archive.ReadDouble();
    archive.ReadDouble();
    archive.ReadDouble();
    tag.deadband_ = archive.ReadDouble();

    tag.SetDataType(dataType);
    ApplyOlderLimits(tag, limits);
}

void TagRecord::StoreList(Archive& archive, const Dll<OPCS_Tag*>& tags) {
    StoreRecordList(archive, tags, kTagListTexts, [](OPCS_Tag* t) { return OPCS_Tag::IsValidTag(t); },
                    [](OPCS_Tag& t) {
                        ScopedLock guard(t.lock_);
                        return t.classCode_;
                    });
}

std::vector<std::unique_ptr<OPCS_Tag>> TagRecord::LoadList(Archive& archive) {
    std::vector<std::unique_ptr<OPCS_Tag>> tags;
    LoadRecordList<OPCS_Tag>(
        archive, kTagListTexts, [] { return std::make_unique<ToviTag>(); },
        [&tags](std::unique_ptr<OPCS_Tag> tag) { tags.push_back(std::move(tag)); });
    return tags;
}
