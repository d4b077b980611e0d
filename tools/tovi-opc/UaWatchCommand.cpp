// tovi-opc watch --ua: a subscription on the items' values, one line per
// data change until Ctrl+C, the time is up, or the connection is lost.
#include "UaStack.h"

#include <cstdint>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "RecordFormat.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaSubscriptionRun.h"
#include "UaValueText.h"

namespace {
struct WatchState : SubscriptionHealth {
    WatchFormat format = WatchFormat::Text;
    std::vector<std::string> ids;
    bool itemFailed = false;
};

void OnDataChange(UA_Client*, UA_UInt32, void* subscription, UA_UInt32, void* item, UA_DataValue* value) {
    auto* state = static_cast<WatchState*>(static_cast<SubscriptionHealth*>(subscription));
    const auto index = reinterpret_cast<std::uintptr_t>(item);
    if (value == nullptr || index >= state->ids.size()) return;
    if (IsUaError(*value)) {
        state->itemFailed = true;
        PrintError(state->ids[index] + ": " + UaResultText(value->status));
    } else {
        PrintLine(FormatUaRecord(state->format, state->ids[index], *value));
    }
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

    const UA_UInt32 subscriptionId = SubscribeOrReport(client, args.rateMs, state);
    if (subscriptionId == 0) return kExitFailed;
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

    const ULONGLONG deadline =
        args.forSeconds > 0 ? GetTickCount64() + static_cast<ULONGLONG>(args.forSeconds * 1000.0) : ~0ULL;
    const UA_StatusCode lost = RunSubscription(connection, state, deadline, [] { return false; });
    if (lost != UA_STATUSCODE_GOOD) {
        PrintError("connection lost: " + UaResultText(lost));
        return kExitFailed;
    }
    return allAdded && !state.itemFailed ? kExitOk : kExitFailed;
}
