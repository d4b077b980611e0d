// The group record: the group's fields and its two child lists. Loading reads
// the children into fresh objects and then adopts them in file order.
#include <algorithm>
#include <memory>
#include <string>

#include "Archive.h"
#include "ForcedQuality.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "ToviTagGroup.h"

namespace {
const RecordListTexts kGroupListTexts = {L"Serialization Success - output group:",
                                         L"Serialization Error - output group:",
                                         L"Serialization Error - failed to create group#:",
                                         L"Serialization Error - input group#:",
                                         L"Serialization Success - input grp:",
                                         false};
}  // namespace

void OPCS_TagGroup::Serialize(Archive& archive) { GroupRecord::Serialize(*this, archive); }

void ToviTagGroup::Serialize(Archive& archive) {
    OPCS_TagGroup::Serialize(archive);
    SerializeProgramVersion(archive);
}

void GroupRecord::Serialize(OPCS_TagGroup& group, Archive& archive) {
    Archive::NestedRecord level(archive);
    ScopedLock guard(group.m_lock);
    if (archive.IsStoring()) {
        const int forced = group.GetForcedQuality();
        archive.WriteDouble(forced != kNotForced ? kForcedQualityRecordVersion : kRecordVersion);
        archive.WriteString(group.GetName());
        archive.WriteString(group.m_description);
        archive.WriteLong(group.m_imageIndex);
        archive.WriteLong(group.m_selectedImageIndex);
        archive.WriteLong(group.m_ordinal);
        if (forced != kNotForced) archive.WriteWord(static_cast<WORD>(forced));
        StoreList(archive, group.m_groups);
        TagRecord::StoreList(archive, group.m_tags);
        return;
    }
    const double version = archive.ReadDouble();
    std::wstring name = archive.ReadString();
    std::replace(name.begin(), name.end(), kItemIdSeparator, L' ');
    group.StoreName(std::move(name));
    group.m_description = archive.ReadString();
    group.m_imageIndex = archive.ReadLong();
    group.m_selectedImageIndex = archive.ReadLong();
    if (version >= 1.6) {
        group.m_ordinal = archive.ReadLong();
    }
    if (version >= kForcedQualityRecordVersion) group.m_forcedQuality = ReadForcedQuality(archive);
    std::vector<std::unique_ptr<OPCS_TagGroup>> groups = LoadList(archive);
    std::vector<std::unique_ptr<OPCS_Tag>> tags = TagRecord::LoadList(archive);
    // A child whose name an earlier sibling already bears is not adopted (and
    // is deleted with its vector entry). Adoption gives sub-groups new ordinals.
    for (std::unique_ptr<OPCS_TagGroup>& child : groups) {
        if (group.AddGroup(child.get())) {
            child.release();
        } else {
            archive.NoteDroppedRecord();
        }
    }
    for (std::unique_ptr<OPCS_Tag>& tag : tags) {
        if (group.AddTag(tag.get())) {
            tag.release();
        } else {
            archive.NoteDroppedRecord();
        }
    }
    group.m_structureChanged = false;
}

void GroupRecord::StoreList(Archive& archive, const Dll<OPCS_TagGroup*>& groups) {
    StoreRecordList(
        archive, groups, kGroupListTexts, [](OPCS_TagGroup* g) { return OPCS_TagGroup::IsValidGroup(g); },
        [](OPCS_TagGroup& g) {
            ScopedLock guard(g.m_lock);
            return g.m_classCode;
        });
}

std::vector<std::unique_ptr<OPCS_TagGroup>> GroupRecord::LoadList(Archive& archive) {
    std::vector<std::unique_ptr<OPCS_TagGroup>> groups;
    LoadRecordList<OPCS_TagGroup>(
        archive, kGroupListTexts, [] { return std::make_unique<ToviTagGroup>(); },
        [&groups](std::unique_ptr<OPCS_TagGroup> group) { groups.push_back(std::move(group)); });
    return groups;
}
