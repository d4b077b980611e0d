#include "TagGroup.h"

#include <algorithm>

#include "Device.h"
#include "LiveObjects.h"
#include "Tag.h"
#include "Text.h"

OPCS_TagGroup::OPCS_TagGroup() { LiveGroups().Add(this); }

OPCS_TagGroup::~OPCS_TagGroup() {
    RetireValidity();
    ScopedLock guard(lock_);
    StoreName(L"Deleted");
    description_ = L"Deleted";
    imageIndex_ = 0;
    selectedImageIndex_ = 1;
    parent_ = nullptr;
    structureChanged_ = false;
    DestroyChildren();
    signature_ = 0;
}

void OPCS_TagGroup::RetireValidity() noexcept { LiveGroups().Remove(this); }

void OPCS_TagGroup::DestroyChildren() {
    tagIndex_.clear();
    groupIndex_.clear();
    while (!tags_.IsEmpty()) {
        OPCS_Tag* tag = tags_.Remove(tags_.Head());
        if (OPCS_Tag::IsValidTag(tag)) {
            delete tag;
        }
    }
    while (!groups_.IsEmpty()) {
        OPCS_TagGroup* group = groups_.Remove(groups_.Head());
        if (IsValidGroup(group)) {
            delete group;
        }
    }
}

bool OPCS_TagGroup::IsValidGroup(const void* pointer) {
    return LiveGroups().Contains(pointer) &&
           static_cast<const OPCS_TagGroup*>(pointer)->signature_ == kGroupSignature;
}

void OPCS_TagGroup::StoreName(std::wstring name) {
    ScopedLock guard(nameLock_);
    name_ = std::move(name);
}

std::wstring OPCS_TagGroup::GetName() const {
    ScopedLock guard(nameLock_);
    return name_;
}

bool OPCS_TagGroup::AddTag(OPCS_Tag* tag) {
    // A tag in two lists would be deleted twice: only a free tag is adopted.
    if (!OPCS_Tag::IsValidTag(tag) || tag->GetOwner() != nullptr) {
        return false;
    }
    {
        ScopedLock guard(lock_);
        std::wstring key = FoldCase(tag->GetName());
        auto existing = tagIndex_.find(key);
        if (existing != tagIndex_.end() && OPCS_Tag::IsValidTag(existing->second.object)) {
            return false;
        }
        DllNode<OPCS_Tag*> node = tags_.Append(tag);
        if (existing != tagIndex_.end()) {
            existing->second = {tag, node};
        } else {
            tagIndex_.emplace(std::move(key), NameIndexEntry<OPCS_Tag*>{tag, node});
        }
        tag->SetOwner(this);
    }
    NotifyChanged();
    return true;
}

bool OPCS_TagGroup::AddGroup(OPCS_TagGroup* group) {
    // Only a free group that is not this one or one of its ancestors: anything
    // else would link the tree into a cycle or into two parents.
    if (!IsValidGroup(group) || group->IsDevice() || group->GetParent() != nullptr) {
        return false;
    }
    for (OPCS_TagGroup* ancestor = this; IsValidGroup(ancestor); ancestor = ancestor->GetParent()) {
        if (ancestor == group) {
            return false;
        }
    }
    {
        ScopedLock guard(lock_);
        std::wstring key = FoldCase(group->GetName());
        auto existing = groupIndex_.find(key);
        if (existing != groupIndex_.end() && IsValidGroup(existing->second.object)) {
            return false;
        }
        DllNode<OPCS_TagGroup*> node = groups_.Append(group);
        if (existing != groupIndex_.end()) {
            existing->second = {group, node};
        } else {
            groupIndex_.emplace(std::move(key), NameIndexEntry<OPCS_TagGroup*>{group, node});
        }
        ScopedLock childGuard(group->lock_);
        group->ordinal_ = groups_.Count();
        group->parent_ = this;
    }
    NotifyChanged();
    return true;
}

bool OPCS_TagGroup::RemoveTag(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) {
        return false;
    }
    {
        ScopedLock guard(lock_);
        auto entry = tagIndex_.find(FoldCase(tag->GetName()));
        if (entry == tagIndex_.end() || entry->second.object != tag) {
            return false;
        }
        {
            ScopedLock tagGuard(tag->Lock());
            if (tag->IsLocked() || tag->GetClientReferenceCount() != 0) {
                return false;
            }
            tag->SetOwner(nullptr);
        }
        tags_.Remove(entry->second.node);
        tagIndex_.erase(entry);
    }
    NotifyChanged();
    return true;
}

bool OPCS_TagGroup::RemoveGroup(OPCS_TagGroup* group) {
    if (!IsValidGroup(group)) {
        return false;
    }
    {
        ScopedLock guard(lock_);
        auto entry = groupIndex_.find(FoldCase(group->GetName()));
        if (entry == groupIndex_.end() || entry->second.object != group) {
            return false;
        }
        groups_.Remove(entry->second.node);
        groupIndex_.erase(entry);
        ScopedLock childGuard(group->lock_);
        group->parent_ = nullptr;
    }
    NotifyChanged();
    return true;
}

void OPCS_TagGroup::RenameTag(OPCS_Tag* tag, std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    {
        ScopedLock guard(lock_);
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
        auto clash = tagIndex_.find(key);
        if (clash != tagIndex_.end() && OPCS_Tag::IsValidTag(clash->second.object)) {
            return;
        }
        auto entry = tagIndex_.find(FoldCase(current));
        if (entry == tagIndex_.end() || entry->second.object != tag) {
            return;
        }
        const NameIndexEntry<OPCS_Tag*> moved = entry->second;
        tagIndex_.erase(entry);
        tagIndex_.insert_or_assign(std::move(key), moved);
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
    std::wstring bearer;
    {
        ScopedLock guard(lock_);
        auto entry = tagIndex_.find(FoldCase(text));
        if (entry == tagIndex_.end() || !OPCS_Tag::IsValidTag(entry->second.object)) {
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
    std::wstring bearer;
    {
        ScopedLock guard(lock_);
        auto entry = groupIndex_.find(FoldCase(text));
        if (entry == groupIndex_.end() || entry->second.object == group || !IsValidGroup(entry->second.object)) {
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

int OPCS_TagGroup::GetImageIndex() { ScopedLock g(lock_); return imageIndex_; }
int OPCS_TagGroup::GetSelectedImageIndex() { ScopedLock g(lock_); return selectedImageIndex_; }

bool OPCS_TagGroup::CanDelete() {
    // Walked under our lock: a tag removed and deleted by another thread
    // meanwhile would otherwise be locked after its memory was freed.
    ScopedLock guard(lock_);
    for (OPCS_Tag* tag : tags_) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        ScopedLock tagGuard(tag->Lock());
        if (tag->GetClientReferenceCount() != 0 || tag->IsLocked()) {
            return false;
        }
    }
    for (OPCS_TagGroup* group : groups_) {
        if (IsValidGroup(group) && !group->CanDelete()) {
            return false;
        }
    }
    return true;
}

void OPCS_TagGroup::Rename(std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    OPCS_TagGroup* parent = GetParent();
    if (!IsValidGroup(parent)) {
        ScopedLock guard(lock_);
        if (text == GetName()) {
            return;
        }
        StoreName(std::move(text));
    } else {
        ScopedLock parentGuard(parent->lock_);
        ScopedLock guard(lock_);
        if (parent_ != parent) {
            return;
        }
        const std::wstring current = GetName();
        if (text == current) {
            return;
        }
        std::wstring key = FoldCase(text);
        auto clash = parent->groupIndex_.find(key);
        if (clash != parent->groupIndex_.end() && clash->second.object != this && IsValidGroup(clash->second.object)) {
            return;
        }
        auto entry = parent->groupIndex_.find(FoldCase(current));
        if (entry != parent->groupIndex_.end() && entry->second.object == this) {
            const NameIndexEntry<OPCS_TagGroup*> moved = entry->second;
            parent->groupIndex_.erase(entry);
            parent->groupIndex_.insert_or_assign(std::move(key), moved);
        }
        StoreName(std::move(text));
    }
    NotifyChanged();
}

OPCS_Tag* OPCS_TagGroup::FindTag(std::wstring_view id) {
    // Resolution runs for every item a client adds: the folded key stays on the stack.
    ScopedLock guard(lock_);
    const size_t separator = id.find(kItemIdSeparator);
    if (separator == std::wstring_view::npos) {
        const FoldedText key(id);
        auto entry = tagIndex_.find(key.view());
        return entry != tagIndex_.end() && OPCS_Tag::IsValidTag(entry->second.object) ? entry->second.object : nullptr;
    }
    const FoldedText key(id.substr(0, separator));
    auto entry = groupIndex_.find(key.view());
    if (entry == groupIndex_.end() || !IsValidGroup(entry->second.object)) {
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
    ScopedLock guard(lock_);
    return FirstFreeName(groupIndex_, base, [](const void* p) { return IsValidGroup(p); });
}

std::wstring OPCS_TagGroup::MakeUniqueTagName(const std::wstring& base) {
    ScopedLock guard(lock_);
    return FirstFreeName(tagIndex_, base, [](const void* p) { return OPCS_Tag::IsValidTag(p); });
}

void OPCS_TagGroup::NotifyChanged() {
    if (OPCS_Device* device = GetDevice()) {
        device->SetStructureChanged(true);
        device->MarkConfigurationModified();
    }
}

std::vector<OPCS_Tag*> OPCS_TagGroup::SnapshotTags() {
    ScopedLock guard(lock_);
    return std::vector<OPCS_Tag*>(tags_.begin(), tags_.end());
}

std::vector<OPCS_TagGroup*> OPCS_TagGroup::SnapshotGroups() {
    ScopedLock guard(lock_);
    return std::vector<OPCS_TagGroup*>(groups_.begin(), groups_.end());
}

int OPCS_TagGroup::TagCount() { ScopedLock g(lock_); return tags_.Count(); }
int OPCS_TagGroup::GroupCount() { ScopedLock g(lock_); return groups_.Count(); }
std::wstring OPCS_TagGroup::GetDescription() { ScopedLock g(lock_); return description_; }

void OPCS_TagGroup::SetDescription(const std::wstring& text) {
    {
        ScopedLock g(lock_);
        if (text == description_) return;
        description_ = text;
    }
    if (OPCS_Device* device = GetDevice()) device->MarkConfigurationModified();
}

OPCS_TagGroup* OPCS_TagGroup::GetParent() { return parent_.load(); }
LONG OPCS_TagGroup::GetOrdinal() { ScopedLock g(lock_); return ordinal_; }
bool OPCS_TagGroup::IsStructureChanged() { ScopedLock g(lock_); return structureChanged_; }
void OPCS_TagGroup::SetStructureChanged(bool changed) { ScopedLock g(lock_); structureChanged_ = changed; }
