#pragma once
// What the operator sees of the connected clients: one record per live
// server object, taken without holding any lock across a client call.
#include <windows.h>
#include <string>
#include <vector>

struct ClientSnapshot {
    std::wstring clientName;  // as the client set it (IOPCCommon::SetClientName), else ""
    DWORD groups = 0;
    DWORD items = 0;
    DWORD dataObjectSubscriptions = 0;  // 1.0a IDataObject advise connections
    DWORD callbackSubscriptions = 0;    // 2.0 IOPCDataCallback connections
    FILETIME connectedSince{};
    std::wstring lastCall;  // "Interface::Method" of the client's last call, "" before any
    FILETIME lastCallTime{};
    std::wstring daVersion;  // "1.0a", "2.05a", "3.0": the highest its interfaces show; "" before any
};

// Every live server object, oldest first.
std::vector<ClientSnapshot> SnapshotClients();

// Told on the thread that ends a server object, once it has left the list, of
// its client as it last was, so that a client that came and went between two
// looks at the list is still seen. Null: nobody is told.
using ClientGoneObserver = void (*)(const ClientSnapshot& client) noexcept;
void SetClientGoneObserver(ClientGoneObserver observer) noexcept;
ClientGoneObserver GetClientGoneObserver() noexcept;
