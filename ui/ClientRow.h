#pragma once
// One connected client as the Clients window shows it. The window knows
// nothing of the server: the application hands it a provider of these rows.
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

struct ClientRow {
    std::wstring clientName;  // "" when the client gave none
    DWORD groups = 0;
    DWORD items = 0;
    DWORD streamSubscriptions = 0;    // 1.0a IDataObject advise connections
    DWORD callbackSubscriptions = 0;  // 2.0 IOPCDataCallback connections
    FILETIME connectedSince{};        // UTC
    std::wstring lastCall;            // "Interface::Method", "" before the first call
    FILETIME lastCallTime{};          // UTC
    // Empty for a DA client. An OPC UA session names its security and user
    // here; its subscriptions count as groups, its monitored items as items.
    std::wstring protocol;
    // A DA client's version, by the interfaces it asked for: "1.0a", "2.05a",
    // "3.0"; "" when not known.
    std::wstring daVersion;
};

// Called on the user-interface thread each time the window refreshes.
using ClientRowsProvider = std::function<std::vector<ClientRow>()>;
