// The out-of-process item benchmark. Starts the real program on a
// configuration of 10,000 and then of 100,000 tags, and times, as an OPC
// client in another process, AddItems (one call, and calls of 100),
// ValidateItems, a VT_R4 Write, Reads from cache and device and RemoveItems of
// 1,000 and 10,000 items. In the same run it times the same calls on the echo
// object, which crosses the same process boundary and does no work: the
// transport floor. Prints each operation's median, its time per item and its
// ratio to the floor, and checks the goals.
//
//   opc_benchmark [/Repeat:N] [/InactiveGroup] [/Million]
//                               measure (default 7 rounds per size, in an
//                               active group; inactive: without activation;
//                               /Million: at 100,000 and 1,000,000 tags)
//   opc_benchmark /RegServer    register the echo class and its proxy/stub
//   opc_benchmark /UnregServer  remove them
//   opc_benchmark /EchoServer   serve the echo class (started by COM)
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchConfiguration.h"
#include "BenchReport.h"
#include "EchoServer.h"
#include "InProcessServer.h"
#include "ItemCycle.h"
#include "ServerSession.h"
#include "Watchdog.h"

namespace {
constexpr int kConfigurations[] = {10000, 100000};
constexpr int kMillionConfigurations[] = {100000, 1000000};
constexpr int kItemCounts[] = {1000, 10000};
constexpr DWORD kServerStartMs = 120000;

bool g_activeGroup = true;

bool HasSwitch(int argc, wchar_t** argv, const wchar_t* name) {
    for (int i = 1; i < argc; ++i) {
        if ((argv[i][0] == L'/' || argv[i][0] == L'-') && _wcsicmp(argv[i] + 1, name) == 0) return true;
    }
    return false;
}

int RepeatCount(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i] + 1, L"Repeat:", 7) == 0) return std::max(1, _wtoi(argv[i] + 8));
    }
    return 7;
}

std::wstring TempPath(const std::wstring& name) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, n) + name;
}

struct Measured {
    ItemTarget* target;
    Source source;
};

// Rounds of one item count on every target in turn, interleaved so that all
// see the same machine; round 0 is not counted (rounds = 0 only warms up).
// "" or the failure.
std::string MeasureSize(const std::vector<Measured>& targets, int tagCount, int itemCount, int rounds, Watchdog& dog,
                        BenchReport& report) {
    ItemSet items(SpreadTagIndexes(tagCount, itemCount));
    CycleSeconds seconds{};
    for (int round = 0; round <= rounds; ++round) {
        for (const Measured& m : targets) {
            dog.Arm(300, "a round of item calls");
            if (std::string e = RunItemCycle(*m.target, items, round, seconds); !e.empty()) {
                static const char* const names[] = {"server", "echo", "in process"};
                return std::to_string(itemCount) + " items, " + names[static_cast<int>(m.source)] + ": " + e;
            }
            if (round > 0) report.Add(tagCount, itemCount, m.source, seconds);
        }
    }
    dog.Disarm();
    return {};
}

// Every item count on the targets. Wine's calls grow slower after the first
// large message that a process sees and stay so: a round of the largest size
// comes first, so that every size is measured in that steady state.
std::string MeasureAllSizes(const std::vector<Measured>& targets, int tagCount, int rounds, Watchdog& dog,
                            BenchReport& report) {
    std::string failure = MeasureSize(targets, tagCount, kItemCounts[1], 0, dog, report);
    for (int itemCount : kItemCounts) {
        if (failure.empty()) failure = MeasureSize(targets, tagCount, itemCount, rounds, dog, report);
    }
    return failure;
}

// The program in its own process and the echo object on one configuration.
std::string MeasureOutOfProcess(const std::wstring& path, int tagCount, ItemTarget& echo, int rounds, Watchdog& dog,
                                BenchReport& report) {
    ServerSession session;
    dog.Arm(kServerStartMs / 1000 + 60, "starting the server");
    std::string error = session.Start(path, kServerStartMs);
    dog.SetServerProcess(session.ProcessId());
    std::unique_ptr<ItemTarget> group;
    if (error.empty()) group = AddBenchGroup(session.Server(), g_activeGroup, &error);
    std::vector<Measured> targets{{&echo, Source::kFloor}};
    if (group) {
        targets.push_back({group.get(), Source::kServer});
    } else {
        report.NoteMissing("server on " + std::to_string(tagCount) + " tags", error);
    }
    const std::string failure = MeasureAllSizes(targets, tagCount, rounds, dog, report);
    group.reset();
    dog.Arm(60, "closing the server");
    session.End();
    dog.SetServerProcess(0);
    dog.Disarm();
    return failure;
}

// The server's objects in this process on the same configuration.
std::string MeasureInProcess(const std::wstring& path, int tagCount, int rounds, Watchdog& dog, BenchReport& report) {
    InProcessServer server;
    dog.Arm(300, "opening the configuration in process");
    std::string error = server.Open(path);
    std::unique_ptr<ItemTarget> group;
    if (error.empty()) group = AddBenchGroup(server.Server(), g_activeGroup, &error);
    dog.Disarm();
    if (!group) {
        report.NoteMissing("in process on " + std::to_string(tagCount) + " tags", error);
        return {};
    }
    return MeasureAllSizes({{group.get(), Source::kInProcess}}, tagCount, rounds, dog, report);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (HasSwitch(argc, argv, L"EchoServer")) return RunEchoServer();
    if (HasSwitch(argc, argv, L"RegServer") || HasSwitch(argc, argv, L"UnregServer")) {
        const bool unregister = HasSwitch(argc, argv, L"UnregServer");
        const HRESULT hr = RegisterEchoServer(unregister);
        if (FAILED(hr)) std::fprintf(stderr, "opc_benchmark: registration failed (%s)\n", HresultText(hr).c_str());
        return FAILED(hr) ? 2 : 0;
    }
    const int rounds = RepeatCount(argc, argv);
    g_activeGroup = !HasSwitch(argc, argv, L"InactiveGroup");
    const bool million = HasSwitch(argc, argv, L"Million");
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    Watchdog dog;
    BenchReport report;
    int status = 0;
    {
        dog.Arm(60, "starting the echo server");
        Microsoft::WRL::ComPtr<IItemShapeEcho> echoObject;
        const HRESULT hr = CoCreateInstance(CLSID_ItemShapeEcho, nullptr, CLSCTX_LOCAL_SERVER, IID_IItemShapeEcho,
                                            reinterpret_cast<void**>(echoObject.GetAddressOf()));
        if (FAILED(hr)) {
            std::fprintf(stderr,
                         "opc_benchmark: the echo server cannot be reached (%s): run opc_benchmark /RegServer\n",
                         HresultText(hr).c_str());
            return 2;
        }
        EchoTarget echo(echoObject.Get());
        for (int tagCount : million ? kMillionConfigurations : kConfigurations) {
            const std::wstring path = TempPath(L"opc-benchmark-" + std::to_wstring(tagCount) + L".tvf");
            dog.Arm(300, "writing the configuration");
            std::string failure;
            if (!WriteBenchConfiguration(path, tagCount, tagCount)) failure = "the configuration cannot be written";
            if (failure.empty()) failure = MeasureOutOfProcess(path, tagCount, echo, rounds, dog, report);
            if (failure.empty()) failure = MeasureInProcess(path, tagCount, rounds, dog, report);
            DeleteFileW(path.c_str());
            if (!failure.empty()) {
                std::fprintf(stderr, "opc_benchmark: %d tags: %s\n", tagCount, failure.c_str());
                status = 2;
                break;
            }
        }
    }
    if (status == 0) {
        std::printf("Items in an %s group.\n", g_activeGroup ? "active" : "inactive");
        report.Print(rounds);
        status = report.GoalsMet() ? 0 : 1;
    }
    CoUninitialize();
    return status;
}
