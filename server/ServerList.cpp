#include "ServerList.h"

#include "OPCServer.h"

ServerList& ServerList::Instance() {
    static ServerList list;
    return list;
}

void ServerList::Add(OPCServer* server, Entry& entry) noexcept {
    ScopedLock guard(lock_);
    entry.server = server;
    entry.previous = last_;
    entry.next = nullptr;
    if (last_ != nullptr) {
        last_->next = &entry;
    } else {
        first_ = &entry;
    }
    last_ = &entry;
    entry.listed = true;
    ++count_;
}

void ServerList::Remove(Entry& entry) noexcept {
    ScopedLock guard(lock_);
    Unlink(entry);
}

void ServerList::Unlink(Entry& entry) noexcept {
    if (!entry.listed) return;
    (entry.previous != nullptr ? entry.previous->next : first_) = entry.next;
    (entry.next != nullptr ? entry.next->previous : last_) = entry.previous;
    entry.previous = entry.next = nullptr;
    entry.listed = false;
    --count_;
}

int ServerList::Count() {
    ScopedLock guard(lock_);
    return count_;
}

OPCServer* ServerList::TakeOne(bool* anyLeft) {
    ScopedLock guard(lock_);
    for (Entry* entry = first_; entry != nullptr; entry = entry->next) {
        if (entry->server->TryAddRef()) {
            Unlink(*entry);
            *anyLeft = count_ != 0;
            return entry->server;
        }
    }
    *anyLeft = count_ != 0;
    return nullptr;
}
