// The tag database at a million tags (10 devices x 100 groups x 1,000 mixed
// tags, a tenth simulated), through the calls the editor and the file
// commands make on a Configuration, with the event log closed (the program's
// default) and then open:
// - the .tvf file saved and loaded, the tags exported to CSV and imported into
//   an empty configuration, and the process's private bytes per tag;
// - one tag or group added, renamed or deleted, and 100 tags imported, at
//   10,000 and at 1,000,000 tags (groups of 1,000 in both): what changed
//   decides the time, not the configuration's size;
// - N threads changing disjoint tags, inside a configuration (whose shared
//   counters every change touches) and outside one.
// Prints each figure with its goal; exits 1 when a goal is missed, 2 when
// it could not measure.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchTiming.h"
#include "BenchTree.h"
#include "Configuration.h"
#include "EventLog.h"
#include "WholeFile.h"

namespace {

constexpr int kDevices = 10;
constexpr int kTagsPerGroup = 1000;
constexpr double kSaveGoal = 3.0, kLoadGoal = 5.0, kExportGoal = 5.0, kImportGoal = 15.0;
constexpr double kShapeGoalMs = 10.0;

bool g_met = true;
bool g_measured = true;

void Goal(const char* what, double value, double limit, const char* unit) {
    const bool ok = value <= limit;
    std::printf("%-52s %10.3f %-3s (goal <= %g) %s\n", what, value, unit, limit, ok ? "met" : "MISSED");
    g_met = g_met && ok;
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::printf("could not measure: %s\n", what);
    g_measured = false;
}

double PrivateMiB() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    // Wine leaves PrivateUsage at 0; the commit charge is the same figure on Windows.
    const SIZE_T bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

std::wstring TempFolder() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, n);
}

// As the UA endpoint with no monitored item: a tag change costs a load, a
// change of shape is counted.
class ShapeCounter : public TagChangeObserver {
public:
    void TagChanged(OPCS_Tag*) noexcept override {
        if (m_monitoring.load(std::memory_order_relaxed)) m_tags.fetch_add(1, std::memory_order_relaxed);
    }
    void ShapeChanged() noexcept override { m_shapes.fetch_add(1); }
    long Shapes() const noexcept { return m_shapes.load(); }

private:
    std::atomic<bool> m_monitoring{false};
    std::atomic<long> m_tags{0};
    std::atomic<long> m_shapes{0};
};

// devices x groups x tagsPerGroup mixed tags, built as free trees and then
// handed to the configuration.
void Fill(Configuration& configuration, int devices, int groups, int tagsPerGroup) {
    BenchTree tree;
    for (int d = 0; d < devices; ++d) {
        tree.AddDevice(L"Plant" + std::to_wstring(d), groups, tagsPerGroup,
                       [&](ToviTag& tag, int g, int t) { ShapeMixedTag(tag, (d * groups + g) * tagsPerGroup + t); });
    }
    for (OPCS_Device* device : tree.devices) configuration.AddDevice(device);
    tree.devices.Clear();
}

long long CountTags(OPCS_TagGroup* group) {
    long long n = group->TagCount();
    for (OPCS_TagGroup* sub : group->SnapshotGroups()) n += CountTags(sub);
    return n;
}

long long CountTags(Configuration& configuration) {
    Dll<OPCS_Device*> devices;
    configuration.CopyDeviceList(devices);
    long long n = 0;
    for (OPCS_Device* device : devices) n += CountTags(device);
    return n;
}

OPCS_TagGroup* Group(Configuration& configuration, int device, int group) {
    OPCS_Device* d = configuration.FindDevice(L"Plant" + std::to_wstring(device));
    if (d == nullptr) return nullptr;
    for (OPCS_TagGroup* g : d->SnapshotGroups()) {
        if (g->GetName() == L"Area" + std::to_wstring(group)) return g;
    }
    return nullptr;
}

struct Spread {
    double medianMs = 0, maxMs = 0;
};

// Runs `op(rep)` `reps` times, each timed alone; each must move the shape
// count (the observers heard of it).
Spread Time(int reps, ShapeCounter& counter, const std::function<bool(int)>& op, const char* what) {
    std::vector<double> ms;
    for (int r = 0; r < reps; ++r) {
        const long shapes = counter.Shapes();
        const auto start = BenchClock::now();
        const bool done = op(r);
        ms.push_back(SecondsSince(start) * 1000.0);
        Check(done, what);
        Check(counter.Shapes() != shapes, "a shape change the observer did not hear of");
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

struct ShapeFigures {
    Spread addTag, renameTag, deleteTag, addGroup, renameGroup, deleteGroup, import100, deleteFullGroup;
};

// The editor's and the tag import's shape changes on a configuration whose
// groups hold kTagsPerGroup tags.
ShapeFigures MeasureShapes(Configuration& configuration, int groupsPerDevice) {
    constexpr int kReps = 21;
    ShapeCounter counter;
    configuration.SetTagChangeObserver(&counter);
    ShapeFigures f;
    OPCS_TagGroup* area = Group(configuration, 0, 0);
    OPCS_Device* plant = configuration.FindDevice(L"Plant0");
    Check(area != nullptr && plant != nullptr, "the tree is not as built");
    if (area == nullptr || plant == nullptr) return f;

    std::vector<OPCS_Tag*> tags;
    // As the editor's Add Tag: a proposed name, then the configuration adopts it.
    f.addTag = Time(
        kReps, counter,
        [&](int) {
            auto* tag = new ToviTag;
            tag->Rename(area->MakeUniqueTagName(L"Tag"));
            if (!configuration.AddTagTo(area, tag)) {
                delete tag;
                return false;
            }
            tags.push_back(tag);
            return true;
        },
        "add a tag");
    f.renameTag = Time(
        kReps, counter,
        [&](int r) {
            const std::wstring name = L"Renamed" + std::to_wstring(r);
            tags[static_cast<size_t>(r)]->Rename(name);
            return tags[static_cast<size_t>(r)]->GetName() == name;
        },
        "rename a tag");
    // As the tag list's Delete (the one road that deletes a tag): under the
    // configuration lock, taken out of its group, then freed.
    f.deleteTag = Time(
        kReps, counter,
        [&](int r) {
            ScopedLock guard(configuration.Lock());
            OPCS_Tag* tag = tags[static_cast<size_t>(r)];
            OPCS_TagGroup* owner = tag->GetOwner();
            if (!OPCS_TagGroup::IsValidGroup(owner) || !owner->RemoveTag(tag)) return false;
            delete tag;
            return true;
        },
        "delete a tag");

    std::vector<OPCS_TagGroup*> groups;
    f.addGroup = Time(
        kReps, counter,
        [&](int) {
            auto* group = new ToviTagGroup;
            group->Rename(plant->MakeUniqueGroupName(L"Group"));
            if (!configuration.AddGroupTo(plant, group)) {
                delete group;
                return false;
            }
            groups.push_back(group);
            return true;
        },
        "add a group");
    f.renameGroup = Time(
        kReps, counter,
        [&](int r) {
            const std::wstring name = L"RenamedGroup" + std::to_wstring(r);
            groups[static_cast<size_t>(r)]->Rename(name);
            return groups[static_cast<size_t>(r)]->GetName() == name;
        },
        "rename a group");
    f.deleteGroup = Time(
        kReps, counter,
        [&](int r) {
            return configuration.DeleteItem(groups[static_cast<size_t>(r)]) == Configuration::DeleteResult::Deleted;
        },
        "delete a group");

    // 100 new tags into one existing group, through the file as the menu's import.
    constexpr int kImports = 5;
    std::vector<std::wstring> csvPaths;
    for (int r = 0; r < kImports; ++r) {
        csvPaths.push_back(TempFolder() + L"tovi-million-import" + std::to_wstring(r) + L".csv");
        std::string csv = "ItemID,Type,Value,Description\r\n";
        for (int t = 0; t < 100; ++t) {
            csv += "Plant1.Area0.Import" + std::to_string(r) + "_" + std::to_string(t) + ",Double," +
                   std::to_string(t) + ",imported\r\n";
        }
        DWORD error = 0;
        Check(WriteFileReplacing(csvPaths.back(), std::vector<BYTE>(csv.begin(), csv.end()), error),
              "the import file could not be written");
    }
    f.import100 = Time(
        kImports, counter,
        [&](int r) {
            const TagImportResult result = configuration.ImportTags(csvPaths[static_cast<size_t>(r)]);
            return result.Succeeded() && result.added == 100;
        },
        "import 100 tags");
    for (const std::wstring& path : csvPaths) DeleteFileW(path.c_str());

    // Informative: a whole group of 1,000 tags, from each of the last devices.
    f.deleteFullGroup = Time(
        3, counter,
        [&](int r) {
            OPCS_TagGroup* full = Group(configuration, kDevices - 1 - r, groupsPerDevice - 1);
            return full != nullptr && configuration.DeleteItem(full) == Configuration::DeleteResult::Deleted;
        },
        "delete a group of 1,000 tags");
    configuration.SetTagChangeObserver(nullptr);
    return f;
}

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Nanoseconds of processor time a change costs while `threads` threads each
// write their own slice of `tags` for about a second. Processor time, not
// the wall clock: other work on the machine then does not count, while
// cache lines moving between the threads' cores do.
double CpuNanosecondsPerChange(const std::vector<OPCS_Tag*>& tags, int threads) {
    std::atomic<bool> stop{false};
    std::atomic<long long> total{0};
    std::atomic<double> cpu{0};
    std::vector<std::thread> workers;
    const size_t slice = tags.size() / static_cast<size_t>(threads);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            long long n = 0;
            const size_t from = slice * static_cast<size_t>(t);
            const double cpuStart = ThreadCpuSeconds();
            for (double x = 0; !stop.load(std::memory_order_relaxed); x += 1) {
                for (size_t i = from; i < from + slice; ++i) tags[i]->SetValueNow(Variant::FromDouble(x));
                n += static_cast<long long>(slice);
            }
            const double used = ThreadCpuSeconds() - cpuStart;
            for (double seen = cpu.load(); !cpu.compare_exchange_weak(seen, seen + used);) {}
            total.fetch_add(n);
        });
    }
    Sleep(1500);
    stop.store(true);
    for (std::thread& w : workers) w.join();
    return cpu.load() * 1e9 / static_cast<double>(total.load());
}

struct Contention {
    double one = 0, two = 0;
};

// Disjoint non-volatile Double tags, 2 devices x 1 group x 2,000, so that
// each thread writes its own device's.
Contention MeasureContention(bool inConfiguration) {
    auto shape = [](ToviTag& tag, int, int) {
        tag.SetVolatile(false);
        tag.SetValueNow(Variant::FromDouble(1));
    };
    BenchTree tree;
    tree.AddDevice(L"Left", 1, 2000, shape);
    tree.AddDevice(L"Right", 1, 2000, shape);
    std::vector<OPCS_Tag*> tags;
    for (OPCS_Device* device : tree.devices) {
        for (OPCS_TagGroup* group : device->SnapshotGroups()) {
            for (OPCS_Tag* tag : group->SnapshotTags()) tags.push_back(tag);
        }
    }
    Configuration configuration;
    ShapeCounter observer;
    if (inConfiguration) {
        for (OPCS_Device* device : tree.devices) configuration.AddDevice(device);
        tree.devices.Clear();
        configuration.SetTagChangeObserver(&observer);
    }
    Contention c;
    c.one = CpuNanosecondsPerChange(tags, 1);
    c.two = CpuNanosecondsPerChange(tags, 2);
    configuration.SetTagChangeObserver(nullptr);
    return c;
}

void PrintShapes(const char* label, const ShapeFigures& f) {
    auto row = [label](const char* what, const Spread& s) {
        std::printf("  %-9s %-28s median %8.3f ms  max %8.3f ms\n", label, what, s.medianMs, s.maxMs);
    };
    row("add a tag", f.addTag);
    row("rename a tag", f.renameTag);
    row("delete a tag", f.deleteTag);
    row("add a group", f.addGroup);
    row("rename a group", f.renameGroup);
    row("delete a group", f.deleteGroup);
    row("import 100 tags", f.import100);
    row("delete a group of 1,000 tags", f.deleteFullGroup);
}
}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::wstring folder = TempFolder();
    const std::wstring tvfPath = folder + L"tovi-million.tvf";
    const std::wstring csvPath = folder + L"tovi-million.csv";
    const std::wstring logPath = folder + L"tovi-million.log";
    DeleteFileW(tvfPath.c_str());
    constexpr long long kMillion = 1000000;
    std::printf("Tag database at 1,000,000 tags (10 devices x 100 groups x 1,000 mixed tags), event log closed\n");

    const double base = PrivateMiB();
    auto built = std::make_unique<Configuration>();
    auto start = BenchClock::now();
    Fill(*built, kDevices, 100, kTagsPerGroup);
    const double buildSeconds = SecondsSince(start);
    const double afterBuild = PrivateMiB();
    Check(CountTags(*built) == kMillion, "the built configuration does not hold 1,000,000 tags");
    std::printf("%-52s %10.3f s\n", "build (informative)", buildSeconds);

    start = BenchClock::now();
    const Configuration::SaveOutcome saved = built->Save(tvfPath);
    const double saveSeconds = SecondsSince(start);
    Check(saved.saved, "the save failed");
    start = BenchClock::now();
    built.reset();
    const double clearSeconds = SecondsSince(start);
    const double afterClear = PrivateMiB();

    Configuration loaded;
    start = BenchClock::now();
    const Configuration::LoadOutcome outcome = loaded.Load(tvfPath, nullptr);
    const double loadSeconds = SecondsSince(start);
    const double afterLoad = PrivateMiB();
    Check(outcome.loaded && !outcome.truncated && CountTags(loaded) == kMillion, "the load lost tags");

    std::wstring error;
    start = BenchClock::now();
    Check(loaded.ExportTags(csvPath, error), "the export failed");
    const double exportSeconds = SecondsSince(start);

    double importSeconds = 0;
    {
        Configuration imported;
        start = BenchClock::now();
        const TagImportResult result = imported.ImportTags(csvPath);
        importSeconds = SecondsSince(start);
        Check(result.Succeeded() && result.added == static_cast<size_t>(kMillion), "the import lost tags");
    }

    // Save and load log every record while the log is open.
    theEventLog.Open(logPath);
    start = BenchClock::now();
    Check(loaded.Save(tvfPath).saved, "the save with the event log open failed");
    const double loggedSaveSeconds = SecondsSince(start);
    double loggedLoadSeconds = 0;
    {
        Configuration again;
        start = BenchClock::now();
        const Configuration::LoadOutcome reloaded = again.Load(tvfPath, nullptr);
        loggedLoadSeconds = SecondsSince(start);
        Check(reloaded.loaded && CountTags(again) == kMillion, "the load with the event log open lost tags");
    }
    theEventLog.Close();

    std::printf("%-52s %10.3f s   (1,000,000 tags)\n", "delete the configuration (informative)", clearSeconds);
    Goal("save .tvf", saveSeconds, kSaveGoal, "s");
    Goal("load .tvf", loadSeconds, kLoadGoal, "s");
    Goal("export CSV", exportSeconds, kExportGoal, "s");
    Goal("import CSV into an empty configuration", importSeconds, kImportGoal, "s");
    std::printf("%-52s %10.3f s\n", "save .tvf, event log open (informative)", loggedSaveSeconds);
    std::printf("%-52s %10.3f s\n", "load .tvf, event log open (informative)", loggedLoadSeconds);
    std::printf("private MiB: start %.0f, built %.0f, deleted %.0f, loaded %.0f\n", base, afterBuild, afterClear,
                afterLoad);
    std::printf("private bytes per tag: built %.0f, loaded %.0f\n", (afterBuild - base) * 1048576.0 / kMillion,
                (afterLoad - afterClear) * 1048576.0 / kMillion);
    DeleteFileW(csvPath.c_str());
    DeleteFileW(tvfPath.c_str());

    std::printf("Shape changes (21 runs each, 5 imports, 3 group deletions), groups of 1,000 tags:\n");
    ShapeFigures small;
    {
        Configuration ten;
        Fill(ten, kDevices, 1, kTagsPerGroup);
        Check(CountTags(ten) == 10000, "the small configuration does not hold 10,000 tags");
        small = MeasureShapes(ten, 1);
    }
    const ShapeFigures large = MeasureShapes(loaded, 100);
    PrintShapes("10,000", small);
    PrintShapes("1,000,000", large);
    Goal("add a tag at 1,000,000 (median)", large.addTag.medianMs, kShapeGoalMs, "ms");
    Goal("rename a tag at 1,000,000 (median)", large.renameTag.medianMs, kShapeGoalMs, "ms");
    Goal("delete a tag at 1,000,000 (median)", large.deleteTag.medianMs, kShapeGoalMs, "ms");
    Goal("add a group at 1,000,000 (median)", large.addGroup.medianMs, kShapeGoalMs, "ms");
    Goal("rename a group at 1,000,000 (median)", large.renameGroup.medianMs, kShapeGoalMs, "ms");
    Goal("delete a group at 1,000,000 (median)", large.deleteGroup.medianMs, kShapeGoalMs, "ms");
    Goal("import 100 tags at 1,000,000 (median)", large.import100.medianMs, kShapeGoalMs, "ms");

    std::printf("Processor ns a change of disjoint tags costs, machine shared with other work (2 cores):\n");
    const Contention free = MeasureContention(false);
    const Contention held = MeasureContention(true);
    std::printf("  outside a configuration: 1 thread %7.1f, 2 threads %7.1f (x%.2f)\n", free.one, free.two,
                free.two / free.one);
    std::printf("  inside a configuration:  1 thread %7.1f, 2 threads %7.1f (x%.2f)\n", held.one, held.two,
                held.two / held.one);

    DeleteFileW(logPath.c_str());
    CoUninitialize();
    if (!g_measured) return 2;
    return g_met ? 0 : 1;
}
