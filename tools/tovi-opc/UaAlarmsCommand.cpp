// tovi-opc alarms --ua and refresh --ua: an event subscription on a notifier
// (the Server object unless a folder or NodeId is named), one line per event.
// alarms first asks for the retained conditions and then prints every event
// until Ctrl+C, the time is up or the connection is lost; refresh prints the
// retained conditions and ends.
#include "UaStack.h"

#include <string>

#include "Commands.h"
#include "Console.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaEventRecord.h"
#include "UaSubscriptionRun.h"
#include "UaValueText.h"

namespace {
// A refresh of many conditions takes its time, but not forever.
constexpr ULONGLONG kRefreshWaitMs = 60000;
// Held by the server between two publishes, so that a burst of alarms is not dropped.
constexpr UA_UInt32 kQueueSize = 100000;

struct EventState : SubscriptionHealth {
    WatchFormat format = WatchFormat::Text;
    bool refreshEnded = false;
};

void OnEvent(UA_Client*, UA_UInt32, void* subscription, UA_UInt32, void*, size_t count, UA_Variant* fields) {
    auto* state = static_cast<EventState*>(static_cast<SubscriptionHealth*>(subscription));
    const EventRecord event = RecordOfEvent(fields, count);
    // The refresh's brackets are no alarms: only where it ends matters.
    if (event.refreshEnd) state->refreshEnded = true;
    if (event.refreshStart || event.refreshEnd) return;
    PrintLine(FormatEvent(state->format, event));
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

    const UA_UInt32 subscriptionId = SubscribeOrReport(client, args.rateMs, state);
    if (subscriptionId == 0) return kExitFailed;
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

    ULONGLONG deadline = ~0ULL;
    if (refreshOnly) {
        deadline = GetTickCount64() + kRefreshWaitMs;
    } else if (args.forSeconds > 0) {
        deadline = GetTickCount64() + static_cast<ULONGLONG>(args.forSeconds * 1000.0);
    }
    bool stopped = false;
    const UA_StatusCode lost = RunSubscription(
        connection, state, deadline, [&] { return refreshOnly && state.refreshEnded; }, &stopped);
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
