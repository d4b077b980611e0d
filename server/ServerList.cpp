#include "ServerList.h"

#include "OPCServer.h"

ServerList& ServerList::Instance() {
    static ServerList list;
    return list;
}

void ServerList::Add(OPCServer* server, Entry& entry) noexcept {
    ScopedLock guard(m_lock);
    entry.server = server;
    entry.previous = m_last;
    entry.next = nullptr;
    if (m_last != nullptr) {
        m_last->next = &entry;
    } else {
        m_first = &entry;
    }
    m_last = &entry;
    entry.listed = true;
    ++m_count;
}

void ServerList::Remove(Entry& entry) noexcept {
    ScopedLock guard(m_lock);
    Unlink(entry);
}

void ServerList::Unlink(Entry& entry) noexcept {
    if (!entry.listed) return;
    (entry.previous != nullptr ? entry.previous->next : m_first) = entry.next;
    (entry.next != nullptr ? entry.next->previous : m_last) = entry.previous;
    entry.previous = entry.next = nullptr;
    entry.listed = false;
    --m_count;
}

int ServerList::Count() {
    ScopedLock guard(m_lock);
    return m_count;
}

OPCServer* ServerList::TakeOne(bool* anyLeft) {
    ScopedLock guard(m_lock);
    for (Entry* entry = m_first; entry != nullptr; entry = entry->next) {
        if (entry->server->TryAddRef()) {
            Unlink(*entry);
            *anyLeft = m_count != 0;
            return entry->server;
        }
    }
    *anyLeft = m_count != 0;
    return nullptr;
}
