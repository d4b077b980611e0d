// Winsock before any header that brings windows.h.
#include "UaHeaders.h"

#include "BenchClient.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>

#include "BenchProcess.h"
#include "UaCommon.h"

namespace {
constexpr double kPeriodMs = 100;  // publishing interval, and the sustained phase's change period
constexpr size_t kBatch = 1000;    // monitored items per CreateMonitoredItems call
constexpr UA_UInt32 kTimeoutMs = 60000;

std::runtime_error Failure(const std::string& what, UA_StatusCode status) {
    return std::runtime_error(what + ": " + UA_StatusCode_name(status));
}

UA_Client* NewClient(UA_EventLoop* shared, UA_UInt32 timeoutMs) {
    UA_ClientConfig config;
    std::memset(&config, 0, sizeof config);
    config.logging = &QuietUaLogger();
    if (shared != nullptr) {
        config.eventLoop = shared;
        config.externalEventLoop = true;
    }
    if (UA_ClientConfig_setDefault(&config) != UA_STATUSCODE_GOOD) return nullptr;
    config.timeout = timeoutMs;
    config.securityMode = UA_MESSAGESECURITYMODE_NONE;
    return UA_Client_newWithConfig(&config);
}

void DeleteClient(UA_Client*& client) {
    if (client == nullptr) return;
    UA_Client_disconnect(client);
    UA_Client_delete(client);
    client = nullptr;
}

UA_UInt16 FindNamespace(UA_Client* client, const std::string& uri) {
    UA_Variant value;
    UA_Variant_init(&value);
    UA_UInt16 found = 0;
    if (UA_Client_readValueAttribute(client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_NAMESPACEARRAY), &value) ==
            UA_STATUSCODE_GOOD &&
        value.type == &UA_TYPES[UA_TYPES_STRING]) {
        const auto* names = static_cast<const UA_String*>(value.data);
        for (size_t i = 0; i < value.arrayLength; ++i) {
            if (names[i].length == uri.size() && std::memcmp(names[i].data, uri.data(), uri.size()) == 0) {
                found = static_cast<UA_UInt16>(i);
            }
        }
    }
    UA_Variant_clear(&value);
    return found;
}

bool IsDouble(const UA_DataValue& value, double& out) {
    if (!value.hasValue || !UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_DOUBLE])) return false;
    out = *static_cast<const double*>(value.value.data);
    return true;
}

void OnDataChange(UA_Client*, UA_UInt32, void*, UA_UInt32, void* context, UA_DataValue* value) {
    const double arrival = NowMs();
    auto* item = static_cast<ItemContext*>(context);
    if (item != nullptr && value != nullptr && item->sink->onChange) item->sink->onChange(item->index, *value, arrival);
}

UA_UInt32 CreateSubscription(UA_Client* client, double publishingMs = kPeriodMs) {
    UA_CreateSubscriptionRequest request = UA_CreateSubscriptionRequest_default();
    request.requestedPublishingInterval = publishingMs;
    request.requestedMaxKeepAliveCount = 20;
    request.requestedLifetimeCount = 6000;
    UA_CreateSubscriptionResponse response = UA_Client_Subscriptions_create(client, request, nullptr, nullptr, nullptr);
    const UA_StatusCode status = response.responseHeader.serviceResult;
    const UA_UInt32 id = response.subscriptionId;
    UA_CreateSubscriptionResponse_clear(&response);
    if (status != UA_STATUSCODE_GOOD) throw Failure("CreateSubscription", status);
    return id;
}

// One Write of doubles from the writing session, answered synchronously.
UA_StatusCode WriteOne(UA_Client* client, const UA_NodeId& id, double value) {
    UA_WriteValue item;
    UA_WriteValue_init(&item);
    item.nodeId = id;
    item.attributeId = UA_ATTRIBUTEID_VALUE;
    UA_Variant_setScalar(&item.value.value, &value, &UA_TYPES[UA_TYPES_DOUBLE]);
    item.value.hasValue = true;
    UA_WriteRequest request;
    UA_WriteRequest_init(&request);
    request.nodesToWrite = &item;
    request.nodesToWriteSize = 1;
    UA_WriteResponse response = UA_Client_Service_write(client, request);
    UA_StatusCode status = response.responseHeader.serviceResult;
    if (status == UA_STATUSCODE_GOOD) status = response.resultsSize == 1 ? response.results[0] : UA_STATUSCODE_BAD;
    UA_WriteResponse_clear(&response);
    return status;
}

// One monitored item in a subscription of its own.
struct SingleItem {
    UA_UInt32 subscriptionId = 0;
    ChangeSink sink;
    ItemContext context;
};

void MonitorOne(UaPair& ua, const UA_NodeId& id, double samplingInterval, SingleItem& single) {
    single.subscriptionId = CreateSubscription(ua.Reader());
    single.context.sink = &single.sink;
    UA_MonitoredItemCreateRequest item = UA_MonitoredItemCreateRequest_default(id);
    item.requestedParameters.samplingInterval = samplingInterval;
    item.requestedParameters.queueSize = 10;
    item.requestedParameters.discardOldest = true;
    bool first = false;
    single.sink.onChange = [&first](size_t, const UA_DataValue&, double) { first = true; };
    UA_MonitoredItemCreateResult result = UA_Client_MonitoredItems_createDataChange(
        ua.Reader(), single.subscriptionId, UA_TIMESTAMPSTORETURN_BOTH, item, &single.context, &OnDataChange, nullptr);
    const UA_StatusCode status = result.statusCode;
    UA_MonitoredItemCreateResult_clear(&result);
    const bool seen = status == UA_STATUSCODE_GOOD && ua.RunUntil([&] { return first; }, 5000);
    single.sink.onChange = nullptr;
    if (!seen) UA_Client_Subscriptions_deleteSingle(ua.Reader(), single.subscriptionId);
    if (status != UA_STATUSCODE_GOOD) throw Failure("CreateMonitoredItems (one)", status);
    if (!seen) throw std::runtime_error("no first value for one monitored item");
}

// Runs `body` while the item is monitored; the subscription goes before the
// item's context does, whatever happens.
template <class Body>
void WithSingleItem(UaPair& ua, SingleItem& single, Body body) {
    try {
        body();
    } catch (...) {
        single.sink.onChange = nullptr;
        UA_Client_Subscriptions_deleteSingle(ua.Reader(), single.subscriptionId);
        throw;
    }
    single.sink.onChange = nullptr;
    DeleteSubscription(ua, single.subscriptionId);
}

// Waits for the data change carrying one value.
struct Expected {
    double value = NAN;
    bool seen = false;
    double arrival = 0;
    UA_DateTime arrivalUtc = 0;
    UA_DateTime source = 0;

    void Arm(SingleItem& single, double v) {
        value = v;
        seen = false;
        single.sink.onChange = [this](size_t, const UA_DataValue& dv, double at) {
            double got;
            if (seen || !IsDouble(dv, got) || got != value) return;
            seen = true;
            arrival = at;
            arrivalUtc = UA_DateTime_now();
            source = dv.hasSourceTimestamp ? dv.sourceTimestamp : 0;
        };
    }
};
}  // namespace

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const double position = (values.size() - 1) * q;
    const size_t low = static_cast<size_t>(std::floor(position));
    const size_t high = static_cast<size_t>(std::ceil(position));
    return values[low] + (values[high] - values[low]) * (position - low);
}

double Median(std::vector<double> values) { return Quantile(std::move(values), 0.5); }

// ---- the sessions ----

void UaPair::ConnectWhenReady(const std::string& url, const std::string& namespaceUri, const std::string& lastTag,
                              double deadlineMs, const std::function<bool()>& alive) {
    m_url = url;
    while (NowMs() < deadlineMs) {
        if (!alive()) throw std::runtime_error("the server ended before it answered");
        UA_Client* client = NewClient(nullptr, 5000);
        if (client == nullptr) throw std::runtime_error("out of memory");
        if (UA_Client_connect(client, url.c_str()) == UA_STATUSCODE_GOOD) {
            const UA_UInt16 ns = FindNamespace(client, namespaceUri);
            bool ready = ns > 0 && lastTag.empty();
            if (ns > 0 && !lastTag.empty()) {
                UA_Variant value;
                UA_Variant_init(&value);
                ready = UA_Client_readValueAttribute(client, UA_NODEID_STRING(ns, const_cast<char*>(lastTag.c_str())),
                                                     &value) == UA_STATUSCODE_GOOD;
                UA_Variant_clear(&value);
            }
            if (ready) {
                UA_Client_getConfig(client)->timeout = kTimeoutMs;
                m_reader = client;
                m_namespace = ns;
                return;
            }
        }
        DeleteClient(client);
        Sleep(20);
    }
    throw std::runtime_error("the endpoint " + url + " did not answer in time");
}

void UaPair::ConnectWriter() {
    m_writer = NewClient(UA_Client_getConfig(m_reader)->eventLoop, kTimeoutMs);
    if (m_writer == nullptr) throw std::runtime_error("out of memory");
    const UA_StatusCode status = UA_Client_connect(m_writer, m_url.c_str());
    if (status != UA_STATUSCODE_GOOD) throw Failure("connecting the writing session", status);
}

UA_Client* UaPair::ConnectAnother() {
    UA_Client* client = NewClient(UA_Client_getConfig(m_reader)->eventLoop, kTimeoutMs);
    if (client == nullptr) throw std::runtime_error("out of memory");
    m_others.push_back(client);
    const UA_StatusCode status = UA_Client_connect(client, m_url.c_str());
    if (status != UA_STATUSCODE_GOOD) throw Failure("connecting another session", status);
    return client;
}

void UaPair::Close() {
    // The others borrow the reader's event loop: they go first.
    for (UA_Client*& other : m_others) DeleteClient(other);
    m_others.clear();
    DeleteClient(m_writer);
    DeleteClient(m_reader);
}

UA_NodeId UaPair::Id(const std::string& itemId) const {
    return UA_NODEID_STRING(m_namespace, const_cast<char*>(itemId.c_str()));
}

void UaPair::Run(double ms) {
    const double end = NowMs() + ms;
    for (double left = ms; left > 0; left = end - NowMs()) {
        UA_Client_run_iterate(m_reader, static_cast<UA_UInt32>(std::ceil(std::min(left, 20.0))));
    }
}

bool UaPair::RunUntil(const std::function<bool()>& done, double ms) {
    const double end = NowMs() + ms;
    while (!done()) {
        const double left = end - NowMs();
        if (left <= 0) return false;
        UA_Client_run_iterate(m_reader, static_cast<UA_UInt32>(std::ceil(std::min(left, 5.0))));
    }
    return true;
}

// ---- the measurements ----

ReadFigures MeasureRead(UaPair& ua, const std::vector<std::string>& ids) {
    std::vector<UA_ReadValueId> items(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        UA_ReadValueId_init(&items[i]);
        items[i].nodeId = ua.Id(ids[i]);
        items[i].attributeId = UA_ATTRIBUTEID_VALUE;
    }
    UA_ReadRequest request;
    UA_ReadRequest_init(&request);
    request.nodesToRead = items.data();
    request.nodesToReadSize = items.size();
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
    std::vector<double> times;
    for (int round = 0; round < 5; ++round) {
        const double start = NowMs();
        UA_ReadResponse response = UA_Client_Service_read(ua.Reader(), request);
        times.push_back(NowMs() - start);
        UA_StatusCode status = response.responseHeader.serviceResult;
        size_t bad = 0;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize != ids.size())
            status = UA_STATUSCODE_BADUNEXPECTEDERROR;
        for (size_t i = 0; status == UA_STATUSCODE_GOOD && i < response.resultsSize; ++i) {
            if (!response.results[i].hasValue || (response.results[i].hasStatus && response.results[i].status != 0)) {
                ++bad;
            }
        }
        UA_ReadResponse_clear(&response);
        if (status != UA_STATUSCODE_GOOD) throw Failure("Read", status);
        if (bad > 0) throw std::runtime_error("Read: " + std::to_string(bad) + " values not good");
    }
    return ReadFigures{Median(times), times.front(), times};
}

void CreateMonitoredItems(UaPair& ua, const std::vector<std::string>& ids, ChangeSink& sink, MonitoredItems& out,
                          const MonitorTiming& timing) {
    out.subscriptionId = CreateSubscription(ua.Reader(), timing.publishingMs);
    out.contexts = std::make_unique<ItemContext[]>(ids.size());
    std::vector<char> seen(ids.size(), 0);
    size_t firsts = 0;
    ChangeSink counting;
    counting.onChange = [&](size_t index, const UA_DataValue& value, double arrival) {
        if (!seen[index]) {
            seen[index] = 1;
            ++firsts;
        }
        if (sink.onChange) sink.onChange(index, value, arrival);
    };
    for (size_t i = 0; i < ids.size(); ++i) out.contexts[i] = ItemContext{&counting, i};

    const double start = NowMs();
    try {
        for (size_t offset = 0; offset < ids.size(); offset += kBatch) {
            const size_t count = std::min(kBatch, ids.size() - offset);
            std::vector<UA_MonitoredItemCreateRequest> items(count);
            std::vector<void*> contexts(count);
            std::vector<UA_Client_DataChangeNotificationCallback> callbacks(count, &OnDataChange);
            std::vector<UA_Client_DeleteMonitoredItemCallback> deletes(count, nullptr);
            for (size_t i = 0; i < count; ++i) {
                items[i] = UA_MonitoredItemCreateRequest_default(ua.Id(ids[offset + i]));
                items[i].requestedParameters.samplingInterval = timing.samplingMs;
                items[i].requestedParameters.queueSize = timing.queueSize;
                items[i].requestedParameters.discardOldest = true;
                contexts[i] = &out.contexts[offset + i];
            }
            UA_CreateMonitoredItemsRequest request;
            UA_CreateMonitoredItemsRequest_init(&request);
            request.subscriptionId = out.subscriptionId;
            request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
            request.itemsToCreate = items.data();
            request.itemsToCreateSize = count;
            UA_CreateMonitoredItemsResponse response = UA_Client_MonitoredItems_createDataChanges(
                ua.Reader(), request, contexts.data(), callbacks.data(), deletes.data());
            UA_StatusCode status = response.responseHeader.serviceResult;
            size_t refused = 0;
            for (size_t i = 0; i < response.resultsSize; ++i) refused += response.results[i].statusCode != 0;
            if (status == UA_STATUSCODE_GOOD && response.resultsSize != count)
                status = UA_STATUSCODE_BADUNEXPECTEDERROR;
            UA_CreateMonitoredItemsResponse_clear(&response);
            if (status != UA_STATUSCODE_GOOD) throw Failure("CreateMonitoredItems", status);
            if (refused > 0) throw std::runtime_error(std::to_string(refused) + " monitored items refused");
        }
        out.createdMs = NowMs() - start;
        if (!ua.RunUntil([&] { return firsts == ids.size(); }, 120000)) {
            throw std::runtime_error("only " + std::to_string(firsts) + " of " + std::to_string(ids.size()) +
                                     " first values arrived");
        }
    } catch (...) {
        // The client forgets the items before their contexts go.
        UA_Client_Subscriptions_deleteSingle(ua.Reader(), out.subscriptionId);
        throw;
    }
    out.allFirstMs = NowMs() - start;
    // From here the caller's sink hears the changes directly.
    for (size_t i = 0; i < ids.size(); ++i) out.contexts[i].sink = &sink;
}

void DeleteSubscription(UaPair& ua, UA_UInt32 subscriptionId) {
    const UA_StatusCode status = UA_Client_Subscriptions_deleteSingle(ua.Reader(), subscriptionId);
    if (status != UA_STATUSCODE_GOOD) throw Failure("DeleteSubscriptions", status);
}

namespace {
struct WriteState {
    bool outstanding = false;
    long long good = 0;
    int period = -1;
    std::vector<UA_UInt32>* madeIn = nullptr;
    UA_StatusCode failed = UA_STATUSCODE_GOOD;
};

void OnSustainedWrite(UA_Client*, void* userdata, UA_UInt32, UA_WriteResponse* response) {
    auto* state = static_cast<WriteState*>(userdata);
    state->outstanding = false;
    if (response->responseHeader.serviceResult != UA_STATUSCODE_GOOD) {
        state->failed = response->responseHeader.serviceResult;
        return;
    }
    UA_UInt32 good = 0;
    for (size_t i = 0; i < response->resultsSize; ++i) good += response->results[i] == UA_STATUSCODE_GOOD;
    (*state->madeIn)[state->period] = good;
    state->good += good;
}

double CpuSeconds(long pid, const CpuMeter& meter) { return LinuxCpuSeconds(pid, meter.ticksPerSecond); }
}  // namespace

SustainedFigures RunSustained(UaPair& ua, const std::vector<std::string>& ids, ChangeSink& sink, double seconds,
                              const CpuMeter& meter) {
    SustainedFigures figures;
    const int periods = static_cast<int>(std::lround(seconds * 1000 / kPeriodMs));
    const size_t setSize = (ids.size() + 9) / 10;
    const size_t sets = (ids.size() + setSize - 1) / setSize;
    std::vector<double> scheduled(periods), sentAt(periods, NAN), lastArrival(periods, 0);
    std::vector<UA_UInt32> madeIn(periods, 0), deliveredIn(periods, 0);
    std::vector<double> lastValue(ids.size(), 0);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(periods) * setSize);
    long long delivered = 0, strays = 0;
    sink.onChange = [&](size_t i, const UA_DataValue& dv, double arrival) {
        double v;
        if (!IsDouble(dv, v) || v <= lastValue[i]) return;
        lastValue[i] = v;
        const double p = v - 1;
        if (p != std::floor(p) || p >= periods || i / setSize != static_cast<size_t>(p) % sets ||
            std::isnan(sentAt[static_cast<size_t>(p)])) {
            ++strays;
            return;
        }
        const size_t period = static_cast<size_t>(p);
        ++delivered;
        ++deliveredIn[period];
        lastArrival[period] = std::max(lastArrival[period], arrival);
        latencies.push_back(arrival - sentAt[period]);
    };

    // The same moments for every server: each write at a random point of its
    // period's first half, so that no server's timers keep one phase to it.
    std::mt19937 random(20251208);
    std::uniform_real_distribution<double> offset(0, kPeriodMs / 2);
    std::vector<double> values(setSize);
    std::vector<UA_WriteValue> items(setSize);
    WriteState state;
    state.madeIn = &madeIn;

    const double cpuServer = CpuSeconds(meter.serverPid, meter);
    const double cpuWineserver = CpuSeconds(meter.wineserverPid, meter);
    const double cpuClient = OwnCpuSeconds();
    const double start = NowMs();
    for (int p = 0; p < periods; ++p) {
        scheduled[p] = start + p * kPeriodMs + offset(random);
        // Never two writes at once: a slow answer delays the next period.
        while (state.outstanding || NowMs() < scheduled[p]) {
            const double left = state.outstanding ? 5.0 : std::min(5.0, scheduled[p] - NowMs());
            UA_Client_run_iterate(ua.Reader(), static_cast<UA_UInt32>(std::max(0.0, std::ceil(left))));
            if (NowMs() - start > seconds * 1000 + 60000) throw std::runtime_error("the sustained writes stalled");
        }
        if (state.failed != UA_STATUSCODE_GOOD) throw Failure("the sustained Write", state.failed);
        if (NowMs() - scheduled[p] > kPeriodMs) ++figures.lateWrites;
        const size_t set = static_cast<size_t>(p) % sets;
        const size_t first = set * setSize;
        const size_t count = std::min(setSize, ids.size() - first);
        for (size_t k = 0; k < count; ++k) {
            values[k] = p + 1;
            UA_WriteValue_init(&items[k]);
            items[k].nodeId = ua.Id(ids[first + k]);
            items[k].attributeId = UA_ATTRIBUTEID_VALUE;
            UA_Variant_setScalar(&items[k].value.value, &values[k], &UA_TYPES[UA_TYPES_DOUBLE]);
            items[k].value.hasValue = true;
        }
        UA_WriteRequest request;
        UA_WriteRequest_init(&request);
        request.nodesToWrite = items.data();
        request.nodesToWriteSize = count;
        state.outstanding = true;
        state.period = p;
        sentAt[p] = NowMs();
        const UA_StatusCode status =
            UA_Client_sendAsyncWriteRequest(ua.Writer(), &request, &OnSustainedWrite, &state, nullptr);
        if (status != UA_STATUSCODE_GOOD) throw Failure("sending the sustained Write", status);
    }
    ua.RunUntil([&] { return !state.outstanding; }, 30000);
    const double elapsed = (NowMs() - start) / 1000;
    auto percent = [elapsed](double before, double after) {
        return before < 0 || after < 0 ? -1.0 : (after - before) / elapsed * 100;
    };
    figures.serverCpu = percent(cpuServer, CpuSeconds(meter.serverPid, meter));
    figures.wineserverCpu = percent(cpuWineserver, CpuSeconds(meter.wineserverPid, meter));
    figures.clientCpu = percent(cpuClient, OwnCpuSeconds());
    // Late changes still count as delivered: they are waited for a while.
    ua.RunUntil([&] { return delivered >= state.good; }, 3000);
    sink.onChange = nullptr;

    figures.seconds = elapsed;
    figures.periods = periods;
    figures.made = state.good;
    figures.delivered = delivered;
    figures.strays = strays;
    for (int p = 0; p < periods; ++p) {
        if (madeIn[p] == 0 || deliveredIn[p] < madeIn[p] || lastArrival[p] - scheduled[p] > kLateMs) ++figures.late;
    }
    figures.latencyMedian = Median(latencies);
    figures.latencyP95 = Quantile(latencies, 0.95);
    return figures;
}

LatencyFigures MeasureWriteLatency(UaPair& ua, const std::string& id, double samplingInterval, int writes,
                                   double firstValue) {
    SingleItem single;
    const UA_NodeId nodeId = ua.Id(id);
    MonitorOne(ua, nodeId, samplingInterval, single);
    std::mt19937 random(7 + static_cast<unsigned>(samplingInterval));
    std::uniform_real_distribution<double> pause(100, 300);
    std::vector<double> latencies;
    LatencyFigures figures;
    Expected expected;
    WithSingleItem(ua, single, [&] {
        for (int j = 0; j < writes; ++j) {
            ua.Run(pause(random));
            expected.Arm(single, firstValue + j);
            const double sent = NowMs();
            const UA_StatusCode status = WriteOne(ua.Writer(), nodeId, firstValue + j);
            if (status != UA_STATUSCODE_GOOD) throw Failure("Write", status);
            if (ua.RunUntil([&] { return expected.seen; }, 5000)) {
                latencies.push_back(expected.arrival - sent);
            } else {
                ++figures.missed;
            }
        }
    });
    figures.median = Median(latencies);
    figures.p95 = Quantile(latencies, 0.95);
    figures.count = static_cast<int>(latencies.size());
    return figures;
}

DaLatencyFigures MeasureDaWriteLatency(UaPair& ua, const std::string& id, int writes, double firstValue,
                                       const std::wstring& toviOpc, const std::wstring& itemId) {
    SingleItem single;
    const UA_NodeId nodeId = ua.Id(id);
    MonitorOne(ua, nodeId, 0, single);
    std::mt19937 random(11);
    std::uniform_real_distribution<double> pause(0, 200);
    std::vector<double> fromStamp, fromStart;
    DaLatencyFigures figures;
    Expected expected;
    WithSingleItem(ua, single, [&] {
        for (int j = 0; j < writes; ++j) {
            ua.Run(pause(random));
            const double value = firstValue + j;
            expected.Arm(single, value);
            ChildProcess write;
            wchar_t text[64];
            swprintf(text, 64, L"%.0f", value);
            if (!write.Start(L"\"" + toviOpc + L"\" write Zelkor.Tovi.1 " + itemId + L"=" + text, true)) {
                ++figures.failed;
                continue;
            }
            const double started = write.StartedAt();
            // The UA client keeps being served while the DA client runs.
            ua.RunUntil([&] { return !write.Running(); }, 60000);
            if (write.Running()) write.Terminate();
            if (write.ExitCode() != 0) {
                ++figures.failed;
                if (figures.firstError.empty()) figures.firstError = write.Output();
                continue;
            }
            if (!ua.RunUntil([&] { return expected.seen; }, 5000)) {
                ++figures.missed;
                continue;
            }
            fromStart.push_back(expected.arrival - started);
            // The server stamps the tag when it applies the write: from there to the UA client.
            if (expected.source != 0) {
                fromStamp.push_back(static_cast<double>(expected.arrivalUtc - expected.source) / UA_DATETIME_MSEC);
            }
        }
    });
    figures.median = Median(fromStamp);
    figures.p95 = Quantile(fromStamp, 0.95);
    figures.startMedian = Median(fromStart);
    figures.count = static_cast<int>(fromStamp.size());
    return figures;
}
