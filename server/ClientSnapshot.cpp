#include "ClientSnapshot.h"

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
