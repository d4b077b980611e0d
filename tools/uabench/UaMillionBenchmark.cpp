// The OPC UA endpoint at 1,000,000 tags (10 devices x 100 groups x 1,000
// mixed tags, a tenth simulated): the endpoint runs on a Configuration as
// the program runs it (this program started again with --serve), the floor
// (ua_floor_server.exe, the bare stack serving as many variables) in a
// process of its own, and one client here measures both in one run:
// - the server's memory with the file open and the endpoint on, per tag,
//   and the time from opening the file until a Read of the last tag answers;
// - a Read of 10,000 values, a Browse of a 1,000-tag group, the pages of a
//   100,000-tag folder, and 100,000 monitored items on one session created
//   and every first value delivered, each beside the floor's;
// - the endpoint's own work for one tag or group added, renamed or deleted
//   and for 100 tags imported, at 10,000 and at 1,000,000 tags.
// Prints each figure with its goal; exits 1 when a goal is missed, 2 when it
// could not measure. Never a test: scripts/ua-million-bench.sh runs it. With
// --serve FILE it is the server side (see Serve).
//
//   ua_million_benchmark.exe --floor-exe PATH [--devices 10] [--port 48465] [--floor-port 48466]
#include "UaHeaders.h"
#include "UaLibrary.h"

#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchProcess.h"
#include "BenchTree.h"
#include "Configuration.h"
#include "CriticalSection.h"
#include "OPCS_Device.h"
#include "OPCS_TagGroup.h"
#include "UaAddressSpace.h"
#include "UaEndpoint.h"
#include "WholeFile.h"

namespace {
constexpr int kGroups = 100, kTagsPerGroup = 1000, kBigFolder = 100000;
constexpr long kReadCount = 10000, kMonitoredCount = 100000;
constexpr double kReadyGoalS = 10, kBytesPerTagGoal = 2500, kReadRatioGoal = 1.25, kMonitorRatioGoal = 1.5;
constexpr double kShapeGoalMs = 10;
constexpr int kShapeRuns = 11;
const char* const kFloorNamespace = "urn:Zelkor:ToviExplorer:UaBenchFloor";

struct Options {
    std::wstring floorExe;
    int devices = 10;
    int port = 48465, floorPort = 48466;
} theOptions;

bool g_met = true;

void Progress(const std::string& text) {
    std::fprintf(stderr, "[ua-million] %s\n", text.c_str());
    std::fflush(stderr);
}

void Goal(const std::string& what, double value, double limit, const char* unit) {
    const bool ok = value <= limit;
    std::printf("%-64s %10.2f %-5s (goal <= %g) %s\n", what.c_str(), value, unit, limit, ok ? "met" : "MISSED");
    g_met = g_met && ok;
}

// The commit charge: what the process asked of the system.
double CommitBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    // Wine leaves PrivateUsage at 0; the commit charge is the same figure on Windows.
    return static_cast<double>(counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage);
}

std::wstring TempPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, n) + name;
}

// devices x 100 groups x 1,000 mixed tags, handed to the configuration.
void Fill(Configuration& configuration, int devices) {
    BenchTree tree;
    for (int d = 0; d < devices; ++d) {
        tree.AddDevice(L"Plant" + std::to_wstring(d), kGroups, kTagsPerGroup,
                       [&](ToviTag& tag, int g, int t) { ShapeMixedTag(tag, (d * kGroups + g) * kTagsPerGroup + t); });
    }
    for (OPCS_Device* device : tree.devices) configuration.AddDevice(device);
    tree.devices.Clear();
}

std::string OurId(long k) {
    const long perDevice = static_cast<long>(kGroups) * kTagsPerGroup;
    return "Plant" + std::to_string(k / perDevice) + ".Area" + std::to_string(k % perDevice / kTagsPerGroup) + ".Tag" +
           std::to_string(k % kTagsPerGroup);
}
std::string FloorId(long k) { return "Dev.G" + std::to_string(k / kTagsPerGroup) + ".T" + std::to_string(k); }

// Odd tags: every even one is volatile, and a volatile tag read from a file
// has no good value yet.
std::vector<std::string> Spread(long count, long total, std::string (*id)(long)) {
    std::vector<std::string> ids;
    for (long i = 0; i < count; ++i) ids.push_back(id(i * (total / count) + 1));
    return ids;
}

// What a server did for the client.
struct ServiceFigures {
    double readyMs = NAN, commit = NAN, rss = NAN;
    double loadMs = NAN, loadedCommit = NAN;  // ours: the file read, before the endpoint starts
    double readMs = NAN, browseMs = NAN, pagesMs = NAN, monitorCreatedMs = NAN, monitorFirstMs = NAN;
    size_t pages = 0;
};

// Every reference of `folder` in pages of `perPage` (0: one answer), the
// continuation points followed; the references seen.
size_t BrowseAll(UaPair& ua, const std::string& folder, UA_UInt32 perPage, size_t& pages) {
    UA_BrowseDescription description;
    UA_BrowseDescription_init(&description);
    description.nodeId = ua.Id(folder);
    description.resultMask = UA_BROWSERESULTMASK_BROWSENAME;
    description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
    description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
    description.includeSubtypes = true;
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.requestedMaxReferencesPerNode = perPage;
    request.nodesToBrowse = &description;
    request.nodesToBrowseSize = 1;
    UA_BrowseResponse response = UA_Client_Service_browse(ua.Reader(), request);
    if (response.responseHeader.serviceResult != UA_STATUSCODE_GOOD || response.resultsSize != 1) {
        UA_BrowseResponse_clear(&response);
        throw std::runtime_error("Browse of " + folder + " failed");
    }
    size_t seen = response.results[0].referencesSize;
    pages = 1;
    UA_ByteString point;
    UA_ByteString_copy(&response.results[0].continuationPoint, &point);
    UA_BrowseResponse_clear(&response);
    while (point.length > 0) {
        UA_BrowseNextRequest next;
        UA_BrowseNextRequest_init(&next);
        next.continuationPoints = &point;
        next.continuationPointsSize = 1;
        UA_BrowseNextResponse more = UA_Client_Service_browseNext(ua.Reader(), next);
        UA_ByteString_clear(&point);
        if (more.responseHeader.serviceResult != UA_STATUSCODE_GOOD || more.resultsSize != 1 ||
            more.results[0].statusCode != UA_STATUSCODE_GOOD) {
            UA_BrowseNextResponse_clear(&more);
            throw std::runtime_error("BrowseNext of " + folder + " failed");
        }
        seen += more.results[0].referencesSize;
        ++pages;
        UA_ByteString_copy(&more.results[0].continuationPoint, &point);
        UA_BrowseNextResponse_clear(&more);
    }
    return seen;
}

// The same requests of either server. `beforePaging` makes the big folder
// where the server has none from the start.
void MeasureServices(UaPair& ua, ServiceFigures& f, std::string (*id)(long), const std::string& group,
                     const std::string& bigFolder, const std::function<void()>& beforePaging) {
    const long total = static_cast<long>(theOptions.devices) * kGroups * kTagsPerGroup;
    f.readMs = MeasureRead(ua, Spread(kReadCount, total, id)).median;
    std::vector<double> times;
    for (int round = 0; round < 5; ++round) {
        size_t pages = 0;
        const double start = NowMs();
        const size_t seen = BrowseAll(ua, group, 0, pages);
        times.push_back(NowMs() - start);
        if (seen != static_cast<size_t>(kTagsPerGroup)) {
            throw std::runtime_error("Browse of " + group + " gave " + std::to_string(seen) + " references");
        }
    }
    f.browseMs = Median(times);
    if (beforePaging) beforePaging();
    times.clear();
    for (int round = 0; round < 3; ++round) {
        const double start = NowMs();
        const size_t seen = BrowseAll(ua, bigFolder, 1000, f.pages);
        times.push_back(NowMs() - start);
        if (seen != static_cast<size_t>(kBigFolder)) {
            throw std::runtime_error("the pages of " + bigFolder + " gave " + std::to_string(seen) + " references");
        }
    }
    f.pagesMs = Median(times);
    Progress("100,000 monitored items");
    ChangeSink sink;
    MonitoredItems items;
    CreateMonitoredItems(ua, Spread(kMonitoredCount, total, id), sink, items);
    f.monitorCreatedMs = items.createdMs;
    f.monitorFirstMs = items.allFirstMs;
    DeleteSubscription(ua, items.subscriptionId);
}

// ---- shape changes: the endpoint's own work, from its pump's counters ----

struct Spread3 {
    double median = NAN, max = NAN;
};

class ShapeMeter {
public:
    explicit ShapeMeter(const UaAddressSpace& space) : m_space(space) {}
    // Makes the change and waits until the endpoint has followed it; the
    // milliseconds its pump spent on it.
    double Cost(const std::function<void()>& change) {
        const unsigned long long micros = m_space.ShapeMicros();
        const unsigned long syncs = m_space.ShapeSyncs();
        change();
        const double end = NowMs() + 60000;
        while (m_space.ShapeSyncs() == syncs && NowMs() < end) Sleep(1);
        if (m_space.ShapeSyncs() == syncs) throw std::runtime_error("the endpoint never followed a change");
        // Quiet for a few pumps: every scope of the change is taken.
        for (unsigned long seen = m_space.ShapeSyncs();;) {
            Sleep(40);
            if (m_space.ShapeSyncs() == seen) break;
            seen = m_space.ShapeSyncs();
        }
        if (m_space.WholeWalks() != m_wholeWalks) ++m_whole;
        m_wholeWalks = m_space.WholeWalks();
        return static_cast<double>(m_space.ShapeMicros() - micros) / 1000.0;
    }
    Spread3 Runs(int runs, const std::function<void(int)>& change) {
        std::vector<double> times;
        for (int r = 0; r < runs; ++r) times.push_back(Cost([&] { change(r); }));
        std::sort(times.begin(), times.end());
        return Spread3{times[times.size() / 2], times.back()};
    }
    int WholeWalksSeen() const { return m_whole; }

private:
    const UaAddressSpace& m_space;
    unsigned long m_wholeWalks = m_space.WholeWalks();
    int m_whole = 0;
};

struct ShapeFigures {
    Spread3 addTag, renameTag, deleteTag, addGroup, renameGroup, deleteGroup, import;
    int wholeWalks = 0;
};

OPCS_TagGroup* Area(Configuration& configuration, int device, int group) {
    OPCS_Device* d = configuration.FindDevice(L"Plant" + std::to_wstring(device));
    if (d == nullptr) throw std::runtime_error("no device Plant" + std::to_string(device));
    for (OPCS_TagGroup* g : d->SnapshotGroups()) {
        if (g->GetName() == L"Area" + std::to_wstring(group)) return g;
    }
    throw std::runtime_error("no group Area" + std::to_string(group));
}

ShapeFigures MeasureShapes(Configuration& configuration, const UaAddressSpace& space, UaPair& ua) {
    ShapeMeter meter(space);
    ShapeFigures f;
    const int lastDevice = theOptions.devices > 1 ? 1 : 0;
    OPCS_TagGroup* area = Area(configuration, lastDevice, 1);
    std::vector<OPCS_Tag*> added;
    f.addTag = meter.Runs(kShapeRuns, [&](int r) {
        auto* tag = new ToviTag;
        tag->Rename(L"Added" + std::to_wstring(r));
        ShapeMixedTag(*tag, r);
        if (!configuration.AddTagTo(area, tag)) throw std::runtime_error("a tag was not added");
        added.push_back(tag);
    });
    f.renameTag =
        meter.Runs(kShapeRuns, [&](int r) { added[static_cast<size_t>(r)]->Rename(L"Renamed" + std::to_wstring(r)); });
    const std::string renamed = "Plant" + std::to_string(lastDevice) + ".Area1.Renamed0";
    UA_Variant value;
    UA_Variant_init(&value);
    if (UA_Client_readValueAttribute(ua.Reader(), ua.Id(renamed), &value) != UA_STATUSCODE_GOOD) {
        throw std::runtime_error(renamed + " cannot be read after its rename");
    }
    UA_Variant_clear(&value);
    // As the tag list deletes: under the configuration lock, out of its group, then freed.
    f.deleteTag = meter.Runs(kShapeRuns, [&](int r) {
        ScopedLock guard(configuration.Lock());
        OPCS_Tag* tag = added[static_cast<size_t>(r)];
        if (!area->RemoveTag(tag)) throw std::runtime_error("a tag was not removed");
        delete tag;
    });
    OPCS_Device* device = configuration.FindDevice(L"Plant" + std::to_wstring(lastDevice));
    std::vector<OPCS_TagGroup*> groups;
    f.addGroup = meter.Runs(kShapeRuns, [&](int r) {
        auto* group = new ToviTagGroup;
        group->Rename(L"NewGroup" + std::to_wstring(r));
        if (!configuration.AddGroupTo(device, group)) throw std::runtime_error("a group was not added");
        groups.push_back(group);
    });
    // Groups of 1,000 tags: a renamed or deleted group's nodes all go or move.
    f.renameGroup = meter.Runs(kShapeRuns, [&](int r) {
        OPCS_TagGroup* group = Area(configuration, lastDevice, r % 2 == 0 ? 3 : 1003);
        group->Rename(r % 2 == 0 ? L"Area1003" : L"Area3");
    });
    f.deleteGroup = meter.Runs(3, [&](int r) {
        // Refused while the device still holds its tags for the monitored items just deleted.
        OPCS_TagGroup* group = Area(configuration, lastDevice, 5 + r);
        for (const double end = NowMs() + 60000;
             configuration.DeleteItem(group) != Configuration::DeleteResult::Deleted;) {
            if (NowMs() > end) throw std::runtime_error("a group was not deleted");
            Sleep(50);
        }
    });
    std::vector<std::wstring> files;
    for (int r = 0; r < 5; ++r) {
        std::string csv = "ItemID,Type,Access,Description,Value,Quality,ValueLimits,ValueLow,ValueHigh,Volatile\r\n";
        for (int t = 0; t < 100; ++t) {
            csv.append("Plant").append(std::to_string(lastDevice)).append(".Area2.Import").append(std::to_string(r));
            csv.append("_").append(std::to_string(t)).append(",Double,Read/Write,,5,192,0,0,0,0\r\n");
        }
        files.push_back(TempPath((L"ua-million-import" + std::to_wstring(r) + L".csv").c_str()));
        DWORD error = 0;
        if (!WriteFileReplacing(files.back(), std::vector<BYTE>(csv.begin(), csv.end()), error)) {
            throw std::runtime_error("cannot write the import file");
        }
    }
    f.import = meter.Runs(5, [&](int r) {
        if (!configuration.ImportTags(files[static_cast<size_t>(r)]).Succeeded()) {
            throw std::runtime_error("an import failed");
        }
    });
    for (const std::wstring& file : files) DeleteFileW(file.c_str());
    f.wholeWalks = meter.WholeWalksSeen();
    return f;
}

std::wstring PkiFolder() {
    const std::wstring folder = TempPath(L"ua-million-pki");
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\";
}

UaEndpointOptions EndpointOptions() {
    UaEndpointOptions options;
    options.port = static_cast<unsigned>(theOptions.port);
    options.pkiFolder = PkiFolder();
    return options;
}

std::string Url(int port) { return "opc.tcp://localhost:" + std::to_string(port) + "/"; }

// The same changes on 10 groups of 1,000 tags.
ShapeFigures ShapesAtTenThousand() {
    Configuration configuration;
    BenchTree tree;
    tree.AddDevice(L"Plant0", 0, 0, [](ToviTag&, int, int) {});
    tree.AddDevice(L"Plant1", 10, kTagsPerGroup,
                   [](ToviTag& tag, int g, int t) { ShapeMixedTag(tag, g * kTagsPerGroup + t); });
    for (OPCS_Device* device : tree.devices) configuration.AddDevice(device);
    tree.devices.Clear();
    UaEndpoint endpoint(configuration);
    if (!endpoint.Start(EndpointOptions())) throw std::runtime_error("the endpoint did not start at 10,000 tags");
    UaPair ua;
    ua.ConnectWhenReady(Url(theOptions.port), kTagsNamespaceUri, "Plant1.Area9.Tag999", NowMs() + 120000,
                        [] { return true; });
    ShapeFigures f = MeasureShapes(configuration, endpoint.AddressSpace(), ua);
    ua.Close();
    endpoint.Stop(L"", 0);
    return f;
}

const std::pair<const char*, Spread3 ShapeFigures::*> kShapeRows[] = {
    {"add a tag", &ShapeFigures::addTag},
    {"rename a tag", &ShapeFigures::renameTag},
    {"delete a tag", &ShapeFigures::deleteTag},
    {"add a group", &ShapeFigures::addGroup},
    {"rename a group of 1,000", &ShapeFigures::renameGroup},
    {"delete a group of 1,000", &ShapeFigures::deleteGroup},
    {"import 100 tags", &ShapeFigures::import}};

void PrintShapes(const ShapeFigures& small, const ShapeFigures& large, long tags) {
    std::printf(
        "\nShape changes: the endpoint's own work (its pump, model change event included), median / max "
        "of 11 runs (3 group deletions, 5 imports):\n");
    std::printf("%-24s %22s %22ld\n", "", "10,000 tags", tags);
    for (const auto& [name, member] : kShapeRows) {
        const Spread3& a = small.*member;
        const Spread3& b = large.*member;
        std::printf("%-24s %10.3f / %7.3f ms %10.3f / %7.3f ms\n", name, a.median, a.max, b.median, b.max);
    }
    std::printf("walks of the whole configuration among them: %d at 10,000, %d at %ld\n", small.wholeWalks,
                large.wholeWalks, tags);
    for (const auto& [name, member] : kShapeRows) {
        Goal(std::string(name) + " at " + std::to_string(tags) + " (median)", (large.*member).median, kShapeGoalMs,
             "ms");
    }
}

std::wstring EventName(const wchar_t* what) {
    return std::wstring(L"Local\\ua-million-") + what + L"-" + std::to_wstring(theOptions.port);
}

// An event the server waits for, held open from before the server starts.
class Cue {
public:
    explicit Cue(const wchar_t* what) : m_event(CreateEventW(nullptr, TRUE, FALSE, EventName(what).c_str())) {
        if (m_event == nullptr) throw std::runtime_error("cannot make an event");
    }
    ~Cue() { CloseHandle(m_event); }
    Cue(const Cue&) = delete;
    Cue& operator=(const Cue&) = delete;
    void Give() { SetEvent(m_event); }
    HANDLE Handle() const { return m_event; }

private:
    HANDLE m_event;
};

// The server side in a process of its own, as the program serves: opens the
// file and serves it; at the first event tells its commit charge and adds a
// folder of 100,000 tags; at the second measures the shape changes and ends.
int Serve(const std::wstring& file) {
    const double start = NowMs();
    Configuration configuration;
    if (!configuration.Load(file, nullptr).loaded) return 2;
    // What the tag database alone takes, and how long its file takes to read.
    std::printf("loaded %.0f %.0f\n", NowMs() - start, CommitBytes());
    UaEndpoint endpoint(configuration);
    if (!endpoint.Start(EndpointOptions())) return 2;
    std::printf("serving\n");
    std::fflush(stdout);
    Cue bigCue(L"big"), shapesCue(L"shapes");
    auto wait = [](Cue& cue) { WaitForSingleObject(cue.Handle(), INFINITE); };
    wait(bigCue);
    std::printf("commit %.0f\n", CommitBytes());
    std::fflush(stdout);
    auto* big = new ToviTagGroup;
    big->Rename(L"Big");
    for (int t = 0; t < kBigFolder; ++t) {
        auto* tag = new ToviTag;
        tag->Rename(L"B" + std::to_wstring(t));
        ShapeMixedTag(*tag, 2 * t + 1);
        big->AddTag(tag);
    }
    ShapeMeter meter(endpoint.AddressSpace());
    meter.Cost([&] { configuration.AddGroupTo(configuration.FindDevice(L"Plant0"), big); });
    std::printf("big\n");
    std::fflush(stdout);
    wait(shapesCue);
    // The devices stop polling once the client's monitored items are gone: the
    // changes are measured on a quiet server, as at 10,000 tags.
    for (const double end = NowMs() + 120000; NowMs() < end;) {
        Dll<OPCS_Device*> devices;
        configuration.CopyDeviceList(devices);
        if (std::none_of(devices.begin(), devices.end(), [](OPCS_Device* device) { return device->IsBusy(); })) break;
        Sleep(100);
    }
    UaPair ua;
    ua.ConnectWhenReady(Url(theOptions.port), kTagsNamespaceUri, std::string(), NowMs() + 60000, [] { return true; });
    const ShapeFigures f = MeasureShapes(configuration, endpoint.AddressSpace(), ua);
    for (size_t i = 0; i < std::size(kShapeRows); ++i) {
        const Spread3& figure = f.*kShapeRows[i].second;
        std::printf("shape %zu %.4f %.4f\n", i, figure.median, figure.max);
    }
    std::printf("walks %d\n", f.wholeWalks);
    std::fflush(stdout);
    ua.Close();
    endpoint.Stop(L"", 0);
    return 0;
}

// Waits until the child's output holds `text`.
void AwaitOutput(ChildProcess& child, const std::string& text, double ms) {
    const double end = NowMs() + ms;
    while (child.Output().find(text) == std::string::npos) {
        if (!child.Running() && child.Output().find(text) == std::string::npos) {
            throw std::runtime_error("the server ended before saying \"" + text + "\": " + child.Output());
        }
        if (NowMs() > end) throw std::runtime_error("the server never said \"" + text + "\": " + child.Output());
        Sleep(20);
    }
}

int Usage() {
    std::fprintf(stderr, "usage: ua_million_benchmark --floor-exe PATH [--devices N] [--port N] [--floor-port N]\n");
    return 2;
}

std::wstring theServeFile;
std::wstring theSelf;

bool ParseArguments(int argc, wchar_t** argv) {
    theSelf = argv[0];
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--floor-exe") {
            theOptions.floorExe = value;
        } else if (name == L"--serve") {
            theServeFile = value;
        } else if (name == L"--devices") {
            theOptions.devices = std::stoi(value);
        } else if (name == L"--port") {
            theOptions.port = std::stoi(value);
        } else if (name == L"--floor-port") {
            theOptions.floorPort = std::stoi(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && (!theOptions.floorExe.empty() || !theServeFile.empty()) && theOptions.devices >= 2 &&
           theOptions.devices <= 10;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // the driver reads the server's lines as written
    if (!ParseArguments(argc, argv)) return Usage();
    if (!theServeFile.empty()) return Serve(theServeFile);
    const long tags = static_cast<long>(theOptions.devices) * kGroups * kTagsPerGroup;
    try {
        Progress("shape changes at 10,000 tags");
        const ShapeFigures small = ShapesAtTenThousand();

        const std::wstring file = TempPath(L"ua-million.tvf");
        {
            Progress("writing the file of " + std::to_string(tags) + " tags");
            Configuration made;
            Fill(made, theOptions.devices);
            DeleteFileW(file.c_str());  // an earlier run's would be kept as a backup
            if (!made.Save(file).saved) throw std::runtime_error("the file could not be saved");
        }
        ServiceFigures ours, floor;
        ShapeFigures large;
        {
            Progress("ours: opening the file and serving it");
            Cue bigCue(L"big"), shapesCue(L"shapes");
            ChildProcess child;
            const std::wstring line = L"\"" + theSelf + L"\" --serve \"" + file + L"\" --devices " +
                                      std::to_wstring(theOptions.devices) + L" --port " +
                                      std::to_wstring(theOptions.port);
            if (!child.Start(line, true)) throw std::runtime_error("the server did not start");
            UaPair ua;
            ua.ConnectWhenReady(Url(theOptions.port), kTagsNamespaceUri, OurId(tags - 1), child.StartedAt() + 600000,
                                [&] { return child.Running(); });
            ours.readyMs = NowMs() - child.StartedAt();
            Sleep(2000);
            ours.rss = LinuxRssBytes(FindLinuxPid({"ua_million_benchmark.exe", "--serve"}, "--floor-exe"));
            bigCue.Give();
            AwaitOutput(child, "big\n", 300000);
            const std::string& said = child.Output();
            ours.commit = std::atof(said.c_str() + said.find("commit ") + 7);
            char* rest = nullptr;
            ours.loadMs = std::strtod(said.c_str() + said.find("loaded ") + 7, &rest);
            ours.loadedCommit = std::strtod(rest, nullptr);
            MeasureServices(ua, ours, OurId, "Plant" + std::to_string(theOptions.devices / 2) + ".Area50", "Plant0.Big",
                            nullptr);
            ua.Close();
            Progress("ours: shape changes at " + std::to_string(tags) + " tags");
            shapesCue.Give();
            AwaitOutput(child, "walks ", 600000);
            child.Wait(60000);
            for (size_t i = 0; i < std::size(kShapeRows); ++i) {
                const std::string key = "shape " + std::to_string(i) + " ";
                const size_t at = child.Output().find(key);
                if (at == std::string::npos) throw std::runtime_error("no shape figure " + std::to_string(i));
                char* rest = nullptr;
                Spread3& figure = large.*kShapeRows[i].second;
                figure.median = std::strtod(child.Output().c_str() + at + key.size(), &rest);
                figure.max = std::strtod(rest, nullptr);
            }
            large.wholeWalks = std::atoi(child.Output().c_str() + child.Output().find("walks ") + 6);
        }
        DeleteFileW(file.c_str());
        {
            Progress("floor: starting with " + std::to_string(tags) + " tags");
            ChildProcess process;
            const std::wstring line = L"\"" + theOptions.floorExe + L"\" --port " +
                                      std::to_wstring(theOptions.floorPort) + L" --tags " + std::to_wstring(tags) +
                                      L" --per-group " + std::to_wstring(kTagsPerGroup) + L" --big " +
                                      std::to_wstring(kBigFolder) + L" --heap-primer-mb 32";
            if (!process.Start(line, false)) throw std::runtime_error("the floor did not start");
            UaPair ua;
            ua.ConnectWhenReady(Url(theOptions.floorPort), kFloorNamespace, FloorId(tags - 1),
                                process.StartedAt() + 600000, [&] { return process.Running(); });
            floor.readyMs = NowMs() - process.StartedAt();
            Sleep(2000);
            floor.rss = LinuxRssBytes(
                FindLinuxPid({"ua_floor_server.exe", "--port " + std::to_string(theOptions.floorPort)}, "ua_million"));
            MeasureServices(ua, floor, FloorId, "Dev.G" + std::to_string(theOptions.devices * kGroups / 2), "Dev.Big",
                            nullptr);
            ua.Close();
            process.Terminate();
        }

        std::printf("OPC UA endpoint at %ld tags (%d devices x %d groups x %d mixed tags, a tenth simulated)\n", tags,
                    theOptions.devices, kGroups, kTagsPerGroup);
        std::printf(
            "ours: the endpoint on the opened file in a process of its own (this program with --serve); floor: the "
            "bare stack (%ld variables); each has a folder of %d more for the paging, ours made after its memory "
            "was read; the floor's heap primed with 32 MB\n\n",
            tags, kBigFolder);
        std::printf("%-64s %12s %12s %8s\n", "figure", "floor", "ours", "ratio");
        auto row = [](const char* name, double a, double b) {
            std::printf("%-64s %9.1f ms %9.1f ms %8.2f\n", name, a, b, b / a);
        };
        row("start until a Read of the last tag answers", floor.readyMs, ours.readyMs);
        std::printf("%-64s %12s %9.1f ms\n", "  ours: of which reading the file", "", ours.loadMs);
        row("Read of 10,000 values (median of 5)", floor.readMs, ours.readMs);
        row("Browse of a 1,000-tag group (median of 5)", floor.browseMs, ours.browseMs);
        row("pages of 1,000 of a 100,000-tag folder, all of them (median of 3)", floor.pagesMs, ours.pagesMs);
        row("100,000 monitored items: all created", floor.monitorCreatedMs, ours.monitorCreatedMs);
        row("100,000 monitored items: every first value arrived", floor.monitorFirstMs, ours.monitorFirstMs);
        std::printf("%-64s %9.0f MiB %9.0f MiB\n", "resident memory (Linux) when ready", floor.rss / 1048576,
                    ours.rss / 1048576);
        std::printf("%-64s %12s %9.0f MiB\n", "ours: commit charge when ready (the whole process)", "",
                    ours.commit / 1048576);
        std::printf("%-64s %12s %9.0f MiB\n", "  of which the file's tags, before the endpoint started", "",
                    ours.loadedCommit / 1048576);
        std::printf("%-64s %12s %9.0f B\n", "  the endpoint's share per tag", "",
                    (ours.commit - ours.loadedCommit) / static_cast<double>(tags));
        std::printf("\nGoals:\n");
        Goal("ours: memory per tag in all (commit charge / tags)", ours.commit / static_cast<double>(tags),
             kBytesPerTagGoal, "B");
        Goal("ours: memory per tag in all (resident / tags)", ours.rss / static_cast<double>(tags), kBytesPerTagGoal,
             "B");
        Goal("ours: opening the file until a Read of the last tag answers", ours.readyMs / 1000, kReadyGoalS, "s");
        Goal("Read of 10,000 values, ours / floor", ours.readMs / floor.readMs, kReadRatioGoal, "x");
        Goal("100,000 monitored items created, ours / floor", ours.monitorCreatedMs / floor.monitorCreatedMs,
             kMonitorRatioGoal, "x");
        Goal("100,000 monitored items' first values, ours / floor", ours.monitorFirstMs / floor.monitorFirstMs,
             kMonitorRatioGoal, "x");
        PrintShapes(small, large, tags);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ua-million: %s\n", error.what());
        return 2;
    }
    return g_met ? 0 : 1;
}
