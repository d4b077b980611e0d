#include "ServerLink.h"

#include "FileTime.h"
#include "OPCServer.h"

OPCServer* ServerLink::Acquire() {
    ScopedLock guard(m_lock);
    return m_server != nullptr && m_server->TryAddRef() ? m_server : nullptr;
}

void ServerLink::Detach() {
    ScopedLock guard(m_lock);
    m_server = nullptr;
}

ClientIdentity ServerLink::Client() const {
    ScopedLock guard(m_lock);
    return m_client;
}

void ServerLink::SetClientName(const std::wstring& name) {
    ScopedLock guard(m_lock);
    m_client.name = name;
}

void ServerLink::SetLastUpdate(FILETIME time) noexcept { m_lastUpdate.store(FileTimeToU64(time)); }

FILETIME ServerLink::LastUpdate() const noexcept { return U64ToFileTime(m_lastUpdate.load()); }

void ServerLink::NoteCall(const wchar_t* method) noexcept {
    m_lastCallTime.store(FileTimeToU64(FileTimeNow()));
    m_lastCall.store(method);
}

const wchar_t* ServerLink::LastCall(FILETIME& when) const noexcept {
    when = U64ToFileTime(m_lastCallTime.load());
    return m_lastCall.load();
}

void ServerLink::NoteDaVersion(DaVersion version) noexcept {
    const int wanted = static_cast<int>(version);
    int seen = m_daVersion.load();
    while (seen < wanted && !m_daVersion.compare_exchange_weak(seen, wanted)) {}
}
