// The endpoint in this process, seen through the library's own UA client: the
// nodes follow every change of the configuration's shape while a client
// watches, and values of every DA type reach UA and come back.
#include "UaLibrary.h"
// The library's client, after the same Winsock order.
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <algorithm>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "Configuration.h"
#include "OpcConstants.h"
#include "TempFolder.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "UaCommon.h"
#include "UaEndpoint.h"
#include "UaMapping.h"

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

ToviDevice* NewDevice(const std::wstring& name) {
    auto* device = new ToviDevice;
    device->Rename(name);
    return device;
}

// A UA client of the endpoint with one subscription; the server thread runs
// by itself, the client's work is done in Run.
class Client {
public:
    explicit Client(unsigned port) : m_client(UA_Client_new()) {
        UA_ClientConfig* config = UA_Client_getConfig(m_client);
        config->logging = &QuietUaLogger();
        UA_ClientConfig_setDefault(config);
        config->logging = &QuietUaLogger();
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

    UA_NodeId Id(const std::string& itemId) {
        m_ids.push_back(itemId);
        return UA_NODEID_STRING(m_namespace, const_cast<char*>(m_ids.back().c_str()));
    }

    // The value's status (its quality) or the read's own failure.
    UA_StatusCode Read(const std::string& itemId, UA_Variant* value = nullptr) {
        UA_ReadValueId what;
        UA_ReadValueId_init(&what);
        what.nodeId = Id(itemId);
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

    // The names of a folder's children, or of a node's targets of another reference type in any namespace.
    std::vector<std::string> Browse(const std::string& folder, UA_UInt32 referenceType = 0) {
        UA_BrowseDescription description;
        UA_BrowseDescription_init(&description);
        description.nodeId = folder.empty() ? UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER) : Id(folder);
        description.resultMask = UA_BROWSERESULTMASK_BROWSENAME;
        description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
        description.referenceTypeId =
            UA_NODEID_NUMERIC(0, referenceType != 0 ? referenceType : UA_NS0ID_HIERARCHICALREFERENCES);
        description.includeSubtypes = true;
        UA_BrowseRequest request;
        UA_BrowseRequest_init(&request);
        request.nodesToBrowse = &description;
        request.nodesToBrowseSize = 1;
        UA_BrowseResponse response = UA_Client_Service_browse(m_client, request);
        std::vector<std::string> names;
        const UA_BrowseResult empty{};
        const UA_BrowseResult& result = response.resultsSize == 1 ? response.results[0] : empty;
        for (size_t i = 0; i < result.referencesSize; ++i) {
            const UA_QualifiedName& name = result.references[i].browseName;
            if (name.namespaceIndex == m_namespace || referenceType != 0)
                names.emplace_back(reinterpret_cast<char*>(name.name.data), name.name.length);
        }
        UA_BrowseResponse_clear(&response);
        std::sort(names.begin(), names.end());
        return names;
    }

    // A monitored item sampled by exception; its changes are kept in `changes`.
    struct Watch {
        std::vector<UA_StatusCode> statuses;
        std::vector<double> values;
    };
    UA_StatusCode Monitor(const std::string& itemId, Watch& watch) {
        UA_MonitoredItemCreateRequest request = UA_MonitoredItemCreateRequest_default(Id(itemId));
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
        UA_MonitoredItemCreateRequest item;
        UA_MonitoredItemCreateRequest_init(&item);
        item.itemToMonitor.nodeId = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER);
        item.itemToMonitor.attributeId = UA_ATTRIBUTEID_EVENTNOTIFIER;
        item.monitoringMode = UA_MONITORINGMODE_REPORTING;
        UA_QualifiedName names[2] = {UA_QUALIFIEDNAME(0, const_cast<char*>("EventType")),
                                     UA_QUALIFIEDNAME(0, const_cast<char*>("Changes"))};
        UA_SimpleAttributeOperand select[2];
        for (int i = 0; i < 2; ++i) {
            UA_SimpleAttributeOperand_init(&select[i]);
            select[i].typeDefinitionId = UA_NODEID_NUMERIC(0, i == 0 ? UA_NS0ID_BASEEVENTTYPE : 2133);
            select[i].browsePathSize = 1;
            select[i].browsePath = &names[i];
            select[i].attributeId = UA_ATTRIBUTEID_VALUE;
        }
        UA_EventFilter filter;
        UA_EventFilter_init(&filter);
        filter.selectClauses = select;
        filter.selectClausesSize = 2;
        item.requestedParameters.filter.encoding = UA_EXTENSIONOBJECT_DECODED;
        item.requestedParameters.filter.content.decoded.data = &filter;
        item.requestedParameters.filter.content.decoded.type = &UA_TYPES[UA_TYPES_EVENTFILTER];
        item.requestedParameters.queueSize = 100;
        return UA_Client_MonitoredItems_createEvent(m_client, m_subscription, UA_TIMESTAMPSTORETURN_BOTH, item, &seen,
                                                    &Client::Event, nullptr)
            .statusCode;
    }

    // Works the client until `done` holds or two seconds have passed.
    bool RunUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            UA_Client_run_iterate(m_client, 20);
        }
        return true;
    }

private:
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
        options.port = kPort;
        options.pkiFolder = m_folder.Path() + L"PKI";
        ASSERT_TRUE(m_endpoint.Start(options)) << ToUtf8(m_endpoint.StatusText());
    }
    void TearDown() override { m_endpoint.Stop(L"", 0); }

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
    }
    EXPECT_EQ(4u, onA.statuses.size());
    EXPECT_EQ(4, std::count(onA.statuses.begin(), onA.statuses.end(), UA_STATUSCODE_GOOD));

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
