#include "ClientSnapshot.h"

#include <atomic>
#include <new>

#include "OPCServer.h"
#include "ServerList.h"

std::vector<ClientSnapshot> SnapshotClients() {
    std::vector<ClientSnapshot> clients;
    try {
        ServerList::Instance().ForEach([&clients](OPCServer& server) { clients.push_back(server.Describe()); });
    } catch (const std::bad_alloc&) {
        // Those taken so far.
    }
    return clients;
}

namespace {
std::atomic<ClientGoneObserver> theClientGoneObserver{nullptr};
}  // namespace

void SetClientGoneObserver(ClientGoneObserver observer) noexcept { theClientGoneObserver.store(observer); }

ClientGoneObserver GetClientGoneObserver() noexcept { return theClientGoneObserver.load(); }
