// The idle-gap benchmark. Times one DA call made after its caller stood still
// for 0, 1, 10, 50, 100, 200 or 500 ms: a Read from the cache of 1 and of
// 1,000 items and a Write of 1 item, on the server's objects in this process
// and on the real program in its own. Beside each, what touches no server
// code: the same call on the echo object (in this process, and in the echo
// server's across the same process boundary) and a walk of a buffer as large
// as the 1,000-item read's objects and results. Before each timed call the
// same call runs once untimed, so a gap of 0 is two calls back to back.
//
// Each gap is spent asleep (the thread waits, as a client between its calls
// does) and, in turn, spinning (the thread stays busy for the same time).
// Spinning gaps are told apart by whether the thread lost its processor
// meanwhile: a call that is slow only after one that did pays for what ran
// on the processor instead (caches, TLB), not for anything in the server
// that ages with time.
//
// Prints, for each kind of gap, each call's median and 90th percentile by gap
// and each median's ratio to the back-to-back median of the same run.
//
//   idle_gap_benchmark [/Repeat:N] [/InProcess] [/Asleep] [/NoServer]
//     N rounds (default 12) of every gap in a shuffled order; /InProcess: no
//     program is started; /Asleep: no spinning gaps; /NoServer: the
//     references alone, in a process without any of the server's threads.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchConfiguration.h"
#include "BenchFigures.h"
#include "COPCItem.h"
#include "EchoServer.h"
#include "InProcessServer.h"
#include "ServerSession.h"
#include "ToviTag.h"
#include "Watchdog.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr int kTags = 10000;
constexpr DWORD kManyItems = 1000;
constexpr DWORD kGapsMs[] = {0, 1, 10, 50, 100, 200, 500};
constexpr size_t kGapCount = std::size(kGapsMs);
constexpr DWORD kServerStartMs = 120000;
constexpr double kInterruptionUs = 50;

// How a gap was spent: asleep, or spinning with or without losing the processor.
enum GapKind : int { kAsleep, kSpinning, kSpinningInterrupted, kGapKindCount };
const char* const kGapKindNames[kGapKindCount] = {"asleep", "spinning, never descheduled",
                                                  "spinning, descheduled at least once"};

bool HasSwitch(int argc, wchar_t** argv, const wchar_t* name) {
    for (int i = 1; i < argc; ++i) {
        if ((argv[i][0] == L'/' || argv[i][0] == L'-') && _wcsicmp(argv[i] + 1, name) == 0) return true;
    }
    return false;
}

double Now() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Spends the gap; true when the thread lost its processor meanwhile (for a
// spinning gap: two readings of the clock more than kInterruptionUs apart).
bool SpendGap(DWORD ms, bool asleep) {
    if (ms == 0) return false;
    if (asleep) {
        Sleep(ms);
        return true;
    }
    double last = Now();
    const double end = last + ms / 1000.0;
    bool interrupted = false;
    for (double now = last; now < end; last = now) {
        now = Now();
        interrupted = interrupted || now - last > kInterruptionUs / 1e6;
    }
    return interrupted;
}

// A group's item handles and calls, or the echo object's calls of the same shapes.
class CallSite {
public:
    // Adds the first kManyItems of the spread tag indexes; "" or why not.
    std::string Open(ItemTarget& target) {
        m_target = &target;
        const std::vector<int> indexes = SpreadTagIndexes(kTags, static_cast<int>(kManyItems));
        std::vector<std::wstring> ids;
        std::vector<OPCITEMDEF> defs(kManyItems);
        for (DWORD i = 0; i < kManyItems; ++i) ids.push_back(BenchItemId(indexes[i]));
        for (DWORD i = 0; i < kManyItems; ++i) {
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].szItemID = ids[i].data();
            defs[i].bActive = TRUE;
            defs[i].hClient = i + 1;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = target.AddItems(kManyItems, defs.data(), &results, &errors);
        std::string failure;
        if (hr != S_OK || results == nullptr || errors == nullptr) failure = "AddItems gives " + HresultText(hr);
        m_handles.resize(kManyItems);
        for (DWORD i = 0; failure.empty() && i < kManyItems; ++i) {
            // The echo hands back zeroed handles: any number will do for it.
            m_handles[i] = target.DoesWork() ? results[i].hServer : i + 1;
            CoTaskMemFree(results[i].pBlob);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return failure;
    }

    HRESULT Read(DWORD count) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = m_target->Read(OPC_DS_CACHE, count, m_handles.data(), &states, &errors);
        for (DWORD i = 0; states != nullptr && i < count; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return hr;
    }

    HRESULT Write() {
        VARIANT value;
        value.vt = VT_R8;
        value.dblVal = static_cast<double>(++m_written % 1000);
        HRESULT* errors = nullptr;
        const HRESULT hr = m_target->Write(1, m_handles.data(), &value, &errors);
        CoTaskMemFree(errors);
        return hr;
    }

private:
    ItemTarget* m_target = nullptr;
    std::vector<OPCHANDLE> m_handles;
    unsigned m_written = 0;
};

// What the 1,000-item read touches, approximately: its items, their tags and
// the result arrays, a 64-byte line at a time. In order, as the prefetcher
// likes it, or chained in a random order, each line naming the next, as a
// walk over objects spread on the heap is.
class BufferWalk {
public:
    BufferWalk()
        : m_lines(kManyItems * (sizeof(COPCItem) + sizeof(ToviTag) + sizeof(OPCITEMSTATE) + sizeof(HRESULT)) / kLine) {
        m_buffer.assign(m_lines * kLine / sizeof(size_t), 1);
        std::vector<size_t> order(m_lines);
        for (size_t i = 0; i < m_lines; ++i) order[i] = i;
        std::shuffle(order.begin() + 1, order.end(), std::mt19937(7));  // from line 0, back to it
        for (size_t i = 0; i < m_lines; ++i) m_buffer[order[i] * kStride + 1] = order[(i + 1) % m_lines] * kStride + 1;
    }
    size_t Bytes() const { return m_lines * kLine; }
    HRESULT InOrder() {
        size_t sum = 0;
        for (size_t i = 0; i < m_buffer.size(); i += kStride) sum += m_buffer[i];
        m_sink = sum;
        return sum != 0 ? S_OK : E_FAIL;
    }
    HRESULT Chained() {
        size_t at = 1, steps = 0;
        do {
            at = m_buffer[at];
            ++steps;
        } while (at != 1 && steps <= m_lines);
        return steps == m_lines ? S_OK : E_FAIL;
    }

private:
    static constexpr size_t kLine = 64, kStride = kLine / sizeof(size_t);
    size_t m_lines;
    std::vector<size_t> m_buffer;
    volatile size_t m_sink = 0;
};

struct Series {
    std::string name;
    std::function<HRESULT()> call;
    // Seconds by kind of gap and gap.
    std::vector<double> seconds[kGapKindCount][kGapCount];
};

void AddCalls(std::vector<Series>& series, const std::string& target, CallSite& site) {
    series.push_back({target + " Read 1", [&site] { return site.Read(1); }, {}});
    series.push_back({target + " Read 1000", [&site] { return site.Read(kManyItems); }, {}});
    series.push_back({target + " Write 1", [&site] { return site.Write(); }, {}});
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

void PrintTable(const std::vector<Series>& series, int kind, const char* title,
                const std::function<double(const std::vector<double>&, const std::vector<double>&)>& figure,
                int decimals) {
    std::printf("\n%s, gaps spent %s\n%-30s", title, kGapKindNames[kind], "");
    for (DWORD gap : kGapsMs) std::printf("%8lu ms", static_cast<unsigned long>(gap));
    std::printf("\n");
    for (const Series& s : series) {
        std::printf("%-30s", s.name.c_str());
        for (size_t g = 0; g < kGapCount; ++g) {
            // Back to back is the same call whatever the kind of the run.
            const std::vector<double>& zero = s.seconds[kind == kAsleep ? kAsleep : kSpinning][0];
            std::printf(" %s", Cell(figure(s.seconds[kind][g], zero), 10, decimals).c_str());
        }
        std::printf("\n");
    }
}

void Print(const std::vector<Series>& series, bool spinning, int rounds, size_t walkBytes) {
    std::printf(
        "Idle gaps before a call: %d rounds, each call timed once per gap and round (microseconds).\n"
        "Buffer walks: %zu bytes, a 64-byte line at a time.\n",
        rounds, walkBytes);
    for (int kind = 0; kind < (spinning ? kGapKindCount : 1); ++kind) {
        PrintTable(
            series, kind, "Median", [](const auto& v, const auto&) { return MedianOf(v) * 1e6; }, 1);
        PrintTable(
            series, kind, "90th percentile", [](const auto& v, const auto&) { return Quantile(v, 0.9) * 1e6; }, 1);
        PrintTable(
            series, kind, "Median / median at gap 0",
            [](const auto& v, const auto& zero) { return MedianOf(v) / MedianOf(zero); }, 2);
        if (kind != kAsleep) {
            PrintTable(
                series, kind, "Samples", [](const auto& v, const auto&) { return double(v.size()); }, 0);
        }
    }
}

// Every round runs each gap once for every call, both in a fresh order.
std::string Measure(std::vector<Series>& series, int rounds, bool spinning, Watchdog& dog) {
    std::mt19937 random(12345);
    std::vector<size_t> gapOrder(kGapCount), seriesOrder(series.size());
    for (size_t i = 0; i < gapOrder.size(); ++i) gapOrder[i] = i;
    for (size_t i = 0; i < seriesOrder.size(); ++i) seriesOrder[i] = i;
    for (int round = 0; round <= rounds; ++round) {
        dog.Arm(300, "a round of idle gaps");
        for (const bool asleep : {true, false}) {
            if (!asleep && !spinning) break;
            std::shuffle(gapOrder.begin(), gapOrder.end(), random);
            for (size_t g : gapOrder) {
                std::shuffle(seriesOrder.begin(), seriesOrder.end(), random);
                for (size_t index : seriesOrder) {
                    Series& s = series[index];
                    HRESULT hr = s.call();
                    const bool interrupted = SpendGap(kGapsMs[g], asleep);
                    const double start = Now();
                    if (hr == S_OK) hr = s.call();
                    const double seconds = Now() - start;
                    if (hr != S_OK) return s.name + " gives " + HresultText(hr);
                    const int kind = asleep ? kAsleep : interrupted ? kSpinningInterrupted : kSpinning;
                    if (round > 0) s.seconds[kind][g].push_back(seconds);  // round 0 warms up
                }
            }
        }
    }
    dog.Disarm();
    return {};
}

std::wstring TempPath(const std::wstring& name) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, n) + name;
}

std::string Run(const std::wstring& path, bool withServer, bool outOfProcess, int rounds, bool spinning,
                Watchdog& dog) {
    std::vector<Series> series;
    series.reserve(16);  // the calls hold references into the sites, not into this vector

    InProcessServer inProcess;
    std::unique_ptr<ItemTarget> inProcessGroup;
    CallSite inProcessSite;
    std::string error;
    if (withServer) {
        dog.Arm(300, "opening the configuration in process");
        error = inProcess.Open(path);
        if (error.empty()) inProcessGroup = AddBenchGroup(inProcess.Server(), true, &error);
        if (!inProcessGroup) return "in process: " + error;
        if (error = inProcessSite.Open(*inProcessGroup); !error.empty()) return "in process: " + error;
        AddCalls(series, "in process", inProcessSite);
    }

    ComPtr<IItemShapeEcho> localEcho;
    if (FAILED(CreateEchoObject(localEcho.GetAddressOf()))) return "no memory for the echo object";
    EchoTarget localEchoTarget(localEcho.Get());
    CallSite localEchoSite;
    if (error = localEchoSite.Open(localEchoTarget); !error.empty()) return "echo in process: " + error;
    AddCalls(series, "echo in process", localEchoSite);

    BufferWalk walk;
    series.push_back({"buffer walk in order", [&walk] { return walk.InOrder(); }, {}});
    series.push_back({"buffer walk chained", [&walk] { return walk.Chained(); }, {}});

    ServerSession session;
    std::unique_ptr<ItemTarget> remoteGroup;
    ComPtr<IItemShapeEcho> remoteEcho;
    std::unique_ptr<EchoTarget> remoteEchoTarget;
    CallSite remoteSite, remoteEchoSite;
    if (withServer && outOfProcess) {
        dog.Arm(60, "starting the echo server");
        HRESULT hr = CoCreateInstance(CLSID_ItemShapeEcho, nullptr, CLSCTX_LOCAL_SERVER, IID_IItemShapeEcho,
                                      reinterpret_cast<void**>(remoteEcho.GetAddressOf()));
        if (FAILED(hr))
            return "the echo server cannot be reached (" + HresultText(hr) + "): run opc_benchmark /RegServer";
        remoteEchoTarget = std::make_unique<EchoTarget>(remoteEcho.Get());
        if (error = remoteEchoSite.Open(*remoteEchoTarget); !error.empty()) return "echo: " + error;
        dog.Arm(kServerStartMs / 1000 + 60, "starting the server");
        error = session.Start(path, kServerStartMs);
        dog.SetServerProcess(session.ProcessId());
        if (error.empty()) remoteGroup = AddBenchGroup(session.Server(), true, &error);
        if (!remoteGroup) return "server: " + error;
        if (error = remoteSite.Open(*remoteGroup); !error.empty()) return "server: " + error;
        AddCalls(series, "server", remoteSite);
        AddCalls(series, "echo", remoteEchoSite);
    }
    dog.Disarm();

    error = Measure(series, rounds, spinning, dog);
    if (error.empty()) Print(series, spinning, rounds, walk.Bytes());

    remoteGroup.reset();
    if (withServer && outOfProcess) {
        dog.Arm(60, "closing the server");
        session.End();
        dog.SetServerProcess(0);
        dog.Disarm();
    }
    return error;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = SwitchNumber(argc, argv, L"Repeat", 12);
    const bool outOfProcess = !HasSwitch(argc, argv, L"InProcess");
    const bool spinning = !HasSwitch(argc, argv, L"Asleep");
    const bool withServer = !HasSwitch(argc, argv, L"NoServer");
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    int status = 0;
    {
        Watchdog dog;
        const std::wstring path = TempPath(L"idle-gap-benchmark.tvf");
        dog.Arm(300, "writing the configuration");
        std::string failure;
        if (!WriteBenchConfiguration(path, kTags, kTags)) failure = "the configuration cannot be written";
        if (failure.empty()) failure = Run(path, withServer, outOfProcess, rounds, spinning, dog);
        DeleteFileW(path.c_str());
        if (!failure.empty()) {
            std::fprintf(stderr, "idle_gap_benchmark: %s\n", failure.c_str());
            status = 2;
        }
    }
    CoUninitialize();
    return status;
}
