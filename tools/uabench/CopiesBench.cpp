// Two copies of the program, each serving half of the tags on a port of its
// own, as a user runs them behind an aggregating server, and one client with
// a session on each: how long both take to start, their memory, and Reads and
// monitored items on both at once against one copy alone.
// scripts/ua-copies-bench.sh makes the two configurations and runs it.
// Winsock before any header that brings windows.h.
#include "UaHeaders.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchClient.h"
#include "BenchProcess.h"

namespace {
const char* const kNamespace = "urn:Zelkor:ToviExplorer:Tags";
constexpr double kReadyLimitMs = 600000;
constexpr DWORD kSettleMs = 2000;

struct Options {
    std::wstring exe;
    std::wstring config[2];
    std::string device[2];
    int port[2] = {48481, 48482};
    long tags = 500000, measured = 10000, perGroup = 1000;
};
Options theOptions;

void Progress(const std::string& text) {
    std::fprintf(stderr, "[copies-bench] %s\n", text.c_str());
    std::fflush(stderr);
}

// Spread over the whole configuration, the last tag among them.
std::vector<std::string> MeasuredIds(int copy) {
    std::vector<std::string> ids;
    const long step = theOptions.tags / theOptions.measured;
    for (long i = 1; i <= theOptions.measured; ++i) {
        const long k = i * step - 1;
        ids.push_back(theOptions.device[copy] + ".G" + std::to_string(k / theOptions.perGroup) + ".T" +
                      std::to_string(k));
    }
    return ids;
}

struct Copy {
    int index = 0;
    ChildProcess process;
    UaPair ua;
    std::vector<std::string> ids;
    double readyMs = NAN;
    double rss = NAN;

    std::string Url() const { return "opc.tcp://localhost:" + std::to_string(theOptions.port[index]) + "/"; }
    void Start() {
        const std::wstring line = L"\"" + theOptions.exe + L"\" \"" + theOptions.config[index] + L"\" /Serve /UaPort " +
                                  std::to_wstring(theOptions.port[index]);
        if (!process.Start(line, true)) throw std::runtime_error("cannot start copy " + std::to_string(index + 1));
    }
    void Connect() {
        ua.ConnectWhenReady(Url(), kNamespace, ids.back(), process.StartedAt() + kReadyLimitMs,
                            [this] { return process.Running(); });
        readyMs = NowMs() - process.StartedAt();
    }
    void ReadMemory() {
        const long pid =
            FindLinuxPid({Narrow(BaseName(theOptions.exe)), "/UaPort " + std::to_string(theOptions.port[index])},
                         "ua_copies_bench.exe");
        rss = pid != 0 ? LinuxRssBytes(pid) : NAN;
    }
};

// Runs `work` for both copies at once, each on a thread of its own.
template <class Work>
void AtOnce(Copy (&copies)[2], Work work) {
    std::exception_ptr failure[2];
    std::thread second([&] {
        try {
            work(copies[1]);
        } catch (...) {
            failure[1] = std::current_exception();
        }
    });
    try {
        work(copies[0]);
    } catch (...) {
        failure[0] = std::current_exception();
    }
    second.join();
    for (const std::exception_ptr& f : failure) {
        if (f) std::rethrow_exception(f);
    }
}

struct Subscribed {
    ChangeSink sink;  // hears nothing: the creation counts the first values
    MonitoredItems items;
};

void Subscribe(Copy& copy, Subscribed& s) {
    CreateMonitoredItems(copy.ua, copy.ids, s.sink, s.items);
    DeleteSubscription(copy.ua, s.items.subscriptionId);
}

bool ParseArguments(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--exe") {
            theOptions.exe = value;
        } else if (name == L"--config-a") {
            theOptions.config[0] = value;
        } else if (name == L"--config-b") {
            theOptions.config[1] = value;
        } else if (name == L"--device-a") {
            theOptions.device[0] = Narrow(value);
        } else if (name == L"--device-b") {
            theOptions.device[1] = Narrow(value);
        } else if (name == L"--tags") {
            theOptions.tags = std::wcstol(value.c_str(), nullptr, 10);
        } else if (name == L"--measured") {
            theOptions.measured = std::wcstol(value.c_str(), nullptr, 10);
        } else {
            return false;
        }
    }
    return !theOptions.exe.empty() && !theOptions.config[0].empty() && !theOptions.config[1].empty() &&
           !theOptions.device[0].empty() && !theOptions.device[1].empty() && theOptions.measured > 0 &&
           theOptions.tags >= theOptions.measured;
}

void Stop(Copy (&copies)[2]) {
    for (Copy& copy : copies) copy.ua.Close();
    // /Close reaches every copy of this Wine prefix: the benchmark's own.
    ChildProcess close;
    if (close.Start(L"\"" + theOptions.exe + L"\" /Close 60", false)) close.Wait(120000);
    for (Copy& copy : copies) {
        if (!copy.process.Wait(60000)) copy.process.Terminate();
    }
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!ParseArguments(argc, argv)) {
        std::fprintf(stderr,
                     "usage: ua_copies_bench --exe EXE --config-a A.tvf --config-b B.tvf --device-a NAME "
                     "--device-b NAME [--tags N] [--measured N]\n");
        return 2;
    }
    Copy copies[2];
    int status = 0;
    try {
        for (int i = 0; i < 2; ++i) {
            copies[i].index = i;
            copies[i].ids = MeasuredIds(i);
        }
        Progress("starting both copies");
        for (Copy& copy : copies) copy.Start();
        AtOnce(copies, [](Copy& copy) { copy.Connect(); });
        for (Copy& copy : copies) copy.ua.Run(kSettleMs);
        for (Copy& copy : copies) copy.ReadMemory();

        Progress("reading");
        ReadFigures alone = MeasureRead(copies[0].ua, copies[0].ids);
        ReadFigures both[2];
        AtOnce(copies, [&both](Copy& copy) { both[copy.index] = MeasureRead(copy.ua, copy.ids); });

        Progress("monitored items");
        Subscribed single;
        Subscribe(copies[0], single);
        Subscribed twin[2];
        AtOnce(copies, [&twin](Copy& copy) { Subscribe(copy, twin[copy.index]); });

        std::printf("Two copies of %ld tags each, one client with a session on each (%ld values measured per copy)\n",
                    theOptions.tags, theOptions.measured);
        for (const Copy& copy : copies) {
            std::printf(
                "  copy %d: answered a Read of its last tag %.1f s after its start, resident %.0f MiB "
                "(%.0f bytes per tag)\n",
                copy.index + 1, copy.readyMs / 1000, copy.rss / 1048576, copy.rss / theOptions.tags);
        }
        const double slower = std::max(both[0].median, both[1].median);
        std::printf("  Read of %ld values: one copy alone %.1f ms; both at once %.1f and %.1f ms (x%.2f)\n",
                    theOptions.measured, alone.median, both[0].median, both[1].median, slower / alone.median);
        const double lastFirst = std::max(twin[0].items.allFirstMs, twin[1].items.allFirstMs);
        std::printf(
            "  %ld monitored items, created and first values: one copy alone %.0f ms; both at once %.0f and "
            "%.0f ms (x%.2f)\n",
            theOptions.measured, single.items.allFirstMs, twin[0].items.allFirstMs, twin[1].items.allFirstMs,
            lastFirst / single.items.allFirstMs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ua_copies_bench: %s\n", e.what());
        status = 2;
    }
    Stop(copies);
    return status;
}
