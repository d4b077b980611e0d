// The subscription benchmark. Starts the real program on a configuration of
// 110,000 tags and measures, as an OPC client in another process:
//   (a) SetState(active) of a group of 10,000 items until every item of the
//       first notification has arrived;
//   (b) a Write of all 10,000 values until a stream carrying them all has
//       arrived, at random phases of the 100 ms update period;
//   an asynchronous read of 10,000 items until its completion has arrived;
//   1,000 asynchronous reads of 100 items queued back to back (completed in
//   order, each exactly once);
//   100 groups of 1,000 items at 100 ms for a sustained run, on tags without
//   value limits so that every item is reported at every scan: notifications
//   per second, late periods, the server's CPU time per delivered item and
//   its handle and memory counts at start and end; its floor is the echo's
//   threads delivering blocks of the same size at the same rate.
// The floor is the echo object of the item benchmark handing streams of the
// same sizes to the same sink.
// The 2.0 path beside it: (a), (b) and a read of 10,000 items through
// IOPCDataCallback and IOPCAsyncIO2, against the echo's own thread calling
// the same callback shape; and an active group of 10,000 unchanging items on
// each path for /IdleSeconds: the streams of the one, the change-driven
// callbacks of the other (none is the goal).
//
//   subscription_benchmark [/Rounds:N] [/Seconds:N] [/IdleSeconds:N]
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchConfiguration.h"
#include "BenchFigures.h"
#include "CountingSink.h"
#include "DataCallbackSink.h"
#include "EchoShapes.h"
#include "ServerSession.h"
#include "Watchdog.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr int kItems = 10000;  // tags 0..9999: value limits 0..1000, deadband 0
constexpr int kSustainedGroups = 100;
constexpr int kTags = kItems + kSustainedGroups * 1000;
constexpr DWORD kPeriodMs = 100;

struct Group {
    OPCHANDLE handle = 0;
    ComPtr<IOPCItemMgt> items;
    std::vector<OPCHANDLE> itemHandles;
    DWORD connection = 0;
    ComPtr<IConnectionPoint> callbackPoint;  // the 2.0 subscription
};

// A group of `count` items from tag `first` on, advised to the 1.0a sink in
// the time format unless it is null; "" or why not.
std::string MakeGroup(IOPCServer* server, OPCHANDLE clientHandle, BOOL active, int first, int count, IAdviseSink* sink,
                      Group& g) {
    DWORD revised = 0;
    HRESULT hr = server->AddGroup(L"", active, kPeriodMs, clientHandle, nullptr, nullptr, 0, &g.handle, &revised,
                                  IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(g.items.GetAddressOf()));
    if (FAILED(hr)) return "AddGroup gives " + HresultText(hr);
    std::vector<std::wstring> ids;
    std::vector<OPCITEMDEF> defs(static_cast<size_t>(count));
    ids.reserve(defs.size());
    for (int i = 0; i < count; ++i) {
        ids.push_back(BenchItemId(first + i));
        defs[static_cast<size_t>(i)].szAccessPath = const_cast<LPWSTR>(L"");
        defs[static_cast<size_t>(i)].szItemID = const_cast<LPWSTR>(ids.back().c_str());
        defs[static_cast<size_t>(i)].bActive = TRUE;
        defs[static_cast<size_t>(i)].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = g.items->AddItems(static_cast<DWORD>(count), defs.data(), &results, &errors);
    if (hr != S_OK) return "AddItems gives " + HresultText(hr);
    for (int i = 0; i < count; ++i) g.itemHandles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    if (sink == nullptr) return {};
    ComPtr<IDataObject> data;
    g.items.As(&data);
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    hr = data->DAdvise(&format, 0, sink, &g.connection);
    return SUCCEEDED(hr) ? std::string() : "DAdvise gives " + HresultText(hr);
}

// The group's 2.0 subscription to the sink, through its connection point; "" or why not.
std::string AdviseCallback(Group& g, IOPCDataCallback* sink) {
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = g.items.As(&container);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, &g.callbackPoint);
    if (SUCCEEDED(hr)) hr = g.callbackPoint->Advise(sink, &g.connection);
    return SUCCEEDED(hr) ? std::string() : "the group gives no IOPCDataCallback connection (" + HresultText(hr) + ")";
}

HRESULT SetActive(IOPCItemMgt* items, BOOL active) {
    ComPtr<IOPCGroupStateMgt> state;
    items->QueryInterface(IID_PPV_ARGS(&state));
    DWORD revised = 0;  // an [out] pointer: never null through a proxy
    return state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
}

std::vector<VARIANT> Values(size_t count, double value) {
    std::vector<VARIANT> v(count);
    for (VARIANT& x : v) {
        VariantInit(&x);
        V_VT(&x) = VT_R8;
        V_R8(&x) = value;
    }
    return v;
}

struct ServerCounters {
    double cpuMs = 0;
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    SIZE_T workingSet = 0;
};

ServerCounters Counters(HANDLE process) {
    ServerCounters c;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        auto ms = [](FILETIME t) {
            return ((static_cast<double>(t.dwHighDateTime) * 4294967296.0) + t.dwLowDateTime) / 10000.0;
        };
        c.cpuMs = ms(kernel) + ms(user);
    }
    GetProcessHandleCount(process, &c.handles);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        c.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
        c.workingSet = memory.WorkingSetSize;
    }
    return c;
}

// The sustained 2.0 load: every period a tenth of each group's items is
// written (one Write per group, from a thread of the client's) with a value
// it never had, and each change is to be called back.
constexpr int kChangedPerPeriod = 100;

struct ChangeLoad {
    unsigned long long written = 0, delivered = 0;
    int late = 0;
    double cpuMs = NAN;
};

// Runs `write(group, first, values)` for each group every period for
// `seconds`, on a thread of its own; gives the items written.
template <class WriteGroup>
std::thread StartWriter(int seconds, DWORD delayMs, std::atomic<unsigned long long>& written, WriteGroup write) {
    return std::thread([seconds, delayMs, &written, write] {
        const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Sleep(delayMs);
        const int periods = seconds * 1000 / static_cast<int>(kPeriodMs);
        ULONGLONG due = GetTickCount64();
        for (int p = 1; p <= periods; ++p) {
            const int first = (p % (1000 / kChangedPerPeriod)) * kChangedPerPeriod;
            // Negative: no tag starts with such a value.
            std::vector<VARIANT> values = Values(kChangedPerPeriod, -p - 0.25);
            for (int g = 0; g < kSustainedGroups; ++g) {
                if (write(g, first, values.data())) written += kChangedPerPeriod;
            }
            due += kPeriodMs;
            const ULONGLONG now = GetTickCount64();
            if (now < due) Sleep(static_cast<DWORD>(due - now));
        }
        if (SUCCEEDED(joined)) CoUninitialize();
    });
}

// Periods of a group begun more than one period after the one before, over
// the arrivals of groups 100.. from the sink.
int LatePeriods(const std::vector<Arrival>& arrivals, double from, double to) {
    std::map<DWORD, std::vector<double>> perGroup;
    for (const Arrival& a : arrivals) {
        if (a.kind == Delivery::kDataChange && a.group >= 100 && a.ms >= from && a.ms <= to) {
            perGroup[a.group].push_back(a.ms);
        }
    }
    int late = 0;
    for (auto& [group, times] : perGroup) {
        for (size_t i = 1; i < times.size(); ++i) {
            if (times[i] - times[i - 1] > 2.0 * kPeriodMs) ++late;
        }
    }
    return late;
}

unsigned long long ItemsCalledBack(const std::vector<Arrival>& arrivals) {
    unsigned long long items = 0;
    for (const Arrival& a : arrivals) {
        if (a.kind == Delivery::kDataChange && a.group >= 100) items += a.count;
    }
    return items;
}

// The server's run: 100 active groups of 1,000 items advised to `sink`;
// "" or why it could not be measured.
std::string SustainChangesOnServer(IOPCServer* server, HANDLE process, DataCallbackSink& sink, int seconds,
                                   ChangeLoad& load) {
    std::vector<Group> groups(kSustainedGroups);
    std::vector<ComPtr<IOPCSyncIO>> io(kSustainedGroups);
    for (int g = 0; g < kSustainedGroups; ++g) {
        std::string e = MakeGroup(server, 100 + g, FALSE, kItems + g * 1000, 1000, nullptr, groups[g]);
        if (e.empty()) e = AdviseCallback(groups[g], static_cast<IOPCDataCallback*>(&sink));
        if (e.empty() && FAILED(groups[g].items.As(&io[g]))) e = "a group gives no IOPCSyncIO";
        if (!e.empty()) return e;
    }
    for (Group& g : groups) SetActive(g.items.Get(), TRUE);
    Sleep(2000);  // every item's first report is not part of the load
    const size_t from = sink.Count();
    const double cpu0 = Counters(process).cpuMs, t0 = NowMs();
    std::atomic<unsigned long long> written{0};
    StartWriter(seconds, 0, written, [&](int g, int first, VARIANT* values) {
        HRESULT* errors = nullptr;
        const HRESULT hr = io[g]->Write(kChangedPerPeriod, groups[g].itemHandles.data() + first, values, &errors);
        CoTaskMemFree(errors);
        return hr == S_OK;
    }).join();
    const double t1 = NowMs();
    // The last periods' changes may still be on their way.
    load.written = written.load();
    for (int wait = 0; wait < 30 && ItemsCalledBack(sink.Since(from)) < load.written; ++wait) Sleep(kPeriodMs);
    load.cpuMs = Counters(process).cpuMs - cpu0;
    const std::vector<Arrival> arrivals = sink.Since(from);
    load.delivered = ItemsCalledBack(arrivals);
    load.late = LatePeriods(arrivals, t0 + kPeriodMs, t1);
    for (Group& g : groups) {
        SetActive(g.items.Get(), FALSE);
        g.callbackPoint->Unadvise(g.connection);
        server->RemoveGroup(g.handle, FALSE);
    }
    return {};
}

// Its floor: the echo's threads scanning as many values and calling back
// the changed ones, while the same writes go to the echo; they scan on for a
// while after the writes, as the server's wait for the last changes does.
std::string SustainChangesOnEcho(ICallbackShapeEcho* echo, IItemShapeEcho* itemEcho, DataCallbackSink& sink,
                                 int seconds, ChangeLoad& load) {
    std::vector<std::vector<OPCHANDLE>> handles(kSustainedGroups, std::vector<OPCHANDLE>(1000));
    for (int g = 0; g < kSustainedGroups; ++g) {
        for (int i = 0; i < 1000; ++i) handles[g][i] = static_cast<OPCHANDLE>(g * 1000 + i);
    }
    echo->Advise(static_cast<IDataCallbackShape*>(&sink));
    const size_t from = sink.Count();
    std::atomic<unsigned long long> written{0};
    std::thread writer = StartWriter(seconds, 200, written, [&](int g, int first, VARIANT* values) {
        HRESULT* errors = nullptr;
        const HRESULT hr = itemEcho->Write(kChangedPerPeriod, handles[g].data() + first, values, &errors);
        CoTaskMemFree(errors);
        return hr == S_OK;
    });
    DWORD delivered = 0, late = 0, cpuMs = 0;
    const HRESULT hr = echo->SustainChanges(kSustainedGroups, 1000, kPeriodMs,
                                            static_cast<DWORD>(seconds) * 1000 + 3000, &delivered, &late, &cpuMs);
    writer.join();
    echo->Advise(nullptr);
    if (FAILED(hr)) return "the echo's SustainChanges gives " + HresultText(hr);
    load.written = written.load();
    load.delivered = ItemsCalledBack(sink.Since(from));
    load.late = static_cast<int>(late);
    load.cpuMs = cpuMs;
    return {};
}

// The 2.0 path: the measures of the 1.0a one through IOPCDataCallback and
// IOPCAsyncIO2, on a group of the same tags; the floor is the echo's own
// thread calling the same callback shape. Where the server does not offer
// the path (or it fails), its figures stay empty and `missing` says why; the
// floor is measured all the same.
constexpr OPCHANDLE kCallbackGroup = 2;

struct CallbackPath {
    ICallbackShapeEcho* echo;
    IItemShapeEcho* itemEcho;
    DataCallbackSink& sink;
    const std::vector<OPCHANDLE>& handles;  // kItems handles for the echo's calls
    Group group;
    std::string missing;
    std::vector<double> activation, activationFloor, activationReturn, write, writeFloor, read, readFloor;
};

bool IsFullChange(const Arrival& a) {
    return a.kind == Delivery::kDataChange && a.group == kCallbackGroup && a.transaction == 0 && a.count == kItems;
}

// Milliseconds from `start` to the echo's callback of that kind and
// transaction (after arrival `from`); NaN when the call failed or none came.
double FloorArrival(DataCallbackSink& sink, size_t from, HRESULT called, Delivery kind, DWORD transaction,
                    double start) {
    Arrival got{};
    if (FAILED(called) ||
        !sink.WaitFor(
            from, [=](const Arrival& a) { return a.kind == kind && a.transaction == transaction; }, &got)) {
        return NAN;
    }
    return got.ms - start;
}

// Activation until an OnDataChange with every item has arrived.
void MeasureCallbackActivation(CallbackPath& p, int rounds) {
    for (int r = 0; r <= rounds; ++r) {
        double serverMs = NAN, returnMs = NAN;
        if (p.missing.empty()) {
            const size_t from = p.sink.Count();
            const double t0 = NowMs();
            const HRESULT hr = SetActive(p.group.items.Get(), TRUE);
            returnMs = NowMs() - t0;
            Arrival got{};
            if (FAILED(hr)) {
                p.missing = "SetState(active) gives " + HresultText(hr);
            } else if (!p.sink.WaitFor(from, IsFullChange, &got)) {
                p.missing = "no OnDataChange of all items after activation";
            } else {
                serverMs = got.ms - t0;
            }
            SetActive(p.group.items.Get(), FALSE);
            Sleep(2 * kPeriodMs);
        }
        const DWORD transaction = 0xF000 + static_cast<DWORD>(r);
        const size_t from = p.sink.Count();
        const double e0 = NowMs();
        const double floorMs =
            FloorArrival(p.sink, from, p.echo->DataChange(kItems, transaction), Delivery::kDataChange, transaction, e0);
        if (r == 0) continue;  // warm-up
        if (!std::isnan(serverMs)) {
            p.activation.push_back(serverMs);
            p.activationReturn.push_back(returnMs);
        }
        p.activationFloor.push_back(floorMs);
    }
}

// A Write of every value until an OnDataChange carrying them all, at random
// phases of the update period.
void MeasureCallbackWrites(CallbackPath& p, int rounds, std::mt19937& random) {
    ComPtr<IOPCSyncIO> io;
    if (p.missing.empty()) {
        p.group.items.As(&io);
        const size_t from = p.sink.Count();
        SetActive(p.group.items.Get(), TRUE);
        if (!p.sink.WaitFor(from, IsFullChange, nullptr)) p.missing = "no OnDataChange of all items after activation";
    }
    for (int r = 0; r <= rounds; ++r) {
        Sleep(std::uniform_int_distribution<DWORD>(0, kPeriodMs - 1)(random));
        const double value = 200.0 + r;  // inside the tags' limits, apart from the 1.0a rounds' values
        std::vector<VARIANT> values = Values(kItems, value);
        double serverMs = NAN;
        HRESULT* errors = nullptr;
        if (p.missing.empty()) {
            const size_t from = p.sink.Count();
            const double t0 = NowMs();
            const HRESULT hr = io->Write(kItems, p.group.itemHandles.data(), values.data(), &errors);
            CoTaskMemFree(errors);
            Arrival got{};
            if (hr != S_OK) {
                p.missing = "Write gives " + HresultText(hr);
            } else if (!p.sink.WaitFor(
                           from, [value](const Arrival& a) { return IsFullChange(a) && a.firstValue == value; },
                           &got)) {
                p.missing = "the written values never arrived in an OnDataChange";
            } else {
                serverMs = got.ms - t0;
            }
        }
        const DWORD transaction = 0xF100 + static_cast<DWORD>(r);
        const size_t from = p.sink.Count();
        const double e0 = NowMs();
        errors = nullptr;
        p.itemEcho->Write(kItems, const_cast<OPCHANDLE*>(p.handles.data()), values.data(), &errors);
        CoTaskMemFree(errors);
        const double floorMs =
            FloorArrival(p.sink, from, p.echo->DataChange(kItems, transaction), Delivery::kDataChange, transaction, e0);
        if (r == 0) continue;
        if (!std::isnan(serverMs)) p.write.push_back(serverMs);
        p.writeFloor.push_back(floorMs);
    }
    if (io) SetActive(p.group.items.Get(), FALSE);
    Sleep(2 * kPeriodMs);
}

// IOPCAsyncIO2::Read of every item until its OnReadComplete.
void MeasureCallbackReads(CallbackPath& p, int rounds) {
    ComPtr<IOPCAsyncIO2> async;
    if (p.missing.empty()) {
        if (const HRESULT hr = p.group.items.As(&async); FAILED(hr)) {
            p.missing = "the group gives no IOPCAsyncIO2 (" + HresultText(hr) + ")";
        }
    }
    for (int r = 0; r <= rounds; ++r) {
        double serverMs = NAN;
        DWORD cancel = 0;
        HRESULT* errors = nullptr;
        if (p.missing.empty()) {
            const DWORD tid = 0x2000 + static_cast<DWORD>(r);
            const size_t from = p.sink.Count();
            const double t0 = NowMs();
            const HRESULT hr = async->Read(kItems, p.group.itemHandles.data(), tid, &cancel, &errors);
            CoTaskMemFree(errors);
            Arrival got{};
            if (hr != S_OK) {
                p.missing = "IOPCAsyncIO2::Read gives " + HresultText(hr);
            } else if (!p.sink.WaitFor(
                           from,
                           [tid](const Arrival& a) {
                               return a.kind == Delivery::kReadComplete && a.transaction == tid;
                           },
                           &got)) {
                p.missing = "no OnReadComplete of an IOPCAsyncIO2::Read";
            } else if (got.count != kItems) {
                p.missing = "OnReadComplete carries " + std::to_string(got.count) + " of the items";
            } else {
                serverMs = got.ms - t0;
            }
        }
        const DWORD transaction = 0xF200 + static_cast<DWORD>(r);
        const size_t from = p.sink.Count();
        const double e0 = NowMs();
        errors = nullptr;
        const HRESULT called =
            p.echo->Read(kItems, const_cast<OPCHANDLE*>(p.handles.data()), transaction, &cancel, &errors);
        CoTaskMemFree(errors);
        const double floorMs = FloorArrival(p.sink, from, called, Delivery::kReadComplete, transaction, e0);
        if (r == 0) continue;
        if (!std::isnan(serverMs)) p.read.push_back(serverMs);
        p.readFloor.push_back(floorMs);
    }
}

// An active group of 10,000 unchanging items on each path at once (tags
// without value limits, which the 1.0a stream reports at every scan): what
// each sends once its first notification is in.
struct IdleFigures {
    double seconds = 0;
    size_t streams = 0, changes = 0;
    unsigned long long streamItems = 0, changeItems = 0;
    std::string missing;  // why the 2.0 figures are absent
};

IdleFigures MeasureIdle(IOPCServer* server, CountingSink& streamSink, DataCallbackSink& callbackSink, bool withCallback,
                        int seconds) {
    constexpr OPCHANDLE kStreamGroup = 4, kChangeGroup = 3;
    IdleFigures f;
    Group stream, change;
    if (std::string e = MakeGroup(server, kStreamGroup, FALSE, kItems, kItems, &streamSink, stream); !e.empty()) {
        f.missing = e;
        return f;
    }
    if (!withCallback) f.missing = "the server offers no IOPCDataCallback";
    if (f.missing.empty()) f.missing = MakeGroup(server, kChangeGroup, FALSE, kItems, kItems, nullptr, change);
    if (f.missing.empty()) f.missing = AdviseCallback(change, static_cast<IOPCDataCallback*>(&callbackSink));
    const bool callbacks = f.missing.empty();
    const size_t streamsFrom = streamSink.Count(), changesFrom = callbackSink.Count();
    SetActive(stream.items.Get(), TRUE);
    if (callbacks) SetActive(change.items.Get(), TRUE);
    streamSink.WaitFor(
        streamsFrom, [](const Arrival& a) { return a.group == kStreamGroup && a.count == kItems; }, nullptr);
    if (callbacks && !callbackSink.WaitFor(
                         changesFrom,
                         [](const Arrival& a) {
                             return a.kind == Delivery::kDataChange && a.group == kChangeGroup && a.count == kItems;
                         },
                         nullptr)) {
        f.missing = "no OnDataChange of all items after activation";
    }
    const size_t streamsIdle = streamSink.Count(), changesIdle = callbackSink.Count();
    const double t0 = NowMs();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    f.seconds = (NowMs() - t0) / 1000.0;
    for (const Arrival& a : streamSink.Since(streamsIdle)) {
        if (a.group == kStreamGroup && a.transaction == 0) {
            ++f.streams;
            f.streamItems += a.count;
        }
    }
    for (const Arrival& a : callbackSink.Since(changesIdle)) {
        if (a.kind == Delivery::kDataChange && a.group == kChangeGroup && a.transaction == 0) {
            ++f.changes;
            f.changeItems += a.count;
        }
    }
    for (Group* g : {&stream, &change}) {
        if (!g->items) continue;
        SetActive(g->items.Get(), FALSE);
        if (g->callbackPoint) g->callbackPoint->Unadvise(g->connection);
        server->RemoveGroup(g->handle, FALSE);
    }
    return f;
}

int Fail(const std::string& why) {
    std::printf("subscription benchmark: %s\n", why.c_str());
    return 2;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = SwitchNumber(argc, argv, L"Rounds", 40);
    const int seconds = SwitchNumber(argc, argv, L"Seconds", 60);
    const int idleSeconds = SwitchNumber(argc, argv, L"IdleSeconds", 5);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    Watchdog dog;
    wchar_t temp[MAX_PATH + 1];
    const std::wstring config = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"SubscriptionBench.tvf";
    dog.Arm(600, "writing the configuration");
    if (!WriteBenchConfiguration(config, kTags, kItems)) return Fail("the configuration could not be written");
    ServerSession session;
    dog.Arm(300, "starting the server");
    if (std::string e = session.Start(config, 120000); !e.empty()) return Fail(e);
    dog.SetServerProcess(session.ProcessId());
    HANDLE serverProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, session.ProcessId());
    ComPtr<ISinkShapeEcho> echo;
    HRESULT hr = CoCreateInstance(CLSID_ItemShapeEcho, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&echo));
    if (FAILED(hr)) return Fail("no echo object (" + HresultText(hr) + "): run opc_benchmark /RegServer first");
    ComPtr<IItemShapeEcho> itemEcho;
    echo.As(&itemEcho);
    IOPCServer* server = session.Server();
    CountingSink sink;
    bool goalsMet = true;

    // (a) Activation until every item of the first notification has arrived.
    dog.Arm(600, "activation rounds");
    Group big;
    if (std::string e = MakeGroup(server, 1, FALSE, 0, kItems, &sink, big); !e.empty()) return Fail(e);
    std::vector<double> activation, activationFloor, activationReturn;
    DWORD streamBytes = 0;
    for (int r = 0; r <= std::min(rounds, 15); ++r) {
        const size_t from = sink.Count();
        const double t0 = NowMs();
        const HRESULT activated = SetActive(big.items.Get(), TRUE);
        const double returned = NowMs() - t0;
        if (FAILED(activated)) return Fail("SetState(active) gives " + HresultText(activated));
        Arrival got{};
        if (!sink.WaitFor(
                from, [](const Arrival& a) { return a.group == 1 && a.count == kItems; }, &got)) {
            std::string seen;
            for (const Arrival& a : sink.Since(from)) {
                seen += " (group " + std::to_string(a.group) + ", " + std::to_string(a.count) + " items)";
            }
            return Fail("no notification of all items after activation; streams since:" + seen);
        }
        const double server_ms = got.ms - t0;
        streamBytes = got.size;
        SetActive(big.items.Get(), FALSE);
        Sleep(2 * kPeriodMs);
        const size_t echoFrom = sink.Count();
        const double e0 = NowMs();
        echo->Deliver(&sink, streamBytes);
        sink.WaitFor(
            echoFrom, [](const Arrival&) { return true; }, &got);
        if (r == 0) continue;  // warm-up
        activation.push_back(server_ms);
        activationReturn.push_back(returned);
        activationFloor.push_back(got.ms - e0);
    }

    std::printf(
        "(a) activation to all items: median %.1f ms (SetState returned after %.1f ms), floor %.1f ms "
        "(%zu rounds)\n",
        MedianOf(activation), MedianOf(activationReturn), MedianOf(activationFloor), activation.size());
    std::fflush(stdout);

    // (b) A write of every value until a stream carrying them all, at random phases.
    dog.Arm(600, "write rounds");
    SetActive(big.items.Get(), TRUE);
    ComPtr<IOPCSyncIO> io;
    big.items.As(&io);
    std::mt19937 random(12345);
    std::vector<double> writeToStream, writeFloor;
    for (int r = 0; r <= rounds; ++r) {
        Sleep(std::uniform_int_distribution<DWORD>(0, kPeriodMs - 1)(random));
        const double value = 100.0 + r;  // inside the tags' limits
        std::vector<VARIANT> values = Values(kItems, value);
        const size_t from = sink.Count();
        const double t0 = NowMs();
        HRESULT* errors = nullptr;
        hr = io->Write(kItems, big.itemHandles.data(), values.data(), &errors);
        CoTaskMemFree(errors);
        if (hr != S_OK) return Fail("Write gives " + HresultText(hr));
        Arrival got{};
        if (!sink.WaitFor(
                from, [&](const Arrival& a) { return a.group == 1 && a.count == kItems && a.firstValue == value; },
                &got)) {
            std::string seen;
            for (const Arrival& a : sink.Since(from)) {
                if (seen.size() < 400)
                    seen += " (" + std::to_string(a.count) + " items, first " + std::to_string(a.firstValue) + ")";
            }
            return Fail("the written values never arrived; streams since:" + seen);
        }
        const double serverMs = got.ms - t0;
        const size_t echoFrom = sink.Count();
        const double e0 = NowMs();
        errors = nullptr;
        itemEcho->Write(kItems, big.itemHandles.data(), values.data(), &errors);
        CoTaskMemFree(errors);
        echo->Deliver(&sink, streamBytes);
        sink.WaitFor(
            echoFrom, [](const Arrival&) { return true; }, &got);
        if (r == 0) continue;
        writeToStream.push_back(serverMs);
        writeFloor.push_back(got.ms - e0);
    }
    SetActive(big.items.Get(), FALSE);
    Sleep(2 * kPeriodMs);

    // An asynchronous read of every item, and its floor.
    dog.Arm(600, "asynchronous reads");
    ComPtr<IOPCAsyncIO> async;
    big.items.As(&async);
    std::vector<double> asyncRead, asyncFloor;
    Arrival readCompletion{};
    for (int r = 0; r <= std::min(rounds, 15); ++r) {
        const size_t from = sink.Count();
        const double t0 = NowMs();
        DWORD tid = 0;
        HRESULT* errors = nullptr;
        hr = async->Read(big.connection, OPC_DS_CACHE, kItems, big.itemHandles.data(), &tid, &errors);
        CoTaskMemFree(errors);
        if (FAILED(hr)) return Fail("asynchronous Read gives " + HresultText(hr));
        Arrival got{};
        if (!sink.WaitFor(
                from, [tid](const Arrival& a) { return a.transaction == tid; }, &got)) {
            return Fail("no completion of an asynchronous read");
        }
        const double serverMs = got.ms - t0;
        const DWORD bytes = got.size;
        readCompletion = got;
        const size_t echoFrom = sink.Count();
        const double e0 = NowMs();
        errors = nullptr;
        echo->ReadAndDeliver(kItems, big.itemHandles.data(), &sink, bytes, &tid, &errors);
        CoTaskMemFree(errors);
        sink.WaitFor(
            echoFrom, [](const Arrival&) { return true; }, &got);
        if (r == 0) continue;
        asyncRead.push_back(serverMs);
        asyncFloor.push_back(got.ms - e0);
    }

    // The 2.0 path on a group of the same tags, then both paths idle.
    dog.Arm(1200, "the 2.0 path");
    ComPtr<ICallbackShapeEcho> callbackEcho;
    echo.As(&callbackEcho);
    DataCallbackSink callbackSink;
    callbackEcho->Advise(static_cast<IDataCallbackShape*>(&callbackSink));
    CallbackPath da2{
        callbackEcho.Get(), itemEcho.Get(), callbackSink, big.itemHandles, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    da2.missing = MakeGroup(server, kCallbackGroup, FALSE, 0, kItems, nullptr, da2.group);
    if (da2.missing.empty()) da2.missing = AdviseCallback(da2.group, static_cast<IOPCDataCallback*>(&callbackSink));
    const bool callbacksOffered = da2.missing.empty();
    MeasureCallbackActivation(da2, std::min(rounds, 15));
    std::printf(
        "2.0 (a) activation to OnDataChange of all items: median %s ms (SetState returned after %s ms), "
        "floor %.1f ms%s%s\n",
        Cell(MedianOf(da2.activation), 0, 1).c_str(), Cell(MedianOf(da2.activationReturn), 0, 1).c_str(),
        MedianOf(da2.activationFloor), da2.missing.empty() ? "" : "; not measured: ", da2.missing.c_str());
    std::fflush(stdout);
    MeasureCallbackWrites(da2, rounds, random);
    MeasureCallbackReads(da2, std::min(rounds, 15));
    if (da2.group.callbackPoint) da2.group.callbackPoint->Unadvise(da2.group.connection);
    if (da2.group.items) server->RemoveGroup(da2.group.handle, FALSE);
    dog.Arm(static_cast<DWORD>(idleSeconds) + 600, "the idle groups");
    const IdleFigures idle = MeasureIdle(server, sink, callbackSink, callbacksOffered, idleSeconds);
    callbackEcho->Advise(nullptr);

    // 1,000 asynchronous reads of 100 items, back to back.
    dog.Arm(600, "queued asynchronous reads");
    const size_t queuedFrom = sink.Count();
    std::vector<DWORD> queuedIds;
    for (int r = 0; r < 1000; ++r) {
        DWORD tid = 0;
        HRESULT* errors = nullptr;
        hr = async->Read(big.connection, OPC_DS_CACHE, 100, big.itemHandles.data() + (r % 100) * 100, &tid, &errors);
        CoTaskMemFree(errors);
        if (FAILED(hr)) return Fail("queued Read gives " + HresultText(hr));
        queuedIds.push_back(tid);
    }
    const DWORD lastId = queuedIds.back();
    sink.WaitFor(
        queuedFrom, [lastId](const Arrival& a) { return a.transaction == lastId; }, nullptr, 120000);
    Sleep(500);
    std::vector<DWORD> completed;
    for (const Arrival& a : sink.Since(queuedFrom)) {
        if (a.transaction != 0) completed.push_back(a.transaction);
    }
    const bool inOrderOnce = completed == queuedIds;

    // Sustained: 100 groups of 1,000 items at 100 ms.
    dog.Arm(static_cast<DWORD>(seconds) + 600, "the sustained run");
    std::vector<Group> groups(kSustainedGroups);
    for (int g = 0; g < kSustainedGroups; ++g) {
        if (std::string e = MakeGroup(server, 100 + g, FALSE, kItems + g * 1000, 1000, &sink, groups[g]); !e.empty()) {
            return Fail(e);
        }
    }
    const ServerCounters start = Counters(serverProcess);
    const size_t sustainedFrom = sink.Count();
    const unsigned long long itemsBefore = sink.Items();
    const double s0 = NowMs();
    for (Group& g : groups) SetActive(g.items.Get(), TRUE);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double elapsedMs = NowMs() - s0;
    const ServerCounters mid = Counters(serverProcess);
    const unsigned long long delivered = sink.Items() - itemsBefore;
    std::vector<Arrival> sustained = sink.Since(sustainedFrom);
    for (Group& g : groups) SetActive(g.items.Get(), FALSE);
    std::map<DWORD, std::vector<double>> perGroup;
    for (const Arrival& a : sustained) {
        if (a.group >= 100) perGroup[a.group].push_back(a.ms);
    }
    int late = 0;
    for (auto& [group, times] : perGroup) {
        for (size_t i = 1; i < times.size(); ++i) {
            if (times[i] - times[i - 1] > 2.0 * kPeriodMs) ++late;
        }
    }
    for (Group& g : groups) server->RemoveGroup(g.handle, FALSE);
    groups.clear();
    Sleep(1000);
    const ServerCounters end = Counters(serverProcess);
    const double cpuShare = (mid.cpuMs - start.cpuMs) / elapsedMs;

    // Its floor: the echo's own threads handing blocks of the same size to
    // the same sink at the same rate, as the data threads do.
    const DWORD groupStreamBytes = (streamBytes - 20) / (kItems / 1000) + 20;
    DWORD floorDelivered = 0, floorLate = 0;
    const double f0 = NowMs();
    hr = echo->DeliverSustained(&sink, groupStreamBytes, kSustainedGroups, kPeriodMs,
                                static_cast<DWORD>(seconds) * 1000, &floorDelivered, &floorLate);
    const double floorMs = NowMs() - f0;
    if (FAILED(hr)) return Fail("the echo's sustained delivery gives " + HresultText(hr));

    // Sustained 2.0 by exception: a tenth of every group changing each period.
    dog.Arm(static_cast<DWORD>(seconds) * 2 + 600, "the sustained 2.0 run");
    ChangeLoad changes, changesFloor;
    std::string changesMissing =
        callbacksOffered ? SustainChangesOnServer(server, serverProcess, callbackSink, seconds, changes) : da2.missing;
    if (std::string e = SustainChangesOnEcho(callbackEcho.Get(), itemEcho.Get(), callbackSink, seconds, changesFloor);
        !e.empty()) {
        return Fail(e);
    }

    std::printf("Subscriptions, %d tags, %d items, update rate %lu ms (%d rounds)\n", kTags, kItems,
                static_cast<unsigned long>(kPeriodMs), rounds);
    std::printf("%-4s %-52s %10s %10s %8s\n", "path", "measure", "server ms", "floor ms", "ratio");
    auto row = [](const char* path, const char* what, double server, double floor) {
        std::printf("%-4s %-52s %s %s %s\n", path, what, Cell(server, 10, 1).c_str(), Cell(floor, 10, 1).c_str(),
                    Cell(server / floor, 8, 2).c_str());
    };
    auto worst = [](const std::vector<double>& v) { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); };
    const double a = MedianOf(activation), af = MedianOf(activationFloor);
    const double b = MedianOf(writeToStream), bf = MedianOf(writeFloor), bMax = worst(writeToStream);
    const double c = MedianOf(asyncRead), cf = MedianOf(asyncFloor);
    const double a2 = MedianOf(da2.activation), af2 = MedianOf(da2.activationFloor);
    const double b2 = MedianOf(da2.write), bf2 = MedianOf(da2.writeFloor), bMax2 = worst(da2.write);
    const double c2 = MedianOf(da2.read), cf2 = MedianOf(da2.readFloor);
    row("1.0a", "(a) activation to all items received", a, af);
    row("2.0", "(a) activation to OnDataChange of all items", a2, af2);
    row("1.0a", "(b) write to stream carrying all (median)", b, bf);
    row("2.0", "(b) write to OnDataChange carrying all (median)", b2, bf2);
    row("1.0a", "(b) write to stream carrying all (worst)", bMax, bf);
    row("2.0", "(b) write to OnDataChange carrying all (worst)", bMax2, bf2);
    row("1.0a", "async read of 10,000 to completion", c, cf);
    row("2.0", "IOPCAsyncIO2::Read of 10,000 to OnReadComplete", c2, cf2);
    std::printf("SetState(active) of 10,000 items returned after: 1.0a %s ms, 2.0 %s ms (medians)\n",
                Cell(MedianOf(activationReturn), 0, 1).c_str(), Cell(MedianOf(da2.activationReturn), 0, 1).c_str());
    if (!da2.missing.empty()) std::printf("2.0 path not measured (from then on): %s\n", da2.missing.c_str());
    std::printf(
        "idle active group of 10,000 unchanging items, %.1f s: 1.0a %zu streams with %llu items; "
        "2.0 %s change-driven OnDataChange with %s items%s%s\n",
        idle.seconds, idle.streams, idle.streamItems, idle.missing.empty() ? std::to_string(idle.changes).c_str() : "-",
        idle.missing.empty() ? std::to_string(idle.changeItems).c_str() : "-",
        idle.missing.empty() ? "" : "; not measured: ", idle.missing.c_str());
    std::printf("stream of 10,000 items: %lu bytes; 1.0a read completion: %lu items, %lu bytes\n",
                static_cast<unsigned long>(streamBytes), static_cast<unsigned long>(readCompletion.count),
                static_cast<unsigned long>(readCompletion.size));
    std::printf("1,000 queued async reads of 100: %zu completions, %s\n", completed.size(),
                inOrderOnce ? "in order, each once" : "NOT in order or not each once");
    std::printf(
        "sustained %d s: %.0f notifications/s, %.0f items/s, %d late periods, server CPU %.1f%% of a core, "
        "%.2f us per item\n",
        seconds, sustained.size() * 1000.0 / elapsedMs, delivered * 1000.0 / elapsedMs, late, 100.0 * cpuShare,
        delivered > 0 ? (mid.cpuMs - start.cpuMs) * 1000.0 / delivered : NAN);
    std::printf("sustained floor %d s: %.0f notifications/s, %lu late periods; server/floor notifications %.2f\n",
                seconds, floorDelivered * 1000.0 / floorMs, static_cast<unsigned long>(floorLate),
                (sustained.size() * 1000.0 / elapsedMs) / (floorDelivered * 1000.0 / floorMs));
    auto changeRow = [seconds](const char* who, const ChangeLoad& l) {
        std::printf(
            "sustained 2.0 %s %d s: %llu changes written, %llu called back, %d late periods, CPU %.1f%% of a core\n",
            who, seconds, l.written, l.delivered, l.late, l.cpuMs / (10.0 * seconds));
    };
    if (changesMissing.empty()) {
        changeRow("server", changes);
    } else {
        std::printf("sustained 2.0 not measured: %s\n", changesMissing.c_str());
    }
    changeRow("floor ", changesFloor);
    std::printf("sustained 2.0 server/floor CPU %s\n", Cell(changes.cpuMs / changesFloor.cpuMs, 0, 2).c_str());
    // Some platforms do not count another process's handles or private bytes: 0 says so.
    std::printf(
        "server handles %lu -> %lu (0: not reported here), private bytes %.1f MB -> %.1f MB, "
        "working set %.1f MB -> %.1f MB\n",
        static_cast<unsigned long>(start.handles), static_cast<unsigned long>(end.handles),
        start.privateBytes / 1048576.0, end.privateBytes / 1048576.0, start.workingSet / 1048576.0,
        end.workingSet / 1048576.0);

    auto goal = [&goalsMet](const char* text, bool met, bool measured = true) {
        std::printf("goal %-60s %s\n", text, !measured ? "not measured" : met ? "met" : "MISSED");
        goalsMet = goalsMet && measured && met;
    };
    goal("(a) at most 1.25x the floor", a <= 1.25 * af);
    goal("(b) median at most floor + half a period", b <= bf + kPeriodMs / 2.0);
    goal("(b) no round above floor + one period", bMax <= bf + kPeriodMs);
    goal("async read of 10,000 at most 1.25x the floor", c <= 1.25 * cf);
    goal("queued async reads complete in order, each once", inOrderOnce);
    goal("sustained: no late period", late == 0);
    goal("sustained: under half of one core", cpuShare < 0.5);
    goal("2.0 (a) at most 1.25x the floor", a2 <= 1.25 * af2, !std::isnan(a2));
    goal("2.0 (b) median at most floor + half a period", b2 <= bf2 + kPeriodMs / 2.0, !std::isnan(b2));
    goal("2.0 (b) no round above floor + one period", bMax2 <= bf2 + kPeriodMs, !std::isnan(bMax2));
    goal("2.0 IOPCAsyncIO2::Read of 10,000 at most 1.25x the floor", c2 <= 1.25 * cf2, !std::isnan(c2));
    goal("2.0 idle group: no change-driven OnDataChange", idle.changes == 0, idle.missing.empty());
    const bool changesMeasured = changesMissing.empty();
    goal("sustained 2.0: every change called back", changes.delivered == changes.written && changes.written > 0,
         changesMeasured);
    goal("sustained 2.0: no late period", changes.late == 0, changesMeasured);
    goal("sustained 2.0: server CPU at most 1.25x the floor's", changes.cpuMs <= 1.25 * changesFloor.cpuMs,
         changesMeasured);

    dog.Disarm();
    big.items.Reset();
    io.Reset();
    async.Reset();
    itemEcho.Reset();
    callbackEcho.Reset();
    echo.Reset();
    session.End();
    CloseHandle(serverProcess);
    DeleteFileW(config.c_str());
    CoUninitialize();
    return goalsMet ? 0 : 1;
}
