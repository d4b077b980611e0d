// The group record: the group's fields and its two child lists. Loading reads
// the children into fresh objects and then adopts them in file order.
#include <algorithm>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "Archive.h"
#include "ForcedQuality.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "ReservedNames.h"
#include "Text.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "ToviTagGroup.h"

namespace {
// Adopts every child read into `group` in file order. A child whose name an
// earlier sibling of its kind bears (item IDs do not tell letter case apart),
// or a reserved one, goes in as "name v2", "name v3", ...: the first that no
// child of its kind in the file bears. Nothing is dropped for its name.
template <class Child, class Adopt>
void AdoptUnderFreeNames(OPCS_TagGroup& group, std::vector<std::unique_ptr<Child>>& children, bool tags,
                         Archive& archive, Adopt adopt) {
    // Made at the first clash only: a list of a million tags without one
    // would otherwise fold and hash every name a second time.
    std::unordered_set<std::wstring> held;
    bool heldMade = false;
    for (std::unique_ptr<Child>& child : children) {
        const std::wstring name = child->GetName();
        const bool reserved = !tags && IsReservedName(name);
        if (!reserved && adopt(child.get())) {
            child.release();
            continue;
        }
        if (!heldMade) {
            // The children adopted so far are the group's; the rest are still here.
            if (tags) {
                for (OPCS_Tag* adopted : group.SnapshotTags()) held.insert(FoldCase(adopted->GetName()));
            } else {
                for (OPCS_TagGroup* adopted : group.SnapshotGroups()) held.insert(FoldCase(adopted->GetName()));
            }
            for (const std::unique_ptr<Child>& other : children) {
                if (other) held.insert(FoldCase(other->GetName()));
            }
            heldMade = true;
        }
        std::wstring candidate;
        for (unsigned n = 2;; ++n) {
            candidate = FormatText(L"%ls v%u", name.c_str(), n);
            if (held.insert(FoldCase(candidate)).second) break;
        }
        child->Rename(candidate);
        if (adopt(child.get())) {
            child.release();
            archive.NoteChildRename({&group, tags, reserved, name, candidate});
        } else {
            archive.NoteDroppedRecord();  // deleted with its vector entry
        }
    }
}

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
    // Adoption gives sub-groups new ordinals.
    AdoptUnderFreeNames(group, groups, false, archive,
                        [&group](OPCS_TagGroup* child) { return group.AddGroup(child); });
    AdoptUnderFreeNames(group, tags, true, archive, [&group](OPCS_Tag* tag) { return group.AddTag(tag); });
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
