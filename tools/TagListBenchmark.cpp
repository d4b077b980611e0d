// The tag list under load, with the real main window (Wine's null display
// driver draws nothing, but every paint still asks the list for its cells):
// 1. selecting a group of 100,000 tags until the list has painted;
// 2. ten seconds of the list's 500 ms refresh while another thread changes
//    10,000 of those tags every second: the user-interface thread's CPU time
//    as a share of one core, and one refresh tick against one full reload.
#include <windows.h>

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

void PumpFor(double seconds) {
    const auto start = Clock::now();
    while (Seconds(start) < seconds) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}
}  // namespace

int main() {
    constexpr int kTags = 100000;
    constexpr int kChangesPerSecond = 10000;
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
    std::printf("select a group of %d tags until painted: %.3f s (%d rows)\n", kTags, fill, list->RowCount());

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        // 10 bursts a second of 1,000 tags spread over the group.
        for (int burst = 0; !stop; ++burst) {
            for (int i = 0; i < kChangesPerSecond / 10; ++i) {
                const size_t index = (static_cast<size_t>(burst) * 7919 + static_cast<size_t>(i) * 97) % tags.size();
                tags[index]->SetValueNow(Variant::FromDouble(burst + i * 0.5));
            }
            Sleep(100);
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
    std::printf("refresh every 500 ms with %d changes/s for %.1f s: UI thread CPU %.3f s = %.2f%% of one core\n",
                kChangesPerSecond, wall, cpu, 100.0 * cpu / wall);

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
    return 0;
}
