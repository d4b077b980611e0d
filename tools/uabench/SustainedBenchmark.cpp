// Sustained changes: the real program serving DEVICES x 100 groups x 1,000
// mixed tags (BenchTree.h), a tenth of them simulated counters that add one
// each second (100,000 changes a second at 10 devices), to one DA 2.0 client
// (a group at 1,000 ms of 10,000 of the counters, through IOPCDataCallback)
// and one UA session (10,000 other counters as monitored items sampled every
// 1,000 ms) in this process at once. After a warm-up it counts, for a run:
// the changes the server made (a sample of further counters read at the start
// and every 30 s), every notification each client had and what the counters
// say it missed, and the server's CPU and memory. Prints each figure with its
// goal; exits 1 when one is missed, 2 when it could not measure. Never a
// test: scripts/sustained-bench.sh runs it.
//
//   sustained_benchmark.exe [--devices 10] [--seconds 60] [--warmup 20] [--items 10000] [--queue 1]
//                           [--sampling 1000] [--port 48471] [--wineserver-pid P] [--clock-ticks 100]
#include "UaHeaders.h"

#include <objbase.h>
#include <ocidl.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchProcess.h"
#include "BenchTree.h"
#include "ConfigurationFile.h"
#include "CountSteps.h"
#include "DaChangeSink.h"
#include "ServerSession.h"
#include "UaAddressSpace.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr int kGroups = 100, kTagsPerGroup = 1000;
constexpr int kSimulatedEvery = 10;  // as ShapeMixedTag makes them
constexpr DWORD kUpdateRateMs = 1000;
constexpr double kSampleEveryMs = 30000;  // well inside a counter's wrap of 101 s

struct Options {
    int devices = 10;
    int seconds = 60;
    int warmup = 20;
    int items = 10000;
    UA_UInt32 queue = 1;
    double samplingMs = 1000;
    int port = 48471;
    long wineserverPid = 0;
    double clockTicks = 100;
} theOptions;

bool g_met = true;

void Progress(const std::string& text) {
    std::fprintf(stderr, "[sustained] %s\n", text.c_str());
    std::fflush(stderr);
}

void Goal(const std::string& what, bool met, const std::string& figure) {
    std::printf("goal %-58s %-24s %s\n", what.c_str(), figure.c_str(), met ? "met" : "MISSED");
    g_met = g_met && met;
}

std::string Number(double value, int decimals = 0) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Counter number `ordinal` (0..): the tag index of the tenth that is simulated.
long TagOf(long ordinal) { return ordinal * kSimulatedEvery; }
bool IsBoolTag(long tag) { return tag % 7 == 4; }  // ShapeMixedTag's order of types
std::string ItemId(long tag) {
    const long perDevice = static_cast<long>(kGroups) * kTagsPerGroup;
    return "Plant" + std::to_string(tag / perDevice) + ".Area" + std::to_string(tag % perDevice / kTagsPerGroup) +
           ".Tag" + std::to_string(tag % kTagsPerGroup);
}
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The three sets of counters, spread over every device and apart from each other.
struct ItemSets {
    std::vector<long> da, ua, sample;
};
ItemSets ChooseItems(long counters, long wanted) {
    const long stride = std::max(4L, counters / std::max(1L, wanted));
    ItemSets sets;
    for (long i = 0; i * stride < counters && static_cast<long>(sets.da.size()) < wanted; ++i) {
        sets.da.push_back(TagOf(i * stride));
        sets.ua.push_back(TagOf(i * stride + stride / 2));
        const long sample = TagOf(i * stride + stride / 4);
        if (!IsBoolTag(sample)) sets.sample.push_back(sample);  // a Boolean's steps cannot be told apart
    }
    return sets;
}

// The configuration: each simulated tag a counter adding one every 10 ticks
// (one second), each device polling from the moment the file is opened so
// that every counter runs whoever watches.
void WriteConfiguration(const std::wstring& path) {
    BenchTree tree;
    for (int d = 0; d < theOptions.devices; ++d) {
        OPCS_Device* device =
            tree.AddDevice(L"Plant" + std::to_wstring(d), kGroups, kTagsPerGroup, [d](ToviTag& tag, int g, int t) {
                const int index = (d * kGroups + g) * kTagsPerGroup + t;
                ShapeMixedTag(tag, index);
                if (index % kSimulatedEvery == 0) {
                    tag.SetSimulation(TagSimulation{true, kSimulateCount, 1, 10});
                }
            });
        device->SetPollOnOpen(true);
    }
    DeleteFileW(path.c_str());  // an earlier run's would be kept as a backup
    if (SaveConfigurationFile(path, tree.devices).status != ConfigFileStatus::Ok) {
        throw std::runtime_error("the configuration could not be saved");
    }
}

std::string Hr(const char* what, HRESULT hr) { return std::string(what).append(" gives ").append(HresultText(hr)); }

// A group of `tags` on the server at `rate`, client handles 0..n-1.
struct DaGroup {
    OPCHANDLE handle = 0;
    ComPtr<IOPCItemMgt> items;
    std::vector<OPCHANDLE> serverHandles;
};
DaGroup AddGroup(IOPCServer* server, const wchar_t* name, DWORD rate, const std::vector<long>& tags) {
    DaGroup g;
    DWORD revised = 0;
    HRESULT hr = server->AddGroup(name, FALSE, rate, 1, nullptr, nullptr, 0, &g.handle, &revised, IID_IOPCItemMgt,
                                  reinterpret_cast<LPUNKNOWN*>(g.items.GetAddressOf()));
    if (FAILED(hr)) throw std::runtime_error(Hr("AddGroup", hr));
    std::vector<std::wstring> ids;
    ids.reserve(tags.size());
    std::vector<OPCITEMDEF> defs(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) {
        ids.push_back(Wide(ItemId(tags[i])));
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(ids.back().c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = g.items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    if (hr == S_OK) {
        for (size_t i = 0; i < defs.size(); ++i) g.serverHandles.push_back(results[i].hServer);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    if (hr != S_OK) throw std::runtime_error(Hr("AddItems", hr));
    return g;
}

void SetActive(IOPCItemMgt* items) {
    ComPtr<IOPCGroupStateMgt> state;
    HRESULT hr = items->QueryInterface(IID_PPV_ARGS(&state));
    DWORD revised = 0;
    BOOL active = TRUE;
    if (SUCCEEDED(hr)) hr = state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    if (FAILED(hr)) throw std::runtime_error(Hr("SetState(active)", hr));
}

// The sample's values from the server's cache.
std::vector<double> ReadSample(IOPCSyncIO* io, DaGroup& sample) {
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = io->Read(OPC_DS_CACHE, static_cast<DWORD>(sample.serverHandles.size()),
                                sample.serverHandles.data(), &states, &errors);
    std::vector<double> values(sample.serverHandles.size(), NAN);
    if (SUCCEEDED(hr)) {
        for (size_t i = 0; i < values.size(); ++i) {
            bool isBool = false;
            if (errors[i] == S_OK) CounterValue(states[i].vDataValue, values[i], isBool);
            VariantClear(&states[i].vDataValue);
        }
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    if (FAILED(hr)) throw std::runtime_error(Hr("the sample's Read", hr));
    return values;
}

// Steps every sampled counter made between two reads; -1 for a counter that
// left its track (no value, or one off the way).
long long SampleSteps(const std::vector<double>& before, const std::vector<double>& after, size_t& offTrack) {
    long long steps = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        const int s = std::isnan(before[i]) || std::isnan(after[i]) ? -1 : CounterSteps(before[i], after[i], false);
        if (s < 0) {
            ++offTrack;
        } else {
            steps += s;
        }
    }
    return steps;
}

bool UaCounterValue(const UA_DataValue& dv, double& value, bool& isBool) {
    if (!dv.hasValue || !UA_Variant_isScalar(&dv.value)) return false;
    const UA_DataType* type = dv.value.type;
    const void* data = dv.value.data;
    isBool = type == &UA_TYPES[UA_TYPES_BOOLEAN];
    if (isBool) {
        value = *static_cast<const UA_Boolean*>(data) ? 1 : 0;
    } else if (type == &UA_TYPES[UA_TYPES_DOUBLE]) {
        value = *static_cast<const UA_Double*>(data);
    } else if (type == &UA_TYPES[UA_TYPES_FLOAT]) {
        value = *static_cast<const UA_Float*>(data);
    } else if (type == &UA_TYPES[UA_TYPES_INT32]) {
        value = *static_cast<const UA_Int32*>(data);
    } else if (type == &UA_TYPES[UA_TYPES_INT16]) {
        value = *static_cast<const UA_Int16*>(data);
    } else if (type == &UA_TYPES[UA_TYPES_BYTE]) {
        value = *static_cast<const UA_Byte*>(data);
    } else if (type == &UA_TYPES[UA_TYPES_STRING]) {
        const auto* text = static_cast<const UA_String*>(data);
        value = std::atof(std::string(reinterpret_cast<const char*>(text->data), text->length).c_str());
    } else {
        return false;
    }
    return true;
}

struct ServerMeter {
    long pid = 0;
    HANDLE process = nullptr;
    double Cpu() const { return LinuxCpuSeconds(pid, theOptions.clockTicks); }
    double WineserverCpu() const { return LinuxCpuSeconds(theOptions.wineserverPid, theOptions.clockTicks); }
    // The commit charge (Wine leaves PrivateUsage at 0; on Windows they agree).
    double PrivateBytes() const {
        PROCESS_MEMORY_COUNTERS_EX memory{};
        memory.cb = sizeof memory;
        if (process == nullptr ||
            !GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
            return NAN;
        }
        return static_cast<double>(memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage);
    }
};

// `seconds`: the time the counts ran.
void PrintClient(const char* who, const CountSteps::Totals& t, size_t items, double seconds) {
    std::printf(
        "%-3s %6zu items: %llu notifications (%s/s, %s per item and second), %llu changes carried, %llu missed, "
        "%llu repeated, %llu off the count, %zu items silent; an item heard every %s ms; %llu changes made late "
        "(source "
        "time > 1.5 s after the one before)\n",
        who, items, t.notifications, Number(t.notifications / seconds).c_str(),
        Number(t.notifications / seconds / static_cast<double>(items), 3).c_str(), t.changes, t.missed, t.repeats,
        t.offTrack, t.silent, Number(t.intervalMs, 1).c_str(), t.gaps);
}

int Run() {
    const long counters = static_cast<long>(theOptions.devices) * kGroups * kTagsPerGroup / kSimulatedEvery;
    const ItemSets sets = ChooseItems(counters, theOptions.items);
    wchar_t temp[MAX_PATH + 1];
    const std::wstring file = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"SustainedBench.tvf";
    Progress("writing " + std::to_string(counters * kSimulatedEvery) + " tags");
    WriteConfiguration(file);

    Progress("starting the program (DA out of process, UA on port " + std::to_string(theOptions.port) + ")");
    ServerSession session;
    const double startedAt = NowMs();
    if (std::string e = session.Start(file, 1800000, L"/UaPort " + std::to_wstring(theOptions.port)); !e.empty()) {
        throw std::runtime_error(e);
    }
    ServerMeter meter;
    meter.pid = FindLinuxPid({"Tovi Explorer.exe", "SustainedBench.tvf"}, "sustained_benchmark");
    meter.process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, session.ProcessId());
    UaPair ua;
    ua.ConnectWhenReady("opc.tcp://localhost:" + std::to_string(theOptions.port) + "/", kTagsNamespaceUri,
                        ItemId(counters * kSimulatedEvery - 1), NowMs() + 1800000, [] { return true; });
    Progress("serving after " + Number((NowMs() - startedAt) / 1000, 1) + " s");

    CountSteps daSteps(sets.da.size()), uaSteps(sets.ua.size());
    DaChangeSink sink(daSteps);
    IOPCServer* server = session.Server();
    DaGroup sample = AddGroup(server, L"Sample", 3600000, sets.sample);
    SetActive(sample.items.Get());  // an inactive group's cache says nothing
    ComPtr<IOPCSyncIO> sampleIo;
    if (HRESULT hr = sample.items.As(&sampleIo); FAILED(hr)) throw std::runtime_error(Hr("IOPCSyncIO", hr));
    DaGroup da = AddGroup(server, L"Sustained", kUpdateRateMs, sets.da);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    HRESULT hr = da.items.As(&container);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, &point);
    if (SUCCEEDED(hr)) hr = point->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie);
    if (FAILED(hr)) throw std::runtime_error(Hr("IOPCDataCallback's Advise", hr));
    SetActive(da.items.Get());

    Progress("UA: " + std::to_string(sets.ua.size()) + " monitored items");
    std::vector<std::string> uaIds;
    for (long tag : sets.ua) uaIds.push_back(ItemId(tag));
    ChangeSink uaSink;
    // The publish responses: a notification after a pause of 200 ms or more begins one.
    double lastArrival = 0;
    unsigned long uaBursts = 0;
    uaSink.onChange = [&](size_t index, const UA_DataValue& dv, double arrival) {
        if (arrival - lastArrival >= 200) ++uaBursts;
        lastArrival = arrival;
        double value = 0;
        bool isBool = false;
        if (!UaCounterValue(dv, value, isBool) || !dv.hasSourceTimestamp) return;
        // Both count 100 ns from 1601.
        uaSteps.Heard(index, value, isBool, static_cast<double>(dv.sourceTimestamp) / 1e4, arrival);
    };
    MonitoredItems monitored;
    CreateMonitoredItems(ua, uaIds, uaSink, monitored, MonitorTiming{1000, theOptions.samplingMs, theOptions.queue});

    Progress("warm-up " + std::to_string(theOptions.warmup) + " s");
    ua.Run(theOptions.warmup * 1000.0);
    Progress("measuring " + std::to_string(theOptions.seconds) + " s");
    const double commitBefore = meter.PrivateBytes(), rssBefore = LinuxStatusBytes(meter.pid, "RssAnon:");
    const double counting0 = NowMs();
    daSteps.Start();
    uaSteps.Start();
    std::vector<double> last = ReadSample(sampleIo.Get(), sample);
    const unsigned long bursts0 = uaBursts, calls0 = sink.Calls();
    const double cpu0 = meter.Cpu(), wine0 = meter.WineserverCpu(), own0 = OwnCpuSeconds(), t0 = NowMs();
    long long sampleSteps = 0;
    size_t offTrack = 0;
    for (double due = t0 + kSampleEveryMs;; due += kSampleEveryMs) {
        const double end = t0 + theOptions.seconds * 1000.0;
        ua.Run(std::max(0.0, std::min(due, end) - NowMs()));
        const std::vector<double> now = ReadSample(sampleIo.Get(), sample);
        sampleSteps += SampleSteps(last, now, offTrack);
        last = now;
        if (NowMs() >= end) break;
    }
    const double seconds = (NowMs() - t0) / 1000;
    const double cpu = meter.Cpu() - cpu0, wine = meter.WineserverCpu() - wine0, own = OwnCpuSeconds() - own0;
    const unsigned long bursts = uaBursts - bursts0, calls = sink.Calls() - calls0;
    daSteps.Stop();
    uaSteps.Stop();
    const double counted = (NowMs() - counting0) / 1000;
    const double commitAfter = meter.PrivateBytes(), rssAfter = LinuxStatusBytes(meter.pid, "RssAnon:");
    const CountSteps::Totals daT = daSteps.Sum(), uaT = uaSteps.Sum();

    point->Unadvise(cookie);
    DeleteSubscription(ua, monitored.subscriptionId);
    ua.Close();

    const double madePerSecond = static_cast<double>(sampleSteps) /
                                 static_cast<double>(std::max<size_t>(1, sets.sample.size())) / seconds *
                                 static_cast<double>(counters);
    const double cpuPerThousand = cpu / (madePerSecond * seconds / 1000);
    std::printf(
        "Sustained changes: %ld tags (%d devices x %d groups x %d mixed tags), %ld simulated counters "
        "(each +1 a second), %d s after a %d s warm-up\n",
        counters * kSimulatedEvery, theOptions.devices, kGroups, kTagsPerGroup, counters, theOptions.seconds,
        theOptions.warmup);
    std::printf(
        "DA 2.0 group at %lu ms of %zu counters; UA subscription (publishing 1,000 ms) of %zu counters "
        "sampled every %s ms, queue %u\n",
        static_cast<unsigned long>(kUpdateRateMs), sets.da.size(), sets.ua.size(),
        Number(theOptions.samplingMs).c_str(), theOptions.queue);
    std::printf("server made %s changes/s (from %zu sampled counters, %zu off their count; %ld expected)\n",
                Number(madePerSecond).c_str(), sets.sample.size(), offTrack, counters);
    PrintClient("DA", daT, sets.da.size(), counted);
    PrintClient("UA", uaT, sets.ua.size(), counted);
    std::printf("in the %.1f s: %lu DA callbacks, %lu bursts of UA notifications (publish responses)\n", seconds, calls,
                bursts);
    std::printf(
        "server CPU %.1f s in %.1f s: %.1f%% of a core, %.4f CPU s per 1,000 changes made; wineserver "
        "%.1f%%, this client %.1f%%\n",
        cpu, seconds, 100 * cpu / seconds, cpuPerThousand, theOptions.wineserverPid > 0 ? 100 * wine / seconds : NAN,
        100 * own / seconds);
    std::printf("server private bytes %.0f MiB -> %.0f MiB; Linux anonymous resident %.0f MiB -> %.0f MiB\n",
                commitBefore / 1048576, commitAfter / 1048576, rssBefore / 1048576, rssAfter / 1048576);

    // A change made late (its device's thread held up) is still one change: the counter says what was lost.
    auto allHeard = [](const CountSteps::Totals& t) { return t.missed == 0 && t.offTrack == 0; };
    Goal("the server makes every change (>= 99% of the counters a second)", madePerSecond >= 0.99 * counters,
         Number(madePerSecond) + "/s");
    Goal("DA: every change delivered, none missed", allHeard(daT) && daT.silent == 0,
         std::to_string(daT.missed) + " missed");
    Goal("UA: every change delivered, none missed", allHeard(uaT) && uaT.silent == 0,
         std::to_string(uaT.missed) + " missed");
    Goal("server CPU stated (under one core)", cpu / seconds < 1.0, Number(100 * cpu / seconds, 1) + "%");

    session.End();
    if (meter.process != nullptr) CloseHandle(meter.process);
    DeleteFileW(file.c_str());
    return g_met ? 0 : 1;
}

bool ParseArguments(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const long value = std::wcstol(argv[i + 1], nullptr, 10);
        if (name == L"--devices") {
            theOptions.devices = static_cast<int>(value);
        } else if (name == L"--seconds") {
            theOptions.seconds = static_cast<int>(value);
        } else if (name == L"--warmup") {
            theOptions.warmup = static_cast<int>(value);
        } else if (name == L"--items") {
            theOptions.items = static_cast<int>(value);
        } else if (name == L"--queue") {
            theOptions.queue = static_cast<UA_UInt32>(value);
        } else if (name == L"--sampling") {
            theOptions.samplingMs = static_cast<double>(value);
        } else if (name == L"--port") {
            theOptions.port = static_cast<int>(value);
        } else if (name == L"--wineserver-pid") {
            theOptions.wineserverPid = value;
        } else if (name == L"--clock-ticks") {
            theOptions.clockTicks = static_cast<double>(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && theOptions.devices >= 1 && theOptions.devices <= 10 && theOptions.seconds >= 1 &&
           theOptions.items >= 1 && theOptions.queue >= 1 && theOptions.clockTicks > 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!ParseArguments(argc, argv)) {
        std::fprintf(stderr,
                     "usage: sustained_benchmark [--devices 1..10] [--seconds N] [--warmup N] [--items N] "
                     "[--queue N] [--sampling MS] [--port N] [--wineserver-pid P] [--clock-ticks N]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    int result = 2;
    try {
        result = Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sustained: %s\n", error.what());
    }
    CoUninitialize();
    return result;
}
