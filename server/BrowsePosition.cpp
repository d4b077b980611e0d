#include "BrowsePosition.h"


#include "Configuration.h"

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
    : rule_(rule), configuration_(configuration) {
    configuration_.SetGroupDeletingObserver(&BrowsePosition::OnGroupDeleting);
    ScopedLock guard(TheRegistry().lock);
    Register();
}

BrowsePosition::BrowsePosition(OnDelete rule, const BrowsePosition& other) noexcept
    : rule_(rule), configuration_(other.configuration_) {
    // Copied under the configuration lock: otherwise `other` could designate a
    // group that is deleted before this copy is registered.
    ScopedLock configuration(configuration_.Lock());
    ScopedLock guard(TheRegistry().lock);
    group_ = other.group_;
    lost_ = other.lost_;
    Register();
}

void BrowsePosition::Register() noexcept {
    Registry& registry = TheRegistry();
    next_ = registry.first;
    if (next_ != nullptr) next_->previous_ = this;
    registry.first = this;
}

BrowsePosition::~BrowsePosition() {
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    if (previous_ != nullptr) {
        previous_->next_ = next_;
    } else {
        registry.first = next_;
    }
    if (next_ != nullptr) next_->previous_ = previous_;
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
    ScopedLock configuration(configuration_.Lock());
    ScopedLock guard(TheRegistry().lock);
    group_ = group;
    lost_ = false;
}

void BrowsePosition::OnGroupDeleting(OPCS_TagGroup* object) {
    if (object == nullptr) return;
    Registry& registry = TheRegistry();
    ScopedLock guard(registry.lock);
    for (BrowsePosition* position = registry.first; position != nullptr; position = position->next_) {
        if (position->group_ != nullptr && IsAtOrBelow(position->group_, object)) {
            position->group_ = nullptr;
            position->lost_ = position->rule_ == OnDelete::Lose;
        }
    }
}
