// The endpoint in this process, seen through the library's own UA client: the
// nodes follow every change of the configuration's shape while a client
// watches, and values of every DA type reach UA and come back.
#include "UaLibrary.h"
// The library's client, after the same Winsock order.
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "AlarmSettings.h"
#include "Configuration.h"
#include "CriticalSection.h"
#include "FileTime.h"
#include "OPCS_Device.h"
#include "OpcConstants.h"
#include "TempFolder.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "TreeLimits.h"
#include "UaCertificate.h"
#include "UaCommon.h"
#include "UaAddressSpace.h"
#include "UaEndpoint.h"
#include "UaMapping.h"
#include "WaitFor.h"
#include "WholeFile.h"

namespace {
constexpr unsigned kPort = 48451;

ToviTag* NewTag(const std::wstring& name, VARTYPE type, const Variant& value) {
    auto* tag = new ToviTag;
    tag->Rename(name);
    tag->SetAccessMode(1);
    tag->SetDataType(type);
    tag->SetValueNow(value);
    return tag;
}

// The platform's own text of a value: equal texts, equal values (VarCmp knows no unsigned types here).
std::wstring TextOfValue(const Variant& value) {
    const Variant text = value.ConvertedTo(VT_BSTR);
    return text.Type() == VT_BSTR ? std::wstring(V_BSTR(&text.Ref()), SysStringLen(V_BSTR(&text.Ref()))) : L"?";
}

double AsDouble(const Variant& value) {
    const Variant number = value.ConvertedTo(VT_R8);
    return number.Type() == VT_R8 ? V_R8(&number.Ref()) : NAN;
}

ToviDevice* NewDevice(const std::wstring& name) {
    auto* device = new ToviDevice;
    device->Rename(name);
    return device;
}

// A UA client of the endpoint with one subscription; the server thread runs
// by itself, the client's work is done in Run.
class Client {
public:
    explicit Client(unsigned port, UA_UInt32 timeoutMs = 5000) : m_client(UA_Client_new()) {
        UA_ClientConfig* config = UA_Client_getConfig(m_client);
        config->logging = &QuietUaLogger();
        UA_ClientConfig_setDefault(config);
        config->logging = &QuietUaLogger();
        config->timeout = timeoutMs;
        if (config->eventLoop != nullptr) config->eventLoop->logger = &QuietUaLogger();
        const std::string url = "opc.tcp://localhost:" + std::to_string(port) + "/";
        m_status = UA_Client_connect(m_client, url.c_str());
        if (m_status != UA_STATUSCODE_GOOD) return;
        UA_Variant namespaces;
        UA_Variant_init(&namespaces);
        UA_Client_readValueAttribute(m_client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_NAMESPACEARRAY), &namespaces);
        const auto* uris = static_cast<const UA_String*>(namespaces.data);
        for (size_t i = 0; i < namespaces.arrayLength; ++i) {
            if (TextOf(uris[i]) == L"urn:Zelkor:ToviExplorer:Tags") m_namespace = static_cast<UA_UInt16>(i);
        }
        UA_Variant_clear(&namespaces);
        UA_CreateSubscriptionRequest request = UA_CreateSubscriptionRequest_default();
        request.requestedPublishingInterval = 50;
        m_subscription = UA_Client_Subscriptions_create(m_client, request, nullptr, nullptr, nullptr).subscriptionId;
    }
    ~Client() {
        UA_Client_disconnect(m_client);
        UA_Client_delete(m_client);
    }
    bool Connected() const { return m_status == UA_STATUSCODE_GOOD && m_namespace != 0; }
    UA_Client* Raw() const { return m_client; }
    UA_UInt16 Namespace() const { return m_namespace; }
    UA_UInt32 Subscription() const { return m_subscription; }

    UA_NodeId Id(const std::string& itemId) {
        m_ids.push_back(itemId);
        return UA_NODEID_STRING(m_namespace, const_cast<char*>(m_ids.back().c_str()));
    }

    // The value's status (its quality) or the read's own failure.
    UA_StatusCode Read(const std::string& itemId, UA_Variant* value = nullptr) { return Read(Id(itemId), value); }
    UA_StatusCode Read(const UA_NodeId& nodeId, UA_Variant* value = nullptr) {
        UA_ReadValueId what;
        UA_ReadValueId_init(&what);
        what.nodeId = nodeId;
        what.attributeId = UA_ATTRIBUTEID_VALUE;
        UA_ReadRequest request;
        UA_ReadRequest_init(&request);
        request.nodesToRead = &what;
        request.nodesToReadSize = 1;
        UA_ReadResponse response = UA_Client_Service_read(m_client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) {
            status = response.results[0].status;
            if (value != nullptr) {
                UA_Variant_clear(value);
                UA_Variant_copy(&response.results[0].value, value);
            }
        }
        UA_ReadResponse_clear(&response);
        return status;
    }

    UA_StatusCode Write(const std::string& itemId, const UA_Variant& value) {
        return UA_Client_writeValueAttribute(m_client, Id(itemId), &value);
    }
    // A whole DataValue, as any client may send it.
    UA_StatusCode Write(const UA_NodeId& nodeId, const UA_DataValue& value) {
        UA_WriteValue what;
        UA_WriteValue_init(&what);
        what.nodeId = nodeId;
        what.attributeId = UA_ATTRIBUTEID_VALUE;
        what.value = value;
        UA_WriteRequest request;
        UA_WriteRequest_init(&request);
        request.nodesToWrite = &what;
        request.nodesToWriteSize = 1;
        UA_WriteResponse response = UA_Client_Service_write(m_client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) status = response.results[0];
        UA_WriteResponse_clear(&response);
        return status;
    }

    // One page of a node's children, or of its targets of another reference type (the caller clears it).
    UA_BrowseResult Browse(const UA_NodeId& nodeId, UA_UInt32 maxReferences = 0, UA_UInt32 referenceType = 0) {
        UA_BrowseDescription description;
        UA_BrowseDescription_init(&description);
        description.nodeId = nodeId;
        description.resultMask = UA_BROWSERESULTMASK_BROWSENAME;
        description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
        description.referenceTypeId =
            UA_NODEID_NUMERIC(0, referenceType != 0 ? referenceType : UA_NS0ID_HIERARCHICALREFERENCES);
        description.includeSubtypes = true;
        UA_BrowseRequest request;
        UA_BrowseRequest_init(&request);
        request.requestedMaxReferencesPerNode = maxReferences;
        request.nodesToBrowse = &description;
        request.nodesToBrowseSize = 1;
        return FirstResult(UA_Client_Service_browse(m_client, request));
    }
    UA_BrowseResult BrowseNext(const UA_ByteString& continuationPoint, bool release) {
        UA_BrowseNextRequest request;
        UA_BrowseNextRequest_init(&request);
        request.releaseContinuationPoints = release;
        request.continuationPoints = const_cast<UA_ByteString*>(&continuationPoint);
        request.continuationPointsSize = 1;
        return FirstResult(UA_Client_Service_browseNext(m_client, request));
    }

    // The names of a folder's children, or of a node's targets of another reference type in any namespace.
    std::vector<std::string> Browse(const std::string& folder, UA_UInt32 referenceType = 0) {
        UA_BrowseResult result =
            Browse(folder.empty() ? UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER) : Id(folder), 0, referenceType);
        std::vector<std::string> names;
        for (size_t i = 0; i < result.referencesSize; ++i) {
            const UA_QualifiedName& name = result.references[i].browseName;
            if (name.namespaceIndex == m_namespace || referenceType != 0)
                names.emplace_back(reinterpret_cast<char*>(name.name.data), name.name.length);
        }
        UA_BrowseResult_clear(&result);
        std::sort(names.begin(), names.end());
        return names;
    }

    // A monitored item sampled by exception; its changes are kept in `changes`.
    struct Watch {
        std::vector<UA_StatusCode> statuses;
        std::vector<double> values;
        std::vector<UA_DateTime> sourceTimes;  // 0 where none came
    };
    UA_StatusCode Monitor(const std::string& itemId, Watch& watch) { return Monitor(Id(itemId), watch); }
    UA_StatusCode Monitor(const UA_NodeId& nodeId, Watch& watch) {
        UA_MonitoredItemCreateRequest request = UA_MonitoredItemCreateRequest_default(nodeId);
        request.requestedParameters.samplingInterval = 0;
        UA_MonitoredItemCreateResult result = UA_Client_MonitoredItems_createDataChange(
            m_client, m_subscription, UA_TIMESTAMPSTORETURN_BOTH, request, &watch, &Client::Changed, nullptr);
        return result.statusCode;
    }

    // The model change events of the Server object: each event's affected
    // nodes (their item IDs) with their verbs.
    struct ModelChanges {
        std::vector<std::pair<std::string, int>> changes;
        int events = 0;
    };
    UA_StatusCode MonitorModelChanges(ModelChanges& seen) {
        return MonitorServerEvents({{UA_NS0ID_BASEEVENTTYPE, "EventType"}, {2133, "Changes"}}, 100, &seen,
                                   &Client::Event);
    }

    // Every event of the Server object: its source and whether it retains.
    struct AlarmEvents {
        std::vector<std::pair<std::string, bool>> seen;
        bool Has(const std::string& source, bool retain) const {
            return std::find(seen.begin(), seen.end(), std::pair{source, retain}) != seen.end();
        }
    };
    UA_StatusCode MonitorAlarms(AlarmEvents& events) {
        return MonitorServerEvents(
            {{UA_NS0ID_BASEEVENTTYPE, "SourceName"}, {UA_NS0ID_CONDITIONTYPE, "Retain"}}, 1000, &events,
            [](UA_Client*, UA_UInt32, void*, UA_UInt32, void* context, size_t count, UA_Variant* fields) {
                if (count != 2 || !UA_Variant_hasScalarType(&fields[0], &UA_TYPES[UA_TYPES_STRING]) ||
                    !UA_Variant_hasScalarType(&fields[1], &UA_TYPES[UA_TYPES_BOOLEAN])) {
                    return;
                }
                const auto* source = static_cast<const UA_String*>(fields[0].data);
                static_cast<AlarmEvents*>(context)->seen.emplace_back(
                    std::string(reinterpret_cast<const char*>(source->data), source->length),
                    *static_cast<const UA_Boolean*>(fields[1].data));
            });
    }

    // Works the client until `done` holds or `ms` have passed.
    bool RunUntil(const std::function<bool()>& done, int ms = 2000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            UA_Client_run_iterate(m_client, 20);
        }
        return true;
    }

private:
    // An event item on the Server object selecting one property of a type per field.
    UA_StatusCode MonitorServerEvents(std::vector<std::pair<UA_UInt32, const char*>> fields, UA_UInt32 queueSize,
                                      void* context, UA_Client_EventNotificationCallback callback) {
        UA_MonitoredItemCreateRequest item;
        UA_MonitoredItemCreateRequest_init(&item);
        item.itemToMonitor.nodeId = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER);
        item.itemToMonitor.attributeId = UA_ATTRIBUTEID_EVENTNOTIFIER;
        item.monitoringMode = UA_MONITORINGMODE_REPORTING;
        std::vector<UA_QualifiedName> names(fields.size());
        std::vector<UA_SimpleAttributeOperand> select(fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            names[i] = UA_QUALIFIEDNAME(0, const_cast<char*>(fields[i].second));
            UA_SimpleAttributeOperand_init(&select[i]);
            select[i].typeDefinitionId = UA_NODEID_NUMERIC(0, fields[i].first);
            select[i].browsePathSize = 1;
            select[i].browsePath = &names[i];
            select[i].attributeId = UA_ATTRIBUTEID_VALUE;
        }
        UA_EventFilter filter;
        UA_EventFilter_init(&filter);
        filter.selectClauses = select.data();
        filter.selectClausesSize = select.size();
        item.requestedParameters.filter.encoding = UA_EXTENSIONOBJECT_DECODED;
        item.requestedParameters.filter.content.decoded.data = &filter;
        item.requestedParameters.filter.content.decoded.type = &UA_TYPES[UA_TYPES_EVENTFILTER];
        item.requestedParameters.queueSize = queueSize;
        return UA_Client_MonitoredItems_createEvent(m_client, m_subscription, UA_TIMESTAMPSTORETURN_BOTH, item, context,
                                                    callback, nullptr)
            .statusCode;
    }

    template <class Response>
    static UA_BrowseResult FirstResult(Response response) {
        UA_BrowseResult result;
        UA_BrowseResult_init(&result);
        result.statusCode = response.responseHeader.serviceResult;
        if (result.statusCode == UA_STATUSCODE_GOOD && response.resultsSize == 1) {
            result = response.results[0];
            UA_BrowseResult_init(&response.results[0]);  // moved out
        }
        UA_clear(&response, &UA_TYPES[std::is_same_v<Response, UA_BrowseResponse> ? UA_TYPES_BROWSERESPONSE
                                                                                  : UA_TYPES_BROWSENEXTRESPONSE]);
        return result;
    }

    static void Event(UA_Client*, UA_UInt32, void*, UA_UInt32, void* context, size_t count, UA_Variant* fields) {
        auto& seen = *static_cast<ModelChanges*>(context);
        if (count != 2 || !UA_Variant_hasScalarType(&fields[0], &UA_TYPES[UA_TYPES_NODEID])) return;
        const auto* type = static_cast<const UA_NodeId*>(fields[0].data);
        if (type->identifierType != UA_NODEIDTYPE_NUMERIC || type->identifier.numeric != 2133) return;
        ++seen.events;
        if (fields[1].type != &UA_TYPES[UA_TYPES_MODELCHANGESTRUCTUREDATATYPE]) return;
        const auto* changes = static_cast<const UA_ModelChangeStructureDataType*>(fields[1].data);
        for (size_t i = 0; i < fields[1].arrayLength; ++i) {
            const UA_NodeId& affected = changes[i].affected;
            if (affected.identifierType != UA_NODEIDTYPE_STRING) continue;
            seen.changes.emplace_back(std::string(reinterpret_cast<const char*>(affected.identifier.string.data),
                                                  affected.identifier.string.length),
                                      changes[i].verb);
        }
    }

    static void Changed(UA_Client*, UA_UInt32, void*, UA_UInt32, void* context, UA_DataValue* value) {
        auto& watch = *static_cast<Watch*>(context);
        watch.statuses.push_back(value->status);
        double number = NAN;
        if (UA_Variant_hasScalarType(&value->value, &UA_TYPES[UA_TYPES_DOUBLE])) {
            number = *static_cast<const UA_Double*>(value->value.data);
        }
        watch.values.push_back(number);
        watch.sourceTimes.push_back(value->hasSourceTimestamp ? value->sourceTimestamp : 0);
    }

    UA_Client* m_client;
    UA_StatusCode m_status = UA_STATUSCODE_BAD;
    UA_UInt16 m_namespace = 0;
    UA_UInt32 m_subscription = 0;
    std::list<std::string> m_ids;  // the NodeIds borrow these
};

class UaEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_device = NewDevice(L"Dev");
        ASSERT_TRUE(m_configuration.AddDevice(m_device));
        m_tag = NewTag(L"A", VT_R8, Variant::FromDouble(1.5));
        ASSERT_TRUE(m_configuration.AddTagTo(m_device, m_tag));
        UaEndpointOptions options;
        options.port = m_port;
        options.pkiFolder = m_folder.Path() + L"PKI";
        ASSERT_TRUE(m_endpoint.Start(options)) << ToUtf8(m_endpoint.StatusText());
    }
    void TearDown() override { m_endpoint.Stop(L"", 0); }

    unsigned m_port = kPort;
    TempFolder m_folder;
    Configuration m_configuration;
    UaEndpoint m_endpoint{m_configuration};
    ToviDevice* m_device = nullptr;
    ToviTag* m_tag = nullptr;
};
}  // namespace

TEST_F(UaEndpointTest, NodesFollowTheConfigurationWhileAClientWatches) {
    Client client(kPort);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(1u, m_endpoint.SessionCount());
    Client::Watch onA;
    Client::ModelChanges modelChanges;
    ASSERT_EQ(UA_STATUSCODE_GOOD, client.Monitor("Dev.A", onA));
    ASSERT_EQ(UA_STATUSCODE_GOOD, client.MonitorModelChanges(modelChanges));
    ASSERT_TRUE(client.RunUntil([&] { return onA.values.size() == 1; }));
    EXPECT_EQ(1.5, onA.values[0]);

    // A change made on the DA side reaches the monitored item by exception.
    m_tag->SetValueNow(Variant::FromDouble(2.5));
    ASSERT_TRUE(client.RunUntil([&] { return onA.values.size() == 2; }));
    EXPECT_EQ(2.5, onA.values[1]);

    // Value limits make it an analog item with its EURange, and back, in
    // place: the watcher hears each value and never that the node went.
    m_tag->EnableValueLimits(true);
    for (const bool limits : {true, false}) {
        TagEdit edit;
        edit.limitValues = limits;
        edit.high = 10;
        edit.value = Variant::FromDouble(limits ? 3.5 : 4.5);
        m_tag->ApplyEdit(edit);
        ASSERT_TRUE(client.RunUntil([&] { return onA.values.back() == (limits ? 3.5 : 4.5); }));
        EXPECT_EQ(std::vector<std::string>{limits ? "AnalogItemType" : "BaseDataVariableType"},
                  client.Browse("Dev.A", UA_NS0ID_HASTYPEDEFINITION));
        EXPECT_EQ(limits ? std::vector<std::string>{"EURange"} : std::vector<std::string>{},
                  client.Browse("Dev.A", UA_NS0ID_HASPROPERTY));
        if (!limits) continue;
        // A DA client's clamped write succeeds plainly; only a UA write hears that it was clamped.
        Variant over = Variant::FromDouble(25);
        EXPECT_EQ(S_OK, m_tag->ClientWrite(over));
        over = Variant::FromDouble(25);
        EXPECT_EQ(OPC_S_CLAMP, m_tag->ClientWriteReportingClamp(over));
        EXPECT_EQ(L"10", TextOfValue(m_tag->GetValue()));
    }
    EXPECT_LE(4u, onA.statuses.size());
    EXPECT_EQ(onA.statuses.size(), std::count(onA.statuses.begin(), onA.statuses.end(), UA_STATUSCODE_GOOD));

    // Added groups and tags appear.
    auto* group = new ToviTagGroup;
    group->Rename(L"Grp");
    ASSERT_TRUE(m_configuration.AddGroupTo(m_device, group));
    ASSERT_TRUE(m_configuration.AddTagTo(group, NewTag(L"B", VT_I4, Variant::FromLong(7))));
    UA_Variant value;
    UA_Variant_init(&value);
    ASSERT_TRUE(client.RunUntil([&] { return client.Read("Dev.Grp.B", &value) == UA_STATUSCODE_GOOD; }));
    ASSERT_TRUE(UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_INT32]));
    EXPECT_EQ(7, *static_cast<UA_Int32*>(value.data));
    EXPECT_EQ((std::vector<std::string>{"A", "Grp"}), client.Browse("Dev"));
    // ... and the Server object says so: node and reference added.
    const std::pair<std::string, int> added{"Dev.Grp.B", 1 | 4};
    ASSERT_TRUE(client.RunUntil([&] {
        return std::find(modelChanges.changes.begin(), modelChanges.changes.end(), added) != modelChanges.changes.end();
    })) << modelChanges.events
        << " model change events";

    // A renamed tag takes its new NodeId; its watcher hears the old one is gone.
    m_tag->Rename(L"A2");
    ASSERT_TRUE(client.RunUntil([&] { return client.Read("Dev.A2") == UA_STATUSCODE_GOOD; }));
    EXPECT_EQ(UA_STATUSCODE_BADNODEIDUNKNOWN, client.Read("Dev.A"));
    ASSERT_TRUE(client.RunUntil(
        [&] { return !onA.statuses.empty() && onA.statuses.back() == UA_STATUSCODE_BADNODEIDUNKNOWN; }));

    // Fault control's branches come and go with the option.
    m_configuration.EnableFaultControl(true);
    ASSERT_TRUE(client.RunUntil([&] { return client.Read("Dev._Control.InService") == UA_STATUSCODE_GOOD; }));
    EXPECT_EQ((std::vector<std::string>{"Dev", "_Control"}), client.Browse(""));
    m_configuration.EnableFaultControl(false);
    ASSERT_TRUE(
        client.RunUntil([&] { return client.Read("Dev._Control.InService") == UA_STATUSCODE_BADNODEIDUNKNOWN; }));

    // Deleting the device, then a new configuration in its place (as File > Open does).
    ASSERT_EQ(Configuration::DeleteResult::Deleted, m_configuration.DeleteItem(m_device));
    ASSERT_TRUE(client.RunUntil([&] { return client.Browse("").empty(); }));
    EXPECT_EQ(UA_STATUSCODE_BADNODEIDUNKNOWN, client.Read("Dev.Grp.B"));
    ToviDevice* other = NewDevice(L"Other");
    ASSERT_TRUE(m_configuration.AddDevice(other));
    ASSERT_TRUE(m_configuration.AddTagTo(other, NewTag(L"C", VT_BSTR, Variant::FromString(L"text"))));
    ASSERT_TRUE(client.RunUntil([&] { return client.Read("Other.C", &value) == UA_STATUSCODE_GOOD; }));
    ASSERT_TRUE(UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_STRING]));
    EXPECT_EQ(L"text", TextOf(*static_cast<UA_String*>(value.data)));
    UA_Variant_clear(&value);
    m_configuration.Clear();
    ASSERT_TRUE(client.RunUntil([&] { return client.Browse("").empty(); }));
}

// A file opened or cleared under an alarm's subscriber: each condition that
// goes says so with a last event, the new file's alarms are judged at once,
// and the subscription lives on.
TEST_F(UaEndpointTest, AlarmsGoWithALastEventWhenTheFileIsOpenedOrClearedUnderASubscriber) {
    AlarmSettings high;
    high.kind = AlarmKind::ExclusiveLimit;
    high.high = 10;
    ASSERT_TRUE(m_tag->SetAlarmSettings(high));
    {
        Configuration other;
        ToviDevice* device = NewDevice(L"Plant");
        ToviTag* hot = NewTag(L"Hot", VT_R8, Variant::FromDouble(50));
        ASSERT_TRUE(other.AddDevice(device) && other.AddTagTo(device, hot) && hot->SetAlarmSettings(high));
        ASSERT_TRUE(other.Save(m_folder.File(L"alarmed.tvf")).saved);
    }
    Client client(m_port);
    ASSERT_TRUE(client.Connected());
    Client::AlarmEvents events;
    ASSERT_EQ(UA_STATUSCODE_GOOD, client.MonitorAlarms(events));
    m_tag->SetValueNow(Variant::FromDouble(20));
    ASSERT_TRUE(client.RunUntil([&] { return events.Has("Dev.A", true); })) << events.seen.size();

    ASSERT_TRUE(m_configuration.Load(m_folder.File(L"alarmed.tvf"), nullptr).loaded);
    EXPECT_TRUE(client.RunUntil([&] { return events.Has("Dev.A", false); })) << "the old file's alarm went silently";
    EXPECT_TRUE(client.RunUntil([&] { return events.Has("Plant.Hot", true); })) << "the new file's alarm is not judged";
    m_configuration.Clear();
    EXPECT_TRUE(client.RunUntil([&] { return events.Has("Plant.Hot", false); }));
    UA_Variant state;
    UA_Variant_init(&state);  // Read clears it first
    EXPECT_EQ(UA_STATUSCODE_GOOD, client.Read(UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_STATE), &state));
    UA_Variant_clear(&state);
}

// A status or source timestamp written with a value: refused as a DA 2.05a
// server refuses it until the option allows it, then the tag's quality and
// time, read back and told to a monitored item; the server's own timestamp,
// picoseconds and a time before 1601 never.
TEST_F(UaEndpointTest, AStatusAndSourceTimestampAreWrittenOnlyWhileTheOptionAllowsThem) {
    Client client(m_port);
    ASSERT_TRUE(client.Connected());
    Client::Watch onA;
    ASSERT_EQ(UA_STATUSCODE_GOOD, client.Monitor("Dev.A", onA));
    ASSERT_TRUE(client.RunUntil([&] { return onA.values.size() == 1; }));
    const UA_NodeId a = client.Id("Dev.A");
    const UA_DateTime old = UA_DateTime_now() - 3600 * UA_DATETIME_SEC;
    constexpr UA_StatusCode kEuHigh = UA_STATUSCODE_UNCERTAINENGINEERINGUNITSEXCEEDED | 0x0400 | 0x0200;
    struct Row {
        const char* what;
        bool allowed;
        double value;
        bool hasStatus;
        UA_StatusCode status;
        bool hasSource;
        UA_DateTime source;
        const char* result;
        WORD quality;            // the tag's, once written
        UA_StatusCode readBack;  // the node's
    };
    const Row rows[] = {
        {"off: a status", false, 2, true, UA_STATUSCODE_UNCERTAINSUBNORMAL, false, 0, "BadWriteNotSupported", 0, 0},
        {"off: a source time", false, 2, false, 0, true, old, "BadWriteNotSupported", 0, 0},
        {"on: a status", true, 3, true, UA_STATUSCODE_UNCERTAINSUBNORMAL, false, 0, "Good", OPC_QUALITY_SUB_NORMAL,
         UA_STATUSCODE_UNCERTAINSUBNORMAL},
        {"on: a source time", true, 4, false, 0, true, old, "Good", OPC_QUALITY_GOOD, UA_STATUSCODE_GOOD},
        {"on: both", true, 5, true, UA_STATUSCODE_BADNOCOMMUNICATION, true, old, "Good", OPC_QUALITY_COMM_FAILURE,
         UA_STATUSCODE_BADNOCOMMUNICATION},
        {"on: limit bits", true, 6, true, kEuHigh, true, old, "Good", OPC_QUALITY_EGU_EXCEEDED | OPC_LIMIT_HIGH,
         kEuHigh},
        {"on: a status DA has no word for", true, 7, true, UA_STATUSCODE_BADUSERACCESSDENIED, false, 0, "Good",
         OPC_QUALITY_BAD, UA_STATUSCODE_BAD},
        {"on: before 1601", true, 8, true, UA_STATUSCODE_GOOD, true, -1, "BadOutOfRange", 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        m_configuration.AllowClientQualityWrites(row.allowed);
        m_tag->SetValueNow(Variant::FromDouble(1));
        const TagState before = m_tag->GetState();
        ASSERT_TRUE(client.RunUntil([&] { return onA.values.back() == 1; }));
        UA_Double number = row.value;
        UA_DataValue written;
        UA_DataValue_init(&written);
        UA_Variant_setScalar(&written.value, &number, &UA_TYPES[UA_TYPES_DOUBLE]);
        written.hasValue = true;
        written.hasStatus = row.hasStatus;
        written.status = row.status;
        written.hasSourceTimestamp = row.hasSource;
        written.sourceTimestamp = row.source;
        EXPECT_STREQ(row.result, UA_StatusCode_name(client.Write(a, written)));
        const TagState after = m_tag->GetState();
        if (row.quality == 0 && row.readBack == 0) {
            EXPECT_EQ(1, AsDouble(after.value)) << "nothing written";
            EXPECT_TRUE(before.timestamp == after.timestamp);
            continue;
        }
        // What DA clients read of the tag...
        EXPECT_EQ(row.value, AsDouble(after.value));
        EXPECT_EQ(row.quality, after.quality);
        if (row.hasSource) {
            EXPECT_EQ(row.source, static_cast<UA_DateTime>(FileTimeToU64(after.timestamp)));
        }
        // ... what a UA read gives ...
        UA_ReadValueId what;
        UA_ReadValueId_init(&what);
        what.nodeId = a;
        what.attributeId = UA_ATTRIBUTEID_VALUE;
        UA_ReadRequest request;
        UA_ReadRequest_init(&request);
        request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
        request.nodesToRead = &what;
        request.nodesToReadSize = 1;
        UA_ReadResponse response = UA_Client_Service_read(client.Raw(), request);
        ASSERT_EQ(1u, response.resultsSize);
        const UA_DataValue& read = response.results[0];
        EXPECT_EQ(row.readBack, read.hasStatus ? read.status : UA_STATUSCODE_GOOD);
        if (row.hasSource) {
            EXPECT_EQ(row.source, read.sourceTimestamp);
        }
        EXPECT_NE(row.source, read.serverTimestamp) << "the server's own time";
        UA_ReadResponse_clear(&response);
        // ... and what the monitored item is told.
        ASSERT_TRUE(client.RunUntil([&] { return onA.values.back() == row.value; }));
        EXPECT_EQ(row.readBack, onA.statuses.back());
        if (row.hasSource) {
            EXPECT_EQ(row.source, onA.sourceTimes.back());
        }
    }

    // Off, a status is refused before the value is looked at, as it always was.
    m_configuration.AllowClientQualityWrites(false);
    UA_DataValue valueless;
    UA_DataValue_init(&valueless);
    valueless.hasStatus = true;
    valueless.status = UA_STATUSCODE_UNCERTAIN;
    EXPECT_STREQ("BadWriteNotSupported", UA_StatusCode_name(client.Write(a, valueless)));

    // Allowed or not: no value, the server's timestamp, picoseconds.
    m_configuration.AllowClientQualityWrites(true);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        UA_Double number = 9;
        UA_DataValue written;
        UA_DataValue_init(&written);
        UA_Variant_setScalar(&written.value, &number, &UA_TYPES[UA_TYPES_DOUBLE]);
        written.hasValue = i != 0;
        written.hasStatus = true;
        written.status = UA_STATUSCODE_UNCERTAIN;
        written.hasServerTimestamp = i == 1;
        written.serverTimestamp = old;
        written.hasSourceTimestamp = i >= 2;
        written.sourceTimestamp = old;
        written.hasSourcePicoseconds = i == 2;
        written.hasServerPicoseconds = i == 3;
        EXPECT_STREQ(i == 0 ? "BadTypeMismatch" : "BadWriteNotSupported", UA_StatusCode_name(client.Write(a, written)));
        EXPECT_EQ(1, AsDouble(m_tag->GetValue()));
    }
}

TEST_F(UaEndpointTest, ValuesOfEveryDaTypeCrossToUaAndBack) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I2, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
        SHORT element = static_cast<SHORT>(-i * 100);
        SafeArrayPutElement(array, &i, &element);
    }
    VARIANT arrayValue;
    VariantInit(&arrayValue);
    V_VT(&arrayValue) = VT_ARRAY | VT_I2;
    V_ARRAY(&arrayValue) = array;
    struct Row {
        const wchar_t* text;  // the value, converted to the type by the platform
        VARTYPE type;
        const UA_DataType* ua;
    };
    const Row rows[] = {
        {L"-100", VT_I1, &UA_TYPES[UA_TYPES_SBYTE]},
        {L"200", VT_UI1, &UA_TYPES[UA_TYPES_BYTE]},
        {L"-30000", VT_I2, &UA_TYPES[UA_TYPES_INT16]},
        {L"60000", VT_UI2, &UA_TYPES[UA_TYPES_UINT16]},
        {L"-2000000000", VT_I4, &UA_TYPES[UA_TYPES_INT32]},
        {L"4000000000", VT_UI4, &UA_TYPES[UA_TYPES_UINT32]},
        {L"-9000000000000", VT_I8, &UA_TYPES[UA_TYPES_INT64]},
        {L"18000000000000000000", VT_UI8, &UA_TYPES[UA_TYPES_UINT64]},
        {L"0.25", VT_R4, &UA_TYPES[UA_TYPES_FLOAT]},
        {L"-1e300", VT_R8, &UA_TYPES[UA_TYPES_DOUBLE]},
        {L"-1", VT_BOOL, &UA_TYPES[UA_TYPES_BOOLEAN]},
        {L"Grüße", VT_BSTR, &UA_TYPES[UA_TYPES_STRING]},
        {L"1899-12-29 18:00:00", VT_DATE, &UA_TYPES[UA_TYPES_DATETIME]},
        {L"2026-12-08 13:45:30", VT_DATE, &UA_TYPES[UA_TYPES_DATETIME]},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(ToUtf8(row.text));
        const Variant value = Variant::FromString(row.text).ConvertedTo(row.type);
        ASSERT_EQ(row.type, value.Type());
        UA_Variant ua;
        ASSERT_TRUE(ToUaVariant(value.Ref(), ua));
        EXPECT_TRUE(UA_Variant_hasScalarType(&ua, row.ua));
        EXPECT_TRUE(UA_NodeId_equal(&row.ua->typeId, &UaTypeOf(row.type)->typeId));
        Variant back;
        ASSERT_EQ(S_OK, FromUaVariant(ua, back));
        UA_Variant_clear(&ua);
        EXPECT_EQ(value.Type(), back.Type());
        EXPECT_EQ(TextOfValue(value), TextOfValue(back));
    }
    // The DATE epoch lands where UA's DateTime has it: 1899-12-30 is 109205 days after 1601.
    const Variant epoch = Variant::FromString(L"1899-12-30").ConvertedTo(VT_DATE);
    UA_Variant ua;
    ASSERT_TRUE(ToUaVariant(epoch.Ref(), ua));
    EXPECT_EQ(109205LL * 864000000000LL, *static_cast<UA_DateTime*>(ua.data));
    UA_Variant_clear(&ua);
    // Arrays keep their elements; currency travels as text.
    ASSERT_TRUE(ToUaVariant(arrayValue, ua));
    ASSERT_EQ(3u, ua.arrayLength);
    EXPECT_EQ(-200, static_cast<UA_Int16*>(ua.data)[2]);
    Variant back;
    ASSERT_EQ(S_OK, FromUaVariant(ua, back));
    EXPECT_EQ(VT_ARRAY | VT_I2, back.Type());
    UA_Variant_clear(&ua);
    VariantClear(&arrayValue);
    const Variant money = Variant::FromString(L"12.5").ConvertedTo(VT_CY);
    ASSERT_TRUE(ToUaVariant(money.Ref(), ua));
    ASSERT_TRUE(UA_Variant_hasScalarType(&ua, &UA_TYPES[UA_TYPES_STRING]));
    UA_Variant_clear(&ua);

    // Through the endpoint: a UA write of each type is the DA write of the same value.
    Client client(kPort);
    ASSERT_TRUE(client.Connected());
    const struct {
        const wchar_t* name;
        VARTYPE type;
        const wchar_t* written;
    } tags[] = {{L"I2", VT_I2, L"-7"}, {L"UI1", VT_UI1, L"255"}, {L"Bool", VT_BOOL, L"0"}, {L"Text", VT_BSTR, L"ä"}};
    for (const auto& tag : tags) {
        ASSERT_TRUE(m_configuration.AddTagTo(m_device, NewTag(tag.name, tag.type, Variant())));
    }
    for (const auto& tag : tags) {
        SCOPED_TRACE(ToUtf8(tag.name));
        const std::string id = "Dev." + ToUtf8(tag.name);
        ASSERT_TRUE(client.RunUntil([&] { return client.Read(id) != UA_STATUSCODE_BADNODEIDUNKNOWN; }));
        const Variant written = Variant::FromString(tag.written).ConvertedTo(tag.type);
        UA_Variant ua;
        ASSERT_TRUE(ToUaVariant(written.Ref(), ua));
        EXPECT_EQ(UA_STATUSCODE_GOOD, client.Write(id, ua));
        UA_Variant_clear(&ua);
        OPCS_Tag* stored = m_configuration.FindTag(L"Dev." + std::wstring(tag.name));
        ASSERT_NE(nullptr, stored);
        EXPECT_EQ(TextOfValue(written), TextOfValue(stored->GetValue()));
        // With nothing monitored, a DA-side change shows in the very next read after a quiet one.
        ASSERT_EQ(UA_STATUSCODE_GOOD, client.Read(id));
        const Variant daValue = Variant::FromString(L"1").ConvertedTo(tag.type);
        stored->SetValueNow(daValue);
        UA_Variant_init(&ua);
        ASSERT_EQ(UA_STATUSCODE_GOOD, client.Read(id, &ua));
        Variant seen;
        ASSERT_EQ(S_OK, FromUaVariant(ua, seen));
        UA_Variant_clear(&ua);
        EXPECT_EQ(TextOfValue(daValue), TextOfValue(seen));
    }
}

TEST(UaCertificateTest, AKeptCertificateIsRenewedWhenItNamesAnotherUriOrExpiresWithinAWeek) {
    const struct {
        const char* uri;  // null: a file that is no certificate
        UA_UInt16 days;
        bool renewed;
        const wchar_t* notice;
    } rows[] = {{"urn:this", 365, false, L""},
                {"urn:this", 20, false, L"expires on"},
                {"urn:this", 3, true, L"a new one was made"},
                {"urn:renamed", 365, true, L"another application URI"},
                {nullptr, 365, true, L"could not be read"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.uri != nullptr ? row.uri : "garbage") + ", " + std::to_string(row.days) + " days");
        TempFolder folder;
        const std::wstring pki = folder.Path() + L"PKI";
        UaCertificate first;
        ASSERT_TRUE(LoadOrMakeCertificate(pki, "urn:this", "host", {}, first));
        UA_ByteString kept = UA_BYTESTRING_NULL, key = UA_BYTESTRING_NULL;
        if (row.uri != nullptr) {
            ASSERT_EQ(UA_STATUSCODE_GOOD,
                      MakeSelfSignedCertificate({"CN=kept"}, {std::string("URI:") + row.uri}, row.days, kept, key));
        } else {
            UA_ByteString_copy(&first.privateKey, &key);
            UA_ByteString_allocBuffer(&kept, 100);
            std::fill(kept.data, kept.data + kept.length, UA_Byte{0x30});
        }
        DWORD error = 0;
        ASSERT_TRUE(WriteFileReplacing(pki + L"\\own\\certs\\ToviExplorer.der",
                                       std::vector<BYTE>(kept.data, kept.data + kept.length), error));
        ASSERT_TRUE(WriteFileReplacing(pki + L"\\own\\private\\ToviExplorer.der",
                                       std::vector<BYTE>(key.data, key.data + key.length), error));
        UaCertificate next;
        ASSERT_TRUE(LoadOrMakeCertificate(pki, "urn:this", "host", {}, next));
        EXPECT_EQ(row.renewed, next.made);
        EXPECT_EQ(row.renewed, !UA_ByteString_equal(&kept, &next.certificate));
        EXPECT_NE(std::wstring::npos, next.notice.find(row.notice)) << ToUtf8(next.notice);
        // What the next start finds is what this one serves.
        UaCertificate third;
        ASSERT_TRUE(LoadOrMakeCertificate(pki, "urn:this", "host", {}, third));
        EXPECT_TRUE(UA_ByteString_equal(&next.certificate, &third.certificate));
        UA_ByteString_clear(&kept);
        UA_ByteString_clear(&key);
    }
}

TEST_F(UaEndpointTest, APortInUseCostsOnlyTheSecondEndpoint) {
    Configuration other;
    UaEndpoint second(other);
    UaEndpointOptions options;
    options.port = kPort;
    options.pkiFolder = m_folder.Path() + L"PKI";
    EXPECT_FALSE(second.Start(options));
    EXPECT_NE(std::wstring::npos, second.StatusText().find(L"port 48451")) << ToUtf8(second.StatusText());
    EXPECT_EQ(L"OPC UA: not serving (see the event log)", second.PaneText());
    EXPECT_EQ(L"OPC UA: opc.tcp://localhost:48451/", m_endpoint.PaneText());
    // The first serves on, the second may start on a free port.
    Client client(kPort);
    EXPECT_TRUE(client.Connected());
    options.port = kPort + 1;
    EXPECT_TRUE(second.Start(options)) << ToUtf8(second.StatusText());
    EXPECT_TRUE(Client(kPort + 1).Connected());
    second.Stop(L"", 0);
}

namespace {
// Bad input, large folders and edits under load, on ports of their own.
class UaEndpointEdgeTest : public UaEndpointTest {
protected:
    UaEndpointEdgeTest() { m_port = 48511; }
};

// Tags T0, T1, ... made before their group joins a configuration: the endpoint takes them in at once.
ToviTagGroup* NewGroup(const std::wstring& name, int tags) {
    auto* group = new ToviTagGroup;
    group->Rename(name);
    for (int i = 0; i < tags; ++i) group->AddTag(NewTag(L"T" + std::to_wstring(i), VT_R8, Variant()));
    return group;
}

// An edit that never returns is a deadlock that would hang the whole run: it ends the process instead.
void WithinAMinute(const char* what, const std::function<void()>& edit) {
    auto done = std::async(std::launch::async, edit);
    if (done.wait_for(std::chrono::minutes(1)) == std::future_status::ready) return done.get();
    std::fprintf(stderr, "%s has not returned within a minute: deadlock\n", what);
    std::fflush(stderr);
    std::_Exit(3);
}
}  // namespace

TEST_F(UaEndpointEdgeTest, NodeIdsOfAnyLengthKindOrNamespaceAreUnknownAndTheSessionServesOn) {
    Client client(m_port);
    ASSERT_TRUE(client.Connected());
    const UA_UInt16 ns = client.Namespace();
    std::list<std::string> texts;  // the NodeIds borrow these
    auto text = [&](UA_UInt16 index, std::string id) {
        texts.push_back(std::move(id));
        UA_NodeId nodeId = UA_NODEID_STRING(index, const_cast<char*>(""));
        nodeId.identifier.string = {texts.back().size(), reinterpret_cast<UA_Byte*>(texts.back().data())};
        return nodeId;
    };
    const struct {
        const char* what;
        UA_NodeId id;
    } cases[] = {
        {"empty", text(ns, "")},
        {"1 byte", text(ns, "D")},
        {"4096 bytes", text(ns, std::string(4096, 'D'))},
        {"70000 bytes", text(ns, std::string(70000, 'D'))},
        {"not UTF-8", text(ns, "Dev.\xC3\x28")},
        {"namespace 99", text(99, "Dev.A")},
        {"namespace 65535", text(65535, "Dev.A")},
        {"numeric", UA_NODEID_NUMERIC(ns, 1)},
        {"GUID", UA_NODEID_GUID(ns, UA_Guid_random())},
        {"opaque", UA_NODEID_BYTESTRING(ns, const_cast<char*>("Dev.A"))},
    };
    UA_Double one = 1;
    UA_DataValue written;
    UA_DataValue_init(&written);
    UA_Variant_setScalar(&written.value, &one, &UA_TYPES[UA_TYPES_DOUBLE]);
    written.hasValue = true;
    Client::Watch watch;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_STREQ("BadNodeIdUnknown", UA_StatusCode_name(client.Read(c.id)));
        EXPECT_STREQ("BadNodeIdUnknown", UA_StatusCode_name(client.Write(c.id, written)));
        UA_BrowseResult browsed = client.Browse(c.id);
        EXPECT_STREQ("BadNodeIdUnknown", UA_StatusCode_name(browsed.statusCode));
        UA_BrowseResult_clear(&browsed);
        EXPECT_STREQ("BadNodeIdUnknown", UA_StatusCode_name(client.Monitor(c.id, watch)));
        ASSERT_EQ(UA_STATUSCODE_GOOD, client.Read("Dev.A"));
    }
}

TEST_F(UaEndpointEdgeTest, AWriteOfAWrongTypeArrayNullOrMetadataIsRefusedAndTheTagKeepsItsValue) {
    const struct {
        const wchar_t* name;
        VARTYPE type;
        const wchar_t* value;
    } tags[] = {{L"Bool", VT_BOOL, L"-1"},         {L"Int", VT_I4, L"7"},
                {L"Real", VT_R8, L"2.5"},          {L"Text", VT_BSTR, L"t"},
                {L"Date", VT_DATE, L"2026-12-08"}, {L"Money", VT_CY, L"12.5"}};
    for (const auto& tag : tags) {
        const Variant value = Variant::FromString(tag.value).ConvertedTo(tag.type);
        ASSERT_TRUE(m_configuration.AddTagTo(m_device, NewTag(tag.name, tag.type, value)));
    }
    Client client(m_port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitFor(2000, [&] { return client.Read("Dev.Money") == UA_STATUSCODE_GOOD; }));
    auto valueOf = [](int type, void* data, size_t count = 0) {  // type -1: a null variant
        UA_DataValue value;
        UA_DataValue_init(&value);
        value.hasValue = true;
        if (type >= 0 && count > 0) UA_Variant_setArray(&value.value, data, count, &UA_TYPES[type]);
        if (type >= 0 && count == 0) UA_Variant_setScalar(&value.value, data, &UA_TYPES[type]);
        return value;
    };
    auto refused = [&](const std::wstring& name, const UA_DataValue& value, const char* expected) {
        OPCS_Tag* tag = m_configuration.FindTag(L"Dev." + name);
        ASSERT_NE(nullptr, tag);
        const std::string before = ToUtf8(TextOfValue(tag->GetValue()));
        EXPECT_STREQ(expected, UA_StatusCode_name(client.Write(client.Id("Dev." + ToUtf8(name)), value)));
        EXPECT_EQ(before, ToUtf8(TextOfValue(tag->GetValue())));
    };

    // Every other type, even one that would convert, and an array of the tag's own type.
    UA_Boolean boolean = true;
    UA_Int32 int32 = 1;
    UA_Int64 int64 = 1;
    UA_Float single = 1;
    UA_Double real = 1;
    UA_String digits = UA_STRING(const_cast<char*>("12"));
    UA_ByteString bytes = UA_BYTESTRING(const_cast<char*>("12"));
    UA_DateTime now = UA_DateTime_now();
    UA_Guid guid = UA_Guid_random();
    UA_LocalizedText localized = UA_LOCALIZEDTEXT(const_cast<char*>("en"), const_cast<char*>("12"));
    const std::pair<int, void*> samples[] = {{UA_TYPES_BOOLEAN, &boolean},  {UA_TYPES_INT32, &int32},
                                             {UA_TYPES_INT64, &int64},      {UA_TYPES_FLOAT, &single},
                                             {UA_TYPES_DOUBLE, &real},      {UA_TYPES_STRING, &digits},
                                             {UA_TYPES_BYTESTRING, &bytes}, {UA_TYPES_DATETIME, &now},
                                             {UA_TYPES_GUID, &guid},        {UA_TYPES_LOCALIZEDTEXT, &localized}};
    for (const auto& tag : tags) {
        for (const auto& [type, data] : samples) {
            const bool own = &UA_TYPES[type] == UaTypeOf(tag.type);
            SCOPED_TRACE(ToUtf8(tag.name) + " <- " + UA_TYPES[type].typeName + (own ? "[1]" : ""));
            refused(tag.name, valueOf(type, data, own ? 1 : 0), "BadTypeMismatch");
        }
        SCOPED_TRACE(ToUtf8(tag.name) + " <- null");
        refused(tag.name, valueOf(-1, nullptr), "BadTypeMismatch");
    }

    // The tag's own type, beyond the DA type's range or no number at all.
    UA_String huge = UA_STRING(const_cast<char*>("1e300")), junk = UA_STRING(const_cast<char*>("junk"));
    UA_DateTime beyond = UA_DateTime_fromUnixTime(253402300800);  // 10000-01-01
    refused(L"Money", valueOf(UA_TYPES_STRING, &huge), "BadOutOfRange");
    refused(L"Money", valueOf(UA_TYPES_STRING, &junk), "BadTypeMismatch");
    refused(L"Date", valueOf(UA_TYPES_DATETIME, &beyond), "BadOutOfRange");

    // A DA server writes values only: no value at all, or a status, a server timestamp, picoseconds.
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        UA_DataValue value = valueOf(UA_TYPES_DOUBLE, &real);
        value.hasValue = i != 0;
        value.hasStatus = i == 1;
        value.status = UA_STATUSCODE_UNCERTAIN;
        value.hasServerTimestamp = i == 2;
        value.serverTimestamp = now;
        value.hasSourcePicoseconds = i == 3;
        value.hasServerPicoseconds = i == 4;
        value.sourcePicoseconds = value.serverPicoseconds = 5;
        refused(L"Real", value, i == 0 ? "BadTypeMismatch" : "BadWriteNotSupported");
    }
}

TEST_F(UaEndpointEdgeTest, AFolderOf100000TagsIsBrowsedInPagesEachTagOnce) {
    constexpr int kTags = 100000;
    Client client(m_port, 60000);  // the endpoint's thread is busy a while taking the tags in
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(m_configuration.AddGroupTo(m_device, NewGroup(L"Big", kTags)));
    ASSERT_TRUE(WaitFor(60000, [&] { return client.Read("Dev.Big.T99999") == UA_STATUSCODE_GOOD; }));

    const UA_NodeId folder = client.Id("Dev.Big");
    std::map<std::string, int> seen;
    UA_BrowseResult page = client.Browse(folder, 1000);
    for (;;) {
        ASSERT_STREQ("Good", UA_StatusCode_name(page.statusCode)) << seen.size() << " seen";
        ASSERT_LE(page.referencesSize, 1000u);
        for (size_t i = 0; i < page.referencesSize; ++i) {
            const UA_String& name = page.references[i].browseName.name;
            ++seen[std::string(reinterpret_cast<const char*>(name.data), name.length)];
        }
        if (page.continuationPoint.length == 0) break;
        UA_BrowseResult next = client.BrowseNext(page.continuationPoint, false);
        UA_BrowseResult_clear(&page);
        page = next;
    }
    UA_BrowseResult_clear(&page);
    EXPECT_EQ(size_t{kTags}, seen.size());
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const auto& name) { return name.second == 1; }));
    // Asked for all at once, it still answers in pages of a size that can be sent.
    UA_BrowseResult all = client.Browse(folder);
    EXPECT_STREQ("Good", UA_StatusCode_name(all.statusCode));
    EXPECT_EQ(10000u, all.referencesSize);
    UA_BrowseResult rest = client.BrowseNext(all.continuationPoint, true);
    EXPECT_STREQ("Good", UA_StatusCode_name(rest.statusCode));
    UA_BrowseResult_clear(&rest);
    UA_BrowseResult_clear(&all);

    // A session holds a few continuation points: a released one is free again
    // and invalid from then on, as is one made up.
    UA_Variant most;
    UA_Variant_init(&most);
    ASSERT_EQ(UA_STATUSCODE_GOOD,
              client.Read(UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERCAPABILITIES_MAXBROWSECONTINUATIONPOINTS), &most));
    ASSERT_TRUE(UA_Variant_hasScalarType(&most, &UA_TYPES[UA_TYPES_UINT16]));
    std::vector<UA_BrowseResult> held(*static_cast<UA_UInt16*>(most.data) + 1);
    UA_Variant_clear(&most);
    for (UA_BrowseResult& result : held) result = client.Browse(folder, 10);
    for (size_t i = 0; i + 1 < held.size(); ++i) EXPECT_GT(held[i].continuationPoint.length, 0u) << i;
    EXPECT_STREQ("BadNoContinuationPoints", UA_StatusCode_name(held.back().statusCode));
    UA_BrowseResult released = client.BrowseNext(held[0].continuationPoint, true);
    EXPECT_STREQ("Good", UA_StatusCode_name(released.statusCode));
    UA_BrowseResult again = client.BrowseNext(held[0].continuationPoint, false);
    EXPECT_STREQ("BadContinuationPointInvalid", UA_StatusCode_name(again.statusCode));
    UA_BrowseResult freed = client.Browse(folder, 10);
    EXPECT_GT(freed.continuationPoint.length, 0u);
    UA_BrowseResult madeUp = client.BrowseNext(UA_BYTESTRING(const_cast<char*>("made up")), false);
    EXPECT_STREQ("BadContinuationPointInvalid", UA_StatusCode_name(madeUp.statusCode));
    for (UA_BrowseResult* result : {&released, &again, &freed, &madeUp}) UA_BrowseResult_clear(result);
    for (UA_BrowseResult& result : held) UA_BrowseResult_clear(&result);
}

TEST_F(UaEndpointEdgeTest, EditsImportsAndFileOpenWhile10000ItemsAreMonitored) {
    constexpr int kGroups = 4, kPerGroup = 2500, kItems = kGroups * kPerGroup;
    std::vector<ToviTagGroup*> groups;
    std::vector<std::string> ids;
    for (int g = 0; g < kGroups; ++g) {
        groups.push_back(NewGroup(L"G" + std::to_wstring(g), kPerGroup));
        ASSERT_TRUE(m_configuration.AddGroupTo(m_device, groups.back()));
        for (int i = 0; i < kPerGroup; ++i) ids.push_back("Dev.G" + std::to_string(g) + ".T" + std::to_string(i));
    }
    Client watcher(m_port, 60000), reader(m_port);
    ASSERT_TRUE(watcher.Connected() && reader.Connected());
    ASSERT_TRUE(WaitFor(30000, [&] { return reader.Read(ids.back()) == UA_STATUSCODE_GOOD; }));

    // One subscription: half the items sampled by exception, half every 100 ms.
    struct Seen {
        std::atomic<unsigned> changes{0};
        std::atomic<UA_StatusCode> last{UA_STATUSCODE_GOOD};
    };
    std::vector<Seen> seen(kItems);
    std::vector<UA_MonitoredItemCreateRequest> items;
    std::vector<void*> contexts;
    for (int i = 0; i < kItems; ++i) {
        items.push_back(UA_MonitoredItemCreateRequest_default(watcher.Id(ids[i])));
        items.back().requestedParameters.samplingInterval = i % 2 == 0 ? 0 : 100;
        contexts.push_back(&seen[i]);
    }
    std::vector<UA_Client_DataChangeNotificationCallback> callbacks(
        kItems, [](UA_Client*, UA_UInt32, void*, UA_UInt32, void* context, UA_DataValue* value) {
            static_cast<Seen*>(context)->last = value->status;
            ++static_cast<Seen*>(context)->changes;
        });
    std::vector<UA_Client_DeleteMonitoredItemCallback> deletes(kItems, nullptr);
    UA_CreateMonitoredItemsRequest request;
    UA_CreateMonitoredItemsRequest_init(&request);
    request.subscriptionId = watcher.Subscription();
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_SOURCE;
    request.itemsToCreate = items.data();
    request.itemsToCreateSize = items.size();
    UA_CreateMonitoredItemsResponse created = UA_Client_MonitoredItems_createDataChanges(
        watcher.Raw(), request, contexts.data(), callbacks.data(), deletes.data());
    const auto good = std::count_if(created.results, created.results + created.resultsSize,
                                    [](const auto& result) { return result.statusCode == UA_STATUSCODE_GOOD; });
    UA_CreateMonitoredItemsResponse_clear(&created);
    ASSERT_EQ(kItems, good);

    // The values keep changing as a device's poll changes them, and the client keeps publishing.
    std::jthread writer([&](std::stop_token stop) {
        for (double round = 1; !stop.stop_requested(); ++round) {
            {
                ScopedLock guard(m_configuration.Lock());
                Dll<OPCS_Device*> devices;
                m_configuration.CopyDeviceList(devices);
                auto walk = [&](auto& self, OPCS_TagGroup* group) -> void {
                    for (OPCS_Tag* tag : group->SnapshotTags()) tag->SetValueNow(Variant::FromDouble(round));
                    for (OPCS_TagGroup* child : group->SnapshotGroups()) self(self, child);
                };
                for (OPCS_Device* device : devices) walk(walk, device);
            }
            Sleep(50);
        }
    });
    std::jthread publishing([&](std::stop_token stop) {
        while (!stop.stop_requested()) UA_Client_run_iterate(watcher.Raw(), 20);
    });
    auto range = [](int first, int count) {
        std::vector<int> list(count);
        std::iota(list.begin(), list.end(), first);
        return list;
    };
    auto allSoon = [&](const std::vector<int>& list, auto condition) {
        return WaitFor(20000,
                       [&] { return std::all_of(list.begin(), list.end(), [&](int i) { return condition(i); }); });
    };
    auto gone = [&](const std::vector<int>& list) {
        return allSoon(list, [&](int i) { return seen[i].last == UA_STATUSCODE_BADNODEIDUNKNOWN; });
    };
    auto changing = [&](const std::vector<int>& list) {
        std::vector<unsigned> before(kItems);
        for (int i : list) before[i] = seen[i].changes;
        return allSoon(list, [&](int i) { return seen[i].changes > before[i] && seen[i].last == UA_STATUSCODE_GOOD; });
    };
    auto readable = [&](const char* itemId) {
        return WaitFor(20000, [&] { return reader.Read(itemId) == UA_STATUSCODE_GOOD; });
    };
    const std::vector<int> g0 = range(0, kPerGroup), g3 = range(3 * kPerGroup, kPerGroup);
    const std::vector<int> refused = range(2 * kPerGroup, 500), g2Kept = range(2 * kPerGroup + 500, kPerGroup - 500);
    ASSERT_TRUE(changing(range(0, kItems)));

    WithinAMinute("renaming a group", [&] { groups[1]->Rename(L"G1x"); });
    EXPECT_TRUE(gone(range(kPerGroup, kPerGroup)));
    EXPECT_TRUE(readable("Dev.G1x.T0"));
    EXPECT_TRUE(changing(g0));

    WithinAMinute("deleting tags", [&] {
        // As the tag list would: refused while the device polls for its watchers, as for a DA client's items.
        ScopedLock guard(m_configuration.Lock());
        for (int i : refused) {
            OPCS_Tag* tag = m_configuration.FindTag(FromUtf8(ids[i]));
            const bool removed = tag != nullptr && groups[2]->RemoveTag(tag);
            EXPECT_FALSE(removed) << ids[i];
            if (removed) delete tag;
        }
    });
    EXPECT_TRUE(changing(refused));
    EXPECT_TRUE(changing(g2Kept));
    WithinAMinute("adding tags", [&] {
        for (int i = 0; i < 100; ++i) {
            EXPECT_TRUE(m_configuration.AddTagTo(groups[2], NewTag(L"N" + std::to_wstring(i), VT_R8, Variant())));
        }
    });
    EXPECT_TRUE(readable("Dev.G2.N99"));

    std::string csv = "ItemID,Type,Access,Description,Value,Quality,ValueLimits,ValueLow,ValueHigh,Volatile\r\n";
    for (int i = 0; i < 100; ++i) {
        csv += "Dev.G3.T" + std::to_string(i) + ",Double,Read/Write,,5,192,0,0,0,0\r\n";
        csv += "Dev.Imported.X" + std::to_string(i) + ",Double,Read/Write,,5,192,0,0,0,0\r\n";
    }
    DWORD error = 0;
    ASSERT_TRUE(WriteFileReplacing(m_folder.File(L"import.csv"), std::vector<BYTE>(csv.begin(), csv.end()), error));
    WithinAMinute("importing",
                  [&] { EXPECT_TRUE(m_configuration.ImportTags(m_folder.File(L"import.csv")).Succeeded()); });
    EXPECT_TRUE(readable("Dev.Imported.X99"));
    EXPECT_TRUE(changing(g3));

    // File > Open of a configuration with G3's tags only.
    {
        Configuration other;
        ToviDevice* device = NewDevice(L"Dev");
        ASSERT_TRUE(other.AddDevice(device) && other.AddGroupTo(device, NewGroup(L"G3", kPerGroup)));
        ASSERT_TRUE(other.Save(m_folder.File(L"other.tvf")).saved);
    }
    for (int round = 0; round < 3; ++round) {
        WithinAMinute("File > Open",
                      [&] { EXPECT_TRUE(m_configuration.Load(m_folder.File(L"other.tvf"), nullptr).loaded); });
        EXPECT_TRUE(gone(g0));
        EXPECT_TRUE(gone(g2Kept));
        EXPECT_TRUE(changing(g3)) << "File > Open " << round;
    }
    WithinAMinute("clearing", [&] { m_configuration.Clear(); });
    EXPECT_TRUE(gone(g3));
    // The subscription lived through it all.
    publishing.request_stop();
    publishing.join();
    Client::Watch state;
    EXPECT_STREQ("Good",
                 UA_StatusCode_name(watcher.Monitor(UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_STATE), state)));
}

// The deepest tree the configuration takes is served to its bottom: the
// endpoint's walk makes every folder of it.
TEST_F(UaEndpointTest, TheDeepestTreeAllowedIsServedToItsBottom) {
    ToviTagGroup* top = NewGroup(L"G", 0);
    ToviTagGroup* bottom = top;
    std::string folder = "Dev.G";
    for (size_t level = 1; level < kMaxGroupDepth; ++level, folder += ".G") {
        ToviTagGroup* below = NewGroup(L"G", 0);
        ASSERT_TRUE(bottom->AddGroup(below)) << level;
        bottom = below;
    }
    ASSERT_TRUE(bottom->AddTag(NewTag(L"T", VT_I4, Variant::FromLong(5))));
    ASSERT_TRUE(m_configuration.AddGroupTo(m_device, top));
    Client client(m_port, 30000);
    ASSERT_TRUE(client.Connected());
    UA_Variant value;
    UA_Variant_init(&value);
    ASSERT_TRUE(WaitFor(20000, [&] { return client.Read(folder + ".T", &value) == UA_STATUSCODE_GOOD; }));
    EXPECT_TRUE(UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_INT32]) &&
                *static_cast<UA_Int32*>(value.data) == 5);
    UA_Variant_clear(&value);
    EXPECT_EQ(std::vector<std::string>{"T"}, client.Browse(folder));
    EXPECT_EQ(std::vector<std::string>{"G"}, client.Browse(folder.substr(0, folder.size() - 2)));
}

namespace {
class UaScopedShapeTest : public UaEndpointTest {
protected:
    UaScopedShapeTest() { m_port = 48512; }
};
}  // namespace

// Each change of shape is followed where it happened: the tags listed are the
// changed group's (or none for the device list), no change walks the whole
// configuration, nodes elsewhere never hear of it, and a full walk afterwards
// finds nothing left to do.
TEST_F(UaScopedShapeTest, AChangeListsOnlyItsGroupAndLeavesTheRestUntouched) {
    constexpr int kPerGroup = 200;
    std::vector<ToviTagGroup*> groups;
    for (int g = 0; g < 5; ++g) {
        groups.push_back(NewGroup(L"G" + std::to_wstring(g), kPerGroup));
        ASSERT_TRUE(m_configuration.AddGroupTo(m_device, groups.back()));
    }
    ToviDevice* quiet = NewDevice(L"Quiet");
    ASSERT_TRUE(m_configuration.AddDevice(quiet) && m_configuration.AddGroupTo(quiet, NewGroup(L"H", 10 * kPerGroup)));
    ToviDevice* freeDevice = NewDevice(L"Free");
    std::vector<ToviTagGroup*> free{NewGroup(L"F0", kPerGroup), NewGroup(L"F1", kPerGroup)};
    ASSERT_TRUE(m_configuration.AddDevice(freeDevice) && m_configuration.AddGroupTo(freeDevice, free[0]) &&
                m_configuration.AddGroupTo(freeDevice, free[1]));
    auto* p = NewGroup(L"P", 2);
    auto* q = NewGroup(L"Q", 3);
    ASSERT_TRUE(m_configuration.AddGroupTo(m_device, p) && m_configuration.AddGroupTo(m_device, q));
    Client client(m_port, 30000);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitFor(20000, [&] { return client.Read("Dev.Q.T2") == UA_STATUSCODE_GOOD; }));
    Client::Watch onQuiet, onRenamedTag, onRenamedGroup, onKept;
    Client::ModelChanges modelChanges;
    for (auto [id, watch] : {std::pair{"Quiet.H.T0", &onQuiet},
                             {"Dev.G2.T0", &onRenamedTag},
                             {"Dev.G3.T0", &onRenamedGroup},
                             {"Dev.G4.T1", &onKept}}) {
        ASSERT_EQ(UA_STATUSCODE_GOOD, client.Monitor(id, *watch)) << id;
    }
    ASSERT_EQ(UA_STATUSCODE_GOOD, client.MonitorModelChanges(modelChanges));
    ASSERT_TRUE(client.RunUntil([&] { return !onKept.statuses.empty(); }));
    const UaAddressSpace& space = m_endpoint.AddressSpace();
    const unsigned long wholeWalks = space.WholeWalks();

    std::string csv = "ItemID,Type,Access,Description,Value,Quality,ValueLimits,ValueLow,ValueHigh,Volatile\r\n";
    for (int i = 0; i < 100; ++i) csv += "Dev.G1.I" + std::to_string(i) + ",Double,Read/Write,,5,192,0,0,0,0\r\n";
    DWORD error = 0;
    ASSERT_TRUE(WriteFileReplacing(m_folder.File(L"import.csv"), std::vector<BYTE>(csv.begin(), csv.end()), error));

    constexpr UA_StatusCode kUnknown = UA_STATUSCODE_BADNODEIDUNKNOWN;
    struct Step {
        const char* what;
        std::function<void()> change;
        std::vector<std::pair<const char*, UA_StatusCode>> reads;  // all hold once it is served
        unsigned long long mostListed;                             // tags read from the configuration
        size_t nodesChanged;                                       // in the model change events
    };
    const Step steps[] = {
        {"a tag added",
         [&] { ASSERT_TRUE(m_configuration.AddTagTo(groups[1], NewTag(L"New", VT_R8, Variant()))); },
         {{"Dev.G1.New", UA_STATUSCODE_GOOD}},
         kPerGroup + 1,
         1},
        {"a tag renamed",
         [&] { m_configuration.FindTag(L"Dev.G2.T0")->Rename(L"T0x"); },
         {{"Dev.G2.T0x", UA_STATUSCODE_GOOD}, {"Dev.G2.T0", kUnknown}},
         kPerGroup,
         2},
        // The subtree moves with it; the device's own members are listed, not its groups'.
        {"a group renamed",
         [&] { groups[3]->Rename(L"G3x"); },
         {{"Dev.G3x.T199", UA_STATUSCODE_GOOD}, {"Dev.G3.T199", kUnknown}},
         kPerGroup + 1,
         2 + 2 * kPerGroup},
        // As for a DA client's item: its device polls for the watcher.
        {"a watched group's deletion refused",
         [&] { ASSERT_EQ(Configuration::DeleteResult::InUse, m_configuration.DeleteItem(groups[4])); },
         {{"Dev.G4.T1", UA_STATUSCODE_GOOD}},
         0,
         0},
        {"100 tags imported",
         [&] { ASSERT_TRUE(m_configuration.ImportTags(m_folder.File(L"import.csv")).Succeeded()); },
         {{"Dev.G1.I99", UA_STATUSCODE_GOOD}},
         2 * (kPerGroup + 101),  // each addition names the group: a pump may come between two
         100},
        {"a device added",
         [&] {
             ToviDevice* device = NewDevice(L"Late");
             ASSERT_TRUE(device->AddTag(NewTag(L"L", VT_I4, Variant::FromLong(3))));
             ASSERT_TRUE(m_configuration.AddDevice(device));
         },
         {{"Late.L", UA_STATUSCODE_GOOD}},
         1,
         2},
        // A device that polls for a watcher refuses deletions: these go in one that does not.
        // The first scope names a group that is gone by the time it is looked at.
        {"a group changed, then deleted",
         [&] {
             ScopedLock guard(m_configuration.Lock());
             ASSERT_TRUE(m_configuration.AddTagTo(free[1], NewTag(L"Doomed", VT_R8, Variant())));
             ASSERT_EQ(Configuration::DeleteResult::Deleted, m_configuration.DeleteItem(free[1]));
         },
         {{"Free.F1.T0", kUnknown}, {"Free.F1.Doomed", kUnknown}, {"Free.F1", kUnknown}},
         0,
         1 + kPerGroup},
        // A new group in a deleted one's place, and two groups that swap names: the folders are the new groups'.
        {"a group deleted and made again",
         [&] {
             ScopedLock guard(m_configuration.Lock());
             ASSERT_EQ(Configuration::DeleteResult::Deleted, m_configuration.DeleteItem(free[0]));
             ASSERT_TRUE(m_configuration.AddGroupTo(freeDevice, NewGroup(L"F0", 3)));
         },
         {{"Free.F0.T2", UA_STATUSCODE_GOOD}, {"Free.F0.T3", kUnknown}},
         3,
         kPerGroup - 3},  // the same item IDs keep their nodes
        {"two groups swap names",
         [&] {
             ScopedLock guard(m_configuration.Lock());
             p->Rename(L"Swap");
             q->Rename(L"P");
             p->Rename(L"Q");
         },
         {{"Dev.P.T2", UA_STATUSCODE_GOOD}, {"Dev.Q.T2", kUnknown}, {"Dev.Q.T1", UA_STATUSCODE_GOOD}},
         1 + 2 + 3,
         2},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const unsigned long long listed = space.TagsListed();
        const size_t changesBefore = modelChanges.changes.size();
        step.change();
        ASSERT_TRUE(client.RunUntil([&] {
            return std::all_of(step.reads.begin(), step.reads.end(),
                               [&](const auto& read) { return client.Read(read.first) == read.second; });
        }));
        EXPECT_TRUE(client.RunUntil([&] { return modelChanges.changes.size() >= changesBefore + step.nodesChanged; }));
        client.RunUntil([] { return false; }, 300);  // a stray change would come meanwhile
        EXPECT_EQ(step.nodesChanged, modelChanges.changes.size() - changesBefore);
        EXPECT_LE(space.TagsListed() - listed, step.mostListed);
        EXPECT_EQ(wholeWalks, space.WholeWalks());
    }
    // Watchers of what went heard that it went; the untouched device's heard nothing.
    for (const Client::Watch* gone : {&onRenamedTag, &onRenamedGroup}) EXPECT_EQ(kUnknown, gone->statuses.back());
    for (const Client::Watch* kept : {&onQuiet, &onKept}) {
        EXPECT_EQ(std::vector<UA_StatusCode>{UA_STATUSCODE_GOOD}, kept->statuses);
    }
    for (const auto& [id, verb] : modelChanges.changes) EXPECT_NE(0u, id.rfind("Quiet", 0)) << id;
    EXPECT_EQ((std::vector<std::string>{"A", "G0", "G1", "G2", "G3x", "G4", "P", "Q"}), client.Browse("Dev"));
    EXPECT_EQ(std::vector<std::string>{"F0"}, client.Browse("Free"));
    EXPECT_EQ((std::vector<std::string>{"T0", "T1", "T2"}), client.Browse("Dev.P"));

    // A walk of everything (fault control's branches come and go) finds the rest as it should be.
    const size_t changesBefore = modelChanges.changes.size();
    m_configuration.EnableFaultControl(true);
    m_configuration.EnableFaultControl(false);
    ASSERT_TRUE(client.RunUntil([&] { return client.Read("Dev._Control.InService") == kUnknown; }));
    client.RunUntil([] { return false; });
    EXPECT_LT(wholeWalks, space.WholeWalks());
    for (size_t i = changesBefore; i < modelChanges.changes.size(); ++i) {
        EXPECT_NE(std::string::npos, modelChanges.changes[i].first.find("_Control")) << modelChanges.changes[i].first;
    }
}
