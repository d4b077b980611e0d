// tovi-opc alarms --ua and refresh --ua: an event subscription on a notifier
// (the Server object unless a folder or NodeId is named), one line per event.
// alarms first asks for the retained conditions and then prints every event
// until Ctrl+C, the time is up or the connection is lost; refresh prints the
// retained conditions and ends.
#include "UaStack.h"

#include <algorithm>
#include <string>

#include "Commands.h"
#include "Console.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaEventRecord.h"
#include "UaValueText.h"

namespace {
constexpr ULONGLONG kIterateMs = 100;
// A refresh of many conditions takes its time, but not forever.
constexpr ULONGLONG kRefreshWaitMs = 60000;
// Held by the server between two publishes, so that a burst of alarms is not dropped.
constexpr UA_UInt32 kQueueSize = 100000;

struct EventState {
    WatchFormat format = WatchFormat::Text;
    bool refreshEnded = false;
    UA_StatusCode ended = UA_STATUSCODE_GOOD;
};

void OnEvent(UA_Client*, UA_UInt32, void* subscription, UA_UInt32, void*, size_t count, UA_Variant* fields) {
    auto* state = static_cast<EventState*>(subscription);
    const EventRecord event = RecordOfEvent(fields, count);
    // The refresh's brackets are no alarms: only where it ends matters.
    if (event.refreshEnd) state->refreshEnded = true;
    if (event.refreshStart || event.refreshEnd) return;
    PrintLine(FormatEvent(state->format, event));
}

void OnStatusChange(UA_Client*, UA_UInt32, void* subscription, UA_StatusChangeNotification* notification) {
    auto* state = static_cast<EventState*>(subscription);
    if (notification != nullptr && UA_StatusCode_isBad(notification->status)) state->ended = notification->status;
}

void OnSubscriptionDeleted(UA_Client*, UA_UInt32, void* subscription) {
    auto* state = static_cast<EventState*>(subscription);
    if (state->ended == UA_STATUSCODE_GOOD) state->ended = UA_STATUSCODE_BADNOSUBSCRIPTION;
}

UA_StatusCode Refresh(UA_Client* client, UA_UInt32 subscriptionId) {
    UA_Variant argument;
    UA_Variant_setScalar(&argument, &subscriptionId, &UA_TYPES[UA_TYPES_UINT32]);
    size_t outputSize = 0;
    UA_Variant* output = nullptr;
    const UA_StatusCode status = UA_Client_call(client, UA_NODEID_NUMERIC(0, UA_NS0ID_CONDITIONTYPE),
                                                UA_NODEID_NUMERIC(0, UA_NS0ID_CONDITIONTYPE_CONDITIONREFRESH), 1,
                                                &argument, &outputSize, &output);
    UA_Array_delete(output, outputSize, &UA_TYPES[UA_TYPES_VARIANT]);
    return status;
}
}  // namespace

int RunUaAlarms(const Arguments& args) {
    const bool refreshOnly = args.command == L"refresh";
    if (args.words.size() > 1) {
        PrintError(ToUtf8(args.command) + " takes at most one NODE (see tovi-opc " + ToUtf8(args.command) + " --help)");
        return kExitUsage;
    }
    if (!NodeIdsParseOrReport(args.words)) return kExitUsage;
    // Outlives the connection, whose end still calls back.
    EventState state;
    state.format = args.format;
    UaConnection connection;
    UaNodeIds nodes;
    if (!connection.ConnectOrReport(args)) return kExitFailed;
    if (args.words.empty()) {
        nodes.Adopt(UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER));
    } else if (!connection.NodesOrReport(args.words, nodes)) {
        return kExitFailed;
    }
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
    const std::string header = EventHeader(args.format);
    if (!header.empty()) PrintLine(header);

    UA_EventFilter filter = AlarmEventFilter();
    UA_MonitoredItemCreateRequest item = UA_MonitoredItemCreateRequest_default(nodes[0]);
    item.itemToMonitor.attributeId = UA_ATTRIBUTEID_EVENTNOTIFIER;
    item.requestedParameters.queueSize = kQueueSize;
    item.requestedParameters.discardOldest = true;
    item.requestedParameters.filter.encoding = UA_EXTENSIONOBJECT_DECODED;
    item.requestedParameters.filter.content.decoded.type = &UA_TYPES[UA_TYPES_EVENTFILTER];
    item.requestedParameters.filter.content.decoded.data = &filter;
    UA_MonitoredItemCreateResult created = UA_Client_MonitoredItems_createEvent(
        client, subscriptionId, UA_TIMESTAMPSTORETURN_BOTH, item, nullptr, &OnEvent, nullptr);
    const UA_StatusCode itemStatus = created.statusCode;
    UA_MonitoredItemCreateResult_clear(&created);
    const std::string node = args.words.empty() ? std::string("the Server object") : ToUtf8(args.words[0]);
    if (itemStatus != UA_STATUSCODE_GOOD) {
        PrintError("the events of " + node + " cannot be watched: " + UaResultText(itemStatus));
        return kExitFailed;
    }
    const UA_StatusCode refreshed = Refresh(client, subscriptionId);
    if (refreshed != UA_STATUSCODE_GOOD) {
        PrintError("the retained conditions cannot be asked for (ConditionRefresh): " + UaResultText(refreshed));
        if (refreshOnly) return kExitFailed;
    }

    CatchStop(true);
    ULONGLONG deadline = ~0ULL;
    if (refreshOnly) {
        deadline = GetTickCount64() + kRefreshWaitMs;
    } else if (args.forSeconds > 0) {
        deadline = GetTickCount64() + static_cast<ULONGLONG>(args.forSeconds * 1000.0);
    }
    UA_StatusCode lost = UA_STATUSCODE_GOOD;
    bool stopped = false;
    while (!(refreshOnly && state.refreshEnded)) {
        const ULONGLONG now = GetTickCount64();
        stopped = WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0;
        if (now >= deadline || stopped) break;
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
    if (refreshOnly && !state.refreshEnded && !stopped) {
        PrintError("the server did not end the refresh within " + std::to_string(kRefreshWaitMs / 1000) + " s");
        return kExitFailed;
    }
    return refreshed == UA_STATUSCODE_GOOD ? kExitOk : kExitFailed;
}
