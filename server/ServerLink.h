#pragma once
// What a group knows of the server that created it. A client may hold a
// group after releasing its server, so the group cannot keep a plain pointer:
// the server detaches the link as its destruction begins, and a group that
// needs its server takes a reference through the link first.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "ClientProcess.h"
#include "CriticalSection.h"
#include "OpcDaInterfaces.h"

class Configuration;
class OPCServer;

class ServerLink {
public:
    ServerLink(OPCServer* server, Configuration& configuration, ClientIdentity client) noexcept
        : m_configuration(configuration), m_server(server), m_client(std::move(client)) {}
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // The server with one more reference for the caller (who releases it), or
    // null when it is gone or going.
    OPCServer* Acquire();
    void Detach();
    // The configuration whose tags the server's groups name; it outlives
    // every server object and group.
    Configuration& GetConfiguration() const noexcept { return m_configuration; }

    // The time a group of the server last finished a scan while active.
    void SetLastUpdate(FILETIME time) noexcept;
    FILETIME LastUpdate() const noexcept;

    // The server's client, for the lines that name it after the server has gone.
    ClientIdentity Client() const;
    void SetClientName(const std::wstring& name);

    // The interface method a client called last on the server or its groups,
    // for the operator's view of who is connected: `method` is a literal.
    void NoteCall(const wchar_t* method) noexcept;
    const wchar_t* LastCall(FILETIME& when) const noexcept;

    // The highest DA version an interface asked of the server's groups shows.
    void NoteDaVersion(DaVersion version) noexcept;
    DaVersion HighestDaVersion() const noexcept { return static_cast<DaVersion>(m_daVersion.load()); }

private:
    Configuration& m_configuration;
    mutable CriticalSection m_lock;  // guards the two below
    OPCServer* m_server;
    ClientIdentity m_client;
    std::atomic<std::uint64_t> m_lastUpdate{0};
    std::atomic<const wchar_t*> m_lastCall{nullptr};
    std::atomic<std::uint64_t> m_lastCallTime{0};
    std::atomic<int> m_daVersion{0};
};
