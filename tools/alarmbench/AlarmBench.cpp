// The alarm benchmark: the program serving 10,000 alarmed tags, measured by
// one open62541 client in one run. Start and memory against the same tags
// without alarms, the event of a write that crosses a limit against the data
// change of the same write, an alarm storm watched by three sessions, and a
// ConditionRefresh of every condition retained. scripts/alarm-bench.sh
// builds, imports the configurations and runs it under Wine.
// Winsock before any header that brings windows.h.
#include "UaHeaders.h"

#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchProcess.h"
#include "EventWatch.h"

namespace {
const char* const kNamespace = "urn:Zelkor:ToviExplorer:Tags";
constexpr double kReadyLimitMs = 300000;
constexpr DWORD kSettleMs = 3000;  // after the endpoint answers, before memory is read
constexpr int kStartRounds = 2;
constexpr double kLatencyPublishingMs = 50;
constexpr double kStormPublishingMs = 100;
constexpr int kStormSessions = 3;
constexpr int kRefreshRounds = 3;
constexpr UA_UInt32 kExclusiveLimitAlarmType = 9341;
constexpr double kHigh = 80, kInAlarm = 90, kNormal = 50;

struct Options {
    std::wstring toviExe, baseExe, plainConfig, alarmConfig, bigConfig;
    long tags = 10000, perDevice = 1000, bigTags = 100000;
    double stormSeconds = 60;
    DWORD stormRate = 1000;
    int port = 48472;
    int writes = 50;
    std::wstring phases = L"start,big,crossing,storm,refresh";
    long wineserverPid = 0;
    double clockTicks = 100;
};
Options theOptions;

// Appended, not added: GCC 12 at -O3 misreads `"D" + text` as an overlapping copy (-Wrestrict).
std::string ItemId(const char* device, long group, long k) {
    return std::string(device).append(std::to_string(group)).append(".T").append(std::to_string(k));
}
// The alarmed configurations: devices D0, D1, ... of perDevice tags each.
std::string TagId(long k) { return ItemId("D", k / theOptions.perDevice, k); }
// The large plain one, shaped as the UA benchmark's: one device, groups of 1000.
std::string BigTagId(long k) { return ItemId("Dev.G", k / 1000, k); }

void Progress(const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::fprintf(stderr, "[alarm-bench %02u:%02u:%02u] %s\n", now.wHour, now.wMinute, now.wSecond, text.c_str());
    std::fflush(stderr);
}

std::runtime_error Failure(const std::string& what, UA_StatusCode status) {
    return std::runtime_error(what + ": " + UA_StatusCode_name(status));
}

// Writes one value to each node in one request, answered synchronously.
void WriteAll(UA_Client* client, const std::vector<UA_NodeId>& nodes, const UA_Variant& value) {
    std::vector<UA_WriteValue> items(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        UA_WriteValue_init(&items[i]);
        items[i].nodeId = nodes[i];
        items[i].attributeId = UA_ATTRIBUTEID_VALUE;
        items[i].value.value = value;
        items[i].value.hasValue = true;
    }
    UA_WriteRequest request;
    UA_WriteRequest_init(&request);
    request.nodesToWrite = items.data();
    request.nodesToWriteSize = items.size();
    UA_WriteResponse response = UA_Client_Service_write(client, request);
    UA_StatusCode status = response.responseHeader.serviceResult;
    for (size_t i = 0; status == UA_STATUSCODE_GOOD && i < response.resultsSize; ++i) status = response.results[i];
    if (status == UA_STATUSCODE_GOOD && response.resultsSize != nodes.size()) status = UA_STATUSCODE_BADUNEXPECTEDERROR;
    UA_WriteResponse_clear(&response);
    if (status != UA_STATUSCODE_GOOD) throw Failure("Write", status);
}

void WriteDouble(UA_Client* client, const UA_NodeId& node, double value) {
    UA_Variant v;
    UA_Variant_setScalar(&v, &value, &UA_TYPES[UA_TYPES_DOUBLE]);
    WriteAll(client, {node}, v);
}

void WriteStorm(UaPair& ua, const std::string& device, UA_UInt32 rate) {
    const std::string id = device + "._Control.AlarmStorm";
    UA_Variant v;
    UA_Variant_setScalar(&v, &rate, &UA_TYPES[UA_TYPES_UINT32]);
    WriteAll(ua.Writer(), {ua.Id(id)}, v);
}

struct Memory {
    double privateBytes = NAN, workingSet = NAN;
};

// Wine answers no private bytes (0): the process's resident anonymous memory,
// which Linux counts, is what the program itself holds.
Memory MemoryOf(HANDLE process, long linuxPid) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    Memory memory;
    if (GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        memory.workingSet = static_cast<double>(counters.WorkingSetSize);
    }
    const double anonymous = LinuxStatusBytes(linuxPid, "RssAnon:");
    if (anonymous >= 0) memory.privateBytes = anonymous;
    return memory;
}

// One copy of the program serving one configuration on the benchmark's port.
class Server {
public:
    explicit Server(std::wstring exe) : m_exe(std::move(exe)) {}
    ~Server() {
        try {
            Stop();
        } catch (...) {}
    }

    std::string Url() const { return "opc.tcp://localhost:" + std::to_string(theOptions.port) + "/"; }

    // Starts it and connects `ua` once the endpoint answers a Read of `lastTag`.
    double Start(const std::wstring& config, UaPair& ua, const std::string& lastTag) {
        const std::wstring line =
            L"\"" + m_exe + L"\" \"" + config + L"\" /Serve /UaPort " + std::to_wstring(theOptions.port);
        m_process = std::make_unique<ChildProcess>();
        if (!m_process->Start(line, false)) throw std::runtime_error("cannot start " + Narrow(m_exe));
        m_pid = 0;
        ua.ConnectWhenReady(Url(), kNamespace, lastTag, m_process->StartedAt() + kReadyLimitMs,
                            [&] { return m_process->Running(); });
        return NowMs() - m_process->StartedAt();
    }

    Memory MemoryNow() { return MemoryOf(m_process->Handle(), Pid()); }

    long Pid() {
        if (m_pid != 0) return m_pid;
        m_pid =
            FindLinuxPid({Narrow(BaseName(m_exe)), "/UaPort " + std::to_string(theOptions.port)}, "alarm_bench.exe");
        if (m_pid == 0) throw std::runtime_error("no Linux process found for the server");
        return m_pid;
    }

    void Stop() {
        if (!m_process) return;
        if (m_process->Running()) {
            // /Close reaches the copies of this Wine prefix only: the benchmark's own.
            ChildProcess close;
            if (close.Start(L"\"" + theOptions.toviExe + L"\" /Close 30", false)) close.Wait(90000);
            if (!m_process->Wait(60000)) m_process->Terminate();
        }
        m_process.reset();
        m_pid = 0;
    }

private:
    std::wstring m_exe;
    std::unique_ptr<ChildProcess> m_process;
    long m_pid = 0;
};

bool Wanted(const wchar_t* phase) {
    return (L"," + theOptions.phases + L",").find(std::wstring(L",") + phase + L",") != std::wstring::npos;
}

// ---- start and memory ----

struct StartFigures {
    double readyMs = NAN;
    Memory memory;
};

StartFigures StartOnce(const std::wstring& exe, const std::wstring& config, const std::string& lastTag) {
    Server server(exe);
    UaPair ua;
    StartFigures figures;
    figures.readyMs = server.Start(config, ua, lastTag);
    ua.Run(kSettleMs);
    figures.memory = server.MemoryNow();
    ua.Close();
    server.Stop();
    return figures;
}

struct StartComparison {
    std::vector<StartFigures> a, b;
    double ReadyA() const { return Pick(a, &StartFigures::readyMs); }
    double ReadyB() const { return Pick(b, &StartFigures::readyMs); }
    double PrivateA() const { return PickMemory(a, &Memory::privateBytes); }
    double PrivateB() const { return PickMemory(b, &Memory::privateBytes); }
    double WorkingSetA() const { return PickMemory(a, &Memory::workingSet); }
    double WorkingSetB() const { return PickMemory(b, &Memory::workingSet); }

private:
    static double Pick(const std::vector<StartFigures>& all, double StartFigures::*field) {
        std::vector<double> values;
        for (const StartFigures& f : all) values.push_back(f.*field);
        return Median(values);
    }
    static double PickMemory(const std::vector<StartFigures>& all, double Memory::*field) {
        std::vector<double> values;
        for (const StartFigures& f : all) values.push_back(f.memory.*field);
        return Median(values);
    }
};

// Rounds of A then B (none without `exeB`), so that a drift of the machine
// touches both alike.
StartComparison CompareStarts(const std::wstring& exeA, const std::wstring& configA, const std::wstring& exeB,
                              const std::wstring& configB, const std::string& lastTag, const std::string& what) {
    StartComparison c;
    for (int round = 0; round < kStartRounds; ++round) {
        Progress(what + ": round " + std::to_string(round + 1) + " of " + std::to_string(kStartRounds));
        c.a.push_back(StartOnce(exeA, configA, lastTag));
        if (!exeB.empty()) c.b.push_back(StartOnce(exeB, configB, lastTag));
    }
    return c;
}

// ---- a write across a limit: its event against its data change ----

struct CrossingFigures {
    double eventMedian = NAN, dataMedian = NAN, differenceMedian = NAN, eventP95 = NAN, dataP95 = NAN;
    int missed = 0;
};

CrossingFigures MeasureCrossing(UaPair& ua) {
    const std::string tag = TagId(theOptions.tags / 2);
    const UA_NodeId node = ua.Id(tag);
    EventWatch watch;
    double expectedValue = NAN;
    bool expectedActive = false;
    double dataAt = NAN, eventAt = NAN;
    watch.Start(ua.Reader(), kLatencyPublishingMs, 1000);
    watch.onEvent = [&](const SeenEvent& e) {
        if (std::isnan(eventAt) && e.source == tag && e.type == kExclusiveLimitAlarmType && e.active == expectedActive)
            eventAt = e.arrivalMs;
    };
    watch.AddDataItem(node, [&](const UA_DataValue& value, double arrival) {
        if (std::isnan(dataAt) && value.hasValue &&
            UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_DOUBLE]) &&
            *static_cast<const double*>(value.value.data) == expectedValue) {
            dataAt = arrival;
        }
    });
    ua.Run(1000);
    std::mt19937 random(7);
    std::vector<double> events, data, differences;
    CrossingFigures figures;
    for (int i = 0; i < theOptions.writes; ++i) {
        // At a random moment of the publishing cycle.
        ua.Run(std::uniform_real_distribution<double>(20, 20 + kLatencyPublishingMs)(random));
        expectedValue = i % 2 == 0 ? kInAlarm : kNormal;
        expectedActive = i % 2 == 0;
        dataAt = eventAt = NAN;
        const double sent = NowMs();
        WriteDouble(ua.Writer(), node, expectedValue);
        if (!ua.RunUntil([&] { return !std::isnan(dataAt) && !std::isnan(eventAt); }, 5000)) {
            ++figures.missed;
            continue;
        }
        events.push_back(eventAt - sent);
        data.push_back(dataAt - sent);
        differences.push_back(eventAt - dataAt);
    }
    watch.Stop();
    figures.eventMedian = Median(events);
    figures.dataMedian = Median(data);
    figures.differenceMedian = Median(differences);
    figures.eventP95 = Quantile(events, 0.95);
    figures.dataP95 = Quantile(data, 0.95);
    return figures;
}

// ---- the storm ----

struct StormFigures {
    double seconds = 0;
    long long made = 0;  // transitions the clock says were due
    // Late: later than the wait for the next publish allows (one publishing
    // interval) by more than one more; beyond the wait alone: waited more
    // than one interval.
    std::vector<long long> delivered, lost, late, beyondWait;
    double latencyMedian = NAN, latencyP99 = NAN, latencyMax = NAN;
    double serverCpu = -1;  // % of one core
    bool backToNormal = false;
};

StormFigures RunStorm(UaPair& ua, Server& server) {
    const std::string device = "D0";
    const std::string prefix = device + ".T";
    std::vector<std::unique_ptr<EventWatch>> watches;
    for (int i = 0; i < kStormSessions; ++i) {
        watches.push_back(std::make_unique<EventWatch>());
        watches.back()->Start(ua.ConnectAnother(), kStormPublishingMs, 100000);
    }
    ua.Run(2000);
    for (auto& w : watches) w->Events().clear();

    StormFigures figures;
    const double cpuBefore = LinuxCpuSeconds(server.Pid(), theOptions.clockTicks);
    const double start = NowMs();
    WriteStorm(ua, device, theOptions.stormRate);
    ua.Run(theOptions.stormSeconds * 1000);
    const UA_DateTime stoppedUtc = UA_DateTime_now();
    WriteStorm(ua, device, 0);
    figures.seconds = (NowMs() - start) / 1000;
    const double cpuAfter = LinuxCpuSeconds(server.Pid(), theOptions.clockTicks);
    figures.serverCpu = cpuBefore < 0 || cpuAfter < 0 ? -1 : (cpuAfter - cpuBefore) / figures.seconds * 100;
    ua.Run(3000);  // the way back to normal, and what was still on its way
    figures.made = static_cast<long long>(figures.seconds * theOptions.stormRate);

    std::vector<double> latencies;
    figures.backToNormal = true;
    for (auto& w : watches) {
        // The turns go round the device's tags in order, each alternately
        // into its alarm and back: a missing event breaks the pattern.
        long long delivered = 0, lost = 0, late = 0, beyondWait = 0;
        std::vector<int> active(static_cast<size_t>(theOptions.perDevice), 0);
        long expected = 0;
        for (const SeenEvent& e : w->Events()) {
            if (e.type != kExclusiveLimitAlarmType || e.source.rfind(prefix, 0) != 0) continue;
            const long k = std::strtol(e.source.c_str() + prefix.size(), nullptr, 10);
            if (k < 0 || k >= theOptions.perDevice) continue;
            active[static_cast<size_t>(k)] = e.active ? 1 : 0;
            if (e.time > stoppedUtc) continue;  // the way back after the stop
            ++delivered;
            const double latency = static_cast<double>(e.arrivalUtc - e.time) / UA_DATETIME_MSEC;
            latencies.push_back(latency);
            if (latency > kStormPublishingMs) ++beyondWait;
            if (latency > 2 * kStormPublishingMs) ++late;
            lost += (k - expected + theOptions.perDevice) % theOptions.perDevice;
            expected = (k + 1) % theOptions.perDevice;
        }
        figures.delivered.push_back(delivered);
        figures.lost.push_back(lost);
        figures.late.push_back(late);
        figures.beyondWait.push_back(beyondWait);
        figures.backToNormal = figures.backToNormal && std::count(active.begin(), active.end(), 1) == 0;
    }
    figures.latencyMedian = Median(latencies);
    figures.latencyP99 = Quantile(latencies, 0.99);
    figures.latencyMax = latencies.empty() ? NAN : *std::max_element(latencies.begin(), latencies.end());
    for (auto& w : watches) w->Stop();
    return figures;
}

// ---- ConditionRefresh ----

struct RefreshFigures {
    double median = NAN;
    std::vector<double> all;
    long long conditions = 0;
};

RefreshFigures MeasureRefresh(UaPair& ua) {
    Progress("refresh: every condition into its alarm");
    std::vector<std::string> ids;
    for (long k = 0; k < theOptions.tags; ++k) ids.push_back(TagId(k));
    double high = kInAlarm;
    UA_Variant value;
    UA_Variant_setScalar(&value, &high, &UA_TYPES[UA_TYPES_DOUBLE]);
    for (size_t from = 0; from < ids.size(); from += 1000) {
        std::vector<UA_NodeId> nodes;
        for (size_t i = from; i < std::min(ids.size(), from + 1000); ++i) nodes.push_back(ua.Id(ids[i]));
        WriteAll(ua.Writer(), nodes, value);
    }
    EventWatch watch;
    watch.Start(ua.Reader(), kStormPublishingMs, 100000);
    ua.Run(3000);
    RefreshFigures figures;
    for (int round = 0; round < kRefreshRounds; ++round) {
        watch.Events().clear();
        double endAt = NAN;
        watch.onEvent = [&](const SeenEvent& e) {
            if (e.type == kRefreshEndType && std::isnan(endAt)) endAt = e.arrivalMs;
        };
        UA_UInt32 subscription = watch.SubscriptionId();
        UA_Variant argument;
        UA_Variant_setScalar(&argument, &subscription, &UA_TYPES[UA_TYPES_UINT32]);
        size_t outputs = 0;
        UA_Variant* output = nullptr;
        const double start = NowMs();
        const UA_StatusCode status = UA_Client_call(ua.Reader(), UA_NODEID_NUMERIC(0, UA_NS0ID_CONDITIONTYPE),
                                                    UA_NODEID_NUMERIC(0, UA_NS0ID_CONDITIONTYPE_CONDITIONREFRESH), 1,
                                                    &argument, &outputs, &output);
        UA_Array_delete(output, outputs, &UA_TYPES[UA_TYPES_VARIANT]);
        if (status != UA_STATUSCODE_GOOD) throw Failure("ConditionRefresh", status);
        if (!ua.RunUntil([&] { return !std::isnan(endAt); }, 60000)) throw std::runtime_error("no RefreshEndEvent");
        figures.all.push_back(endAt - start);
        long long inside = 0;
        bool started = false;
        for (const SeenEvent& e : watch.Events()) {
            if (e.type == kRefreshStartType) started = true;
            if (e.type == kRefreshEndType) break;
            if (started && e.type == kExclusiveLimitAlarmType) ++inside;
        }
        figures.conditions = inside;
        ua.Run(1000);
    }
    watch.onEvent = nullptr;
    watch.Stop();
    figures.median = Median(figures.all);
    return figures;
}

// ---- the table ----

std::string Format(const char* format, double value) {
    if (!std::isfinite(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}
std::string Ms(double v) { return Format(v < 10 ? "%.2f ms" : v < 100 ? "%.1f ms" : "%.0f ms", v); }
std::string MiB(double v) { return Format("%.1f MiB", v / 1048576); }
std::string KB(double v) { return Format("%.2f kB", v / 1024); }

struct Row {
    std::string name, value, goal, verdict;
};

std::string Verdict(bool known, bool met) { return !known ? "n/a" : met ? "met" : "MISSED"; }

std::string Joined(const std::vector<long long>& values) {
    std::string text;
    for (long long v : values) text.append(text.empty() ? "" : " / ").append(std::to_string(v));
    return text;
}

void PrintTable(const StartComparison& alarms, const StartComparison& big, bool hasBase, const CrossingFigures& latency,
                const StormFigures& storm, const RefreshFigures& refresh, double minutes) {
    std::vector<Row> rows;
    const double tags = static_cast<double>(theOptions.tags);
    const double privatePer = (alarms.PrivateB() - alarms.PrivateA()) / tags;
    const double workingPer = (alarms.WorkingSetB() - alarms.WorkingSetA()) / tags;
    if (Wanted(L"start")) {
        rows.push_back({"Start -> Read answered, 10,000 plain tags", Ms(alarms.ReadyA()), "", ""});
        rows.push_back({"Start -> Read answered, the same 10,000 tags alarmed", Ms(alarms.ReadyB()), "", ""});
        rows.push_back({"Private (resident anonymous), plain / alarmed",
                        MiB(alarms.PrivateA()) + " / " + MiB(alarms.PrivateB()), "", ""});
        rows.push_back(
            {"Working set, plain / alarmed", MiB(alarms.WorkingSetA()) + " / " + MiB(alarms.WorkingSetB()), "", ""});
        rows.push_back({"  private memory added per condition", KB(privatePer), "< 4 kB",
                        Verdict(std::isfinite(privatePer), privatePer < 4096)});
        rows.push_back({"  working set added per condition", KB(workingPer), "< 4 kB",
                        Verdict(std::isfinite(workingPer), workingPer < 4096)});
    }
    if (Wanted(L"big")) {
        rows.push_back({"Start -> Read answered, " + std::to_string(theOptions.bigTags / 1000) + ",000 plain tags",
                        Ms(big.ReadyA()), "", ""});
        if (hasBase) {
            const double more = big.ReadyA() - big.ReadyB();
            rows.push_back({"  the same with the program before alarms", Ms(big.ReadyB()), "", ""});
            rows.push_back({"  difference", Ms(more), "<= +300 ms", Verdict(std::isfinite(more), more <= 300)});
        }
    }
    if (Wanted(L"crossing")) {
        rows.push_back({"Write across a limit -> event (Server object), median", Ms(latency.eventMedian), "", ""});
        rows.push_back({"Write across a limit -> data change (sampling 0), median", Ms(latency.dataMedian), "", ""});
        const double gap = latency.eventMedian - latency.dataMedian;
        rows.push_back({"  event minus data change, of the medians", Ms(gap), "<= +20 ms",
                        Verdict(std::isfinite(gap), gap <= 20)});
        rows.push_back({"  event minus data change, median of each write's", Ms(latency.differenceMedian), "", ""});
        rows.push_back({"  p95 event / data change", Ms(latency.eventP95) + " / " + Ms(latency.dataP95), "", ""});
        if (latency.missed > 0) rows.push_back({"  writes not seen", std::to_string(latency.missed), "0", "MISSED"});
    }
    if (Wanted(L"storm")) {
        long long lost = 0, late = 0;
        for (long long l : storm.lost) lost += l;
        for (long long l : storm.late) late += l;
        const std::string interval = Format("%.0f", kStormPublishingMs) + " ms";
        rows.push_back({"Storm: " + std::to_string(theOptions.stormRate) + "/s over " +
                            std::to_string(theOptions.perDevice) + " tags for " + Format("%.1f", storm.seconds) +
                            " s, transitions due (rate x time)",
                        std::to_string(storm.made), "", ""});
        rows.push_back({"  delivered to each of 3 sessions", Joined(storm.delivered), "all", ""});
        rows.push_back({"  lost (gaps in the round robin)", Joined(storm.lost), "0", Verdict(true, lost == 0)});
        rows.push_back({"  late: arrival - event Time > " + interval + " wait for the publish + " + interval,
                        Joined(storm.late), "0", Verdict(true, late == 0)});
        rows.push_back(
            {"  arrival - event Time > " + interval + " (the wait alone)", Joined(storm.beyondWait), "", ""});
        rows.push_back({"  arrival - event Time, median / p99 / max",
                        Ms(storm.latencyMedian) + " / " + Ms(storm.latencyP99) + " / " + Ms(storm.latencyMax), "", ""});
        rows.push_back({"  server process CPU (% of one core)", Format("%.1f %%", storm.serverCpu), "", ""});
        rows.push_back({"  every tag back to normal after the stop", storm.backToNormal ? "yes" : "no", "yes",
                        Verdict(true, storm.backToNormal)});
    }
    if (Wanted(L"refresh")) {
        rows.push_back(
            {"ConditionRefresh of " + std::to_string(refresh.conditions) + " retained conditions -> RefreshEnd, median",
             Ms(refresh.median), "<= 2 s", Verdict(std::isfinite(refresh.median), refresh.median <= 2000)});
        std::string rounds;
        for (double t : refresh.all) rounds.append(rounds.empty() ? "" : " / ").append(Ms(t));
        rows.push_back({"  each round", rounds, "", ""});
    }

    size_t widths[4] = {6, 5, 4, 7};
    for (const Row& r : rows) {
        widths[0] = std::max(widths[0], r.name.size());
        widths[1] = std::max(widths[1], r.value.size());
        widths[2] = std::max(widths[2], r.goal.size());
        widths[3] = std::max(widths[3], r.verdict.size());
    }
    auto print = [&](const Row& r) {
        std::printf("%-*s  %*s  %*s  %s\n", static_cast<int>(widths[0]), r.name.c_str(), static_cast<int>(widths[1]),
                    r.value.c_str(), static_cast<int>(widths[2]), r.goal.c_str(), r.verdict.c_str());
    };
    std::printf("Alarm benchmark: %ld alarmed tags (devices of %ld), %.1f min\n", theOptions.tags, theOptions.perDevice,
                minutes);
    print({"figure", "value", "goal", "verdict"});
    print({std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
           std::string(widths[3], '-')});
    for (const Row& r : rows) print(r);
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: alarm_bench --tovi-exe EXE --plain-config FILE --alarm-config FILE --big-config FILE\n"
                 "       [--base-exe EXE] [--tags 10000] [--per-device 1000] [--big-tags 100000]\n"
                 "       [--storm-seconds 60] [--storm-rate 1000] [--port 48472] [--writes 50]\n"
                 "       [--wineserver-pid PID] [--clock-ticks 100]\n"
                 "       [--phases start,big,crossing,storm,refresh]\n");
    return 2;
}

bool ParseArguments(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const std::wstring value = argv[i + 1];
        const double number = std::wcstod(value.c_str(), nullptr);
        if (name == L"--tovi-exe") {
            theOptions.toviExe = value;
        } else if (name == L"--base-exe") {
            theOptions.baseExe = value;
        } else if (name == L"--plain-config") {
            theOptions.plainConfig = value;
        } else if (name == L"--alarm-config") {
            theOptions.alarmConfig = value;
        } else if (name == L"--big-config") {
            theOptions.bigConfig = value;
        } else if (name == L"--tags") {
            theOptions.tags = static_cast<long>(number);
        } else if (name == L"--per-device") {
            theOptions.perDevice = static_cast<long>(number);
        } else if (name == L"--big-tags") {
            theOptions.bigTags = static_cast<long>(number);
        } else if (name == L"--storm-seconds") {
            theOptions.stormSeconds = number;
        } else if (name == L"--storm-rate") {
            theOptions.stormRate = static_cast<DWORD>(number);
        } else if (name == L"--port") {
            theOptions.port = static_cast<int>(number);
        } else if (name == L"--writes") {
            theOptions.writes = static_cast<int>(number);
        } else if (name == L"--wineserver-pid") {
            theOptions.wineserverPid = static_cast<long>(number);
        } else if (name == L"--clock-ticks") {
            theOptions.clockTicks = number;
        } else if (name == L"--phases") {
            theOptions.phases = value;
        } else {
            return false;
        }
    }
    const Options& o = theOptions;
    return argc % 2 == 1 && !o.toviExe.empty() && !o.plainConfig.empty() && !o.alarmConfig.empty() &&
           !o.bigConfig.empty() && o.tags > 0 && o.perDevice > 0 && o.perDevice <= o.tags && o.bigTags > 0 &&
           o.stormSeconds > 0 && o.stormRate > 0 && o.writes > 0 && o.clockTicks > 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (!ParseArguments(argc, argv)) return Usage();
    const double begin = NowMs();
    try {
        const std::string last = TagId(theOptions.tags - 1);
        StartComparison alarms, big;
        CrossingFigures crossing;
        StormFigures storm;
        RefreshFigures refresh;
        if (Wanted(L"start")) {
            alarms = CompareStarts(theOptions.toviExe, theOptions.plainConfig, theOptions.toviExe,
                                   theOptions.alarmConfig, last, "start and memory, plain and alarmed");
        }
        const bool hasBase = !theOptions.baseExe.empty();
        if (Wanted(L"big")) {
            big = CompareStarts(
                theOptions.toviExe, theOptions.bigConfig, theOptions.baseExe, theOptions.bigConfig,
                BigTagId(theOptions.bigTags - 1),
                hasBase ? "start of plain tags, this program and the one before alarms" : "start of plain tags");
        }
        if (Wanted(L"crossing") || Wanted(L"storm") || Wanted(L"refresh")) {
            Server server(theOptions.toviExe);
            UaPair ua;
            server.Start(theOptions.alarmConfig, ua, last);
            ua.ConnectWriter();
            ua.Run(kSettleMs);
            if (Wanted(L"crossing")) {
                Progress("a write across a limit: event and data change, " + std::to_string(theOptions.writes) +
                         " writes");
                crossing = MeasureCrossing(ua);
            }
            if (Wanted(L"storm")) {
                Progress("storm of " + std::to_string(theOptions.stormRate) + "/s for " +
                         Format("%.0f", theOptions.stormSeconds) + " s, three sessions");
                storm = RunStorm(ua, server);
            }
            if (Wanted(L"refresh")) refresh = MeasureRefresh(ua);
            ua.Close();
            server.Stop();
        }
        PrintTable(alarms, big, hasBase, crossing, storm, refresh, (NowMs() - begin) / 60000);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "alarm-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
