// Tag history in one process, each figure beside its floor in the same run:
//  - recording: 10,000 historized tags of one device taking a new value every
//    100 ms (100,000 samples/s), the process's CPU beside the same run with
//    history off;
//  - memory: the store's bytes per recorded Double sample;
//  - aggregates: Average, TimeAverage and Interpolative over 1,000,000
//    samples in 1,000 intervals.
// The UA reads against the bare stack are measured by scripts/history-bench.sh.
//
//   history_benchmark [/Seconds:N]
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "Configuration.h"
#include "DevicePollShare.h"
#include "HistoryAggregates.h"
#include "HistorySeriesSource.h"
#include "HistoryStore.h"
#include "SimulatedSignal.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
constexpr int kTags = 10000;
constexpr std::size_t kSamples = 1'000'000;

struct Recording {
    double floorShare;
    double historyShare;
    std::uint64_t samples;
};

Recording MeasureRecording(DWORD seconds) {
    Configuration configuration;
    auto* device = new ToviDevice;
    device->Rename(L"Sim");
    configuration.AddDevice(device);
    std::vector<ToviTag*> tags;
    for (int g = 0; g < kTags / 1000; ++g) {
        auto* group = new ToviTagGroup;
        group->Rename(L"Area" + std::to_wstring(g));
        configuration.AddGroupTo(device, group);
        for (int t = 0; t < 1000; ++t) {
            auto* tag = new ToviTag;
            tag->Rename(L"Tag" + std::to_wstring(t));
            configuration.AddTagTo(group, tag);
            tag->SetDataType(VT_R8);
            tag->SetValueNow(Variant::FromDouble(0));
            tag->SetSimulation(TagSimulation{true, kSimulateSine, 1, 50});
            tags.push_back(tag);
        }
    }
    Recording r{};
    r.floorShare = PollFor(*device, seconds).cpuShare;
    for (ToviTag* tag : tags) tag->SetHistorize(true);
    const HistoryTime from = configuration.History().Now();
    r.historyShare = PollFor(*device, seconds).cpuShare;
    // What was recorded meanwhile, the computed pasts left out.
    std::vector<HistoryPoint> points;
    for (ToviTag* tag : tags) {
        if (auto series = tag->History()) {
            points.clear();
            r.samples += series->ReadPoints(from, kHistoryTimeMax, ~std::size_t{0}, points);
        }
    }
    return r;
}

// Set to three hours ago, so that the store's span keeps every sample.
HistoryTime kStart = 0;
constexpr HistoryTime kEvery = 10 * kHistoryTicksPerMs;

std::shared_ptr<HistorySeries> FillSeries(HistoryStore& store) {
    kStart = store.Now() - 3 * 3600 * kHistoryTicksPerSecond;
    auto series = store.CreateSeries(HistoryValueKind::Float);
    for (std::size_t i = 0; i < kSamples; ++i) {
        HistorySample s;
        s.time = kStart + static_cast<HistoryTime>(i) * kEvery;
        s.number = std::sin(static_cast<double>(i) / 1000.0) * 100.0;
        s.quality = i % 997 == 500 ? 0x40 : 0xC0;
        series->Record(s);
    }
    return series;
}

double AggregateSeconds(const HistorySeries& series, HistoryAggregate aggregate, std::size_t& values,
                        std::size_t& withData) {
    HistorySeriesSource source(std::shared_ptr<const HistorySeries>(&series, [](const HistorySeries*) {}));
    AggregateRequest request;
    request.aggregate = aggregate;
    request.start = kStart;
    request.end = kStart + static_cast<HistoryTime>(kSamples) * kEvery;
    request.interval = (request.end - request.start) / 1000;
    std::vector<AggregateValue> out;
    const auto t0 = BenchClock::now();
    ComputeAggregate(request, source, 0, static_cast<std::size_t>(AggregateIntervalCount(request)), out);
    const double s = SecondsSince(t0);
    values = out.size();
    withData = static_cast<std::size_t>(
        std::count_if(out.begin(), out.end(), [](const AggregateValue& v) { return v.hasValue; }));
    return s;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD seconds = 20;
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i], L"/Seconds:", 9) == 0) seconds = std::max(1, _wtoi(argv[i] + 9));
    }
    bool met = true;
    auto goal = [&met](const char* text, bool ok) {
        std::printf("goal %-62s %s\n", text, ok ? "met" : "MISSED");
        met = met && ok;
    };

    HistoryStore store;
    const auto t0 = BenchClock::now();
    auto series = FillSeries(store);
    const double fillSeconds = SecondsSince(t0);
    const double perSample = static_cast<double>(series->BytesUsed()) / kSamples;
    std::printf("Memory, %zu Double samples in one series\n", kSamples);
    std::printf("%-46s %10.2f bytes\n", "per sample (store's count, chunks included)", perSample);
    std::printf("%-46s %10.1f ns\n", "recording one sample", fillSeconds * 1e9 / kSamples);
    goal("at most 24 bytes per Double sample", perSample <= 24.0);

    std::printf("\nAggregates over %zu samples in 1,000 intervals (median of three)\n", kSamples);
    for (HistoryAggregate aggregate :
         {HistoryAggregate::Average, HistoryAggregate::TimeAverage, HistoryAggregate::Interpolative}) {
        std::size_t values = 0, withData = 0;
        const double s = MedianOfThree([&] { return AggregateSeconds(*series, aggregate, values, withData); },
                                       [](double x) { return x; });
        const std::wstring name(AggregateName(aggregate));
        std::printf("%-46ls %10.1f ms  (%zu values, %zu of them with data)\n", name.c_str(), s * 1000, values,
                    withData);
        goal("under 0.5 s, a value in every interval", s < 0.5 && withData == 1000);
    }
    series.reset();

    std::printf("\nRecording, %d historized tags each taking a new value every %lu ms, %lu s per run\n", kTags,
                static_cast<unsigned long>(kSimulationTickMs), static_cast<unsigned long>(seconds));
    const Recording r = MeasureRecording(seconds);
    std::printf("%-46s %10.2f %%\n", "polling with history off (floor)", 100 * r.floorShare);
    std::printf("%-46s %10.2f %%\n", "polling with every tag historized", 100 * r.historyShare);
    std::printf("%-46s %10.0f /s\n", "samples recorded", static_cast<double>(r.samples) / seconds);
    goal("history costs at most 10% of one core", r.historyShare - r.floorShare <= 0.10);
    return met ? 0 : 1;
}
