#pragma once
// What a group knows of the server that created it. A client may hold a
// group after releasing its server, so the group cannot keep a plain pointer:
// the server detaches the link as its destruction begins, and a group that
// needs its server takes a reference through the link first.
#include <windows.h>
#include <atomic>
#include <cstdint>

#include "CriticalSection.h"

class OPCServer;

class ServerLink {
public:
    explicit ServerLink(OPCServer* server) noexcept : server_(server) {}
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // The server with one more reference for the caller (who releases it), or
    // null when it is gone or going.
    OPCServer* Acquire();
    void Detach();

    // The time a group of the server last finished a scan while active.
    void SetLastUpdate(FILETIME time) noexcept;
    FILETIME LastUpdate() const noexcept;

private:
    CriticalSection lock_;
    OPCServer* server_;
    std::atomic<std::uint64_t> lastUpdate_{0};
};
