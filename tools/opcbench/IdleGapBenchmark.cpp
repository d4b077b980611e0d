// The idle-gap benchmark. Times one DA call made after its caller stood still
// for 0, 10, 50, 100, 200 or 500 ms: a Read from the cache of 1 and of 1,000
// items and a Write of 1 item, on the server's objects in this process and on
// the real program in its own. Beside each, what touches no server code: the
// same call on the echo object (in this process, and in the echo server's
// across the same process boundary) and a walk of a buffer as large as the
// 1,000-item read's objects and results. Each gap is spent asleep (the thread
// waits, as a client between its calls does) and, in turn, spinning (the
// thread stays busy for the same time): a call that is slower only after a
// sleep pays for the thread and processor waking, not for anything in the
// server that ages with time. Before each timed call the same call runs once
// untimed, so a gap of 0 is two calls back to back.
//
// Prints, for each kind of gap, each call's median and 90th percentile by gap
// and each median's ratio to the gap-0 median of the same run.
//
//   idle_gap_benchmark [/Repeat:N] [/InProcess] [/Asleep]
//     N rounds (default 12) of every gap in a shuffled order; /InProcess: no
//     program is started; /Asleep: no spinning gaps.
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
constexpr DWORD kGapsMs[] = {0, 10, 50, 100, 200, 500};
constexpr size_t kGapCount = std::size(kGapsMs);
constexpr DWORD kServerStartMs = 120000;

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

void SpendGap(DWORD ms, bool asleep) {
    if (ms == 0) return;
    if (asleep) {
        Sleep(ms);
        return;
    }
    const double end = Now() + ms / 1000.0;
    while (Now() < end) {}
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
// the result arrays. Read a line at a time, as a walk over those objects is.
class BufferWalk {
public:
    BufferWalk() : m_bytes(kManyItems * (sizeof(COPCItem) + sizeof(ToviTag) + sizeof(OPCITEMSTATE) + sizeof(HRESULT))) {
        m_buffer.assign(m_bytes / sizeof(unsigned), 1u);
    }
    size_t Bytes() const { return m_bytes; }
    HRESULT Walk() {
        unsigned sum = 0;
        for (size_t i = 0; i < m_buffer.size(); i += 64 / sizeof(unsigned)) sum += m_buffer[i];
        m_sink = sum;
        return sum != 0 ? S_OK : E_FAIL;
    }

private:
    size_t m_bytes;
    std::vector<unsigned> m_buffer;
    volatile unsigned m_sink = 0;
};

struct Series {
    std::string name;
    std::function<HRESULT()> call;
    // Seconds by kind of gap (asleep, spinning) and gap.
    std::vector<double> seconds[2][kGapCount];
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
    std::printf("\n%s, gaps spent %s\n%-30s", title, kind == 0 ? "asleep" : "spinning", "");
    for (DWORD gap : kGapsMs) std::printf("%8lu ms", static_cast<unsigned long>(gap));
    std::printf("\n");
    for (const Series& s : series) {
        std::printf("%-30s", s.name.c_str());
        for (size_t g = 0; g < kGapCount; ++g) {
            std::printf(" %s", Cell(figure(s.seconds[kind][g], s.seconds[kind][0]), 10, decimals).c_str());
        }
        std::printf("\n");
    }
}

void Print(const std::vector<Series>& series, int kinds, int rounds, size_t walkBytes) {
    std::printf(
        "Idle gaps before a call: %d rounds, each call timed once per gap and round (microseconds).\n"
        "Buffer walk: %zu bytes, a 64-byte line at a time.\n",
        rounds, walkBytes);
    for (int kind = 0; kind < kinds; ++kind) {
        PrintTable(
            series, kind, "Median", [](const auto& v, const auto&) { return MedianOf(v) * 1e6; }, 1);
        PrintTable(
            series, kind, "90th percentile", [](const auto& v, const auto&) { return Quantile(v, 0.9) * 1e6; }, 1);
        PrintTable(
            series, kind, "Median / median at gap 0",
            [](const auto& v, const auto& zero) { return MedianOf(v) / MedianOf(zero); }, 2);
    }
}

// Every round runs each gap once for every call, both in a fresh order.
std::string Measure(std::vector<Series>& series, int rounds, int kinds, Watchdog& dog) {
    std::mt19937 random(12345);
    std::vector<size_t> gapOrder(kGapCount), seriesOrder(series.size());
    for (size_t i = 0; i < gapOrder.size(); ++i) gapOrder[i] = i;
    for (size_t i = 0; i < seriesOrder.size(); ++i) seriesOrder[i] = i;
    for (int round = 0; round <= rounds; ++round) {
        dog.Arm(300, "a round of idle gaps");
        for (int kind = 0; kind < kinds; ++kind) {
            std::shuffle(gapOrder.begin(), gapOrder.end(), random);
            for (size_t g : gapOrder) {
                std::shuffle(seriesOrder.begin(), seriesOrder.end(), random);
                for (size_t index : seriesOrder) {
                    Series& s = series[index];
                    HRESULT hr = s.call();
                    SpendGap(kGapsMs[g], kind == 0);
                    const double start = Now();
                    if (hr == S_OK) hr = s.call();
                    const double seconds = Now() - start;
                    if (hr != S_OK) return s.name + " gives " + HresultText(hr);
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

std::string Run(const std::wstring& path, bool outOfProcess, int rounds, int kinds, Watchdog& dog) {
    std::vector<Series> series;
    series.reserve(16);  // the calls hold references into the sites, not into this vector

    InProcessServer inProcess;
    dog.Arm(300, "opening the configuration in process");
    std::string error = inProcess.Open(path);
    std::unique_ptr<ItemTarget> inProcessGroup;
    if (error.empty()) inProcessGroup = AddBenchGroup(inProcess.Server(), true, &error);
    if (!inProcessGroup) return "in process: " + error;
    CallSite inProcessSite;
    if (error = inProcessSite.Open(*inProcessGroup); !error.empty()) return "in process: " + error;
    AddCalls(series, "in process", inProcessSite);

    ComPtr<IItemShapeEcho> localEcho;
    if (FAILED(CreateEchoObject(localEcho.GetAddressOf()))) return "no memory for the echo object";
    EchoTarget localEchoTarget(localEcho.Get());
    CallSite localEchoSite;
    if (error = localEchoSite.Open(localEchoTarget); !error.empty()) return "echo in process: " + error;
    AddCalls(series, "echo in process", localEchoSite);

    BufferWalk walk;
    series.push_back({"buffer walk (1000 items)", [&walk] { return walk.Walk(); }, {}});

    ServerSession session;
    std::unique_ptr<ItemTarget> remoteGroup;
    ComPtr<IItemShapeEcho> remoteEcho;
    std::unique_ptr<EchoTarget> remoteEchoTarget;
    CallSite remoteSite, remoteEchoSite;
    if (outOfProcess) {
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

    error = Measure(series, rounds, kinds, dog);
    if (error.empty()) Print(series, kinds, rounds, walk.Bytes());

    remoteGroup.reset();
    if (outOfProcess) {
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
    const int kinds = HasSwitch(argc, argv, L"Asleep") ? 1 : 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    int status = 0;
    {
        Watchdog dog;
        const std::wstring path = TempPath(L"idle-gap-benchmark.tvf");
        dog.Arm(300, "writing the configuration");
        std::string failure;
        if (!WriteBenchConfiguration(path, kTags, kTags)) failure = "the configuration cannot be written";
        if (failure.empty()) failure = Run(path, outOfProcess, rounds, kinds, dog);
        DeleteFileW(path.c_str());
        if (!failure.empty()) {
            std::fprintf(stderr, "idle_gap_benchmark: %s\n", failure.c_str());
            status = 2;
        }
    }
    CoUninitialize();
    return status;
}
