// The history service of the endpoint in this process, seen through the
// library's own UA client: raw pages that resume exactly, continuation points
// that belong to one session, bounds, interpolation at times, aggregates,
// edits by role, what the server says it can do, and requests far too large.
#include "UaLibrary.h"
// The library's client, after the same Winsock order.
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "Configuration.h"
#include "CriticalSection.h"
#include "HistorySeries.h"
#include "TempFolder.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "UaCommon.h"
#include "UaEndpoint.h"
#include "UaHistoryMapping.h"
#include "UaMapping.h"

namespace {
constexpr unsigned kPort = 48471;
constexpr UA_DateTime kSecond = UA_DATETIME_SEC;
// Well inside the store's span, far from the live samples the tags record now.
const UA_DateTime kT0 = UA_DateTime_now() / kSecond * kSecond - 2 * 3600 * kSecond;

UA_DateTime At(double seconds) { return kT0 + static_cast<UA_DateTime>(seconds * kSecond); }

class HistoryClient {
public:
    explicit HistoryClient(unsigned port) : m_client(UA_Client_new()) {
        UA_ClientConfig* config = UA_Client_getConfig(m_client);
        config->logging = &QuietUaLogger();
        UA_ClientConfig_setDefault(config);
        config->logging = &QuietUaLogger();
        config->timeout = 10000;
        if (config->eventLoop != nullptr) config->eventLoop->logger = &QuietUaLogger();
        const std::string url = "opc.tcp://localhost:" + std::to_string(port) + "/";
        m_status = UA_Client_connect(m_client, url.c_str());
        UA_Variant namespaces;
        UA_Variant_init(&namespaces);
        UA_Client_readValueAttribute(m_client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_NAMESPACEARRAY), &namespaces);
        const auto* uris = static_cast<const UA_String*>(namespaces.data);
        for (size_t i = 0; i < namespaces.arrayLength; ++i) {
            if (TextOf(uris[i]) == L"urn:Zelkor:ToviExplorer:Tags") m_namespace = static_cast<UA_UInt16>(i);
        }
        UA_Variant_clear(&namespaces);
    }
    ~HistoryClient() {
        UA_Client_disconnect(m_client);
        UA_Client_delete(m_client);
    }
    bool Connected() const { return m_status == UA_STATUSCODE_GOOD && m_namespace != 0; }
    UA_Client* Raw() const { return m_client; }
    UA_UInt16 Namespace() const { return m_namespace; }
    UA_NodeId Id(const std::string& itemId) {
        m_ids.push_back(itemId);
        return UA_NODEID_STRING(m_namespace, const_cast<char*>(m_ids.back().c_str()));
    }

    // One read of any details for the given nodes and points.
    template <class Details>
    UA_HistoryReadResponse Read(const Details& details, const UA_DataType* type, const std::vector<UA_NodeId>& nodes,
                                const std::vector<UA_ByteString>& points = {}, bool release = false,
                                UA_TimestampsToReturn timestamps = UA_TIMESTAMPSTORETURN_SOURCE) {
        std::vector<UA_HistoryReadValueId> what(nodes.size());
        for (size_t i = 0; i < nodes.size(); ++i) {
            UA_HistoryReadValueId_init(&what[i]);
            what[i].nodeId = nodes[i];
            if (i < points.size()) what[i].continuationPoint = points[i];
        }
        UA_HistoryReadRequest request;
        UA_HistoryReadRequest_init(&request);
        UA_ExtensionObject_setValue(&request.historyReadDetails, const_cast<Details*>(&details), type);
        request.timestampsToReturn = timestamps;
        request.releaseContinuationPoints = release;
        request.nodesToRead = what.data();
        request.nodesToReadSize = what.size();
        return UA_Client_Service_historyRead(m_client, request);
    }
    UA_HistoryUpdateResponse Update(std::vector<UA_ExtensionObject> details) {
        UA_HistoryUpdateRequest request;
        UA_HistoryUpdateRequest_init(&request);
        request.historyUpdateDetails = details.data();
        request.historyUpdateDetailsSize = details.size();
        return UA_Client_Service_historyUpdate(m_client, request);
    }

private:
    UA_Client* m_client;
    UA_StatusCode m_status = UA_STATUSCODE_BAD;
    UA_UInt16 m_namespace = 0;
    std::list<std::string> m_ids;
};

UA_ReadRawModifiedDetails Raw(UA_DateTime start, UA_DateTime end, UA_UInt32 perNode, bool bounds = false) {
    UA_ReadRawModifiedDetails details;
    UA_ReadRawModifiedDetails_init(&details);
    details.startTime = start;
    details.endTime = end;
    details.numValuesPerNode = perNode;
    details.returnBounds = bounds;
    return details;
}

const UA_DataType* kRawType = &UA_TYPES[UA_TYPES_READRAWMODIFIEDDETAILS];

const UA_HistoryData* DataOf(const UA_HistoryReadResult& result) {
    return result.historyData.content.decoded.type == &UA_TYPES[UA_TYPES_HISTORYDATA]
               ? static_cast<const UA_HistoryData*>(result.historyData.content.decoded.data)
               : nullptr;
}

double NumberOf(const UA_DataValue& value) {
    if (!value.hasValue || value.value.type == nullptr) return NAN;
    switch (value.value.type->typeKind) {
    case UA_DATATYPEKIND_DOUBLE: return *static_cast<const UA_Double*>(value.value.data);
    case UA_DATATYPEKIND_INT32: return *static_cast<const UA_Int32*>(value.value.data);
    case UA_DATATYPEKIND_UINT32: return *static_cast<const UA_UInt32*>(value.value.data);
    default: return NAN;
    }
}

struct Seen {
    UA_DateTime time;
    double value;
    bool operator==(const Seen&) const = default;
};

class UaHistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* device = new ToviDevice;
        device->Rename(L"Dev");
        ASSERT_TRUE(m_configuration.AddDevice(device));
        m_device = device;
        const struct {
            const wchar_t* name;
            VARTYPE type;
            bool historized;
        } tags[] = {{L"F", VT_R8, true}, {L"I", VT_I4, true}, {L"S", VT_BSTR, true}, {L"N", VT_R8, false}};
        for (const auto& made : tags) {
            auto* tag = new ToviTag;
            tag->Rename(made.name);
            tag->SetAccessMode(1);
            tag->SetDataType(made.type);
            if (made.historized) tag->SetHistorize(true);
            ASSERT_TRUE(m_configuration.AddTagTo(device, tag));
        }
        UaEndpointOptions options;
        options.port = kPort;
        options.pkiFolder = m_folder.Path() + L"PKI";
        ASSERT_TRUE(m_endpoint.Start(options)) << ToUtf8(m_endpoint.StatusText());
    }
    void TearDown() override { m_endpoint.Stop(L"", 0); }

    std::shared_ptr<HistorySeries> Series(const wchar_t* itemId) {
        OPCS_Tag* tag = m_configuration.FindTag(itemId);
        return tag != nullptr ? tag->History() : nullptr;
    }
    // The tag's whole history from now on, as the client should see it.
    std::vector<Seen> Put(const wchar_t* itemId, const std::vector<std::pair<double, double>>& samples,
                          HistoryQuality quality = 0xC0) {
        std::vector<Seen> put;
        auto series = Series(itemId);
        // The series holds these alone, not the state the tag recorded when it began.
        series->Delete(std::numeric_limits<HistoryTime>::min(), kHistoryTimeMax);
        for (const auto& [seconds, value] : samples) {
            HistorySample sample;
            sample.time = HistoryTimeOf(At(seconds));
            sample.number = value;
            sample.quality = quality;
            series->Record(sample);
            put.push_back({At(seconds), value});
        }
        return put;
    }

    TempFolder m_folder;
    Configuration m_configuration;
    UaEndpoint m_endpoint{m_configuration};
    ToviDevice* m_device = nullptr;
};

// Reads every page of a raw read: the values in order, and how many pages.
std::vector<Seen> ReadAllPages(HistoryClient& client, const UA_ReadRawModifiedDetails& details, const UA_NodeId& node,
                               size_t& pages, UA_StatusCode& status) {
    std::vector<Seen> seen;
    UA_ByteString point = UA_BYTESTRING_NULL;
    pages = 0;
    status = UA_STATUSCODE_GOOD;
    do {
        std::vector<UA_ByteString> points;
        if (point.length > 0) points.push_back(point);
        UA_HistoryReadResponse response = client.Read(details, kRawType, {node}, points);
        UA_ByteString_clear(&point);
        ++pages;
        if (response.responseHeader.serviceResult != UA_STATUSCODE_GOOD || response.resultsSize != 1) {
            status = response.responseHeader.serviceResult;
            UA_HistoryReadResponse_clear(&response);
            break;
        }
        status = response.results[0].statusCode;
        if (const UA_HistoryData* data = DataOf(response.results[0])) {
            for (size_t i = 0; i < data->dataValuesSize; ++i)
                seen.push_back({data->dataValues[i].sourceTimestamp, NumberOf(data->dataValues[i])});
        }
        UA_ByteString_copy(&response.results[0].continuationPoint, &point);
        UA_HistoryReadResponse_clear(&response);
    } while (point.length > 0 && pages < 100);
    UA_ByteString_clear(&point);
    return seen;
}
}  // namespace

TEST_F(UaHistoryTest, RawPagesResumeExactlyAmongSamplesOfOneTimeForwardsAndBackwards) {
    // Three samples share one time, two another: a page may end inside either.
    const std::vector<Seen> all =
        Put(L"Dev.F", {{1, 10}, {2, 20}, {2, 21}, {2, 22}, {3, 30}, {4, 40}, {4, 41}, {5, 50}});
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    std::vector<Seen> reversed(all.rbegin(), all.rend());
    // Samples of one time come back newest first when read backwards.
    for (UA_UInt32 perNode : {1u, 2u, 3u, 4u, 7u, 8u, 0u}) {
        for (bool backwards : {false, true}) {
            SCOPED_TRACE(testing::Message() << "per node " << perNode << (backwards ? " backwards" : " forwards"));
            const UA_ReadRawModifiedDetails details =
                backwards ? Raw(At(5), At(0.5), perNode) : Raw(At(0.5), At(6), perNode);
            size_t pages = 0;
            UA_StatusCode status;
            const std::vector<Seen> seen = ReadAllPages(client, details, client.Id("Dev.F"), pages, status);
            EXPECT_EQ(status, UA_STATUSCODE_GOOD);
            if (backwards) {
                ASSERT_EQ(seen.size(), reversed.size());
                for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].time, reversed[i].time) << i;
                std::multiset<double> a, b;
                for (const Seen& s : seen) a.insert(s.value);
                for (const Seen& s : all) b.insert(s.value);
                EXPECT_EQ(a, b);
            } else {
                EXPECT_EQ(seen, all);
            }
            if (perNode != 0) {
                EXPECT_GE(pages, (all.size() + perNode - 1) / perNode);
            }
        }
    }
}

TEST_F(UaHistoryTest, ContinuationPointsAreTheirSessionsOnceAndBounded) {
    Put(L"Dev.F", {{1, 1}, {2, 2}, {3, 3}});
    Put(L"Dev.I", {{1, 1}, {2, 2}});
    HistoryClient client(kPort), other(kPort);
    ASSERT_TRUE(client.Connected() && other.Connected());
    const UA_ReadRawModifiedDetails details = Raw(At(0), At(10), 1);
    auto first = [&](HistoryClient& who, const char* item, UA_ByteString& point) {
        UA_HistoryReadResponse response = who.Read(details, kRawType, {who.Id(item)});
        ASSERT_EQ(response.resultsSize, 1u);
        ASSERT_GT(response.results[0].continuationPoint.length, 0u);
        UA_ByteString_copy(&response.results[0].continuationPoint, &point);
        UA_HistoryReadResponse_clear(&response);
    };
    auto resume = [&](HistoryClient& who, const char* item, const UA_ByteString& point, bool release = false) {
        UA_HistoryReadResponse response = who.Read(details, kRawType, {who.Id(item)}, {point}, release);
        const UA_StatusCode status =
            response.resultsSize == 1 ? response.results[0].statusCode : response.responseHeader.serviceResult;
        UA_HistoryReadResponse_clear(&response);
        return status;
    };
    UA_ByteString point = UA_BYTESTRING_NULL;
    first(client, "Dev.F", point);
    UA_ByteString forged = UA_BYTESTRING_NULL;
    UA_ByteString_copy(&point, &forged);
    forged.data[forged.length - 1] ^= 1;  // another count of samples at the time
    const struct {
        const char* what;
        HistoryClient* who;
        const char* item;
        const UA_ByteString* point;
        bool release;
        UA_StatusCode expected;
    } cases[] = {
        {"another session's", &other, "Dev.F", &point, false, UA_STATUSCODE_BADCONTINUATIONPOINTINVALID},
        {"another node's", &client, "Dev.I", &point, false, UA_STATUSCODE_BADCONTINUATIONPOINTINVALID},
        {"altered", &client, "Dev.F", &forged, false, UA_STATUSCODE_BADCONTINUATIONPOINTINVALID},
        {"its own, released", &client, "Dev.F", &point, true, UA_STATUSCODE_GOOD},
        {"released before", &client, "Dev.F", &point, false, UA_STATUSCODE_BADCONTINUATIONPOINTINVALID},
        {"released twice", &client, "Dev.F", &point, true, UA_STATUSCODE_BADCONTINUATIONPOINTINVALID},
    };
    for (const auto& c : cases) {
        // A refused point is never spent: each case but the release sees the held one.
        EXPECT_EQ(resume(*c.who, c.item, *c.point, c.release), c.expected) << c.what;
    }
    UA_ByteString madeUp = UA_BYTESTRING(const_cast<char*>("made up"));
    EXPECT_EQ(resume(client, "Dev.F", madeUp), UA_STATUSCODE_BADCONTINUATIONPOINTINVALID);
    // A used point is spent: the next page came with a new one.
    UA_ByteString_clear(&point);
    first(client, "Dev.F", point);
    EXPECT_EQ(resume(client, "Dev.F", point), UA_STATUSCODE_GOOD);
    EXPECT_EQ(resume(client, "Dev.F", point), UA_STATUSCODE_BADCONTINUATIONPOINTINVALID);

    // A session holds a bounded number; the one past it gets none and says so.
    UA_StatusCode last = UA_STATUSCODE_GOOD;
    size_t held = 0;
    for (int i = 0; i < 200 && last == UA_STATUSCODE_GOOD; ++i) {
        UA_HistoryReadResponse response = other.Read(details, kRawType, {other.Id("Dev.F")});
        last = response.results[0].statusCode;
        if (response.results[0].continuationPoint.length > 0) ++held;
        UA_HistoryReadResponse_clear(&response);
    }
    EXPECT_EQ(last, UA_STATUSCODE_BADNOCONTINUATIONPOINTS);
    EXPECT_GE(held, 10u);
    EXPECT_LT(held, 200u);
    UA_ByteString_clear(&point);
    UA_ByteString_clear(&forged);
}

TEST_F(UaHistoryTest, RawReadsFollowTheRulesOfUnsetTimesBoundsAndTimestamps) {
    Put(L"Dev.F", {{1, 10}, {2, 20}, {3, 30}, {4, 40}});
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    const struct {
        const char* what;
        const char* item;
        UA_ReadRawModifiedDetails details;
        UA_StatusCode status;
        std::vector<Seen> values;  // NaN: no value (a bound not found)
    } cases[] = {
        {"both unset", "Dev.F", Raw(0, 0, 5), UA_STATUSCODE_BADHISTORYOPERATIONINVALID, {}},
        {"end unset, no count", "Dev.F", Raw(At(1), 0, 0), UA_STATUSCODE_BADHISTORYOPERATIONINVALID, {}},
        {"end unset", "Dev.F", Raw(At(2.5), 0, 2), UA_STATUSCODE_GOOD, {{At(3), 30}, {At(4), 40}}},
        {"start unset: backwards from the end",
         "Dev.F",
         Raw(0, At(3.5), 2),
         UA_STATUSCODE_GOOD,
         {{At(3), 30}, {At(2), 20}}},
        {"end excluded", "Dev.F", Raw(At(2), At(3), 0), UA_STATUSCODE_GOOD, {{At(2), 20}}},
        {"bounds",
         "Dev.F",
         Raw(At(1.5), At(2.5), 0, true),
         UA_STATUSCODE_GOOD,
         {{At(1), 10}, {At(2), 20}, {At(3), 30}}},
        {"bounds at samples: their own",
         "Dev.F",
         Raw(At(2), At(3), 0, true),
         UA_STATUSCODE_GOOD,
         {{At(2), 20}, {At(3), 30}}},
        {"bounds not found",
         "Dev.F",
         Raw(At(0.5), At(9), 0, true),
         UA_STATUSCODE_GOOD,
         {{At(0.5), NAN}, {At(1), 10}, {At(2), 20}, {At(3), 30}, {At(4), 40}, {At(9), NAN}}},
        {"backward bounds",
         "Dev.F",
         Raw(At(2.5), At(1.5), 0, true),
         UA_STATUSCODE_GOOD,
         {{At(3), 30}, {At(2), 20}, {At(1), 10}}},
        {"not historized", "Dev.N", Raw(At(0), At(9), 0), UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED, {}},
        {"no such tag", "Dev.X", Raw(At(0), At(9), 0), UA_STATUSCODE_BADNODEIDUNKNOWN, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UA_HistoryReadResponse response = client.Read(c.details, kRawType, {client.Id(c.item)});
        ASSERT_EQ(response.resultsSize, 1u);
        EXPECT_EQ(response.results[0].statusCode, c.status);
        const UA_HistoryData* data = DataOf(response.results[0]);
        const size_t size = data != nullptr ? data->dataValuesSize : 0;
        ASSERT_EQ(size, c.values.size());
        for (size_t i = 0; i < size; ++i) {
            EXPECT_EQ(data->dataValues[i].sourceTimestamp, c.values[i].time) << i;
            if (std::isnan(c.values[i].value)) {
                EXPECT_EQ(data->dataValues[i].status, UA_STATUSCODE_BADBOUNDNOTFOUND) << i;
            } else {
                EXPECT_EQ(NumberOf(data->dataValues[i]), c.values[i].value) << i;
            }
        }
        UA_HistoryReadResponse_clear(&response);
    }
    // Modified values are not kept; server timestamps come alone when asked alone.
    UA_ReadRawModifiedDetails modified = Raw(At(0), At(9), 0);
    modified.isReadModified = true;
    UA_HistoryReadResponse response = client.Read(modified, kRawType, {client.Id("Dev.F")});
    ASSERT_EQ(response.resultsSize, 1u);
    EXPECT_EQ(response.results[0].statusCode, UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED);
    UA_HistoryReadResponse_clear(&response);
    response =
        client.Read(Raw(At(0), At(9), 0), kRawType, {client.Id("Dev.F")}, {}, false, UA_TIMESTAMPSTORETURN_SERVER);
    const UA_HistoryData* data = DataOf(response.results[0]);
    ASSERT_TRUE(data != nullptr && data->dataValuesSize == 4);
    EXPECT_FALSE(data->dataValues[0].hasSourceTimestamp);
    EXPECT_EQ(data->dataValues[0].serverTimestamp, At(1));
    UA_HistoryReadResponse_clear(&response);
}

TEST_F(UaHistoryTest, ValuesAtTimesAreExactOrInterpolatedByTheTagsKind) {
    Put(L"Dev.F", {{1, 10}, {3, 30}});
    Put(L"Dev.I", {{1, 10}, {3, 30}});
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    std::vector<UA_DateTime> times = {At(0.5), At(1), At(2), At(5)};
    UA_ReadAtTimeDetails details;
    UA_ReadAtTimeDetails_init(&details);
    details.reqTimes = times.data();
    details.reqTimesSize = times.size();
    details.useSimpleBounds = true;
    UA_HistoryReadResponse response =
        client.Read(details, &UA_TYPES[UA_TYPES_READATTIMEDETAILS], {client.Id("Dev.F"), client.Id("Dev.I")});
    ASSERT_EQ(response.resultsSize, 2u);
    const struct {
        double sloped, stepped;
        UA_StatusCode status;  // NaN values: none
    } expected[] = {
        {NAN, NAN, UA_STATUSCODE_BADNODATA},
        {10, 10, UA_STATUSCODE_GOOD},
        {20, 10, UA_STATUSCODE_GOOD | 0x400 | 0x02},
        {30, 30, UA_STATUSCODE_UNCERTAINDATASUBNORMAL | 0x400 | 0x02},  // past the last: carried on
    };
    for (size_t node = 0; node < 2; ++node) {
        const UA_HistoryData* data = DataOf(response.results[node]);
        ASSERT_TRUE(data != nullptr && data->dataValuesSize == times.size());
        for (size_t i = 0; i < times.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "node " << node << " time " << i);
            const double value = node == 0 ? expected[i].sloped : expected[i].stepped;
            EXPECT_EQ(data->dataValues[i].status, expected[i].status);
            EXPECT_EQ(data->dataValues[i].sourceTimestamp, times[i]);
            if (!std::isnan(value)) {
                EXPECT_DOUBLE_EQ(NumberOf(data->dataValues[i]), value);
            }
        }
    }
    UA_HistoryReadResponse_clear(&response);
}

TEST_F(UaHistoryTest, ProcessedReadsComputeAnswerRefusalsAndPageLongRanges) {
    Put(L"Dev.F", {{0, 1}, {1, 3}, {2, 5}, {10, 7}, {11, 9}});
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    auto read = [&](UA_UInt32 aggregate, const char* item, UA_DateTime start, UA_DateTime end, double intervalMs,
                    const UA_ByteString* point = nullptr) {
        UA_NodeId function = UA_NODEID_NUMERIC(0, aggregate);
        UA_ReadProcessedDetails details;
        UA_ReadProcessedDetails_init(&details);
        details.startTime = start;
        details.endTime = end;
        details.processingInterval = intervalMs;
        details.aggregateType = &function;
        details.aggregateTypeSize = 1;
        details.aggregateConfiguration.useServerCapabilitiesDefaults = true;
        std::vector<UA_ByteString> points;
        if (point != nullptr) points.push_back(*point);
        return client.Read(details, &UA_TYPES[UA_TYPES_READPROCESSEDDETAILS], {client.Id(item)}, points);
    };
    // Two intervals of ten seconds: the samples' plain average and count in each.
    const struct {
        UA_UInt32 aggregate;
        double first, second;
    } computed[] = {{UA_NS0ID_AGGREGATEFUNCTION_AVERAGE, 3, 8}, {UA_NS0ID_AGGREGATEFUNCTION_COUNT, 3, 2}};
    for (const auto& c : computed) {
        UA_HistoryReadResponse response = read(c.aggregate, "Dev.F", At(0), At(20), 10000);
        ASSERT_EQ(response.resultsSize, 1u);
        EXPECT_EQ(response.results[0].statusCode, UA_STATUSCODE_GOOD);
        const UA_HistoryData* data = DataOf(response.results[0]);
        ASSERT_TRUE(data != nullptr && data->dataValuesSize == 2) << c.aggregate;
        EXPECT_EQ(data->dataValues[0].sourceTimestamp, At(0));
        EXPECT_EQ(data->dataValues[1].sourceTimestamp, At(10));
        EXPECT_DOUBLE_EQ(NumberOf(data->dataValues[0]), c.first) << c.aggregate;
        EXPECT_DOUBLE_EQ(NumberOf(data->dataValues[1]), c.second) << c.aggregate;
        // Computed from the interval's samples: the Calculated bit with its info type.
        if (c.aggregate == UA_NS0ID_AGGREGATEFUNCTION_AVERAGE) {
            EXPECT_EQ(data->dataValues[0].status & 0x7FF, 0x401u);
        }
        UA_HistoryReadResponse_clear(&response);
    }
    const struct {
        const char* what;
        UA_UInt32 aggregate;
        const char* item;
        UA_StatusCode status;
    } refused[] = {
        {"an aggregate not computed", UA_NS0ID_AGGREGATEFUNCTION_NUMBEROFTRANSITIONS, "Dev.F",
         UA_STATUSCODE_BADAGGREGATENOTSUPPORTED},
        {"not an aggregate", UA_NS0ID_SERVER, "Dev.F", UA_STATUSCODE_BADAGGREGATENOTSUPPORTED},
        {"an average of text", UA_NS0ID_AGGREGATEFUNCTION_AVERAGE, "Dev.S", UA_STATUSCODE_BADAGGREGATEINVALIDINPUTS},
        {"not historized", UA_NS0ID_AGGREGATEFUNCTION_AVERAGE, "Dev.N", UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED},
    };
    for (const auto& c : refused) {
        UA_HistoryReadResponse response = read(c.aggregate, c.item, At(0), At(20), 10000);
        ASSERT_EQ(response.resultsSize, 1u);
        EXPECT_EQ(response.results[0].statusCode, c.status) << c.what;
        UA_HistoryReadResponse_clear(&response);
    }
    // A century in milliseconds: a page, and a point to go on from.
    const UA_DateTime century = 100LL * 365 * 24 * 3600 * kSecond;
    UA_HistoryReadResponse response = read(UA_NS0ID_AGGREGATEFUNCTION_COUNT, "Dev.F", At(0), At(0) + century, 1);
    ASSERT_EQ(response.resultsSize, 1u);
    const UA_HistoryData* data = DataOf(response.results[0]);
    ASSERT_NE(data, nullptr);
    EXPECT_GT(data->dataValuesSize, 0u);
    EXPECT_LE(data->dataValuesSize, 10000u);
    ASSERT_GT(response.results[0].continuationPoint.length, 0u);
    const size_t firstPage = data->dataValuesSize;
    UA_ByteString point = UA_BYTESTRING_NULL;
    UA_ByteString_copy(&response.results[0].continuationPoint, &point);
    UA_HistoryReadResponse_clear(&response);
    // The next page starts where the first ended.
    response = read(UA_NS0ID_AGGREGATEFUNCTION_COUNT, "Dev.F", At(0), At(0) + century, 1, &point);
    data = DataOf(response.results[0]);
    ASSERT_TRUE(data != nullptr && data->dataValuesSize > 0);
    EXPECT_EQ(data->dataValues[0].sourceTimestamp, At(0) + static_cast<UA_DateTime>(firstPage) * 10000);
    UA_HistoryReadResponse_clear(&response);
    UA_ByteString_clear(&point);
}

TEST_F(UaHistoryTest, EditsAnswerPerValueAndOnlyForSessionsThatMayWrite) {
    Put(L"Dev.F", {{1, 10}});
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    auto value = [](UA_DateTime time, const void* data, const UA_DataType* type) {
        UA_DataValue made;
        UA_DataValue_init(&made);
        if (data != nullptr) {
            UA_Variant_setScalarCopy(&made.value, data, type);
            made.hasValue = true;
        }
        made.sourceTimestamp = time;
        made.hasSourceTimestamp = time != 0;
        return made;
    };
    const UA_Double d5 = 5, d6 = 6;
    const UA_Int32 i7 = 7;
    auto update = [&](UA_PerformUpdateType kind, std::vector<UA_DataValue> values, const char* item = "Dev.F") {
        UA_UpdateDataDetails details;
        UA_UpdateDataDetails_init(&details);
        details.nodeId = client.Id(item);
        details.performInsertReplace = kind;
        details.updateValues = values.data();
        details.updateValuesSize = values.size();
        UA_ExtensionObject entry;
        UA_ExtensionObject_setValue(&entry, &details, &UA_TYPES[UA_TYPES_UPDATEDATADETAILS]);
        UA_HistoryUpdateResponse response = client.Update({entry});
        std::vector<UA_StatusCode> results;
        if (response.resultsSize == 1) {
            results.push_back(response.results[0].statusCode);
            for (size_t i = 0; i < response.results[0].operationResultsSize; ++i)
                results.push_back(response.results[0].operationResults[i]);
        }
        UA_HistoryUpdateResponse_clear(&response);
        for (UA_DataValue& v : values) UA_DataValue_clear(&v);
        return results;
    };
    const UA_DataType* dbl = &UA_TYPES[UA_TYPES_DOUBLE];
    // Each row: the entry's status, then each value's.
    EXPECT_EQ(
        update(UA_PERFORMUPDATETYPE_INSERT, {value(At(1), &d5, dbl), value(At(2), &d5, dbl), value(At(2), &d6, dbl),
                                             value(At(3), &i7, &UA_TYPES[UA_TYPES_INT32]), value(0, &d5, dbl)}),
        (std::vector<UA_StatusCode>{UA_STATUSCODE_GOOD, UA_STATUSCODE_BADENTRYEXISTS, UA_STATUSCODE_GOODENTRYINSERTED,
                                    UA_STATUSCODE_BADENTRYEXISTS, UA_STATUSCODE_BADTYPEMISMATCH,
                                    UA_STATUSCODE_BADINVALIDTIMESTAMP}));
    EXPECT_EQ(update(UA_PERFORMUPDATETYPE_REPLACE, {value(At(1), &d6, dbl), value(At(9), &d6, dbl)}),
              (std::vector<UA_StatusCode>{UA_STATUSCODE_GOOD, UA_STATUSCODE_GOODENTRYREPLACED,
                                          UA_STATUSCODE_BADNOENTRYEXISTS}));
    EXPECT_EQ(update(UA_PERFORMUPDATETYPE_UPDATE, {value(At(2), &d6, dbl), value(At(4), &d6, dbl)}),
              (std::vector<UA_StatusCode>{UA_STATUSCODE_GOOD, UA_STATUSCODE_GOODENTRYREPLACED,
                                          UA_STATUSCODE_GOODENTRYINSERTED}));
    EXPECT_EQ(update(UA_PERFORMUPDATETYPE_INSERT, {value(At(5), &d5, dbl)}, "Dev.N"),
              (std::vector<UA_StatusCode>{UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED}));
    size_t pages;
    UA_StatusCode status;
    EXPECT_EQ(ReadAllPages(client, Raw(At(0), At(10), 0), client.Id("Dev.F"), pages, status),
              (std::vector<Seen>{{At(1), 6}, {At(2), 6}, {At(4), 6}}));

    auto remove = [&](UA_DateTime start, UA_DateTime end, bool modified) {
        UA_DeleteRawModifiedDetails details;
        UA_DeleteRawModifiedDetails_init(&details);
        details.nodeId = client.Id("Dev.F");
        details.startTime = start;
        details.endTime = end;
        details.isDeleteModified = modified;
        UA_ExtensionObject entry;
        UA_ExtensionObject_setValue(&entry, &details, &UA_TYPES[UA_TYPES_DELETERAWMODIFIEDDETAILS]);
        UA_HistoryUpdateResponse response = client.Update({entry});
        const UA_StatusCode result = response.resultsSize == 1 ? response.results[0].statusCode : UA_STATUSCODE_BAD;
        UA_HistoryUpdateResponse_clear(&response);
        return result;
    };
    EXPECT_EQ(remove(At(0), At(3), true), UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED);
    EXPECT_EQ(remove(At(0), At(3), false), UA_STATUSCODE_GOOD);
    EXPECT_EQ(remove(At(0), At(3), false), UA_STATUSCODE_BADNODATA);
    EXPECT_EQ(ReadAllPages(client, Raw(At(0), At(10), 0), client.Id("Dev.F"), pages, status),
              (std::vector<Seen>{{At(4), 6}}));

    // The same session once its role is Read: nothing changes.
    UaSecuritySettings readOnly;
    readOnly.anonymousRole = UaRole::Read;
    ASSERT_TRUE(m_endpoint.ApplySecurity(readOnly));
    EXPECT_EQ(update(UA_PERFORMUPDATETYPE_UPDATE, {value(At(4), &d5, dbl)}),
              (std::vector<UA_StatusCode>{UA_STATUSCODE_BADUSERACCESSDENIED}));
    EXPECT_EQ(remove(At(0), At(9), false), UA_STATUSCODE_BADUSERACCESSDENIED);
    EXPECT_EQ(ReadAllPages(client, Raw(At(0), At(10), 0), client.Id("Dev.F"), pages, status),
              (std::vector<Seen>{{At(4), 6}}));
    UA_Byte level = 0;
    UA_Client_readUserAccessLevelAttribute(client.Raw(), client.Id("Dev.F"), &level);
    EXPECT_EQ(level & (UA_ACCESSLEVELMASK_HISTORYREAD | UA_ACCESSLEVELMASK_HISTORYWRITE),
              UA_ACCESSLEVELMASK_HISTORYREAD);
}

TEST_F(UaHistoryTest, TheServerSaysWhatItCanDoAndListsTheAggregates) {
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    auto read = [&](UA_UInt32 id, UA_Variant& value) {
        UA_Variant_init(&value);
        return UA_Client_readValueAttribute(client.Raw(), UA_NODEID_NUMERIC(0, id), &value);
    };
    const struct {
        UA_UInt32 id;
        bool expected;
    } flags[] = {
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_ACCESSHISTORYDATACAPABILITY, true},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_ACCESSHISTORYEVENTSCAPABILITY, false},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_INSERTDATACAPABILITY, true},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_REPLACEDATACAPABILITY, true},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_UPDATEDATACAPABILITY, true},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_DELETERAWCAPABILITY, true},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_DELETEATTIMECAPABILITY, false},
        {UA_NS0ID_HISTORYSERVERCAPABILITIES_INSERTANNOTATIONCAPABILITY, false},
    };
    for (const auto& flag : flags) {
        UA_Variant value;
        ASSERT_EQ(read(flag.id, value), UA_STATUSCODE_GOOD) << flag.id;
        ASSERT_TRUE(UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_BOOLEAN])) << flag.id;
        EXPECT_EQ(*static_cast<UA_Boolean*>(value.data), flag.expected) << flag.id;
        UA_Variant_clear(&value);
    }
    UA_Variant value;
    ASSERT_EQ(read(UA_NS0ID_HISTORYSERVERCAPABILITIES_MAXRETURNDATAVALUES, value), UA_STATUSCODE_GOOD);
    EXPECT_EQ(*static_cast<UA_UInt32*>(value.data), 10000u);
    UA_Variant_clear(&value);
    ASSERT_EQ(read(UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERHISTORYREADDATA, value),
              UA_STATUSCODE_GOOD);
    UA_Variant_clear(&value);

    // The standard aggregate functions' NodeIds, in both folders.
    const std::set<UA_UInt32> functions = {2341, 2342, 2343, 2344, 2346, 2347, 2348, 2349,  2350,  2352,  2360,
                                           2361, 2362, 2363, 2364, 2357, 2358, 2359, 11285, 11304, 11426, 11428};
    for (UA_UInt32 folder : {UA_NS0ID_SERVER_SERVERCAPABILITIES_AGGREGATEFUNCTIONS,
                             UA_NS0ID_HISTORYSERVERCAPABILITIES_AGGREGATEFUNCTIONS}) {
        UA_BrowseRequest request;
        UA_BrowseRequest_init(&request);
        UA_BrowseDescription description;
        UA_BrowseDescription_init(&description);
        description.nodeId = UA_NODEID_NUMERIC(0, folder);
        description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
        description.resultMask = UA_BROWSERESULTMASK_ALL;
        request.nodesToBrowse = &description;
        request.nodesToBrowseSize = 1;
        UA_BrowseResponse response = UA_Client_Service_browse(client.Raw(), request);
        std::set<UA_UInt32> listed;
        ASSERT_EQ(response.resultsSize, 1u);
        for (size_t i = 0; i < response.results[0].referencesSize; ++i) {
            const UA_ReferenceDescription& ref = response.results[0].references[i];
            if (ref.typeDefinition.nodeId.identifier.numeric == UA_NS0ID_AGGREGATEFUNCTIONTYPE)
                listed.insert(ref.nodeId.nodeId.identifier.numeric);
        }
        EXPECT_EQ(listed, functions) << folder;
        UA_BrowseResponse_clear(&response);
    }

    // A historized tag's node: historizing, history readable, a configuration stepped by its type.
    for (const auto& [item, stepped] : {std::pair<const char*, bool>{"Dev.F", false}, {"Dev.I", true}}) {
        UA_Boolean historizing = false;
        UA_Client_readHistorizingAttribute(client.Raw(), client.Id(item), &historizing);
        EXPECT_TRUE(historizing) << item;
        UA_Byte level = 0;
        UA_Client_readAccessLevelAttribute(client.Raw(), client.Id(item), &level);
        EXPECT_TRUE(level & UA_ACCESSLEVELMASK_HISTORYREAD) << item;
        UA_BrowseRequest request;
        UA_BrowseRequest_init(&request);
        UA_BrowseDescription description;
        UA_BrowseDescription_init(&description);
        description.nodeId = client.Id(item);
        description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
        description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HASHISTORICALCONFIGURATION);
        description.resultMask = UA_BROWSERESULTMASK_ALL;
        request.nodesToBrowse = &description;
        request.nodesToBrowseSize = 1;
        UA_BrowseResponse response = UA_Client_Service_browse(client.Raw(), request);
        ASSERT_TRUE(response.resultsSize == 1 && response.results[0].referencesSize == 1) << item;
        const UA_NodeId configuration = response.results[0].references[0].nodeId.nodeId;
        UA_QualifiedName path = UA_QUALIFIEDNAME(0, const_cast<char*>("Stepped"));
        UA_BrowsePath browsePath;
        UA_BrowsePath_init(&browsePath);
        browsePath.startingNode = configuration;
        UA_RelativePathElement element;
        UA_RelativePathElement_init(&element);
        element.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HASPROPERTY);
        element.targetName = path;
        browsePath.relativePath.elements = &element;
        browsePath.relativePath.elementsSize = 1;
        UA_TranslateBrowsePathsToNodeIdsRequest translate;
        UA_TranslateBrowsePathsToNodeIdsRequest_init(&translate);
        translate.browsePaths = &browsePath;
        translate.browsePathsSize = 1;
        UA_TranslateBrowsePathsToNodeIdsResponse found =
            UA_Client_Service_translateBrowsePathsToNodeIds(client.Raw(), translate);
        ASSERT_TRUE(found.resultsSize == 1 && found.results[0].targetsSize == 1) << item;
        UA_Variant steppedValue;
        UA_Variant_init(&steppedValue);
        ASSERT_EQ(
            UA_Client_readValueAttribute(client.Raw(), found.results[0].targets[0].targetId.nodeId, &steppedValue),
            UA_STATUSCODE_GOOD);
        EXPECT_EQ(*static_cast<UA_Boolean*>(steppedValue.data), stepped) << item;
        UA_Variant_clear(&steppedValue);
        UA_TranslateBrowsePathsToNodeIdsResponse_clear(&found);
        UA_BrowseResponse_clear(&response);
    }
    UA_Boolean historizing = true;
    UA_Client_readHistorizingAttribute(client.Raw(), client.Id("Dev.N"), &historizing);
    EXPECT_FALSE(historizing);
}

TEST_F(UaHistoryTest, AbsurdRequestsAreAnsweredBoundedAndTheSessionServesOn) {
    // More samples than a page holds.
    auto series = Series(L"Dev.F");
    for (int i = 0; i < 25000; ++i) {
        HistorySample sample;
        sample.time = HistoryTimeOf(At(i * 0.1));
        sample.number = i;
        sample.quality = 0xC0;
        series->Record(sample);
    }
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    // All values at once: a page of the bound, and a point.
    UA_HistoryReadResponse response = client.Read(Raw(At(0), At(10000), 0), kRawType, {client.Id("Dev.F")});
    ASSERT_EQ(response.resultsSize, 1u);
    const UA_HistoryData* data = DataOf(response.results[0]);
    ASSERT_NE(data, nullptr);
    EXPECT_GT(data->dataValuesSize, 0u);
    EXPECT_LE(data->dataValuesSize, 10000u);
    EXPECT_GT(response.results[0].continuationPoint.length, 0u);
    UA_HistoryReadResponse_clear(&response);

    // 100,000 nodes in one request.
    std::vector<UA_NodeId> many(100000, client.Id("Dev.F"));
    response = client.Read(Raw(At(0), At(1), 1), kRawType, many);
    EXPECT_EQ(response.responseHeader.serviceResult, UA_STATUSCODE_BADTOOMANYOPERATIONS);
    UA_HistoryReadResponse_clear(&response);
    // 100,000 edits in one request: refused past the bound, one by one.
    UA_DeleteRawModifiedDetails details;
    UA_DeleteRawModifiedDetails_init(&details);
    details.nodeId = client.Id("Dev.N");
    details.startTime = At(0);
    details.endTime = At(1);
    std::vector<UA_ExtensionObject> entries(100000);
    for (UA_ExtensionObject& entry : entries)
        UA_ExtensionObject_setValue(&entry, &details, &UA_TYPES[UA_TYPES_DELETERAWMODIFIEDDETAILS]);
    UA_HistoryUpdateResponse updated = client.Update(entries);
    ASSERT_EQ(updated.resultsSize, entries.size());
    EXPECT_EQ(updated.results[0].statusCode, UA_STATUSCODE_BADHISTORYOPERATIONUNSUPPORTED);
    EXPECT_EQ(updated.results[entries.size() - 1].statusCode, UA_STATUSCODE_BADTOOMANYOPERATIONS);
    UA_HistoryUpdateResponse_clear(&updated);
    // Neither timestamp.
    response =
        client.Read(Raw(At(0), At(1), 1), kRawType, {client.Id("Dev.F")}, {}, false, UA_TIMESTAMPSTORETURN_NEITHER);
    EXPECT_EQ(response.responseHeader.serviceResult, UA_STATUSCODE_BADTIMESTAMPSTORETURNINVALID);
    UA_HistoryReadResponse_clear(&response);
    UA_Variant state;
    UA_Variant_init(&state);
    EXPECT_EQ(
        UA_Client_readValueAttribute(client.Raw(), UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_STATE), &state),
        UA_STATUSCODE_GOOD);
    UA_Variant_clear(&state);
}

TEST_F(UaHistoryTest, AReadOfATagDeletedOrRetypedBetweenPagesEnds) {
    Put(L"Dev.F", {{1, 1}, {2, 2}, {3, 3}});
    Put(L"Dev.I", {{1, 1}, {2, 2}, {3, 3}});
    HistoryClient client(kPort);
    ASSERT_TRUE(client.Connected());
    const UA_ReadRawModifiedDetails details = Raw(At(0), At(9), 1);
    auto firstPoint = [&](const char* item) {
        UA_HistoryReadResponse response = client.Read(details, kRawType, {client.Id(item)});
        UA_ByteString point = UA_BYTESTRING_NULL;
        if (response.resultsSize == 1) UA_ByteString_copy(&response.results[0].continuationPoint, &point);
        UA_HistoryReadResponse_clear(&response);
        return point;
    };
    UA_ByteString deleted = firstPoint("Dev.F"), retyped = firstPoint("Dev.I");
    ASSERT_GT(deleted.length, 0u);
    ASSERT_GT(retyped.length, 0u);
    {
        ScopedLock guard(m_configuration.Lock());
        OPCS_Tag* gone = m_configuration.FindTag(L"Dev.F");
        ASSERT_TRUE(gone != nullptr && m_device->RemoveTag(gone));
        delete gone;
        m_configuration.FindTag(L"Dev.I")->SetDataType(VT_BSTR);
    }
    const struct {
        const char* item;
        UA_ByteString* point;
        UA_StatusCode expected;
    } cases[] = {{"Dev.F", &deleted, UA_STATUSCODE_BADNODEIDUNKNOWN},
                 {"Dev.I", &retyped, UA_STATUSCODE_BADCONTINUATIONPOINTINVALID}};
    for (const auto& c : cases) {
        UA_HistoryReadResponse response = client.Read(details, kRawType, {client.Id(c.item)}, {*c.point});
        ASSERT_EQ(response.resultsSize, 1u);
        EXPECT_EQ(response.results[0].statusCode, c.expected) << c.item;
        UA_HistoryReadResponse_clear(&response);
        UA_ByteString_clear(c.point);
    }
}

// The status of an aggregate value, bit by bit.
TEST(UaHistoryMappingTest, AggregateStatusesMapToTheirCodesAndHistorianBits) {
    using S = AggregateStatus::Severity;
    using C = AggregateStatus::Code;
    auto status = [](S severity, C code, bool calculated, bool interpolated, bool partial, bool extra, bool multi) {
        AggregateStatus made;
        made.severity = severity;
        made.code = code;
        made.calculated = calculated;
        made.interpolated = interpolated;
        made.partial = partial;
        made.extraData = extra;
        made.multipleValues = multi;
        return made;
    };
    const struct {
        AggregateStatus status;
        UA_StatusCode expected;
    } rows[] = {
        {status(S::Good, C::None, false, false, false, false, false), 0x00000000},
        {status(S::Good, C::None, true, false, false, false, false), 0x00000401},
        {status(S::Good, C::None, false, true, false, false, false), 0x00000402},
        {status(S::Uncertain, C::DataSubNormal, true, false, true, false, false), 0x40A40405},
        {status(S::Bad, C::NoData, false, false, false, false, false), 0x809B0000},
        {status(S::Good, C::None, true, false, false, true, false), 0x00000409},
        {status(S::Good, C::None, false, false, false, false, true), 0x00000410},
        {status(S::Bad, C::BadData, true, false, false, false, false), 0x80000401},
        {status(S::Uncertain, C::None, false, false, false, false, false), 0x40000000},
    };
    for (const auto& row : rows) EXPECT_EQ(StatusOfAggregate(row.status), row.expected) << std::hex << row.expected;
    // Each aggregate has its function's NodeId and back.
    for (size_t i = 0; i < kHistoryAggregateCount; ++i) {
        const auto aggregate = static_cast<HistoryAggregate>(i);
        const UA_NodeId id = UA_NODEID_NUMERIC(0, AggregateFunctionId(aggregate));
        EXPECT_EQ(AggregateOfFunction(id), aggregate) << i;
    }
    // A status a DA word gives is kept as the first word that gives it; any other by its severity.
    for (unsigned quality = 0; quality <= 0xFF; ++quality) {
        const UA_StatusCode given = StatusOfQuality(static_cast<WORD>(quality));
        const HistoryQuality back = QualityOfStatus(given);
        EXPECT_EQ(StatusOfQuality(back), given) << quality;
        EXPECT_LE(back, quality) << quality;
    }
    EXPECT_EQ(QualityOfStatus(UA_STATUSCODE_GOODENTRYINSERTED), 0xC0);
    EXPECT_EQ(QualityOfStatus(UA_STATUSCODE_UNCERTAININITIALVALUE), 0x40);
    EXPECT_EQ(QualityOfStatus(UA_STATUSCODE_BADTYPEMISMATCH), 0x00);
}
