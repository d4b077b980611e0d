// Historized tags: every road of a value or quality is recorded once, the
// type's rules for the series, the poll request, and the computed past of a
// simulated tag leading into its live signal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "FileTime.h"
#include "ForcedQuality.h"
#include "HistorySeries.h"
#include "OPCS_Registry.h"
#include "OpcConstants.h"
#include "ScratchLog.h"
#include "SimulatedPast.h"
#include "SimulatedSignal.h"
#include "SimulationSchedule.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"

namespace {
std::vector<HistorySample> Recorded(OPCS_Tag* tag) {
    std::vector<HistorySample> out;
    if (auto series = tag->History()) {
        series->ReadForward(std::numeric_limits<HistoryTime>::min(), kHistoryTimeMax, 0, 100000, out);
    }
    return out;
}

HistoryTime Ticks(const FILETIME& time) { return static_cast<HistoryTime>(FileTimeToU64(time)); }
}  // namespace

TEST(HistoryTagTest, EveryRoadOfValueAndQualityIsRecordedOnce) {
    PressurePlant plant;
    ToviTag* tag = plant.pressure;
    EXPECT_EQ(nullptr, tag->History()) << "not historized";
    FILETIME stamped{};  // a value's own time, before the forcings that come after it
    struct Step {
        const char* what;
        std::function<void()> act;
        int recorded;  // new samples
        double number;
        HistoryQuality quality;
    };
    const Step steps[] = {
        {"historized: recording begins with the tag as it stands", [&] { tag->SetHistorize(true); }, 1, 50, 0xC0},
        {"the description alone", [&] { tag->SetDescription(L"Steam"); }, 0, 50, 0xC0},
        {"a client write",
         [&] {
             Variant v = Variant::FromLong(90);
             ASSERT_TRUE(tag->WriteFromClient(v));
         },
         1, 90, 0xC0},
        {"the same value at a new time",
         [&] {
             Sleep(2);
             stamped = FileTimeNow();
             tag->SetValue(Variant::FromDouble(90), OPC_QUALITY_GOOD, stamped);
         },
         1, 90, 0xC0},
        {"the same again", [&] { tag->SetValue(Variant::FromDouble(90), OPC_QUALITY_GOOD, stamped); }, 0, 90, 0xC0},
        {"the tag forced", [&] { tag->ForceQuality(OPC_QUALITY_COMM_FAILURE); }, 1, 90, OPC_QUALITY_COMM_FAILURE},
        {"its group forced under the tag's own", [&] { plant.boiler->ForceQuality(OPC_QUALITY_UNCERTAIN); }, 0, 90,
         OPC_QUALITY_COMM_FAILURE},
        {"the tag's forcing gone: the group's shows", [&] { tag->ForceQuality(kNotForced); }, 1, 90,
         OPC_QUALITY_UNCERTAIN},
        {"the device forced under the group's", [&] { plant.device->ForceQuality(OPC_QUALITY_OUT_OF_SERVICE); }, 0, 90,
         OPC_QUALITY_UNCERTAIN},
        {"the group's forcing gone", [&] { plant.boiler->ForceQuality(kNotForced); }, 1, 90,
         OPC_QUALITY_OUT_OF_SERVICE},
        {"the device's forcing gone", [&] { plant.device->ForceQuality(kNotForced); }, 1, 90, 0xC0},
        {"a volatile tag cleared",
         [&] {
             tag->SetVolatile(true);
             tag->InvalidateIfVolatile(OPC_QUALITY_NOT_CONNECTED);
         },
         1, 0, OPC_QUALITY_NOT_CONNECTED},
        {"the quality alone", [&] { tag->SetQuality(OPC_QUALITY_UNCERTAIN); }, 1, 0, OPC_QUALITY_UNCERTAIN},
        {"the tag dialog, historize kept",
         [&] {
             TagEdit edit;
             edit.type = VT_R8;
             edit.value = Variant::FromDouble(85.5);
             edit.historize = true;
             tag->ApplyEdit(edit);
         },
         1, 85.5, 0xC0},
        {"a value the type rounds", [&] { tag->SetDataType(VT_I4); }, 1, 0, 0xC0},
        {"an integer written as a fraction", [&] { tag->SetValueNow(Variant::FromDouble(7.6)); }, 1, 8, 0xC0},
        {"simulated from 8 by a ramp of ten steps",
         [&] {
             tag->SetSimulation(TagSimulation{true, kSimulateRamp, 0, 10});
             SimulationSchedule schedule;
             schedule.Rebuild({tag}, 0);
             schedule.RunDue(0);
         },
         1, 18, 0xC0},
    };
    size_t count = 0;
    for (const Step& step : steps) {
        step.act();
        const std::vector<HistorySample> samples = Recorded(tag);
        count += static_cast<size_t>(step.recorded);
        ASSERT_EQ(count, samples.size()) << step.what;
        EXPECT_EQ(step.number, samples.back().number) << step.what;
        EXPECT_EQ(step.quality, samples.back().quality) << step.what;
    }
    // Stamped with the tag's own time where it has one, else when it changed.
    const std::vector<HistorySample> samples = Recorded(tag);
    EXPECT_EQ(Ticks(stamped), samples[2].time);
    EXPECT_TRUE(
        std::is_sorted(samples.begin(), samples.end(), [](const auto& a, const auto& b) { return a.time < b.time; }));
}

TEST(HistoryTagTest, ARetypeKeepsANumericSeriesAndTextStartsAnother) {
    PressurePlant plant;
    ToviTag* tag = plant.pressure;
    tag->SetHistorize(true);
    const auto first = tag->History();
    ASSERT_NE(nullptr, first);
    struct Step {
        VARTYPE type;
        Variant value;
        bool sameSeries;
        HistoryValueKind kind;
        HistorySample last;
    };
    const Step steps[] = {
        {VT_BOOL, Variant::FromBool(true), true, HistoryValueKind::Boolean, {0, 1, {}, 0xC0}},
        {VT_UI1, Variant::FromByte(200), true, HistoryValueKind::Integer, {0, 200, {}, 0xC0}},
        {VT_R4, Variant::FromFloat(0.1f), true, HistoryValueKind::Float, {0, static_cast<double>(0.1f), {}, 0xC0}},
        {VT_BSTR, Variant::FromString(L"open"), false, HistoryValueKind::Text, {0, 0, L"open", 0xC0}},
        {VT_I2, Variant::FromShort(-3), false, HistoryValueKind::Integer, {0, -3, {}, 0xC0}},
    };
    auto series = first;
    for (const Step& step : steps) {
        tag->SetDataType(step.type);
        tag->SetValueNow(step.value);
        const auto now = tag->History();
        ASSERT_NE(nullptr, now);
        EXPECT_EQ(step.sameSeries, now == series) << step.type;
        EXPECT_EQ(step.kind, now->Kind()) << step.type;
        HistorySample last = Recorded(tag).back();
        last.time = 0;
        EXPECT_EQ(step.last, last) << step.type;
        series = now;
    }
    // The tag deleted: it lets go of its series, which a reader's copy keeps readable.
    EXPECT_EQ(Configuration::DeleteResult::Deleted, plant.configuration.DeleteItem(plant.boiler));
    EXPECT_EQ(1, series.use_count());
    std::vector<HistorySample> out;
    EXPECT_EQ(2u, series->ReadForward(0, kHistoryTimeMax, 0, 10, out));
}

TEST(HistoryTagTest, AHistorizedTagKeepsItsDevicePollingWhileTheProgramServes) {
    PressurePlant plant;
    ToviTag* level = NewTag(L"Level");
    plant.configuration.AddTagTo(plant.device, level);
    auto requests = [&] { return plant.device->GetPollRequests(kPollAlarms); };
    plant.pressure->SetHistorize(true);
    EXPECT_EQ(0u, requests()) << "off until the program serves";
    EXPECT_NE(nullptr, plant.pressure->History()) << "but recording all the same";
    plant.configuration.SetAlarmPolling(true);
    EXPECT_EQ(1u, requests());
    level->SetHistorize(true);
    EXPECT_EQ(1u, requests()) << "one request for the device, however many tags";
    plant.device->SetOperatorPolling(false);
    EXPECT_EQ(0u, requests()) << "the operator's stop stops it too";
    EXPECT_FALSE(plant.device->PollsByItself());
    plant.device->SetOperatorPolling(true);
    EXPECT_EQ(1u, requests());
    plant.device->SetOperatorPolling(false);
    plant.device->SetOperatorPolling(true);
    EXPECT_EQ(Configuration::DeleteResult::Deleted, plant.configuration.DeleteItem(plant.boiler));
    EXPECT_EQ(1u, requests());
    level->SetHistorize(false);
    EXPECT_EQ(0u, requests());
    EXPECT_EQ(nullptr, level->History());
    plant.device->SetOperatorPolling(false);
    plant.configuration.SetAlarmPolling(false);
}

// The computed past against the live signal itself: the schedule drives a
// tag for a while, then the past computed from where it stands gives back
// the values it took, step for step.
TEST(HistoryTagTest, TheComputedPastGivesBackWhatTheLiveSignalDid) {
    struct Case {
        DWORD kind;
        double start;
        DWORD step;
        int ticks;
    };
    const Case cases[] = {
        {kSimulateRamp, 20, 0, 40},     // across its wrap
        {kSimulateTriangle, 20, 0, 9},  // on its rising side
        {kSimulateSine, 20, 0, 8},
        {kSimulateCount, 21, 7, 20},  // on the count's grid, across a wrap
    };
    for (const Case& c : cases) {
        ToviDevice device;
        ToviTag* tag = NewTag(L"Signal");
        device.AddTag(tag);
        tag->SetValueNow(Variant::FromDouble(c.start));
        tag->SetSimulation(TagSimulation{true, c.kind, c.step, 25});
        SimulationSchedule schedule;
        schedule.Rebuild({tag}, 0);
        const DWORD everyMs = SimulationUpdateMs(c.kind, 25);
        std::vector<double> live{c.start};
        for (int i = 1; i <= c.ticks; ++i) {
            schedule.RunDue(static_cast<ULONGLONG>(i - 1) * everyMs);  // the first due at once
            Variant v = tag->GetValue();
            ASSERT_TRUE(SUCCEEDED(v.ChangeType(VT_R8)));
            live.push_back(V_R8(&v.Ref()));
        }
        SimulatedPastSignal signal;
        signal.kind = c.kind;
        signal.step = c.step;
        signal.period = 25;
        signal.current = live.back();
        const HistoryTime end = 1'000'000'000'000;
        const HistoryPast past = SimulatedPast(signal, end);
        ASSERT_EQ(static_cast<HistoryTime>(everyMs) * kHistoryTicksPerMs, past.stepTicks);
        for (int k = 1; k <= c.ticks; ++k) {
            EXPECT_NEAR(live[static_cast<size_t>(c.ticks - k)], past.at(end - k * past.stepTicks).number, 1e-9)
                << c.kind << " " << k;
        }
    }
}

TEST(HistoryTagTest, RandomAndSquarePastsStayInTheirRangeAndReadTheSameTwice) {
    for (DWORD kind : {kSimulateRandom, kSimulateSquare}) {
        for (VARTYPE type : {VT_R8, VT_BOOL}) {
            SimulatedPastSignal signal;
            signal.kind = kind;
            signal.period = 20;
            signal.type = type;
            signal.high = type == VT_BOOL ? 1 : 100;
            signal.seed = 42;
            const HistoryPast past = SimulatedPast(signal, 1'000'000'000'000);
            EXPECT_EQ(static_cast<HistoryTime>(kind == kSimulateRandom ? 2000 : 100) * kHistoryTicksPerMs,
                      past.stepTicks);
            std::vector<double> values;
            for (int k = 1; k <= 200; ++k) {
                const HistoryTime t = past.end - k * past.stepTicks;
                const double v = past.at(t).number;
                EXPECT_EQ(v, past.at(t).number) << "two reads agree";
                EXPECT_TRUE(v >= signal.low && v <= signal.high) << v;
                if (kind == kSimulateSquare || type == VT_BOOL) {
                    EXPECT_TRUE(v == signal.low || v == signal.high) << v;
                }
                values.push_back(v);
            }
            std::sort(values.begin(), values.end());
            const auto distinct = std::unique(values.begin(), values.end()) - values.begin();
            EXPECT_GE(distinct, kind == kSimulateRandom && type == VT_R8 ? 150 : 2) << kind << " " << type;
        }
    }
}

TEST(HistoryTagTest, ASimulatedTagHasADayOfPastThatLeadsIntoItsFirstSample) {
    PressurePlant plant;
    ToviTag* tag = plant.pressure;
    tag->SetSimulation(TagSimulation{true, kSimulateSine, 0, 600});
    tag->SetValueNow(Variant::FromDouble(30));
    tag->SetHistorize(true);
    const auto series = tag->History();
    ASSERT_NE(nullptr, series);
    std::vector<HistorySample> newest;
    ASSERT_EQ(2u, series->ReadBackward(kHistoryTimeMax, 0, 0, 2, newest));
    EXPECT_EQ(30, newest[0].number) << "the recording's first sample";
    EXPECT_EQ(100 * kHistoryTicksPerMs, newest[0].time - newest[1].time);
    // A sine over 600 steps moves at most pi * range / 600 a step.
    EXPECT_NEAR(30, newest[1].number, 3.1416 * 100 / 600);
    EXPECT_LT(newest[1].number, 30) << "rising into it";
    HistoryTime oldest = 0, latest = 0;
    ASSERT_TRUE(series->Extent(oldest, latest));
    EXPECT_NEAR(static_cast<double>(latest - oldest), 24.0 * 3600 * kHistoryTicksPerSecond,
                60.0 * kHistoryTicksPerSecond);
}

TEST(HistoryTagTest, TheProgramSettingsLimitTheHistoryAndItsBoundIsOneLineOfTheEventLog) {
    ScratchLog log;
    Configuration configuration;
    const std::uint32_t hours = theSettings.GetHistoryHours();
    const std::uint32_t megabytes = theSettings.GetHistoryMegabytes();
    EXPECT_EQ(static_cast<HistoryTime>(hours) * 3600 * kHistoryTicksPerSecond,
              configuration.History().Limits().spanTicks);
    theSettings.SetHistoryHours(2);
    theSettings.SetHistoryMegabytes(16);
    configuration.ApplyHistorySettings();
    theSettings.SetHistoryHours(hours);
    theSettings.SetHistoryMegabytes(megabytes);
    EXPECT_EQ(2 * 3600 * kHistoryTicksPerSecond, configuration.History().Limits().spanTicks);
    EXPECT_EQ(16ull << 20, configuration.History().Limits().memoryBytes);

    configuration.History().SetLimits(HistoryLimits{3600 * kHistoryTicksPerSecond, 1 << 20});
    auto series = configuration.History().CreateSeries(HistoryValueKind::Float);
    const HistoryTime now = Ticks(FileTimeNow());
    for (int i = 0; i < 100'000; ++i) series->Record(HistorySample{now - 100'000 + i, 1.0, {}, 0xC0});
    configuration.History().Trim();
    configuration.History().Trim();
    const std::string text = log.Text();
    const std::string line = "History memory limit reached (1 MB): the oldest samples are dropped first";
    const size_t at = text.find(line);
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_EQ(std::string::npos, text.find(line, at + 1)) << "once";
}
