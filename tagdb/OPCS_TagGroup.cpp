#include "OPCS_TagGroup.h"

#include <algorithm>

#include "Configuration.h"
#include "ForcedQuality.h"
#include "OPCS_Device.h"
#include "LiveObjectSet.h"
#include "OPCS_Tag.h"
#include "ReservedNames.h"
#include "Text.h"
#include "TreeLimits.h"

OPCS_TagGroup::OPCS_TagGroup() { LiveGroups().Add(this); }

OPCS_TagGroup::~OPCS_TagGroup() {
    RetireValidity();
    ScopedLock guard(m_lock);
    StoreName(L"Deleted");
    m_description = L"Deleted";
    m_imageIndex = 0;
    m_selectedImageIndex = 1;
    m_parent = nullptr;
    m_structureChanged = false;
    DestroyChildren();
    m_signature = 0;
}

void OPCS_TagGroup::RetireValidity() noexcept { LiveGroups().Remove(this); }

void OPCS_TagGroup::DestroyChildren() {
    m_tagIndex.clear();
    m_groupIndex.clear();
    while (!m_tags.IsEmpty()) {
        OPCS_Tag* tag = m_tags.Remove(m_tags.Head());
        if (OPCS_Tag::IsValidTag(tag)) {
            delete tag;
        }
    }
    while (!m_groups.IsEmpty()) {
        OPCS_TagGroup* group = m_groups.Remove(m_groups.Head());
        if (IsValidGroup(group)) {
            delete group;
        }
    }
}

bool OPCS_TagGroup::IsValidGroup(const void* pointer) {
    return LiveGroups().Contains(pointer) && static_cast<const OPCS_TagGroup*>(pointer)->m_signature == kGroupSignature;
}

void OPCS_TagGroup::StoreName(std::wstring name) {
    SlimScopedLock guard(m_nameLock);
    m_name = std::move(name);
}

std::wstring OPCS_TagGroup::GetName() const {
    SlimScopedLock guard(m_nameLock);
    return m_name;
}

namespace {
// The level of `group` below the top of its tree (a device, or a group being
// read or built): the level a child of it takes is one more.
size_t LevelOf(OPCS_TagGroup* group) {
    size_t level = 0;
    for (OPCS_TagGroup* g = group->GetParent(); g != nullptr; g = g->GetParent()) ++level;
    return level;
}

// The levels of sub-groups below `group` (0 for none), walked without
// recursion: the tree offered may be of any depth.
size_t LevelsBelow(OPCS_TagGroup* group) {
    size_t deepest = 0;
    std::vector<std::pair<OPCS_TagGroup*, size_t>> pending{{group, 0}};
    while (!pending.empty()) {
        const auto [g, level] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, level);
        if (level > kMaxGroupDepth) break;  // too deep already
        for (OPCS_TagGroup* child : g->SnapshotGroups()) {
            if (OPCS_TagGroup::IsValidGroup(child)) pending.emplace_back(child, level + 1);
        }
    }
    return deepest;
}
}  // namespace

bool OPCS_TagGroup::AddTag(OPCS_Tag* tag) {
    // A tag in two lists would be deleted twice: only a free tag is adopted.
    if (!OPCS_Tag::IsValidTag(tag) || tag->GetOwner() != nullptr || tag->GetName().size() > kMaxNameLength) {
        return false;
    }
    {
        ScopedLock guard(m_lock);
        std::wstring key = FoldCase(tag->GetName());
        auto existing = m_tagIndex.find(key);
        if (existing != m_tagIndex.end() && OPCS_Tag::IsValidTag(existing->second.object)) {
            return false;
        }
        DllNode<OPCS_Tag*> node = m_tags.Append(tag);
        if (existing != m_tagIndex.end()) {
            existing->second = {tag, node};
        } else {
            try {
                m_tagIndex.emplace(std::move(key), NameIndexEntry<OPCS_Tag*>{tag, node});
            } catch (...) {
                // Not adopted at all: listed without an index entry, it would
                // be freed by its caller and by this group.
                m_tags.Remove(node);
                throw;
            }
        }
        tag->SetOwner(this);
    }
    NotifyChanged();
    return true;
}

bool OPCS_TagGroup::AddGroup(OPCS_TagGroup* group) {
    // Only a free group that is not this one or one of its ancestors: anything
    // else would link the tree into a cycle or into two parents.
    if (!IsValidGroup(group) || group->IsDevice() || group->GetParent() != nullptr ||
        IsReservedName(group->GetName()) || group->GetName().size() > kMaxNameLength) {
        return false;
    }
    // Every walk of the tree (the file, the export, deletions) recurses once a level.
    if (LevelOf(this) + 1 + LevelsBelow(group) > kMaxGroupDepth) return false;
    for (OPCS_TagGroup* ancestor = this; IsValidGroup(ancestor); ancestor = ancestor->GetParent()) {
        if (ancestor == group) {
            return false;
        }
    }
    {
        ScopedLock guard(m_lock);
        std::wstring key = FoldCase(group->GetName());
        auto existing = m_groupIndex.find(key);
        if (existing != m_groupIndex.end() && IsValidGroup(existing->second.object)) {
            return false;
        }
        DllNode<OPCS_TagGroup*> node = m_groups.Append(group);
        if (existing != m_groupIndex.end()) {
            existing->second = {group, node};
        } else {
            try {
                m_groupIndex.emplace(std::move(key), NameIndexEntry<OPCS_TagGroup*>{group, node});
            } catch (...) {
                m_groups.Remove(node);
                throw;
            }
        }
        ScopedLock childGuard(group->m_lock);
        group->m_ordinal = m_groups.Count();
        group->m_parent = this;
    }
    NotifyChanged();
    return true;
}

bool OPCS_TagGroup::RemoveTag(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) {
        return false;
    }
    OPCS_Device* alarmPoll = nullptr;
    OPCS_Device* historyPoll = nullptr;
    {
        ScopedLock guard(m_lock);
        auto entry = m_tagIndex.find(FoldCase(tag->GetName()));
        if (entry == m_tagIndex.end() || entry->second.object != tag) {
            return false;
        }
        {
            ScopedLock tagGuard(tag->Lock());
            if (tag->IsLocked() || tag->GetClientReferenceCount() != 0) {
                return false;
            }
            // Its alarm's last event while it still has its item ID.
            alarmPoll = tag->RetireAlarm();
            historyPoll = tag->RetireHistory();
            tag->SetOwner(nullptr);
        }
        m_tags.Remove(entry->second.node);
        m_tagIndex.erase(entry);
    }
    OPCS_Tag::ReleaseAlarmPoll(alarmPoll);
    OPCS_Tag::ReleaseAlarmPoll(historyPoll);
    NotifyChanged();
    return true;
}

bool OPCS_TagGroup::RemoveGroup(OPCS_TagGroup* group) {
    if (!IsValidGroup(group)) {
        return false;
    }
    {
        ScopedLock guard(m_lock);
        auto entry = m_groupIndex.find(FoldCase(group->GetName()));
        if (entry == m_groupIndex.end() || entry->second.object != group) {
            return false;
        }
        m_groups.Remove(entry->second.node);
        m_groupIndex.erase(entry);
        ScopedLock childGuard(group->m_lock);
        group->m_parent = nullptr;
    }
    NotifyChanged();
    return true;
}

void OPCS_TagGroup::RenameTag(OPCS_Tag* tag, std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    if (text.size() > kMaxNameLength) return;
    {
        ScopedLock guard(m_lock);
        if (!OPCS_Tag::IsValidTag(tag)) {
            return;
        }
        ScopedLock tagGuard(tag->Lock());
        if (tag->GetOwner() != this) {
            return;  // moved meanwhile: not ours to rename
        }
        const std::wstring current = tag->GetName();
        if (text == current) {
            return;
        }
        std::wstring key = FoldCase(text);
        // Any sibling, the tag itself included: a change of letter case alone is refused.
        auto clash = m_tagIndex.find(key);
        if (clash != m_tagIndex.end() && OPCS_Tag::IsValidTag(clash->second.object)) {
            return;
        }
        auto entry = m_tagIndex.find(FoldCase(current));
        if (entry == m_tagIndex.end() || entry->second.object != tag) {
            return;
        }
        const NameIndexEntry<OPCS_Tag*> moved = entry->second;
        m_tagIndex.erase(entry);
        m_tagIndex.insert_or_assign(std::move(key), moved);
        tag->ApplyRename(std::move(text));
    }
}

namespace {
// The path of a group as the user reads it: its item-ID prefix without the final separator.
std::wstring PlaceText(OPCS_TagGroup& group) {
    std::wstring path = group.GetPath();
    if (!path.empty()) path.pop_back();
    return path;
}
}  // namespace

std::wstring OPCS_TagGroup::TagNameRefusal(const OPCS_Tag* tag, std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    if (text.size() > kMaxNameLength) return NameLengthRefusal();
    std::wstring bearer;
    {
        ScopedLock guard(m_lock);
        auto entry = m_tagIndex.find(FoldCase(text));
        if (entry == m_tagIndex.end() || !OPCS_Tag::IsValidTag(entry->second.object)) {
            return {};
        }
        bearer = entry->second.object->GetName();
        if (entry->second.object == tag) {
            if (bearer == text) return {};
            return L"The name \"" + text + L"\" differs from \"" + bearer +
                   L"\" only in letter case, which item IDs do not tell apart. Please choose another name.";
        }
    }
    return L"There is already a tag named \"" + bearer + L"\" in " + PlaceText(*this) +
           L". Please choose another name.";
}

std::wstring OPCS_TagGroup::GroupNameRefusal(const OPCS_TagGroup* group, std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    if (IsReservedName(text)) return ReservedNameRefusal(text);
    if (text.size() > kMaxNameLength) return NameLengthRefusal();
    std::wstring bearer;
    {
        ScopedLock guard(m_lock);
        auto entry = m_groupIndex.find(FoldCase(text));
        if (entry == m_groupIndex.end() || entry->second.object == group || !IsValidGroup(entry->second.object)) {
            return {};
        }
        bearer = entry->second.object->GetName();
    }
    return L"There is already a group named \"" + bearer + L"\" in " + PlaceText(*this) +
           L". Please choose another name.";
}

OPCS_Device* OPCS_TagGroup::GetDevice() {
    OPCS_TagGroup* parent = GetParent();  // read under our lock, released before calling up
    return IsValidGroup(parent) ? parent->GetDevice() : nullptr;
}

std::wstring OPCS_TagGroup::GetPath() {
    OPCS_TagGroup* parent = GetParent();
    std::wstring path = IsValidGroup(parent) ? parent->GetPath() : std::wstring();
    return path + GetName() + kItemIdSeparator;
}

int OPCS_TagGroup::GetImageIndex() {
    ScopedLock g(m_lock);
    return m_imageIndex;
}
int OPCS_TagGroup::GetSelectedImageIndex() {
    ScopedLock g(m_lock);
    return m_selectedImageIndex;
}

bool OPCS_TagGroup::CanDelete() {
    // Walked under our lock: a tag removed and deleted by another thread
    // meanwhile would otherwise be locked after its memory was freed.
    ScopedLock guard(m_lock);
    for (OPCS_Tag* tag : m_tags) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        ScopedLock tagGuard(tag->Lock());
        if (tag->GetClientReferenceCount() != 0 || tag->IsLocked()) {
            return false;
        }
    }
    for (OPCS_TagGroup* group : m_groups) {
        if (IsValidGroup(group) && !group->CanDelete()) {
            return false;
        }
    }
    return true;
}

void OPCS_TagGroup::Rename(std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    if (IsReservedName(text)) return;  // the control branch would hide it, or it the branch
    if (text.size() > kMaxNameLength) return;
    OPCS_TagGroup* parent = GetParent();
    if (!IsValidGroup(parent)) {
        ScopedLock guard(m_lock);
        if (text == GetName()) {
            return;
        }
        StoreName(std::move(text));
    } else {
        ScopedLock parentGuard(parent->m_lock);
        ScopedLock guard(m_lock);
        if (m_parent != parent) {
            return;
        }
        const std::wstring current = GetName();
        if (text == current) {
            return;
        }
        std::wstring key = FoldCase(text);
        auto clash = parent->m_groupIndex.find(key);
        if (clash != parent->m_groupIndex.end() && clash->second.object != this && IsValidGroup(clash->second.object)) {
            return;
        }
        auto entry = parent->m_groupIndex.find(FoldCase(current));
        if (entry != parent->m_groupIndex.end() && entry->second.object == this) {
            const NameIndexEntry<OPCS_TagGroup*> moved = entry->second;
            parent->m_groupIndex.erase(entry);
            parent->m_groupIndex.insert_or_assign(std::move(key), moved);
        }
        StoreName(std::move(text));
    }
    // Our item path changed: a member of our parent, or of the device list, did.
    const ShapeScope scope = IsValidGroup(parent) ? ShapeScope::Members(parent) : ShapeScope::Devices();
    NotifyChanged(true, &scope);
}

OPCS_Tag* OPCS_TagGroup::FindTag(std::wstring_view id) {
    // Resolution runs for every item a client adds: the folded key stays on the stack.
    ScopedLock guard(m_lock);
    const size_t separator = id.find(kItemIdSeparator);
    if (separator == std::wstring_view::npos) {
        const FoldedText key(id);
        auto entry = m_tagIndex.find(key.view());
        return entry != m_tagIndex.end() && OPCS_Tag::IsValidTag(entry->second.object) ? entry->second.object : nullptr;
    }
    const FoldedText key(id.substr(0, separator));
    auto entry = m_groupIndex.find(key.view());
    if (entry == m_groupIndex.end() || !IsValidGroup(entry->second.object)) {
        return nullptr;
    }
    return (entry->second.object)->FindTag(id.substr(separator + 1));
}

namespace {
template <class Index, class IsValid>
std::wstring FirstFreeName(const Index& index, const std::wstring& base, IsValid isValid) {
    for (unsigned n = 1;; ++n) {
        std::wstring candidate = base + std::to_wstring(n);
        auto entry = index.find(FoldCase(candidate));
        if (entry == index.end() || !isValid(entry->second.object)) {
            return candidate;
        }
    }
}
}  // namespace

std::wstring OPCS_TagGroup::MakeUniqueGroupName(const std::wstring& base) {
    ScopedLock guard(m_lock);
    return FirstFreeName(m_groupIndex, base, [](const void* p) { return IsValidGroup(p); });
}

std::wstring OPCS_TagGroup::MakeUniqueTagName(const std::wstring& base) {
    ScopedLock guard(m_lock);
    return FirstFreeName(m_tagIndex, base, [](const void* p) { return OPCS_Tag::IsValidTag(p); });
}

void OPCS_TagGroup::NotifyChanged(bool shape, const ShapeScope* scope) {
    if (OPCS_Device* device = GetDevice()) {
        device->SetStructureChanged(true);
        device->MarkConfigurationModified();
        Configuration* configuration = shape ? device->GetConfiguration() : nullptr;
        if (configuration != nullptr)
            configuration->NoteShapeChanged(scope != nullptr ? *scope : ShapeScope::Members(this));
    }
}

std::vector<OPCS_Tag*> OPCS_TagGroup::SnapshotTags() {
    ScopedLock guard(m_lock);
    return std::vector<OPCS_Tag*>(m_tags.begin(), m_tags.end());
}

std::vector<OPCS_TagGroup*> OPCS_TagGroup::SnapshotGroups() {
    ScopedLock guard(m_lock);
    return std::vector<OPCS_TagGroup*>(m_groups.begin(), m_groups.end());
}

int OPCS_TagGroup::TagCount() {
    ScopedLock g(m_lock);
    return m_tags.Count();
}
int OPCS_TagGroup::GroupCount() {
    ScopedLock g(m_lock);
    return m_groups.Count();
}
std::wstring OPCS_TagGroup::GetDescription() {
    ScopedLock g(m_lock);
    return m_description;
}

void OPCS_TagGroup::SetDescription(const std::wstring& text) {
    {
        ScopedLock g(m_lock);
        if (text == m_description) return;
        m_description = text;
    }
    if (OPCS_Device* device = GetDevice()) device->MarkConfigurationModified();
}

OPCS_TagGroup* OPCS_TagGroup::GetParent() { return m_parent.load(); }

Configuration* OPCS_TagGroup::ConfigurationAbove() const noexcept {
    const OPCS_TagGroup* top = this;
    for (const OPCS_TagGroup* parent = top->m_parent.load(); parent != nullptr; parent = parent->m_parent.load()) {
        top = parent;
    }
    return top->m_configuration.load();
}

bool OPCS_TagGroup::ForceQuality(int quality) {
    if (!IsForcibleQuality(quality)) return false;
    if (m_forcedQuality.exchange(quality) != quality) {
        if (OPCS_Device* device = GetDevice()) device->MarkConfigurationModified();
        // The tags below show it: their rows redraw.
        ScopedLock guard(m_lock);
        for (OPCS_Tag* tag : m_tags) {
            if (OPCS_Tag::IsValidTag(tag)) tag->NoteForcingChanged();
        }
        for (OPCS_TagGroup* group : m_groups) {
            if (IsValidGroup(group)) group->NoteForcingChangedBelow();
        }
    }
    return true;
}

void OPCS_TagGroup::NoteForcingChangedBelow() {
    ScopedLock guard(m_lock);
    for (OPCS_Tag* tag : m_tags) {
        if (OPCS_Tag::IsValidTag(tag)) tag->NoteForcingChanged();
    }
    for (OPCS_TagGroup* group : m_groups) {
        if (IsValidGroup(group)) group->NoteForcingChangedBelow();
    }
}
LONG OPCS_TagGroup::GetOrdinal() {
    ScopedLock g(m_lock);
    return m_ordinal;
}
bool OPCS_TagGroup::IsStructureChanged() {
    ScopedLock g(m_lock);
    return m_structureChanged;
}
void OPCS_TagGroup::SetStructureChanged(bool changed) {
    ScopedLock g(m_lock);
    m_structureChanged = changed;
}
