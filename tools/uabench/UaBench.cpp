// The OPC UA benchmark: one client, one run, two servers in turn. First the
// floor (ua_floor_server.exe: the bare stack serving the same tags), then the
// program ("Tovi Explorer.exe" /Serve on a configuration of those tags); both
// meet the same requests from the same client, and each figure is printed for
// both with the ratio ours/floor. scripts/ua-bench.sh builds, imports the
// tags and runs it under Wine.
// Winsock before any header that brings windows.h.
#include "UaHeaders.h"

#include <fcntl.h>
#include <io.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchProcess.h"

namespace {
const char* const kFloorNamespace = "urn:Zelkor:ToviExplorer:UaBenchFloor";
const char* const kOurNamespace = "urn:Zelkor:ToviExplorer:Tags";
constexpr double kReadyLimitMs = 300000;
constexpr DWORD kSettleMs = 2000;  // after the endpoint answers, before memory is read
constexpr int kMonitorRounds = 3;
constexpr DWORD kIdleMs = 10000;
// Committed free space left in the floor's heap (see FloorServer.cpp).
constexpr int kFloorHeapPrimerMb = 32;

struct Options {
    std::wstring floorExe, toviExe, toviOpc, config;
    long tags = 100000, measured = 10000, perGroup = 1000;
    double seconds = 60;
    int floorPort = 48461, port = 48462;
    int latencyWrites = 50, daWrites = 50;
    long wineserverPid = 0;
    double clockTicks = 100;
};
Options theOptions;

std::string TagId(long k) { return "Dev.G" + std::to_string(k / theOptions.perGroup) + ".T" + std::to_string(k); }

void Progress(const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::fprintf(stderr, "[ua-bench %02u:%02u:%02u] %s\n", now.wHour, now.wMinute, now.wSecond, text.c_str());
    std::fflush(stderr);
}

double CpuPercent(double before, double after, double seconds) {
    return before < 0 || after < 0 ? -1.0 : (after - before) / seconds * 100;
}

struct ServerFigures {
    double readyMs = NAN;
    double rss = NAN;
    ReadFigures read;
    double idleServerCpu = -1, idleWineserverCpu = -1;  // % of one core
    double monitorCreatedMs = NAN, monitorFirstMs = NAN;
    SustainedFigures sustained;
    LatencyFigures latency0, latency100;
    bool hasDa = false;
    DaLatencyFigures da;
};

class Server {
public:
    explicit Server(bool floor) : m_floor(floor) {}
    ~Server() {
        try {
            Stop();
        } catch (...) {}
    }

    const char* Name() const { return m_floor ? "floor" : "ours"; }
    int Port() const { return m_floor ? theOptions.floorPort : theOptions.port; }
    std::string Url() const { return "opc.tcp://localhost:" + std::to_string(Port()) + "/"; }
    std::string NamespaceUri() const { return m_floor ? kFloorNamespace : kOurNamespace; }

    void Start(long tags, int port) {
        m_port = port;
        std::wstring line;
        if (m_floor) {
            line = L"\"" + theOptions.floorExe + L"\" --port " + std::to_wstring(port) + L" --tags " +
                   std::to_wstring(tags) + L" --per-group " + std::to_wstring(theOptions.perGroup) +
                   L" --heap-primer-mb " + std::to_wstring(kFloorHeapPrimerMb);
        } else {
            line = L"\"" + theOptions.toviExe + L"\" \"" + theOptions.config + L"\" /Serve /UaPort " +
                   std::to_wstring(port);
        }
        m_process = std::make_unique<ChildProcess>();
        if (!m_process->Start(line, !m_floor)) throw std::runtime_error(std::string("cannot start ") + Name());
        m_pid = 0;
    }

    bool Alive() const { return m_process && m_process->Running(); }
    double StartedAt() const { return m_process->StartedAt(); }
    ChildProcess& Process() { return *m_process; }

    // The Linux process Wine runs the server in, found by its command line.
    long Pid() {
        if (m_pid != 0) return m_pid;
        const std::wstring exe = BaseName(m_floor ? theOptions.floorExe : theOptions.toviExe);
        const std::string port = m_floor ? "--port " + std::to_string(m_port) : "/UaPort " + std::to_string(m_port);
        m_pid = FindLinuxPid({Narrow(exe), port}, "ua_bench.exe");
        if (m_pid == 0) throw std::runtime_error(std::string("no Linux process found for ") + Name());
        return m_pid;
    }

    void Stop() {
        if (!m_process) return;
        if (m_process->Running()) {
            if (m_floor) {
                // The bare server keeps nothing: its process is ended.
                m_process->Terminate();
            } else {
                // /Close reaches the copies of this Wine prefix only: the benchmark's own.
                ChildProcess close;
                if (close.Start(L"\"" + theOptions.toviExe + L"\" /Close 30", false)) close.Wait(90000);
                if (!m_process->Wait(60000)) m_process->Terminate();
            }
        }
        m_process.reset();
        m_pid = 0;
    }

private:
    bool m_floor;
    int m_port = 0;
    long m_pid = 0;
    std::unique_ptr<ChildProcess> m_process;
};

struct Baseline {
    double readyMs = NAN;  // from the start until it answers (floor) or says it serves (ours)
    double rss = NAN;
};

// A server with no UA address space of the tags (the floor with none, ours
// with its endpoint off): how long it takes to start, and its memory.
Baseline StartedWithoutTags(Server& server, long tags, int port) {
    Baseline baseline;
    server.Start(tags, port);
    if (port != 0) {
        UaPair ua;
        ua.ConnectWhenReady(server.Url(), server.NamespaceUri(), std::string(), server.StartedAt() + kReadyLimitMs,
                            [&] { return server.Alive(); });
        baseline.readyMs = NowMs() - server.StartedAt();
        ua.Close();
    } else {
        // No endpoint: ready once the program says it serves.
        const double end = NowMs() + kReadyLimitMs;
        while (server.Process().Output().find("Close with") == std::string::npos) {
            if (!server.Alive() || NowMs() > end) {
                throw std::runtime_error("ours did not start serving: " + server.Process().Output());
            }
            Sleep(10);
        }
        baseline.readyMs = NowMs() - server.StartedAt();
    }
    Sleep(kSettleMs);
    baseline.rss = LinuxRssBytes(server.Pid());
    server.Stop();
    return baseline;
}

std::string Format(const char* format, double value);

ServerFigures Measure(Server& server, const std::vector<std::string>& ids) {
    ServerFigures figures;
    // Declared before the sessions: the client's monitored items point into them.
    ChangeSink sink;
    MonitoredItems items, spare;
    UaPair ua;
    Progress(std::string(server.Name()) + ": starting with " + std::to_string(theOptions.tags) + " tags");
    server.Start(theOptions.tags, server.Port());
    ua.ConnectWhenReady(server.Url(), server.NamespaceUri(), TagId(theOptions.tags - 1),
                        server.StartedAt() + kReadyLimitMs, [&] { return server.Alive(); });
    figures.readyMs = NowMs() - server.StartedAt();
    ua.Run(kSettleMs);
    figures.rss = LinuxRssBytes(server.Pid());
    // Idle with one session and no subscription; the client sleeps, so that
    // the wineserver's share is the server's own.
    Progress(std::string(server.Name()) + ": idle for " + std::to_string(kIdleMs / 1000) + " s");
    const double idleServer = LinuxCpuSeconds(server.Pid(), theOptions.clockTicks);
    const double idleWineserver = LinuxCpuSeconds(theOptions.wineserverPid, theOptions.clockTicks);
    const double idleStart = NowMs();
    Sleep(kIdleMs);
    const double idleSeconds = (NowMs() - idleStart) / 1000;
    figures.idleServerCpu = CpuPercent(idleServer, LinuxCpuSeconds(server.Pid(), theOptions.clockTicks), idleSeconds);
    figures.idleWineserverCpu =
        CpuPercent(idleWineserver, LinuxCpuSeconds(theOptions.wineserverPid, theOptions.clockTicks), idleSeconds);
    ua.ConnectWriter();

    Progress(std::string(server.Name()) + ": Read of " + std::to_string(ids.size()) + " values");
    figures.read = MeasureRead(ua, ids);
    std::string times;
    // Appended piece by piece here and below: GCC 12 at -O3 misreads `" " + text` as an overlapping copy (-Wrestrict).
    for (double t : figures.read.all) times.append(" ").append(Format("%.2f", t));
    Progress(std::string(server.Name()) + ": the Reads took" + times + " ms");
    // Made three times, each in a fresh subscription; the last set stays for the sustained changes.
    std::vector<double> created, firsts;
    for (int round = 0; round < kMonitorRounds; ++round) {
        MonitoredItems& made = round + 1 == kMonitorRounds ? items : spare;
        CreateMonitoredItems(ua, ids, sink, made);
        created.push_back(made.createdMs);
        firsts.push_back(made.allFirstMs);
        if (&made == &spare) DeleteSubscription(ua, spare.subscriptionId);
    }
    figures.monitorCreatedMs = Median(created);
    figures.monitorFirstMs = Median(firsts);
    std::string rounds;
    for (size_t i = 0; i < created.size(); ++i)
        rounds.append(" ").append(Format("%.0f", created[i])).append("/").append(Format("%.0f", firsts[i]));
    Progress(std::string(server.Name()) + ": " + std::to_string(ids.size()) +
             " monitored items created/first values in" + rounds + " ms");
    Progress(std::string(server.Name()) + ": sustained changes for " + std::to_string(std::lround(theOptions.seconds)) +
             " s");
    CpuMeter meter{server.Pid(), theOptions.wineserverPid, theOptions.clockTicks};
    figures.sustained = RunSustained(ua, ids, sink, theOptions.seconds, meter);
    DeleteSubscription(ua, items.subscriptionId);

    Progress(std::string(server.Name()) + ": write latency");
    figures.latency0 = MeasureWriteLatency(ua, ids[1 % ids.size()], 0, theOptions.latencyWrites, 1e6);
    figures.latency100 = MeasureWriteLatency(ua, ids[2 % ids.size()], 100, theOptions.latencyWrites, 2e6);
    if (std::string(server.Name()) == "ours" && theOptions.daWrites > 0) {
        Progress("ours: DA write latency");
        const std::string& id = ids[3 % ids.size()];
        figures.da = MeasureDaWriteLatency(ua, id, theOptions.daWrites, 3e6, theOptions.toviOpc,
                                           std::wstring(id.begin(), id.end()));
        figures.hasDa = true;
    }
    ua.Close();
    server.Stop();
    return figures;
}

// ---- the table ----

std::string Format(const char* format, double value) {
    if (!std::isfinite(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}
std::string Ms(double v) {
    if (!std::isfinite(v)) return "n/a";
    return Format(v < 10 ? "%.2f ms" : v < 100 ? "%.1f ms" : "%.0f ms", v);
}
std::string Percent(double v) { return v < 0 ? "n/a" : Format("%.1f %%", v); }
std::string Bytes(double v) { return Format("%.0f B", v); }
std::string MiB(double v) { return Format("%.1f MiB", v / 1048576); }
std::string Count(double v) { return Format("%.0f", v); }
std::string Ratio(double ours, double floor) {
    if (!std::isfinite(ours) || !std::isfinite(floor) || floor == 0) return "-";
    return Format("%.2f", ours / floor);
}
std::string Grouped(long n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

struct Row {
    std::string name, floor, ours, ratio;
};

void PrintTable(const ServerFigures& f, const ServerFigures& o, const Baseline& floorEmpty, const Baseline& oursOff,
                const std::string& load, double minutes) {
    std::vector<Row> rows;
    auto row = [&](const std::string& name, double a, double b, std::string (*text)(double)) {
        rows.push_back({name, text(a), text(b), Ratio(b, a)});
    };
    const std::string n = Grouped(theOptions.measured);
    const double floorPerTag = (f.rss - floorEmpty.rss) / theOptions.tags;
    const double oursPerTag = (o.rss - oursOff.rss) / theOptions.tags;
    const SustainedFigures& sf = f.sustained;
    const SustainedFigures& so = o.sustained;

    row("Address space ready: start -> Read of the last tag answered", f.readyMs, o.readyMs, Ms);
    row("  without the tags' nodes (floor: 0 tags; ours: /UaPort 0, serving)", floorEmpty.readyMs, oursOff.readyMs, Ms);
    row("  the difference: the UA address space of the tags", f.readyMs - floorEmpty.readyMs,
        o.readyMs - oursOff.readyMs, Ms);
    row("Memory (RSS) when ready", f.rss, o.rss, MiB);
    row("  per tag, added by UA (floor: vs 0 tags; ours: vs /UaPort 0)", floorPerTag, oursPerTag, Bytes);
    row("Idle 10 s, one session: server process CPU (% of one core)", f.idleServerCpu, o.idleServerCpu, Percent);
    row("Idle 10 s, one session: wineserver CPU (% of one core)", f.idleWineserverCpu, o.idleWineserverCpu, Percent);
    row("Read of " + n + " values in one Read, median of 5", f.read.median, o.read.median, Ms);
    row("  the first of the 5", f.read.first, o.read.first, Ms);
    row(n + " monitored items (batches of 1000): all created, median of 3", f.monitorCreatedMs, o.monitorCreatedMs, Ms);
    row(n + " monitored items: every first value arrived, median of 3", f.monitorFirstMs, o.monitorFirstMs, Ms);
    const std::pair<const char*, const LatencyFigures ServerFigures::*> latencies[] = {
        {"sampling 0", &ServerFigures::latency0}, {"sampling 100 ms", &ServerFigures::latency100}};
    for (const auto& [label, member] : latencies) {
        const LatencyFigures& a = f.*member;
        const LatencyFigures& b = o.*member;
        row(std::string("UA write -> data change, ") + label + ": median", a.median, b.median, Ms);
        row(std::string("UA write -> data change, ") + label + ": p95", a.p95, b.p95, Ms);
        if (a.missed + b.missed > 0) row(std::string("  ") + label + ": changes never seen", a.missed, b.missed, Count);
    }
    auto share = [](const SustainedFigures& s) {
        return s.made > 0 ? static_cast<double>(s.delivered) / static_cast<double>(s.made) : NAN;
    };
    auto shareText = [&](const SustainedFigures& s) {
        return std::to_string(s.delivered) + "/" + std::to_string(s.made) + " (" + Format("%.2f %%", share(s) * 100) +
               ")";
    };
    const std::string sustained = "Sustained " + Format("%.0f", sf.seconds) + " s";
    rows.push_back(
        {sustained + ": changes delivered / made", shareText(sf), shareText(so), Ratio(share(so), share(sf))});
    row("Sustained: late periods (last change > " + Format("%.0f", kLateMs) + " ms after its write, of " +
            std::to_string(sf.periods) + ")",
        sf.late, so.late, Count);
    row("Sustained: periods whose Write went out a period late", sf.lateWrites, so.lateWrites, Count);
    row("Sustained: write -> data change, median", sf.latencyMedian, so.latencyMedian, Ms);
    row("Sustained: write -> data change, p95", sf.latencyP95, so.latencyP95, Ms);
    row("Sustained: server process CPU (% of one core)", sf.serverCpu, so.serverCpu, Percent);
    row("Sustained: wineserver CPU (% of one core)", sf.wineserverCpu, so.wineserverCpu, Percent);
    row("Sustained: this client's CPU (% of one core)", sf.clientCpu, so.clientCpu, Percent);
    if (o.hasDa) {
        rows.push_back({"DA write (tovi-opc) -> UA data change, sampling 0: median", "-", Ms(o.da.median), "-"});
        rows.push_back({"DA write (tovi-opc) -> UA data change, sampling 0: p95", "-", Ms(o.da.p95), "-"});
        rows.push_back(
            {"  from starting tovi-opc (Wine process, COM connect), median", "-", Ms(o.da.startMedian), "-"});
        if (o.da.failed + o.da.missed > 0) {
            rows.push_back({"  DA writes failed / changes never seen", "-",
                            std::to_string(o.da.failed) + " / " + std::to_string(o.da.missed), "-"});
        }
    }

    const Row head{"figure", "floor", "ours", "ours/floor"};
    size_t widths[4] = {head.name.size(), head.floor.size(), head.ours.size(), head.ratio.size()};
    for (const Row& r : rows) {
        widths[0] = std::max(widths[0], r.name.size());
        widths[1] = std::max(widths[1], r.floor.size());
        widths[2] = std::max(widths[2], r.ours.size());
        widths[3] = std::max(widths[3], r.ratio.size());
    }
    auto print = [&](const Row& r) {
        std::printf("%-*s  %*s  %*s  %*s\n", static_cast<int>(widths[0]), r.name.c_str(), static_cast<int>(widths[1]),
                    r.floor.c_str(), static_cast<int>(widths[2]), r.ours.c_str(), static_cast<int>(widths[3]),
                    r.ratio.c_str());
    };
    std::printf("OPC UA benchmark: %s tags, %s measured, sustained %.0f s; load average before: %s; %.1f min\n",
                Grouped(theOptions.tags).c_str(), n.c_str(), sf.seconds, load.c_str(), minutes);
    std::printf(
        "floor: open62541 alone (ua_floor_server.exe, its heap primed with %d MB); ours: \"Tovi Explorer.exe\" "
        "/Serve; one open62541 client for both\n",
        kFloorHeapPrimerMb);
    print(head);
    print({std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
           std::string(widths[3], '-')});
    for (const Row& r : rows) print(r);
    if (o.hasDa) {
        std::printf(
            "DA latency: from the source timestamp the server gave the write to the UA client's callback "
            "(%d of %d writes).\n",
            o.da.count, theOptions.daWrites);
        if (!o.da.firstError.empty()) std::printf("The first failed DA write said: %s\n", o.da.firstError.c_str());
    }
    if (sf.strays + so.strays > 0) {
        std::printf("Values that matched no write: floor %lld, ours %lld.\n", sf.strays, so.strays);
    }
    std::fflush(stdout);
}

std::string LoadAverage() {
    FILE* file = std::fopen("Z:\\proc\\loadavg", "rb");
    if (file == nullptr) return "n/a";
    char text[128] = {};
    const size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::string load(text, got);
    size_t cut = 0;
    for (int spaces = 0; cut < load.size() && spaces < 3; ++cut) spaces += load[cut] == ' ';
    return load.substr(0, cut > 0 ? cut - 1 : 0);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: ua_bench --floor-exe EXE --tovi-exe EXE --tovi-opc EXE --config FILE.tvf\n"
                 "       [--tags 100000] [--measured 10000] [--per-group 1000] [--seconds 60]\n"
                 "       [--floor-port 48461] [--port 48462] [--latency-writes 50] [--da-writes 50]\n"
                 "       [--wineserver-pid PID] [--clock-ticks 100]\n");
    return 2;
}

bool ParseArguments(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const std::wstring value = argv[i + 1];
        const double number = std::wcstod(value.c_str(), nullptr);
        if (name == L"--floor-exe") {
            theOptions.floorExe = value;
        } else if (name == L"--tovi-exe") {
            theOptions.toviExe = value;
        } else if (name == L"--tovi-opc") {
            theOptions.toviOpc = value;
        } else if (name == L"--config") {
            theOptions.config = value;
        } else if (name == L"--tags") {
            theOptions.tags = static_cast<long>(number);
        } else if (name == L"--measured") {
            theOptions.measured = static_cast<long>(number);
        } else if (name == L"--per-group") {
            theOptions.perGroup = static_cast<long>(number);
        } else if (name == L"--seconds") {
            theOptions.seconds = number;
        } else if (name == L"--floor-port") {
            theOptions.floorPort = static_cast<int>(number);
        } else if (name == L"--port") {
            theOptions.port = static_cast<int>(number);
        } else if (name == L"--latency-writes") {
            theOptions.latencyWrites = static_cast<int>(number);
        } else if (name == L"--da-writes") {
            theOptions.daWrites = static_cast<int>(number);
        } else if (name == L"--wineserver-pid") {
            theOptions.wineserverPid = static_cast<long>(number);
        } else if (name == L"--clock-ticks") {
            theOptions.clockTicks = number;
        } else {
            return false;
        }
    }
    const Options& o = theOptions;
    return argc % 2 == 1 && !o.floorExe.empty() && !o.toviExe.empty() && !o.toviOpc.empty() && !o.config.empty() &&
           o.tags > 0 && o.measured > 0 && o.measured <= o.tags && o.perGroup > 0 && o.seconds >= 1 &&
           o.latencyWrites > 0 && o.daWrites >= 0 && o.clockTicks > 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (!ParseArguments(argc, argv)) return Usage();
    std::vector<std::string> ids;
    const long stride = theOptions.tags / theOptions.measured;
    for (long i = 0; i < theOptions.measured; ++i) ids.push_back(TagId(i * stride));
    const std::string load = LoadAverage();
    const double start = NowMs();

    Server floor(true), ours(false);
    try {
        Progress("floor: start and memory with no tags");
        const Baseline floorEmpty = StartedWithoutTags(floor, 0, theOptions.floorPort);
        Progress("ours: start and memory with the UA endpoint off");
        const Baseline oursOff = StartedWithoutTags(ours, theOptions.tags, 0);
        const ServerFigures f = Measure(floor, ids);
        const ServerFigures o = Measure(ours, ids);
        PrintTable(f, o, floorEmpty, oursOff, load, (NowMs() - start) / 60000);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ua-bench: %s\n", error.what());
        floor.Stop();
        ours.Stop();
        return 1;
    }
    return 0;
}
