#pragma once
// A tag group: an ordered list of tags and of sub-groups, to any depth. Each
// list carries a case-insensitive name index beside it, so adoption, renames
// and item-ID resolution never walk all the siblings.
#include <windows.h>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CriticalSection.h"
#include "SlimLock.h"
#include "Dll.h"
#include "ShapeScope.h"
#include "Text.h"
#include "Variant.h"

class Configuration;
class OPCS_Tag;
class OPCS_Device;

// A name index entry: the object itself (so a lookup need not visit the list
// node) and its node (so removal need not search the list).
template <class T>
struct NameIndexEntry {
    T object;
    DllNode<T> node;
};

constexpr DWORD kGroupSignature = 0x4F504347;  // "GCPO" in memory

class OPCS_TagGroup {
public:
    OPCS_TagGroup();
    virtual ~OPCS_TagGroup();
    virtual void Serialize(class Archive& archive);  // the configuration file record
    OPCS_TagGroup(const OPCS_TagGroup&) = delete;
    OPCS_TagGroup& operator=(const OPCS_TagGroup&) = delete;

    virtual bool AddTag(OPCS_Tag* tag);
    virtual bool AddGroup(OPCS_TagGroup* group);
    virtual bool RemoveTag(OPCS_Tag* tag);
    virtual bool RemoveGroup(OPCS_TagGroup* group);
    virtual OPCS_Device* GetDevice();
    virtual std::wstring GetPath();
    virtual bool IsDevice() const { return false; }
    virtual int GetImageIndex();
    virtual int GetSelectedImageIndex();
    virtual bool CanDelete();

    std::wstring GetName() const;
    // Does nothing for a reserved name, or for a sub-group's name that a
    // sibling group bears.
    void Rename(std::wstring text);
    OPCS_Tag* FindTag(std::wstring_view relativeItemId);
    std::wstring MakeUniqueGroupName(const std::wstring& base);
    std::wstring MakeUniqueTagName(const std::wstring& base);
    // The tree redraws and the file is modified; `shape` also when names or
    // members changed (what the UA address space mirrors), not a device's
    // interval or service state. The shape changed among our members unless
    // `scope` says where.
    void NotifyChanged(bool shape = true, const ShapeScope* scope = nullptr);
    static bool IsValidGroup(const void* pointer);

    // Why `tag` (one of ours, or a new one to be adopted) may not take the
    // name `text` here, in words for the user; empty when it may. A name is
    // refused when another tag here bears it in any letter case, and so is a
    // change of one of our tags' names in letter case alone.
    std::wstring TagNameRefusal(const OPCS_Tag* tag, std::wstring text);
    // The same for a sub-group, which may change its own letter case.
    std::wstring GroupNameRefusal(const OPCS_TagGroup* group, std::wstring text);

    // Renames one of this group's tags under this group's lock, then the tag's.
    void RenameTag(OPCS_Tag* tag, std::wstring text);

    // Copies of the lists, taken under the lock, for walks that call out.
    std::vector<OPCS_Tag*> SnapshotTags();
    std::vector<OPCS_TagGroup*> SnapshotGroups();
    // The lists themselves, for walks that hold Lock() throughout.
    const Dll<OPCS_Tag*>& Tags() const noexcept { return m_tags; }
    const Dll<OPCS_TagGroup*>& Groups() const noexcept { return m_groups; }
    int TagCount();
    int GroupCount();

    std::wstring GetDescription();
    void SetDescription(const std::wstring& text);
    OPCS_TagGroup* GetParent();
    // The configuration the tree's top reports to: a device's while a
    // configuration holds it, else null. Walked as a tag's forcing is, up the
    // parents with no lock, no live-set lookup and no virtual call, by the
    // holder of the lock of a tag below. No group on the way is freed
    // meanwhile: a group's deletion deletes every tag below it, which waits
    // for that lock, and a group leaves its parent only on its way to
    // deletion, within the hold of the configuration lock that the parent's
    // own deletion needs too.
    Configuration* ConfigurationAbove() const noexcept;
    LONG GetOrdinal();
    bool IsStructureChanged();
    void SetStructureChanged(bool changed);

    CriticalSection& Lock() noexcept { return m_lock; }

    // A quality forced on every tag below (kNotForced clears it); false when
    // the quality is not one that may be forced. Read without a lock: a tag
    // asks its groups while it holds its own lock.
    bool ForceQuality(int quality);
    int GetForcedQuality() const noexcept { return m_forcedQuality.load(std::memory_order_relaxed); }
    // Every tag below redraws (each group's lock held in turn, parent first).
    void NoteForcingChangedBelow();

protected:
    void StoreName(std::wstring name);
    // Leaves the set of live groups; the first step of every destruction.
    void RetireValidity() noexcept;
    // Takes the child lists apart, deleting every valid child.
    void DestroyChildren();

    mutable SlimLock m_nameLock;  // leaf lock: guards only the name
    std::wstring m_name = L"Group";
    std::wstring m_description;
    Dll<OPCS_Tag*> m_tags;
    Dll<OPCS_TagGroup*> m_groups;
    std::unordered_map<std::wstring, NameIndexEntry<OPCS_Tag*>, WideTextHash, std::equal_to<>> m_tagIndex;
    std::unordered_map<std::wstring, NameIndexEntry<OPCS_TagGroup*>, WideTextHash, std::equal_to<>> m_groupIndex;
    LONG m_imageIndex = 2;
    LONG m_selectedImageIndex = 3;
    DWORD m_classCode = 0;
    LONG m_ordinal = 0;
    // Read without the lock: a tag reports a change to its configuration
    // through its parents while it holds its own lock.
    std::atomic<OPCS_TagGroup*> m_parent{nullptr};
    // Set on devices only; here so that the walk up reads it without a
    // virtual call, also while a device is being destroyed.
    std::atomic<Configuration*> m_configuration{nullptr};
    std::atomic<int> m_forcedQuality{-1};  // kNotForced
    CriticalSection m_lock;
    bool m_structureChanged = false;
    DWORD m_signature = kGroupSignature;

    friend class GroupRecord;  // the configuration file's reader and writer
};
