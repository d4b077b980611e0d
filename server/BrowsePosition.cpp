#include "BrowsePosition.h"

#include <algorithm>

#include "Configuration.h"
#include "OPCS_Device.h"

namespace {
// Every position of the process, linked through the positions themselves so
// that registering never allocates. The lock also guards each position's
// fields; it is taken after the configuration lock and before any group's.
struct Registry {
    CriticalSection lock;
    BrowsePosition* first = nullptr;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// True when `group` is `object` or lies below it. Caller holds the
// configuration lock, which keeps the chain of parents alive.
bool IsAtOrBelow(OPCS_TagGroup* group, OPCS_TagGroup* object) {
    for (OPCS_TagGroup* g = group; g != nullptr; g = g->GetParent()) {
        if (g == object) return true;
        if (!OPCS_TagGroup::IsValidGroup(g)) return false;
    }
    return false;
}
}  // namespace

BrowsePosition::BrowsePosition(OnDelete rule, Configuration& configuration) noexcept
    : m_rule(rule), m_configuration(configuration) {
    m_configuration.SetGroupDeletingObserver(&BrowsePosition::OnGroupDeleting);
    ScopedLock guard(TheRegistry().lock);
    Register();
}

BrowsePosition::BrowsePosition(OnDelete rule, const BrowsePosition& other) noexcept
    : m_rule(rule), m_configuration(other.m_configuration) {
    // Copied under the configuration lock: otherwise `other` could designate a
    // group that is deleted before this copy is registered.
    ScopedLock configuration(m_configuration.Lock());
    ScopedLock guard(TheRegistry().lock);
    m_group = other.m_group;
    m_lost = other.m_lost;
    Register();
}

void BrowsePosition::Register() noexcept {
    Registry& registry = TheRegistry();
    m_next = registry.first;
    if (m_next != nullptr) m_next->m_previous = this;
    registry.first = this;
}

BrowsePosition::~BrowsePosition() {
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    if (m_previous != nullptr) {
        m_previous->m_next = m_next;
    } else {
        registry.first = m_next;
    }
    if (m_next != nullptr) m_next->m_previous = m_previous;
}

OPCS_TagGroup* BrowsePosition::Group() const {
    ScopedLock guard(TheRegistry().lock);
    return m_group;
}

bool BrowsePosition::IsLost() const {
    ScopedLock guard(TheRegistry().lock);
    return m_lost;
}

void BrowsePosition::MoveTo(OPCS_TagGroup* group) {
    ScopedLock configuration(m_configuration.Lock());
    ScopedLock guard(TheRegistry().lock);
    m_group = group;
    m_lost = false;
}

void BrowsePosition::OnGroupDeleting(OPCS_TagGroup* object) {
    if (object == nullptr) return;
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    for (BrowsePosition* position = registry.first; position != nullptr; position = position->m_next) {
        if (position->m_group != nullptr && IsAtOrBelow(position->m_group, object)) {
            position->m_group = nullptr;
            position->m_lost = position->m_rule == OnDelete::Lose;
        }
    }
}

std::vector<OPCS_TagGroup*> BranchesBelow(Configuration& configuration, OPCS_TagGroup* group) {
    std::vector<OPCS_TagGroup*> branches = group->SnapshotGroups();
    if (group->IsDevice()) {
        if (OPCS_TagGroup* control = configuration.ControlBranchOf(static_cast<OPCS_Device*>(group))) {
            branches.push_back(control);
        }
    }
    return branches;
}

std::vector<OPCS_TagGroup*> BranchesAtRoot(Configuration& configuration) {
    Dll<OPCS_Device*> devices;
    configuration.CopyDeviceList(devices);
    std::vector<OPCS_TagGroup*> branches;
    for (OPCS_Device* device : devices) branches.push_back(device);
    // After the devices: a device that bears the control branch's name wins, as in item IDs.
    if (OPCS_TagGroup* control = configuration.RootControlBranch()) branches.push_back(control);
    return branches;
}

OPCS_TagGroup* BranchNamed(Configuration& configuration, std::wstring_view itemId) {
    OPCS_TagGroup* branch = nullptr;
    for (size_t start = 0;;) {
        const size_t end = itemId.find(kItemIdSeparator, start);
        const std::wstring_view name = itemId.substr(start, end == std::wstring_view::npos ? end : end - start);
        const std::vector<OPCS_TagGroup*> candidates =
            branch == nullptr ? BranchesAtRoot(configuration) : BranchesBelow(configuration, branch);
        const auto found = std::find_if(candidates.begin(), candidates.end(), [name](OPCS_TagGroup* candidate) {
            return OPCS_TagGroup::IsValidGroup(candidate) && EqualsNoCase(candidate->GetName(), name);
        });
        if (found == candidates.end()) return nullptr;
        branch = *found;
        if (end == std::wstring_view::npos) return branch;
        start = end + 1;
    }
}

OPCS_TagGroup* PositionAbove(Configuration& configuration, OPCS_TagGroup* group) {
    if (OPCS_Device* device = configuration.DeviceOfControlBranch(group)) return device;
    OPCS_TagGroup* parent = group->GetParent();
    return OPCS_TagGroup::IsValidGroup(parent) ? parent : nullptr;
}
