// The tag list under load, with the real main window (Wine's null display
// driver draws nothing, but every paint still asks the list for its cells):
// 1. selecting a group of 100,000 tags until the list has painted;
// 2. ten seconds of the list's 500 ms refresh while another thread changes
//    100,000 of those tags every second: the user-interface thread's CPU time
//    as a share of one core, and how late a message posted to it every 5 ms
//    is handled (the longest gap in its message handling);
// 3. one refresh tick against one full reload.
// Each figure is printed beside its goal; exit code 1 when one is missed.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "CDeviceView.h"
#include "OPCS_Doc.h"
#include "CMainFrame.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "CTagView.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return static_cast<double>(value(kernel) + value(user)) / 1e7;
}

LONGLONG Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// A thread message stamped by the probe thread; the loop notes how late it is handled.
constexpr UINT kProbeMessage = WM_APP + 1;
std::vector<double> g_delays;

void PumpFor(double seconds) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const auto start = Clock::now();
    while (Seconds(start) < seconds) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && msg.message == kProbeMessage) {
                g_delays.push_back(static_cast<double>(Ticks() - static_cast<LONGLONG>(msg.lParam)) /
                                   static_cast<double>(frequency.QuadPart));
                continue;
            }
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

bool Report(const char* what, double value, const char* unit, double goal) {
    const bool met = value <= goal;
    std::printf("  %-62s %9.3f %s   goal <= %g %s  %s\n", what, value, unit, goal, unit, met ? "met" : "MISSED");
    return met;
}
}  // namespace

int main() {
    constexpr int kTags = 100000;
    constexpr int kChangesPerSecond = 100000;
    constexpr double kCpuShareGoal = 25.0;   // percent of one core
    constexpr double kLongestGapGoal = 0.1;  // seconds: what a user takes for an immediate answer
    constexpr double kFillGoal = 0.2;        // seconds, sorted by name
    bool met = true;
    constexpr double kRunSeconds = 10.0;
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    theSettings.SetDefaults();
    Configuration configuration;
    auto doc = std::make_unique<OPCS_Doc>(configuration);
    auto frame = std::make_unique<CMainFrame>(*doc);
    if (!frame->Create(GetModuleHandleW(nullptr))) {
        std::printf("no window could be created\n");
        return 1;
    }
    frame->Show(SW_SHOWNORMAL);

    auto* device = new ToviDevice;
    device->Rename(L"Plant");
    doc->AddDevice(device);
    auto* group = new ToviTagGroup;
    group->Rename(L"Area");
    doc->AddGroupTo(device, group);
    std::vector<ToviTag*> tags;
    for (int i = 0; i < kTags; ++i) {
        auto* tag = new ToviTag;
        tag->Rename(L"Tag" + std::to_wstring(i));
        group->AddTag(tag);
        tags.push_back(tag);
    }
    device->RequestPollStart(kPollOperator);  // values are shown while the device polls

    CTagView* list = frame->TagView();
    auto start = Clock::now();
    frame->DeviceView()->SelectObject(group);
    UpdateWindow(list->Control());
    const double fill = Seconds(start);
    met &= Report("select a group of 100,000 tags until painted", fill, "s", kFillGoal);
    std::printf("    (%d rows)\n", list->RowCount());

    std::atomic<bool> stop{false};
    std::atomic<long long> changes{0};
    std::thread writer([&] {
        // 10 bursts a second of 10,000 tags spread over the group.
        for (int burst = 0; !stop; ++burst) {
            const auto due = Clock::now() + std::chrono::milliseconds(100);
            for (int i = 0; i < kChangesPerSecond / 10; ++i) {
                const size_t index = (static_cast<size_t>(burst) * 7919 + static_cast<size_t>(i) * 97) % tags.size();
                tags[index]->SetValueNow(Variant::FromDouble(burst + i * 0.5));
            }
            changes += kChangesPerSecond / 10;
            std::this_thread::sleep_until(due);
        }
    });
    const DWORD uiThread = GetCurrentThreadId();
    std::thread probe([&] {
        while (!stop) {
            PostThreadMessageW(uiThread, kProbeMessage, 0, static_cast<LPARAM>(Ticks()));
            Sleep(5);
        }
    });
    // The rows in the window change too.
    for (int i = 0; i < 40; ++i) list->RowTag(i)->SetValueNow(Variant::FromDouble(i));
    const double cpuBefore = ThreadCpuSeconds();
    start = Clock::now();
    PumpFor(kRunSeconds);
    const double wall = Seconds(start);
    const double cpu = ThreadCpuSeconds() - cpuBefore;
    stop = true;
    writer.join();
    probe.join();
    std::printf("refresh every 500 ms for %.1f s while %d tags change each second (%.0f changes/s reached):\n", wall,
                kChangesPerSecond, static_cast<double>(changes.load()) / wall);
    char what[96];
    std::snprintf(what, sizeof what, "UI thread CPU (%.3f s), as a share of one core", cpu);
    met &= Report(what, 100.0 * cpu / wall, "%", kCpuShareGoal);
    std::sort(g_delays.begin(), g_delays.end());
    if (g_delays.empty()) {
        std::printf("  no probe message arrived\n");
        met = false;
    } else {
        std::printf("    %zu probe messages, median delay %.1f ms, 99th percentile %.1f ms\n", g_delays.size(),
                    g_delays[g_delays.size() / 2] * 1e3, g_delays[g_delays.size() * 99 / 100] * 1e3);
        met &= Report("longest delay of a message posted every 5 ms", g_delays.back(), "s", kLongestGapGoal);
    }

    // One tick against one reload, measured the same way.
    constexpr int kRepeats = 20;
    start = Clock::now();
    for (int r = 0; r < kRepeats; ++r) {
        for (int i = 0; i < 40; ++i) list->RowTag(i)->SetValueNow(Variant::FromDouble(r + i));
        list->RefreshChangedRows();
        UpdateWindow(list->Control());
    }
    const double tick = Seconds(start) / kRepeats;
    start = Clock::now();
    for (int r = 0; r < 3; ++r) {
        list->Reload();
        UpdateWindow(list->Control());
    }
    const double reload = Seconds(start) / 3;
    std::printf("one refresh tick %.3f ms, one full reload %.1f ms: reload/tick = %.0f\n", tick * 1e3, reload * 1e3,
                reload / tick);
    device->RequestPollStop(kPollOperator);
    frame.reset();
    doc.reset();
    return met ? 0 : 1;
}
