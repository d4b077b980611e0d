#include "CEnumItemIDs.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "OPCS_Device.h"
#include "BrowsePosition.h"
#include "Configuration.h"
#include "EnumSnapshot.h"
#include "OPCS_Tag.h"
#include "TaskMem.h"

namespace {
DWORD AccessRightsOf(OPCS_Tag* tag) {
    // Access mode 1 is read/write; every tag can be read.
    return OPC_READABLE | (tag->GetAccessMode() == 1 ? OPC_WRITEABLE : 0);
}

// What a clone fills itself from again: shared by an enumerator and its clones.
struct BrowseSource {
    BrowseSource(const BrowsePosition& at, const BrowseFilter& with)
        : position(BrowsePosition::OnDelete::Lose, at), filter(with) {}
    BrowsePosition position;
    const BrowseFilter filter;
};

// Collects the names at the position; false when memory ran out.
bool Fill(const BrowseSource& source, std::vector<std::wstring>& names) {
    try {
        // The configuration lock keeps the position (and its children) alive
        // while the names are copied; deletions wait for it.
        Configuration& configuration = source.position.GetConfiguration();
        ScopedLock lock(configuration.Lock());
        if (source.position.IsLost()) {
            return true;
        }
        OPCS_TagGroup* group = source.position.Group();
        if (group == nullptr) {
            if (!source.filter.WantsBranches()) return true;
            Dll<OPCS_Device*> devices;
            configuration.CopyDeviceList(devices);
            for (OPCS_Device* device : devices) {
                if (!OPCS_TagGroup::IsValidGroup(device)) continue;
                std::wstring name = device->GetName();
                if (source.filter.MatchesName(name)) names.push_back(std::move(name));
            }
            if (OPCS_TagGroup* control = configuration.RootControlBranch()) {
                std::wstring name = control->GetName();
                if (source.filter.MatchesName(name)) names.push_back(std::move(name));
            }
            return true;
        }
        if (!OPCS_TagGroup::IsValidGroup(group)) {
            return true;
        }
        if (source.filter.WantsBranches()) {
            for (OPCS_TagGroup* child : BranchesBelow(configuration, group)) {
                if (!OPCS_TagGroup::IsValidGroup(child)) continue;
                std::wstring name = child->GetName();
                if (source.filter.MatchesName(name)) names.push_back(std::move(name));
            }
        } else if (source.filter.WantsLeaves()) {
            ScopedLock guard(group->Lock());
            for (OPCS_Tag* tag : group->Tags()) {
                if (!OPCS_Tag::IsValidTag(tag)) continue;
                std::wstring name = tag->GetName();
                if (source.filter.MatchesName(name) &&
                    source.filter.MatchesLeaf(tag->GetDataType(), AccessRightsOf(tag))) {
                    names.push_back(std::move(name));
                }
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        names.clear();
        return false;
    }
}

// A branch's item ID; a device's control branch hangs below it only for browsing.
std::wstring BranchPath(Configuration& configuration, OPCS_TagGroup* branch) {
    if (OPCS_Device* device = configuration.DeviceOfControlBranch(branch)) {
        return device->GetName() + kItemIdSeparator + branch->GetName();
    }
    std::wstring path = branch->GetPath();
    path.pop_back();  // its separator
    return path;
}

// The item IDs of every tag at and below the position, a group's tags before
// its sub-groups, in list order. The configuration lock is held for one group
// at a time, never for the whole walk: a million tags take seconds to list
// and other clients go on meanwhile. A group is found again by its path at
// its turn; one deleted or renamed since is passed over.
bool FillFlat(const BrowseSource& source, std::vector<std::wstring>& ids) {
    try {
        Configuration& configuration = source.position.GetConfiguration();
        std::vector<std::wstring> pending;  // paths of the groups still to walk, the next last
        {
            ScopedLock lock(configuration.Lock());
            if (source.position.IsLost()) return true;
            OPCS_TagGroup* group = source.position.Group();
            if (group != nullptr && !OPCS_TagGroup::IsValidGroup(group)) return true;
            std::vector<OPCS_TagGroup*> top;
            if (group == nullptr) {
                top = BranchesAtRoot(configuration);
            } else {
                top.push_back(group);
            }
            for (auto it = top.rbegin(); it != top.rend(); ++it) {
                if (!OPCS_TagGroup::IsValidGroup(*it)) continue;
                pending.push_back(BranchPath(configuration, *it));
            }
        }
        while (!pending.empty()) {
            const std::wstring path = std::move(pending.back());
            pending.pop_back();
            ScopedLock lock(configuration.Lock());
            OPCS_TagGroup* group = BranchNamed(configuration, path);
            if (group == nullptr) continue;
            {
                ScopedLock guard(group->Lock());
                for (OPCS_Tag* tag : group->Tags()) {
                    if (!OPCS_Tag::IsValidTag(tag)) continue;
                    std::wstring id = path;
                    id += kItemIdSeparator;
                    id += tag->GetName();
                    if (source.filter.MatchesName(id) &&
                        source.filter.MatchesLeaf(tag->GetDataType(), AccessRightsOf(tag))) {
                        ids.push_back(std::move(id));
                    }
                }
            }
            const std::vector<OPCS_TagGroup*> children = BranchesBelow(configuration, group);
            for (auto it = children.rbegin(); it != children.rend(); ++it) {
                if (!OPCS_TagGroup::IsValidGroup(*it)) continue;
                std::wstring child = path;
                child += kItemIdSeparator;
                child += (*it)->GetName();
                pending.push_back(std::move(child));
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        ids.clear();
        return false;
    }
}

HRESULT CreateFrom(const std::shared_ptr<const BrowseSource>& source, IEnumString** ppEnum) {
    std::vector<std::wstring> names;
    if (!(source->filter.WantsFlat() ? FillFlat(*source, names) : Fill(*source, names))) return E_OUTOFMEMORY;
    try {
        return StringEnumerator::Create(std::move(names), ppEnum,
                                        [source](IEnumString** clone) { return CreateFrom(source, clone); });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
}  // namespace

HRESULT CEnumItemIDs::Create(const BrowsePosition& position, const BrowseFilter& filter, IEnumString** ppEnum) {
    *ppEnum = nullptr;
    std::shared_ptr<const BrowseSource> source;
    try {
        source = std::make_shared<BrowseSource>(position, filter);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return CreateFrom(source, ppEnum);
}
