// tovi-opc watch --ua: a subscription on the items' values, one line per
// data change until Ctrl+C, the time is up, or the connection is lost.
#include "UaStack.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "RecordFormat.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaValueText.h"

namespace {
// The longest the loop waits for the network before it looks at the clock and Ctrl+C.
constexpr ULONGLONG kIterateMs = 100;

struct WatchState {
    WatchFormat format = WatchFormat::Text;
    std::vector<std::string> ids;
    bool itemFailed = false;
    UA_StatusCode ended = UA_STATUSCODE_GOOD;  // why the server ended the subscription
};

void OnDataChange(UA_Client*, UA_UInt32, void* subscription, UA_UInt32, void* item, UA_DataValue* value) {
    auto* state = static_cast<WatchState*>(subscription);
    const auto index = reinterpret_cast<std::uintptr_t>(item);
    if (value == nullptr || index >= state->ids.size()) return;
    if (IsUaError(*value)) {
        state->itemFailed = true;
        PrintError(state->ids[index] + ": " + UaResultText(value->status));
    } else {
        PrintLine(FormatUaRecord(state->format, state->ids[index], *value));
    }
}

void OnStatusChange(UA_Client*, UA_UInt32, void* subscription, UA_StatusChangeNotification* notification) {
    auto* state = static_cast<WatchState*>(subscription);
    if (notification != nullptr && UA_StatusCode_isBad(notification->status)) state->ended = notification->status;
}

void OnSubscriptionDeleted(UA_Client*, UA_UInt32, void* subscription) {
    auto* state = static_cast<WatchState*>(subscription);
    if (state->ended == UA_STATUSCODE_GOOD) state->ended = UA_STATUSCODE_BADNOSUBSCRIPTION;
}
}  // namespace

int RunUaWatch(const Arguments& args) {
    if (args.words.empty()) {
        PrintError("watch needs at least one item ID (see tovi-opc watch --help)");
        return kExitUsage;
    }
    if (!NodeIdsParseOrReport(args.words)) return kExitUsage;
    // Outlives the connection, whose end still calls back.
    WatchState state;
    state.format = args.format;
    for (const std::wstring& word : args.words) state.ids.push_back(ToUtf8(word));
    UaConnection connection;
    UaNodeIds nodes;
    if (!connection.ConnectOrReport(args) || !connection.NodesOrReport(args.words, nodes)) return kExitFailed;
    UA_Client* client = connection.Client();

    UA_CreateSubscriptionRequest subscribe = UA_CreateSubscriptionRequest_default();
    subscribe.requestedPublishingInterval = args.rateMs;
    UA_CreateSubscriptionResponse subscribed =
        UA_Client_Subscriptions_create(client, subscribe, &state, &OnStatusChange, &OnSubscriptionDeleted);
    const UA_StatusCode status = subscribed.responseHeader.serviceResult;
    const UA_UInt32 subscriptionId = subscribed.subscriptionId;
    UA_CreateSubscriptionResponse_clear(&subscribed);
    if (status != UA_STATUSCODE_GOOD) {
        PrintError("the subscription failed: " + UaResultText(status));
        return kExitFailed;
    }
    // Before the items: their first values may arrive with the answer that makes them.
    const std::string header = RecordHeader(args.format);
    if (!header.empty()) PrintLine(header);

    std::vector<UA_MonitoredItemCreateRequest> items;
    std::vector<void*> contexts;
    std::vector<UA_Client_DataChangeNotificationCallback> callbacks;
    std::vector<UA_Client_DeleteMonitoredItemCallback> deleted;
    for (size_t i = 0; i < nodes.size(); ++i) {
        UA_MonitoredItemCreateRequest item = UA_MonitoredItemCreateRequest_default(nodes[i]);
        // Every change the server sees, reported at the publishing interval.
        item.requestedParameters.samplingInterval = 0;
        items.push_back(item);
        contexts.push_back(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
        callbacks.push_back(&OnDataChange);
        deleted.push_back(nullptr);
    }
    UA_CreateMonitoredItemsRequest monitor;
    UA_CreateMonitoredItemsRequest_init(&monitor);
    monitor.subscriptionId = subscriptionId;
    monitor.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
    monitor.itemsToCreate = items.data();
    monitor.itemsToCreateSize = items.size();
    UA_CreateMonitoredItemsResponse monitored =
        UA_Client_MonitoredItems_createDataChanges(client, monitor, contexts.data(), callbacks.data(), deleted.data());
    bool allAdded = monitored.responseHeader.serviceResult == UA_STATUSCODE_GOOD;
    bool anyAdded = false;
    if (!allAdded) {
        PrintError("the items cannot be watched: " + UaResultText(monitored.responseHeader.serviceResult));
    } else {
        for (size_t i = 0; i < state.ids.size(); ++i) {
            const UA_StatusCode result =
                i < monitored.resultsSize ? monitored.results[i].statusCode : UA_STATUSCODE_BADUNEXPECTEDERROR;
            if (UA_StatusCode_isBad(result)) {
                PrintError(state.ids[i] + ": " + UaResultText(result));
                allAdded = false;
            } else {
                anyAdded = true;
            }
        }
    }
    UA_CreateMonitoredItemsResponse_clear(&monitored);
    if (!anyAdded) return kExitFailed;

    CatchStop(true);
    const ULONGLONG deadline =
        args.forSeconds > 0 ? GetTickCount64() + static_cast<ULONGLONG>(args.forSeconds * 1000.0) : ~0ULL;
    UA_StatusCode lost = UA_STATUSCODE_GOOD;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0) break;
        const auto wait = static_cast<UA_UInt32>(std::min<ULONGLONG>(deadline - now, kIterateMs));
        UA_StatusCode health = UA_Client_run_iterate(client, wait);
        if (health == UA_STATUSCODE_GOOD) health = connection.Health();
        if (health == UA_STATUSCODE_GOOD) health = state.ended;
        if (health != UA_STATUSCODE_GOOD) {
            lost = health;
            break;
        }
    }
    CatchStop(false);
    if (lost != UA_STATUSCODE_GOOD) {
        PrintError("connection lost: " + UaResultText(lost));
        return kExitFailed;
    }
    return allAdded && !state.itemFailed ? kExitOk : kExitFailed;
}
