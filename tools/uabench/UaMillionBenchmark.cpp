// The OPC UA endpoint at 1,000,000 tags (10 devices x 100 groups x 1,000
// mixed tags, a tenth simulated): the endpoint runs in this process on a
// Configuration as the program runs it, the floor (ua_floor_server.exe, the
// bare stack serving as many variables) in a process of its own, and one
// client here measures both in one run:
// - this process's memory with the file open and the endpoint on, per tag,
//   and the time from opening the file until a Read of the last tag answers;
// - a Read of 10,000 values, a Browse of a 1,000-tag group, the pages of a
//   100,000-tag folder, and 100,000 monitored items on one session created
//   and every first value delivered, each beside the floor's;
// - the endpoint's own work for one tag or group added, renamed or deleted
//   and for 100 tags imported, at 10,000 and at 1,000,000 tags.
// Prints each figure with its goal; exits 1 when a goal is missed, 2 when it
// could not measure. Never a test: scripts/ua-million-bench.sh runs it.
//
//   ua_million_benchmark.exe --floor-exe PATH [--devices 10] [--port 48465] [--floor-port 48466]
#include "UaHeaders.h"
#include "UaLibrary.h"

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

// The commit charge (what the process asked of the system) and, through
// Wine's Z: drive, what Linux keeps resident for it.
double CommitBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    // Wine leaves PrivateUsage at 0; the commit charge is the same figure on Windows.
    return static_cast<double>(counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage);
}

double OwnRssBytes() {
    std::vector<BYTE> bytes;
    DWORD error = 0;
    if (!ReadWholeFile(L"Z:\\proc\\self\\status", bytes, error)) return NAN;
    const std::string status(bytes.begin(), bytes.end());
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? NAN : std::atof(status.c_str() + at + 6) * 1024.0;
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
    f.renameGroup = meter.Runs(
        kShapeRuns, [&](int r) { Area(configuration, lastDevice, 10 + r)->Rename(L"Moved" + std::to_wstring(r)); });
    f.deleteGroup = meter.Runs(3, [&](int r) {
        // Refused while the device still holds its tags for the monitored items just deleted.
        OPCS_TagGroup* group = Area(configuration, lastDevice, 30 + r);
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

ShapeFigures ShapesAtTenThousand() {
    Configuration configuration;
    BenchTree tree;
    tree.AddDevice(L"Plant0", 10, kTagsPerGroup,
                   [](ToviTag& tag, int g, int t) { ShapeMixedTag(tag, g * kTagsPerGroup + t); });
    tree.AddDevice(L"Plant1", 0, 0, [](ToviTag&, int, int) {});
    for (OPCS_Device* device : tree.devices) configuration.AddDevice(device);
    tree.devices.Clear();
    // Groups for the renames and deletions beside the first ten: 10,000 tags in all.
    OPCS_Device* plant1 = configuration.FindDevice(L"Plant1");
    for (int g = 0; g < 40; ++g) {
        auto* group = new ToviTagGroup;
        group->Rename(L"Area" + std::to_wstring(g));
        configuration.AddGroupTo(plant1, group);
    }
    UaEndpoint endpoint(configuration);
    if (!endpoint.Start(EndpointOptions())) throw std::runtime_error("the endpoint did not start at 10,000 tags");
    UaPair ua;
    ua.ConnectWhenReady(Url(theOptions.port), kTagsNamespaceUri, "Plant0.Area9.Tag999", NowMs() + 120000,
                        [] { return true; });
    const int devices = theOptions.devices;
    theOptions.devices = 2;
    ShapeFigures f = MeasureShapes(configuration, endpoint.AddressSpace(), ua);
    theOptions.devices = devices;
    ua.Close();
    endpoint.Stop(L"", 0);
    return f;
}

void PrintShapes(const ShapeFigures& small, const ShapeFigures& large) {
    std::printf(
        "\nShape changes: the endpoint's own work (its pump, model change event included), median / max "
        "of 11 runs (3 group deletions, 5 imports):\n");
    std::printf("%-24s %22s %22s\n", "", "10,000 tags", "1,000,000 tags");
    const std::pair<const char*, Spread3 ShapeFigures::*> rows[] = {
        {"add a tag", &ShapeFigures::addTag},
        {"rename a tag", &ShapeFigures::renameTag},
        {"delete a tag", &ShapeFigures::deleteTag},
        {"add a group", &ShapeFigures::addGroup},
        {"rename a group (1,000)", &ShapeFigures::renameGroup},
        {"delete a group (1,000)", &ShapeFigures::deleteGroup},
        {"import 100 tags", &ShapeFigures::import}};
    for (const auto& [name, member] : rows) {
        const Spread3& a = small.*member;
        const Spread3& b = large.*member;
        std::printf("%-24s %10.3f / %7.3f ms %10.3f / %7.3f ms\n", name, a.median, a.max, b.median, b.max);
    }
    std::printf("walks of the whole configuration among them: %d at 10,000, %d at 1,000,000\n", small.wholeWalks,
                large.wholeWalks);
    for (const auto& [name, member] : rows) {
        Goal(std::string(name) + " at 1,000,000 (median)", (large.*member).median, kShapeGoalMs, "ms");
    }
}

int Usage() {
    std::fprintf(stderr, "usage: ua_million_benchmark --floor-exe PATH [--devices N] [--port N] [--floor-port N]\n");
    return 2;
}

bool ParseArguments(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--floor-exe") {
            theOptions.floorExe = value;
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
    return argc % 2 == 1 && !theOptions.floorExe.empty() && theOptions.devices >= 2 && theOptions.devices <= 10;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!ParseArguments(argc, argv)) return Usage();
    const long tags = static_cast<long>(theOptions.devices) * kGroups * kTagsPerGroup;
    try {
        Progress("shape changes at 10,000 tags");
        const ShapeFigures small = ShapesAtTenThousand();

        const std::wstring file = TempPath(L"ua-million.tvf");
        {
            Progress("writing the file of " + std::to_string(tags) + " tags");
            Configuration made;
            Fill(made, theOptions.devices);
            if (!made.Save(file).saved) throw std::runtime_error("the file could not be saved");
        }
        ServiceFigures ours, floor;
        ShapeFigures large;
        {
            Progress("ours: opening the file and serving it");
            const double commitBefore = CommitBytes();
            const double start = NowMs();
            Configuration configuration;
            if (!configuration.Load(file, nullptr).loaded) throw std::runtime_error("the file did not load");
            UaEndpoint endpoint(configuration);
            if (!endpoint.Start(EndpointOptions())) throw std::runtime_error("the endpoint did not start");
            UaPair ua;
            ua.ConnectWhenReady(Url(theOptions.port), kTagsNamespaceUri, OurId(tags - 1), start + 600000,
                                [] { return true; });
            ours.readyMs = NowMs() - start;
            Sleep(2000);
            ours.commit = CommitBytes();
            ours.rss = OwnRssBytes();
            Progress("ours: " + std::to_string(ours.readyMs) + " ms to ready; commit " +
                     std::to_string((ours.commit - commitBefore) / 1048576) + " MiB more than before the file");
            MeasureServices(
                ua, ours, OurId, "Plant" + std::to_string(theOptions.devices / 2) + ".Area50", "Plant0.Big", [&] {
                    Progress("ours: a folder of 100,000 tags");
                    auto* big = new ToviTagGroup;
                    big->Rename(L"Big");
                    for (int t = 0; t < kBigFolder; ++t) {
                        auto* tag = new ToviTag;
                        tag->Rename(L"B" + std::to_wstring(t));
                        ShapeMixedTag(*tag, t);
                        big->AddTag(tag);
                    }
                    configuration.AddGroupTo(configuration.FindDevice(L"Plant0"), big);
                    const std::string last = "Plant0.Big.B" + std::to_string(kBigFolder - 1);
                    const double end = NowMs() + 120000;
                    for (;;) {
                        UA_Variant value;
                        UA_Variant_init(&value);
                        const UA_StatusCode status = UA_Client_readValueAttribute(ua.Reader(), ua.Id(last), &value);
                        UA_Variant_clear(&value);
                        if (status == UA_STATUSCODE_GOOD) break;
                        if (NowMs() > end) throw std::runtime_error("the big folder never appeared");
                        Sleep(20);
                    }
                });
            Progress("ours: shape changes at " + std::to_string(tags) + " tags");
            large = MeasureShapes(configuration, endpoint.AddressSpace(), ua);
            ua.Close();
            endpoint.Stop(L"", 0);
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
            "ours: the endpoint in this process on the opened file; floor: the bare stack in its own process "
            "(%ld variables and a folder of %d more, heap primed with 32 MB)\n\n",
            tags, kBigFolder);
        std::printf("%-64s %12s %12s %8s\n", "figure", "floor", "ours", "ratio");
        auto row = [](const char* name, double a, double b) {
            std::printf("%-64s %9.1f ms %9.1f ms %8.2f\n", name, a, b, b / a);
        };
        row("start until a Read of the last tag answers", floor.readyMs, ours.readyMs);
        row("Read of 10,000 values (median of 5)", floor.readMs, ours.readMs);
        row("Browse of a 1,000-tag group (median of 5)", floor.browseMs, ours.browseMs);
        row("pages of 1,000 of a 100,000-tag folder, all of them (median of 3)", floor.pagesMs, ours.pagesMs);
        row("100,000 monitored items: all created", floor.monitorCreatedMs, ours.monitorCreatedMs);
        row("100,000 monitored items: every first value arrived", floor.monitorFirstMs, ours.monitorFirstMs);
        std::printf("%-64s %9.0f MiB %9.0f MiB\n", "resident memory (Linux) when ready", floor.rss / 1048576,
                    ours.rss / 1048576);
        std::printf("%-64s %12s %9.0f MiB\n", "ours: commit charge when ready (the whole process)", "",
                    ours.commit / 1048576);
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
        PrintShapes(small, large);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ua-million: %s\n", error.what());
        return 2;
    }
    return g_met ? 0 : 1;
}
