#pragma once
// What the watching commands share: a subscription that ends the command
// when the server ends it, and the loop that works the client meanwhile.
#include "UaStack.h"

#include <functional>

#include "UaConnection.h"

// The subscription's context; a command's own state derives from it.
struct SubscriptionHealth {
    UA_StatusCode ended = UA_STATUSCODE_GOOD;  // why the server ended the subscription
};

// A subscription publishing every `publishingMs`, its callbacks given
// `health`; its id, or 0 after telling the user why not.
UA_UInt32 SubscribeOrReport(UA_Client* client, double publishingMs, SubscriptionHealth& health);

// Works the client until `deadline` (GetTickCount64's clock), Ctrl+C or
// `done`; Good, or what lost the connection. `stopped` tells whether Ctrl+C
// ended it.
UA_StatusCode RunSubscription(const UaConnection& connection, const SubscriptionHealth& health, ULONGLONG deadline,
                              const std::function<bool()>& done, bool* stopped = nullptr);
