// Winsock before any header that brings windows.h.
#include "UaHeaders.h"

#include "EventWatch.h"

#include <stdexcept>

#include "BenchProcess.h"

namespace {
// The select clauses, in the order of SeenEvent's fields.
const char* const kFields[][2] = {
    {"EventType", nullptr}, {"SourceName", nullptr}, {"Time", nullptr}, {"ActiveState", "Id"}};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

std::runtime_error Failure(const std::string& what, UA_StatusCode status) {
    return std::runtime_error(what + ": " + UA_StatusCode_name(status));
}
}  // namespace

EventWatch::~EventWatch() { Stop(); }

void EventWatch::Start(UA_Client* client, double publishingMs, UA_UInt32 queueSize) {
    m_client = client;
    UA_CreateSubscriptionRequest request = UA_CreateSubscriptionRequest_default();
    request.requestedPublishingInterval = publishingMs;
    request.requestedMaxKeepAliveCount = 20;
    request.requestedLifetimeCount = 6000;
    request.maxNotificationsPerPublish = 0;
    UA_CreateSubscriptionResponse response = UA_Client_Subscriptions_create(client, request, this, nullptr, nullptr);
    const UA_StatusCode status = response.responseHeader.serviceResult;
    m_subscription = response.subscriptionId;
    UA_CreateSubscriptionResponse_clear(&response);
    if (status != UA_STATUSCODE_GOOD) throw Failure("CreateSubscription", status);

    UA_SimpleAttributeOperand select[kFieldCount];
    UA_QualifiedName paths[kFieldCount][2];
    for (size_t i = 0; i < kFieldCount; ++i) {
        UA_SimpleAttributeOperand_init(&select[i]);
        select[i].typeDefinitionId = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEEVENTTYPE);
        select[i].attributeId = UA_ATTRIBUTEID_VALUE;
        paths[i][0] = UA_QUALIFIEDNAME(0, const_cast<char*>(kFields[i][0]));
        select[i].browsePathSize = 1;
        if (kFields[i][1] != nullptr) {
            paths[i][1] = UA_QUALIFIEDNAME(0, const_cast<char*>(kFields[i][1]));
            select[i].browsePathSize = 2;
        }
        select[i].browsePath = paths[i];
    }
    UA_EventFilter filter;
    UA_EventFilter_init(&filter);
    filter.selectClauses = select;
    filter.selectClausesSize = kFieldCount;

    UA_MonitoredItemCreateRequest item;
    UA_MonitoredItemCreateRequest_init(&item);
    item.itemToMonitor.nodeId = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER);
    item.itemToMonitor.attributeId = UA_ATTRIBUTEID_EVENTNOTIFIER;
    item.monitoringMode = UA_MONITORINGMODE_REPORTING;
    item.requestedParameters.samplingInterval = 0;
    item.requestedParameters.queueSize = queueSize;
    item.requestedParameters.discardOldest = false;
    item.requestedParameters.filter.encoding = UA_EXTENSIONOBJECT_DECODED;
    item.requestedParameters.filter.content.decoded.type = &UA_TYPES[UA_TYPES_EVENTFILTER];
    item.requestedParameters.filter.content.decoded.data = &filter;
    UA_MonitoredItemCreateResult result = UA_Client_MonitoredItems_createEvent(
        client, m_subscription, UA_TIMESTAMPSTORETURN_NEITHER, item, this, &OnEvent, nullptr);
    const UA_StatusCode itemStatus = result.statusCode;
    UA_MonitoredItemCreateResult_clear(&result);
    if (itemStatus != UA_STATUSCODE_GOOD) throw Failure("CreateMonitoredItems (events)", itemStatus);
}

void EventWatch::AddDataItem(const UA_NodeId& tag, std::function<void(const UA_DataValue&, double)> onChange) {
    m_onData = std::move(onChange);
    UA_MonitoredItemCreateRequest item = UA_MonitoredItemCreateRequest_default(tag);
    item.requestedParameters.samplingInterval = 0;
    item.requestedParameters.queueSize = 100;
    UA_MonitoredItemCreateResult result = UA_Client_MonitoredItems_createDataChange(
        m_client, m_subscription, UA_TIMESTAMPSTORETURN_BOTH, item, this, &OnData, nullptr);
    const UA_StatusCode status = result.statusCode;
    UA_MonitoredItemCreateResult_clear(&result);
    if (status != UA_STATUSCODE_GOOD) throw Failure("CreateMonitoredItems (data)", status);
}

void EventWatch::Stop() {
    if (m_client == nullptr || m_subscription == 0) return;
    UA_Client_Subscriptions_deleteSingle(m_client, m_subscription);
    m_subscription = 0;
}

void EventWatch::OnEvent(UA_Client*, UA_UInt32, void*, UA_UInt32, void* monContext, size_t count, UA_Variant* fields) {
    const double arrival = NowMs();
    auto* self = static_cast<EventWatch*>(monContext);
    if (self == nullptr || count != kFieldCount) return;
    SeenEvent seen;
    seen.arrivalMs = arrival;
    seen.arrivalUtc = UA_DateTime_now();
    if (UA_Variant_hasScalarType(&fields[0], &UA_TYPES[UA_TYPES_NODEID])) {
        const auto* type = static_cast<const UA_NodeId*>(fields[0].data);
        if (type->identifierType == UA_NODEIDTYPE_NUMERIC) seen.type = type->identifier.numeric;
    }
    if (UA_Variant_hasScalarType(&fields[1], &UA_TYPES[UA_TYPES_STRING])) {
        const auto* name = static_cast<const UA_String*>(fields[1].data);
        seen.source.assign(reinterpret_cast<const char*>(name->data), name->length);
    }
    if (UA_Variant_hasScalarType(&fields[2], &UA_TYPES[UA_TYPES_DATETIME])) {
        seen.time = *static_cast<const UA_DateTime*>(fields[2].data);
    }
    if (UA_Variant_hasScalarType(&fields[3], &UA_TYPES[UA_TYPES_BOOLEAN])) {
        seen.active = *static_cast<const UA_Boolean*>(fields[3].data);
    }
    self->m_events.push_back(seen);
    if (self->onEvent) self->onEvent(self->m_events.back());
}

void EventWatch::OnData(UA_Client*, UA_UInt32, void*, UA_UInt32, void* monContext, UA_DataValue* value) {
    const double arrival = NowMs();
    auto* self = static_cast<EventWatch*>(monContext);
    if (self != nullptr && value != nullptr && self->m_onData) self->m_onData(*value, arrival);
}
