#pragma once
// Server handles of groups and items: nonzero 32-bit numbers that clients
// pass back, mapped to the live objects they name. Addresses do not fit in an
// OPCHANDLE on 64-bit, and a handle from a client is only trusted once found
// here. Every handle comes from one process-wide counter and is never issued
// twice while the process lives, so a stale handle can never name a new object.
#include <windows.h>
#include <unordered_map>

#include "OpcDa.h"

// The next unused handle, or 0 once all 2^32-1 have been issued.
OPCHANDLE IssueServerHandle() noexcept;

template <class T>
class HandleTable {
public:
    HandleTable() = default;
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Enters an object under a new handle; 0 when no handle can be issued or
    // the table cannot grow.
    OPCHANDLE Add(T* object) noexcept {
        if (object == nullptr) return 0;
        const OPCHANDLE handle = IssueServerHandle();
        if (handle == 0) return 0;
        Exclusive guard(lock_);
        try {
            return objects_.emplace(handle, object).second ? handle : 0;
        } catch (...) {
            return 0;
        }
    }

    // Withdraws a handle; gives the object it named, or null.
    T* Remove(OPCHANDLE handle) noexcept {
        Exclusive guard(lock_);
        auto found = objects_.find(handle);
        if (found == objects_.end()) return nullptr;
        T* object = found->second;
        objects_.erase(found);
        return object;
    }

    // The object a handle names, or null. The caller must know by other means
    // that the object outlives its use (or use Visit).
    T* Find(OPCHANDLE handle) const noexcept {
        Shared guard(lock_);
        auto found = objects_.find(handle);
        return found == objects_.end() ? nullptr : found->second;
    }

    // Calls visit(object) while the handle cannot be withdrawn, so that the
    // visitor can, say, take a reference before the object may go. The visitor
    // must be short and must not take a lock that is held around Add or Remove.
    template <class Visitor>
    bool Visit(OPCHANDLE handle, Visitor&& visit) const {
        Shared guard(lock_);
        auto found = objects_.find(handle);
        if (found == objects_.end()) return false;
        visit(found->second);
        return true;
    }

    size_t Count() const noexcept {
        Shared guard(lock_);
        return objects_.size();
    }

private:
    struct Exclusive {
        explicit Exclusive(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
        ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
        SRWLOCK& lock_;
    };
    struct Shared {
        explicit Shared(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockShared(&lock_); }
        ~Shared() { ReleaseSRWLockShared(&lock_); }
        SRWLOCK& lock_;
    };

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::unordered_map<OPCHANDLE, T*> objects_;
};
