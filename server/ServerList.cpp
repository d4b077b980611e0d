#include "ServerList.h"

#include "OPCServer.h"

ServerList& ServerList::Instance() {
    static ServerList list;
    return list;
}

void ServerList::Add(OPCServer* server, Entry& entry) {
    ScopedLock guard(lock_);
    entry.node = servers_.Append(server);
    entry.listed = true;
}

void ServerList::Remove(Entry& entry) {
    ScopedLock guard(lock_);
    if (entry.listed) {
        servers_.Remove(entry.node);
        entry.listed = false;
    }
}

int ServerList::Count() {
    ScopedLock guard(lock_);
    return servers_.Count();
}

OPCServer* ServerList::TakeOne(bool* anyLeft) {
    ScopedLock guard(lock_);
    for (OPCServer* server : servers_) {
        if (server->TryAddRef()) {
            Remove(server->m_ListEntry);
            *anyLeft = !servers_.IsEmpty();
            return server;
        }
    }
    *anyLeft = !servers_.IsEmpty();
    return nullptr;
}
