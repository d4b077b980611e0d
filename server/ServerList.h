#pragma once
// Every live OPCServer of the process. A server enters the list in its
// constructor and leaves it as its destruction begins; at exit the list is
// emptied by destroying what is left. The list has its own lock, so servers
// may come and go on any thread, and it is linked through the servers' own
// entries, so that entering it never allocates and construction cannot fail.
#include "CriticalSection.h"

class OPCServer;

class ServerList {
public:
    // A server's place in the list.
    struct Entry {
        OPCServer* server = nullptr;
        Entry* previous = nullptr;
        Entry* next = nullptr;
        bool listed = false;
    };

    static ServerList& Instance();

    void Add(OPCServer* server, Entry& entry) noexcept;
    // Nothing when the entry has already left the list.
    void Remove(Entry& entry) noexcept;
    int Count();
    // Takes a live server out of the list with one extra reference for the
    // caller, skipping servers whose last reference is already gone (they
    // leave by themselves). Null when no such server is listed; *anyLeft
    // tells whether dying servers remain.
    OPCServer* TakeOne(bool* anyLeft);
    // Calls `visit(server)` for every listed server, oldest first, under the
    // list's lock: a listed server is alive, since its destruction waits for
    // the lock to leave the list. `visit` must not make or end a server.
    template <class Visit>
    void ForEach(Visit&& visit);

private:
    ServerList() = default;
    void Unlink(Entry& entry) noexcept;

    CriticalSection m_lock;
    Entry* m_first = nullptr;
    Entry* m_last = nullptr;
    int m_count = 0;
};

template <class Visit>
void ServerList::ForEach(Visit&& visit) {
    ScopedLock guard(m_lock);
    for (Entry* entry = m_first; entry != nullptr; entry = entry->next) visit(*entry->server);
}
