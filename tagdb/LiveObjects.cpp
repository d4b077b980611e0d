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

size_t Hash(std::uintptr_t key) noexcept {
    std::uint64_t x = key;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x);
}
}  // namespace

// Index of the key's slot, or of the first free slot on its probe path.
size_t LiveObjectSet::Probe(std::uintptr_t key) const noexcept {
    const size_t mask = slots_.size() - 1;
    size_t i = Hash(key) & mask;
    size_t firstRemoved = SIZE_MAX;
    for (;;) {
        const std::uintptr_t slot = slots_[i];
        if (slot == key) return i;
        if (slot == kEmpty) return firstRemoved != SIZE_MAX ? firstRemoved : i;
        if (slot == kRemoved && firstRemoved == SIZE_MAX) firstRemoved = i;
        i = (i + 1) & mask;
    }
}

void LiveObjectSet::Grow() {
    std::vector<std::uintptr_t> old;
    old.swap(slots_);
    size_t size = 64;
    while (size < (used_ + 1) * 4) size *= 2;  // keep the load below a half
    slots_.assign(size, kEmpty);
    filled_ = 0;
    for (std::uintptr_t key : old) {
        if (key != kEmpty && key != kRemoved) {
            slots_[Probe(key)] = key;
            ++filled_;
        }
    }
}

void LiveObjectSet::Add(const void* object) {
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    if (key <= kRemoved) return;
    ExclusiveGuard g(lock_);
    if (slots_.empty() || (filled_ + 1) * 2 > slots_.size()) Grow();
    const size_t i = Probe(key);
    if (slots_[i] == key) return;
    if (slots_[i] == kEmpty) ++filled_;
    slots_[i] = key;
    ++used_;
}

void LiveObjectSet::Remove(const void* object) {
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    if (key <= kRemoved) return;
    ExclusiveGuard g(lock_);
    if (slots_.empty()) return;
    const size_t i = Probe(key);
    if (slots_[i] == key) {
        slots_[i] = kRemoved;
        --used_;
    }
}

bool LiveObjectSet::Contains(const void* object) const {
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    if (key <= kRemoved) return false;
    SharedGuard g(lock_);
    return !slots_.empty() && slots_[Probe(key)] == key;
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
