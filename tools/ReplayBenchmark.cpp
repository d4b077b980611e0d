// Value replay's cost. (a) 10,000 Double tags changing every 100 ms, played
// for 10 s at the recorded pace: the replay thread's CPU time as a share of
// one core. (b) 10 million rows played as fast as they come: the process's
// private bytes at the start, the middle and the end (a replay streams its
// file, so the memory stays flat). Prints the figures; sets no goal.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "BenchTiming.h"
#include "Configuration.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "ValueReplay.h"

namespace {
constexpr int kGroups = 100;
constexpr int kTagsPerGroup = 100;

// Plant.AreaG.TagT for every G and T, Double.
void Populate(Configuration& configuration) {
    auto* device = new ToviDevice;
    device->Rename(L"Plant");
    configuration.AddDevice(device);
    for (int g = 0; g < kGroups; ++g) {
        auto* group = new ToviTagGroup;
        group->Rename(L"Area" + std::to_wstring(g));
        device->AddGroup(group);
        for (int t = 0; t < kTagsPerGroup; ++t) {
            auto* tag = new ToviTag;
            tag->Rename(L"Tag" + std::to_wstring(t));
            group->AddTag(tag);
        }
    }
}

// `steps` rounds of every tag, `stepMs` apart; false when the file cannot be written.
bool WriteRecording(const std::wstring& path, long long steps, int stepMs, int tags) {
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) return false;
    std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
    std::fputs("Timestamp,ItemID,Value,Quality\r\n", out);
    for (long long s = 0; s < steps; ++s) {
        const long long ms = s * stepMs;
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-07T%02lld:%02lld:%02lld.%03lld0000Z", 10 + ms / 3600000,
                      ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
        for (int i = 0; i < tags; ++i) {
            std::fprintf(out, "%s,Plant.Area%d.Tag%d,%lld.5,192\r\n", stamp, i / kTagsPerGroup, i % kTagsPerGroup,
                         s + i);
        }
    }
    return std::fclose(out) == 0;
}

double Seconds(const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}

double PrivateMiB() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    // Wine leaves PrivateUsage at 0; the commit charge is the same figure on Windows.
    const SIZE_T bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

struct Ending {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<double> threadCpuSeconds{0};
    ~Ending() { CloseHandle(done); }
    // Runs on the replay's thread as it ends: its own CPU time so far.
    ValueReplay::EndHandler Handler() {
        return [this](ReplayEnd) {
            FILETIME created, exited, kernel, user;
            GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
            threadCpuSeconds.store(Seconds(kernel) + Seconds(user));
            SetEvent(done);
        };
    }
};
}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    wchar_t folder[MAX_PATH + 1];
    const std::wstring temp(folder, GetTempPathW(MAX_PATH + 1, folder));
    Configuration configuration;
    Populate(configuration);
    ValueReplay& replay = configuration.Replay();

    // (a) the recorded pace
    const std::wstring paced = temp + L"tovi-replay-paced.csv";
    if (!WriteRecording(paced, 100, 100, kGroups * kTagsPerGroup)) return 2;
    auto start = BenchClock::now();
    const ReplayCheck pacedCheck = replay.Check(paced);
    const double checkSeconds = SecondsSince(start);
    Ending pacedEnd;
    start = BenchClock::now();
    if (!replay.Start(paced, ReplayOptions{}, pacedEnd.Handler()).Passed()) return 2;
    WaitForSingleObject(pacedEnd.done, INFINITE);
    const double playSeconds = SecondsSince(start);
    const double cpu = pacedEnd.threadCpuSeconds.load();
    std::printf("(a) 10,000 items every 100 ms, %llu rows over %.2f s (check alone: %.2f s)\n",
                static_cast<unsigned long long>(pacedCheck.rows), playSeconds, checkSeconds);
    std::printf("    replay thread CPU %.3f s = %.1f%% of one core\n", cpu, 100.0 * cpu / playSeconds);
    DeleteFileW(paced.c_str());

    // (b) 10 million rows, a day's recording played a million times as fast
    const std::wstring large = temp + L"tovi-replay-large.csv";
    if (!WriteRecording(large, 1000, 100, kGroups * kTagsPerGroup)) return 2;
    const double atStart = PrivateMiB();
    Ending largeEnd;
    start = BenchClock::now();
    if (!replay.Start(large, ReplayOptions{1e6, false}, largeEnd.Handler()).Passed()) return 2;
    const double checked = SecondsSince(start);
    const double afterCheck = PrivateMiB();
    const std::uint64_t rows = replay.Progress().rowsInFile;
    while (replay.IsPlaying() && replay.Progress().rowsPlayed < rows / 2) Sleep(10);
    const double atMiddle = PrivateMiB();
    WaitForSingleObject(largeEnd.done, INFINITE);
    const double played = SecondsSince(start) - checked;
    const double atEnd = PrivateMiB();
    std::printf("(b) %llu rows: check %.1f s, play %.1f s (%.0f rows/s, thread CPU %.1f s)\n",
                static_cast<unsigned long long>(rows), checked, played, static_cast<double>(rows) / played,
                largeEnd.threadCpuSeconds.load());
    std::printf("    private MiB: start %.1f, after check %.1f, middle %.1f, end %.1f\n", atStart, afterCheck, atMiddle,
                atEnd);
    DeleteFileW(large.c_str());
    return 0;
}
