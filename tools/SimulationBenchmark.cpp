// One device with 10,000 simulated tags, every signal taking a new value each
// 100 ms, polled for a while: the process's CPU time as a share of one core,
// beside the same device polling the same tags with simulation off (the
// floor), and how many of the due updates were made.
//
//   simulation_benchmark [/Seconds:N]
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "DevicePollShare.h"
#include "SimulatedSignal.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
constexpr int kTags = 10000;

double Number(OPCS_Tag* tag) {
    Variant v = tag->GetValue();
    return SUCCEEDED(v.ChangeType(VT_R8)) ? V_R8(v.Get()) : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD seconds = 20;
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i], L"/Seconds:", 9) == 0) seconds = std::max(1, _wtoi(argv[i] + 9));
    }
    auto device = std::make_unique<ToviDevice>();
    device->Rename(L"Sim");
    std::vector<ToviTag*> tags;
    for (int g = 0; g < kTags / 1000; ++g) {
        auto* group = new ToviTagGroup;
        group->Rename(L"Area" + std::to_wstring(g));
        device->AddGroup(group);
        for (int t = 0; t < 1000; ++t) {
            auto* tag = new ToviTag;
            tag->Rename(L"Tag" + std::to_wstring(t));
            group->AddTag(tag);
            tags.push_back(tag);
        }
    }
    // Every kind in turn; random and count with a period of one tick, so that
    // every tag takes a new value every 100 ms. The counters count the updates.
    for (size_t i = 0; i < tags.size(); ++i) {
        const DWORD kind =
            kFirstSimulationKind + static_cast<DWORD>(i % (kLastSimulationKind - kFirstSimulationKind + 1));
        if (kind == kSimulateCount) tags[i]->SetValueLimits(0, 1e9);
        tags[i]->SetValueNow(Variant::FromDouble(0));
        tags[i]->SetSimulation(
            TagSimulation{false, kind, 1, kind == kSimulateCount || kind == kSimulateRandom ? 1u : 50u});
    }

    const PollShare floor = PollFor(*device, seconds);
    for (ToviTag* tag : tags) {
        TagSimulation s = tag->GetSimulation();
        s.enabled = true;
        tag->SetSimulation(s);
    }
    const PollShare simulated = PollFor(*device, seconds);
    double counted = 0;
    int counters = 0;
    for (ToviTag* tag : tags) {
        if (tag->GetSimulation().kind == kSimulateCount) {
            counted += Number(tag);
            ++counters;
        }
    }
    const double due = simulated.wallMs / kSimulationTickMs;
    const double made = counted / counters / due;

    std::printf("Simulation, %d tags on one device, a new value every %lu ms each, %lu s per run\n", kTags,
                static_cast<unsigned long>(kSimulationTickMs), static_cast<unsigned long>(seconds));
    std::printf("%-40s %10.2f %%\n", "polling without simulation (floor)", 100 * floor.cpuShare);
    std::printf("%-40s %10.2f %%\n", "polling with every tag simulated", 100 * simulated.cpuShare);
    std::printf("%-40s %10.1f %%\n", "updates made of those due", 100 * made);
    std::printf("%-40s %10.2f us\n", "CPU per update", simulated.cpuShare * kSimulationTickMs * 1000.0 / kTags);
    const bool met = simulated.cpuShare < 0.10 && made > 0.95;
    std::printf("goal %-60s %s\n", "under 10% of one core, at least 95% of the updates made", met ? "met" : "MISSED");
    return met ? 0 : 1;
}
