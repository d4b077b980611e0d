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
//
//   subscription_benchmark [/Rounds:N] [/Seconds:N]
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BenchConfiguration.h"
#include "EchoShapes.h"
#include "ServerSession.h"
#include "Watchdog.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr int kItems = 10000;  // tags 0..9999: value limits 0..1000, deadband 0
constexpr int kSustainedGroups = 100;
constexpr int kTags = kItems + kSustainedGroups * 1000;
constexpr DWORD kPeriodMs = 100;
constexpr DWORD kWaitMs = 180000;  // a 10,000-item stream can take seconds under Wine

double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / perMs;
}

double Median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Option(int argc, wchar_t** argv, const wchar_t* name, int fallback) {
    const size_t n = std::wcslen(name);
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i] + 1, name, n) == 0 && argv[i][n + 1] == L':') return std::max(1, _wtoi(argv[i] + n + 2));
    }
    return fallback;
}

// What the benchmark keeps of each stream: when it came and its header.
struct Arrival {
    double ms;
    DWORD size, count, group, transaction;
    double firstValue;  // the first item's value when it is a double
};

class CountingSink final : public IAdviseSink {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        Arrival a{NowMs(), 0, 0, 0, 0, NAN};
        if (medium != nullptr && medium->tymed == TYMED_HGLOBAL) {
            const SIZE_T size = GlobalSize(medium->hGlobal);
            if (const auto* b = static_cast<const std::uint8_t*>(GlobalLock(medium->hGlobal))) {
                if (size >= 20) {
                    std::memcpy(&a.size, b, 4);
                    std::memcpy(&a.count, b + 4, 4);
                    std::memcpy(&a.group, b + 8, 4);
                    std::memcpy(&a.transaction, b + 12, 4);
                }
                DWORD offset = 0;
                WORD type = 0;
                if (a.count > 0 && size >= 28) std::memcpy(&offset, b + 24, 4);
                if (offset != 0 && offset + 16 <= size) {
                    std::memcpy(&type, b + offset, 2);
                    if (type == VT_R8) std::memcpy(&a.firstValue, b + offset + 8, 8);
                }
                GlobalUnlock(medium->hGlobal);
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.push_back(a);
        items_ += a.count;
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    // Waits for the first arrival after `from` (an index) that satisfies `want`.
    template <class Want>
    bool WaitFor(size_t from, Want want, Arrival* found, DWORD milliseconds = kWaitMs) {
        const double deadline = NowMs() + milliseconds;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (size_t i = from; i < arrivals_.size(); ++i) {
                    if (want(arrivals_[i])) {
                        if (found != nullptr) *found = arrivals_[i];
                        return true;
                    }
                }
            }
            if (NowMs() > deadline) return false;
            Sleep(1);
        }
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_.size();
    }
    std::vector<Arrival> Since(size_t from) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::vector<Arrival>(arrivals_.begin() + static_cast<std::ptrdiff_t>(std::min(from, arrivals_.size())),
                                    arrivals_.end());
    }
    unsigned long long Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    unsigned long long items_ = 0;
};

struct Group {
    OPCHANDLE handle = 0;
    ComPtr<IOPCItemMgt> items;
    std::vector<OPCHANDLE> itemHandles;
    DWORD connection = 0;
};

// A group of `count` items from tag `first` on, advised to the sink in the
// time format; "" or why not.
std::string MakeGroup(IOPCServer* server, OPCHANDLE clientHandle, BOOL active, int first, int count,
                      CountingSink& sink, Group& g) {
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
    ComPtr<IDataObject> data;
    g.items.As(&data);
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    hr = data->DAdvise(&format, 0, &sink, &g.connection);
    return SUCCEEDED(hr) ? std::string() : "DAdvise gives " + HresultText(hr);
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
        auto ms = [](FILETIME t) { return ((static_cast<double>(t.dwHighDateTime) * 4294967296.0) + t.dwLowDateTime) / 10000.0; };
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

int Fail(const std::string& why) {
    std::printf("subscription benchmark: %s\n", why.c_str());
    return 2;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = Option(argc, argv, L"Rounds", 40);
    const int seconds = Option(argc, argv, L"Seconds", 60);
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
    if (std::string e = MakeGroup(server, 1, FALSE, 0, kItems, sink, big); !e.empty()) return Fail(e);
    std::vector<double> activation, activationFloor;
    DWORD streamBytes = 0;
    for (int r = 0; r <= std::min(rounds, 15); ++r) {
        const size_t from = sink.Count();
        const double t0 = NowMs();
        const HRESULT activated = SetActive(big.items.Get(), TRUE);
        if (FAILED(activated)) return Fail("SetState(active) gives " + HresultText(activated));
        Arrival got{};
        if (!sink.WaitFor(from, [](const Arrival& a) { return a.group == 1 && a.count == kItems; }, &got)) {
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
        sink.WaitFor(echoFrom, [](const Arrival&) { return true; }, &got);
        if (r == 0) continue;  // warm-up
        activation.push_back(server_ms);
        activationFloor.push_back(got.ms - e0);
    }

    std::printf("(a) activation to all items: median %.1f ms, floor %.1f ms (%zu rounds)\n", Median(activation),
                Median(activationFloor), activation.size());
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
        if (!sink.WaitFor(from, [&](const Arrival& a) { return a.group == 1 && a.count == kItems && a.firstValue == value; },
                          &got)) {
            std::string seen;
            for (const Arrival& a : sink.Since(from)) {
                if (seen.size() < 400) seen += " (" + std::to_string(a.count) + " items, first " + std::to_string(a.firstValue) + ")";
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
        sink.WaitFor(echoFrom, [](const Arrival&) { return true; }, &got);
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
    for (int r = 0; r <= std::min(rounds, 15); ++r) {
        const size_t from = sink.Count();
        const double t0 = NowMs();
        DWORD tid = 0;
        HRESULT* errors = nullptr;
        hr = async->Read(big.connection, OPC_DS_CACHE, kItems, big.itemHandles.data(), &tid, &errors);
        CoTaskMemFree(errors);
        if (FAILED(hr)) return Fail("asynchronous Read gives " + HresultText(hr));
        Arrival got{};
        if (!sink.WaitFor(from, [tid](const Arrival& a) { return a.transaction == tid; }, &got)) {
            return Fail("no completion of an asynchronous read");
        }
        const double serverMs = got.ms - t0;
        const DWORD bytes = got.size;
        const size_t echoFrom = sink.Count();
        const double e0 = NowMs();
        errors = nullptr;
        echo->ReadAndDeliver(kItems, big.itemHandles.data(), &sink, bytes, &tid, &errors);
        CoTaskMemFree(errors);
        sink.WaitFor(echoFrom, [](const Arrival&) { return true; }, &got);
        if (r == 0) continue;
        asyncRead.push_back(serverMs);
        asyncFloor.push_back(got.ms - e0);
    }

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
    sink.WaitFor(queuedFrom, [lastId](const Arrival& a) { return a.transaction == lastId; }, nullptr, 120000);
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
        if (std::string e = MakeGroup(server, 100 + g, FALSE, kItems + g * 1000, 1000, sink, groups[g]); !e.empty()) {
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

    std::printf("Subscriptions, %d tags, %d items, update rate %lu ms (%d rounds)\n", kTags, kItems,
                static_cast<unsigned long>(kPeriodMs), rounds);
    std::printf("%-44s %10s %10s %8s\n", "measure", "server ms", "floor ms", "ratio");
    auto row = [](const char* what, double server, double floor) {
        std::printf("%-44s %10.1f %10.1f %8.2f\n", what, server, floor, server / floor);
    };
    const double a = Median(activation), af = Median(activationFloor);
    const double b = Median(writeToStream), bf = Median(writeFloor);
    const double bMax = writeToStream.empty() ? NAN : *std::max_element(writeToStream.begin(), writeToStream.end());
    const double c = Median(asyncRead), cf = Median(asyncFloor);
    row("(a) activation to all items received", a, af);
    row("(b) write to stream carrying all (median)", b, bf);
    row("(b) write to stream carrying all (worst)", bMax, bf);
    row("async read of 10,000 to completion", c, cf);
    std::printf("stream of 10,000 items: %lu bytes\n", static_cast<unsigned long>(streamBytes));
    std::printf("1,000 queued async reads of 100: %zu completions, %s\n", completed.size(),
                inOrderOnce ? "in order, each once" : "NOT in order or not each once");
    std::printf("sustained %d s: %.0f notifications/s, %.0f items/s, %d late periods, server CPU %.1f%% of a core, "
                "%.2f us per item\n",
                seconds, sustained.size() * 1000.0 / elapsedMs, delivered * 1000.0 / elapsedMs, late,
                100.0 * cpuShare, delivered > 0 ? (mid.cpuMs - start.cpuMs) * 1000.0 / delivered : NAN);
    std::printf("sustained floor %d s: %.0f notifications/s, %lu late periods; server/floor notifications %.2f\n",
                seconds, floorDelivered * 1000.0 / floorMs, static_cast<unsigned long>(floorLate),
                (sustained.size() * 1000.0 / elapsedMs) / (floorDelivered * 1000.0 / floorMs));
    // Some platforms do not count another process's handles or private bytes: 0 says so.
    std::printf("server handles %lu -> %lu (0: not reported here), private bytes %.1f MB -> %.1f MB, "
                "working set %.1f MB -> %.1f MB\n",
                static_cast<unsigned long>(start.handles), static_cast<unsigned long>(end.handles),
                start.privateBytes / 1048576.0, end.privateBytes / 1048576.0, start.workingSet / 1048576.0,
                end.workingSet / 1048576.0);

    auto goal = [&goalsMet](const char* text, bool met) {
        std::printf("goal %-60s %s\n", text, met ? "met" : "MISSED");
        goalsMet = goalsMet && met;
    };
    goal("(a) at most 1.25x the floor", a <= 1.25 * af);
    goal("(b) median at most floor + half a period", b <= bf + kPeriodMs / 2.0);
    goal("(b) no round above floor + one period", bMax <= bf + kPeriodMs);
    goal("async read of 10,000 at most 1.25x the floor", c <= 1.25 * cf);
    goal("queued async reads complete in order, each once", inOrderOnce);
    goal("sustained: no late period", late == 0);
    goal("sustained: under half of one core", cpuShare < 0.5);

    dog.Disarm();
    big.items.Reset();
    io.Reset();
    async.Reset();
    itemEcho.Reset();
    echo.Reset();
    session.End();
    CloseHandle(serverProcess);
    DeleteFileW(config.c_str());
    CoUninitialize();
    return goalsMet ? 0 : 1;
}
