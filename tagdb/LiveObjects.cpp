#include "LiveObjects.h"

namespace {
class SharedGuard {
public:
    explicit SharedGuard(SRWLOCK& l) : l_(l) { AcquireSRWLockShared(&l_); }
    ~SharedGuard() { ReleaseSRWLockShared(&l_); }
private:
    SRWLOCK& l_;
};
class ExclusiveGuard {
public:
    explicit ExclusiveGuard(SRWLOCK& l) : l_(l) { AcquireSRWLockExclusive(&l_); }
    ~ExclusiveGuard() { ReleaseSRWLockExclusive(&l_); }
private:
    SRWLOCK& l_;
};
}  // namespace

void LiveObjectSet::Add(const void* object) {
    ExclusiveGuard g(lock_);
    objects_.insert(object);
}

void LiveObjectSet::Remove(const void* object) {
    ExclusiveGuard g(lock_);
    objects_.erase(object);
}

bool LiveObjectSet::Contains(const void* object) const {
    if (object == nullptr) {
        return false;
    }
    SharedGuard g(lock_);
    return objects_.count(object) != 0;
}

// Function-local statics: usable from any constructor, even of static objects.
LiveObjectSet& LiveTags() {
    static LiveObjectSet set;
    return set;
}

LiveObjectSet& LiveGroups() {
    static LiveObjectSet set;
    return set;
}
