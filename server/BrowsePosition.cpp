#include "BrowsePosition.h"

#include <mutex>
#include <unordered_set>

#include "Document.h"

namespace {
// Every position of the process. The lock also guards each position's fields;
// it is taken after the configuration lock and before any group's lock.
struct Registry {
    CriticalSection lock;
    std::unordered_set<BrowsePosition*> positions;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

void InstallDeletionObserver() {
    static std::once_flag installed;
    std::call_once(installed, [] { SetGroupDeletingObserver(&BrowsePosition::OnGroupDeleting); });
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

BrowsePosition::BrowsePosition(OnDelete rule) : rule_(rule) {
    InstallDeletionObserver();
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    registry.positions.insert(this);
}

BrowsePosition::BrowsePosition(OnDelete rule, const BrowsePosition& other) : rule_(rule) {
    InstallDeletionObserver();
    // Copied under the configuration lock: otherwise `other` could designate a
    // group that is deleted before this copy is registered.
    ScopedLock configuration(ConfigurationLock());
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    group_ = other.group_;
    lost_ = other.lost_;
    registry.positions.insert(this);
}

BrowsePosition::~BrowsePosition() {
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    registry.positions.erase(this);
}

OPCS_TagGroup* BrowsePosition::Group() const {
    ScopedLock guard(TheRegistry().lock);
    return group_;
}

bool BrowsePosition::IsLost() const {
    ScopedLock guard(TheRegistry().lock);
    return lost_;
}

void BrowsePosition::MoveTo(OPCS_TagGroup* group) {
    ScopedLock configuration(ConfigurationLock());
    ScopedLock guard(TheRegistry().lock);
    group_ = group;
    lost_ = false;
}

void BrowsePosition::OnGroupDeleting(OPCS_TagGroup* object) {
    if (object == nullptr) return;
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    for (BrowsePosition* position : registry.positions) {
        if (position->group_ != nullptr && IsAtOrBelow(position->group_, object)) {
            position->group_ = nullptr;
            position->lost_ = position->rule_ == OnDelete::Lose;
        }
    }
}
