#pragma once
// The editor's Clients window takes its rows from here: the server's
// snapshot of its connected clients, in the window's own terms.
#include <vector>

#include "ClientRow.h"
#include "ClientSnapshot.h"

inline std::vector<ClientRow> ClientRowsOfServer() {
    std::vector<ClientRow> rows;
    for (const ClientSnapshot& client : SnapshotClients()) {
        rows.push_back({client.clientName, client.groups, client.items, client.dataObjectSubscriptions,
                        client.callbackSubscriptions, client.connectedSince, client.lastCall, client.lastCallTime, L"",
                        client.daVersion});
    }
    return rows;
}
