// The group record: the group's fields and its two child lists. Loading reads
// the children into fresh objects and then adopts them in file order.
#include <algorithm>
#include <memory>
#include <string>

#include "Archive.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "Tag.h"
#include "TagGroup.h"
#include "ToviTagGroup.h"

namespace {
const RecordListTexts kGroupListTexts = {
    L"Serialization Success - output group:", L"Serialization Error - output group:",
    L"Serialization Error - failed to create group#:", L"Serialization Error - input group#:",
    L"Serialization Success - input grp:", false};
}  // namespace

void OPCS_TagGroup::Serialize(Archive& archive) { GroupRecord::Serialize(*this, archive); }

void ToviTagGroup::Serialize(Archive& archive) {
    OPCS_TagGroup::Serialize(archive);
    SerializeProgramVersion(archive);
}

void GroupRecord::Serialize(OPCS_TagGroup& group, Archive& archive) {
    Archive::NestedRecord level(archive);
    ScopedLock guard(group.lock_);
    if (archive.IsStoring()) {
        archive.WriteDouble(kRecordVersion);
        archive.WriteString(group.GetName());
        archive.WriteString(group.description_);
        archive.WriteLong(group.imageIndex_);
        archive.WriteLong(group.selectedImageIndex_);
        archive.WriteLong(group.ordinal_);
        StoreList(archive, group.groups_);
        TagRecord::StoreList(archive, group.tags_);
        return;
    }
    const double version = archive.ReadDouble();
    std::wstring name = archive.ReadString();
    std::replace(name.begin(), name.end(), kItemIdSeparator, L' ');
    group.StoreName(std::move(name));
    group.description_ = archive.ReadString();
    group.imageIndex_ = archive.ReadLong();
    group.selectedImageIndex_ = archive.ReadLong();
    if (version >= 1.6) {
        group.ordinal_ = archive.ReadLong();
    }
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
    group.structureChanged_ = false;
}

void GroupRecord::StoreList(Archive& archive, const Dll<OPCS_TagGroup*>& groups) {
    StoreRecordList(archive, groups, kGroupListTexts, [](OPCS_TagGroup* g) { return OPCS_TagGroup::IsValidGroup(g); },
                    [](OPCS_TagGroup& g) {
                        ScopedLock guard(g.lock_);
                        return g.classCode_;
                    });
}

std::vector<std::unique_ptr<OPCS_TagGroup>> GroupRecord::LoadList(Archive& archive) {
    std::vector<std::unique_ptr<OPCS_TagGroup>> groups;
    LoadRecordList<OPCS_TagGroup>(
        archive, kGroupListTexts, [] { return std::make_unique<ToviTagGroup>(); },
        [&groups](std::unique_ptr<OPCS_TagGroup> group) { groups.push_back(std::move(group)); });
    return groups;
}
