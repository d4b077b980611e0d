#include "UaStack.h"

#include "UaSubscriptionRun.h"

#include <algorithm>

#include "Console.h"
#include "UaValueText.h"

namespace {
// The longest the loop waits for the network before it looks at the clock and Ctrl+C.
constexpr ULONGLONG kIterateMs = 100;

void OnStatusChange(UA_Client*, UA_UInt32, void* subscription, UA_StatusChangeNotification* notification) {
    auto* health = static_cast<SubscriptionHealth*>(subscription);
    if (notification != nullptr && UA_StatusCode_isBad(notification->status)) health->ended = notification->status;
}

void OnSubscriptionDeleted(UA_Client*, UA_UInt32, void* subscription) {
    auto* health = static_cast<SubscriptionHealth*>(subscription);
    if (health->ended == UA_STATUSCODE_GOOD) health->ended = UA_STATUSCODE_BADNOSUBSCRIPTION;
}
}  // namespace

UA_UInt32 SubscribeOrReport(UA_Client* client, double publishingMs, SubscriptionHealth& health) {
    UA_CreateSubscriptionRequest subscribe = UA_CreateSubscriptionRequest_default();
    subscribe.requestedPublishingInterval = publishingMs;
    UA_CreateSubscriptionResponse subscribed =
        UA_Client_Subscriptions_create(client, subscribe, &health, &OnStatusChange, &OnSubscriptionDeleted);
    const UA_StatusCode status = subscribed.responseHeader.serviceResult;
    const UA_UInt32 id = subscribed.subscriptionId;
    UA_CreateSubscriptionResponse_clear(&subscribed);
    if (status == UA_STATUSCODE_GOOD) return id;
    PrintError("the subscription failed: " + UaResultText(status));
    return 0;
}

UA_StatusCode RunSubscription(const UaConnection& connection, const SubscriptionHealth& health, ULONGLONG deadline,
                              const std::function<bool()>& done, bool* stopped) {
    CatchStop(true);
    UA_StatusCode lost = UA_STATUSCODE_GOOD;
    bool stop = false;
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        stop = WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0;
        if (now >= deadline || stop) break;
        const auto wait = static_cast<UA_UInt32>(std::min<ULONGLONG>(deadline - now, kIterateMs));
        UA_StatusCode status = UA_Client_run_iterate(connection.Client(), wait);
        if (status == UA_STATUSCODE_GOOD) status = connection.Health();
        if (status == UA_STATUSCODE_GOOD) status = health.ended;
        if (status != UA_STATUSCODE_GOOD) {
            lost = status;
            break;
        }
    }
    CatchStop(false);
    if (stopped != nullptr) *stopped = stop;
    return lost;
}
