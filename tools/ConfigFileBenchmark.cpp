// Saves and loads a configuration of 100,000 tags, once in 1,000 groups of
// 100 and once in a single group, in memory and through a file; prints the
// times and the bytes per second. Adoption must not walk the siblings: the
// single-group load may be at most twice as slow as the 1,000-group load.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Archive.h"
#include "BenchTiming.h"
#include "BenchTree.h"
#include "ConfigurationFile.h"
#include "EventLog.h"

namespace {

struct Figures {
    double store = 0, load = 0, fileSave = 0, fileLoad = 0;
    size_t bytes = 0;
    int tagsLoaded = 0;
};

int CountTags(OPCS_TagGroup* group) {
    int n = group->TagCount();
    for (OPCS_TagGroup* sub : group->SnapshotGroups()) n += CountTags(sub);
    return n;
}

Figures Run(int groups, int tagsPerGroup, const std::wstring& path) {
    Figures f;
    const BenchTree source(groups, tagsPerGroup);

    auto start = BenchClock::now();
    Archive out;
    StoreConfiguration(out, source.devices);
    f.store = SecondsSince(start);
    f.bytes = out.Bytes().size();

    {
        BenchTree loaded;
        start = BenchClock::now();
        Archive in(out.Bytes().data(), out.Bytes().size());
        LoadConfiguration(in, loaded.devices);
        f.load = SecondsSince(start);
        for (OPCS_Device* d : loaded.devices) f.tagsLoaded += CountTags(d);
    }

    start = BenchClock::now();
    SaveConfigurationFile(path, source.devices);
    f.fileSave = SecondsSince(start);
    {
        BenchTree loaded;
        start = BenchClock::now();
        LoadConfigurationFile(path, loaded.devices);
        f.fileLoad = SecondsSince(start);
    }
    DeleteFileW(path.c_str());
    return f;
}

Figures Median(int groups, int tagsPerGroup, const std::wstring& path) {
    return MedianOfThree([&] { return Run(groups, tagsPerGroup, path); }, [](const Figures& f) { return f.load; });
}

void Print(const char* label, const Figures& f) {
    const double mb = static_cast<double>(f.bytes) / 1e6;
    std::printf("%-24s %9zu %8.3f %8.1f %8.3f %8.1f %9.3f %9.3f %7d\n", label, f.bytes, f.store, mb / f.store, f.load,
                mb / f.load, f.fileSave, f.fileLoad, f.tagsLoaded);
}
}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    const std::wstring base(folder, n);
    const std::wstring path = base + L"tovi-config-benchmark.tvf";

    Run(10, 100, path);  // warm-up
    const Figures spread = Median(1000, 100, path);
    const Figures single = Median(1, 100000, path);
    std::printf("%-24s %9s %8s %8s %8s %8s %9s %9s %7s\n", "configuration", "bytes", "store(s)", "MB/s", "load(s)",
                "MB/s", "fsave(s)", "fload(s)", "tags");
    Print("1000 groups x 100 tags", spread);
    Print("1 group x 100000 tags", single);

    // The same with the event log open, as a running program has it.
    const std::wstring logPath = base + L"tovi-config-benchmark.log";
    theEventLog.Open(logPath);
    const Figures logged = Run(1000, 100, path);
    theEventLog.Close();
    DeleteFileW(logPath.c_str());
    Print("1000x100, event log on", logged);

    const double ratio = single.load / spread.load;
    std::printf("load ratio single/1000 groups: %.2f (limit 2.00)\n", ratio);
    const bool complete = spread.tagsLoaded == 100000 && single.tagsLoaded == 100000;
    CoUninitialize();
    return complete && ratio <= 2.0 ? 0 : 1;
}
