// Exports 100,000 tags to a CSV file and imports them back: into an empty
// configuration (every tag added, every group made) and over the same tags
// (every tag updated), once in 1,000 groups of 100 and once in a single
// group. Goals: an import under 3 s and an export under 2 s.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "BenchTree.h"
#include "TagCsv.h"
#include "WholeFile.h"

namespace {

constexpr double kImportGoalSeconds = 3.0;
constexpr double kExportGoalSeconds = 2.0;

struct Figures {
    double exportSeconds = 0, addSeconds = 0, updateSeconds = 0;
    size_t bytes = 0, added = 0, updated = 0;
    bool ok = true;
};

// Export (text and file), then both imports from the file's bytes.
Figures Run(int groups, int tagsPerGroup, const std::wstring& path) {
    Figures f;
    const BenchTree source(groups, tagsPerGroup);
    auto start = BenchClock::now();
    const std::string csv = ExportTagsCsv(source.devices);
    DWORD error = 0;
    f.ok = WriteFileReplacing(path, std::vector<BYTE>(csv.begin(), csv.end()), error);
    f.exportSeconds = SecondsSince(start);
    f.bytes = csv.size();

    BenchTree target;
    start = BenchClock::now();
    std::vector<BYTE> bytes;
    f.ok = f.ok && ReadWholeFile(path, bytes, error);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    TagImportResult added = ImportTagsCsv(text, target.devices);
    f.addSeconds = SecondsSince(start);
    start = BenchClock::now();
    TagImportResult updated = ImportTagsCsv(text, target.devices);
    f.updateSeconds = SecondsSince(start);
    f.added = added.added;
    f.updated = updated.updated;
    f.ok = f.ok && added.Succeeded() && updated.Succeeded();
    DeleteFileW(path.c_str());
    return f;
}

Figures Median(int groups, int tagsPerGroup, const std::wstring& path) {
    return MedianOfThree([&] { return Run(groups, tagsPerGroup, path); },
                         [](const Figures& f) { return f.addSeconds; });
}

void Print(const char* label, const Figures& f) {
    std::printf("%-22s %10zu %9.3f %9.3f %9.3f %8zu %8zu\n", label, f.bytes, f.exportSeconds, f.addSeconds,
                f.updateSeconds, f.added, f.updated);
}
}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    const std::wstring path = std::wstring(folder, n) + L"tovi-tagcsv-benchmark.csv";

    Run(10, 100, path);  // warm-up
    const Figures spread = Median(1000, 100, path);
    const Figures single = Median(1, 100000, path);
    std::printf("Tag CSV, 100,000 tags (median of 3 runs)\n");
    std::printf("%-22s %10s %9s %9s %9s %8s %8s\n", "layout", "bytes", "export s", "add s", "update s", "added",
                "updated");
    Print("1,000 groups of 100", spread);
    Print("one group of 100,000", single);

    bool met = true;
    auto goal = [&met](const char* what, bool ok) {
        std::printf("goal %-50s %s\n", what, ok ? "met" : "MISSED");
        met = met && ok;
    };
    for (const Figures* f : {&spread, &single}) {
        if (!f->ok || f->added != 100000 || f->updated != 100000) {
            std::printf("the round trip lost tags or failed\n");
            return 2;
        }
    }
    goal("export of 100,000 tags under 2 s", std::max(spread.exportSeconds, single.exportSeconds) < kExportGoalSeconds);
    goal("import of 100,000 tags under 3 s", std::max({spread.addSeconds, spread.updateSeconds, single.addSeconds,
                                                       single.updateSeconds}) < kImportGoalSeconds);
    return met ? 0 : 1;
}
