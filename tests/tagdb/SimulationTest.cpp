#include <gtest/gtest.h>

#include <set>

#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "SimulationSchedule.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"
#include "WaitFor.h"

namespace {
double ValueOf(OPCS_Tag* tag) {
    Variant v = tag->GetValue();
    EXPECT_TRUE(SUCCEEDED(v.ChangeType(VT_R8)));
    return V_R8(v.Get());
}

// Tags on a device that is never asked to poll, and a schedule driven by a
// clock the test holds.
struct SimulatedTags {
    ToviDevice device;
    std::vector<OPCS_Tag*> list;
    SimulationSchedule schedule;

    ToviTag* Add(const std::wstring& name, DWORD kind, DWORD period, DWORD step = 0) {
        ToviTag* tag = NewTag(name);
        device.AddTag(tag);
        tag->SetValueNow(Variant::FromDouble(0));
        tag->SetSimulation(TagSimulation{true, kind, step, period});
        list.push_back(tag);
        return tag;
    }
};
}  // namespace

TEST(SimulationTest, WaveformsAndTheirInverseOverARange) {
    EXPECT_DOUBLE_EQ(25, WaveAt(kSimulateRamp, 0.25, 0, 100));
    EXPECT_DOUBLE_EQ(-10, WaveAt(kSimulateRamp, 1.0, -10, 10));  // a whole period is phase 0
    EXPECT_DOUBLE_EQ(50, WaveAt(kSimulateTriangle, 0.75, 0, 100));
    EXPECT_DOUBLE_EQ(200, WaveAt(kSimulateSine, 0.25, 100, 200));
    EXPECT_NEAR(150, WaveAt(kSimulateSine, 0.5, 100, 200), 1e-9);
    EXPECT_DOUBLE_EQ(100, WaveAt(kSimulateSquare, 0.49, 0, 100));
    EXPECT_DOUBLE_EQ(0, WaveAt(kSimulateSquare, 0.5, 0, 100));
    for (DWORD kind : {kSimulateRamp, kSimulateTriangle, kSimulateSine}) {
        for (double value : {-40.0, 0.0, 35.0}) {
            const double phase = PhaseOf(kind, value, -50, 50);
            EXPECT_NEAR(value, WaveAt(kind, phase, -50, 50), 1e-9) << kind;
            // On the rising side: a moment later the signal is higher.
            EXPECT_GT(WaveAt(kind, phase + 0.01, -50, 50), value) << kind;
        }
    }
    EXPECT_DOUBLE_EQ(100, WaveAt(kSimulateSquare, PhaseOf(kSimulateSquare, 80, 0, 100), 0, 100));
    EXPECT_DOUBLE_EQ(0, PhaseOf(kSimulateRamp, 5, 10, 10));  // no range: no division by zero
    EXPECT_EQ(100u, SimulationUpdateMs(kSimulateSine, 36000));
    EXPECT_EQ(2500u, SimulationUpdateMs(kSimulateCount, 25));
    EXPECT_EQ(100u, SimulationUpdateMs(kSimulateRandom, 0));
}

TEST(SimulationTest, ARampMovesWithTheClockCatchesUpAndGoesOnFromAWrittenValue) {
    SimulatedTags t;
    ToviTag* ramp = t.Add(L"Ramp", kSimulateRamp, 10);  // one second
    ramp->SetValueLimits(0, 200);
    ToviTag* idle = t.Add(L"Idle", kSimulateRamp, 10);
    idle->SetSimulation(TagSimulation{false, kSimulateRamp, 0, 10});
    ToviTag* unknown = t.Add(L"Unknown", 7, 10);
    t.schedule.Rebuild(t.list, 0);
    EXPECT_EQ(1u, t.schedule.SignalCount());

    EXPECT_EQ(100u, t.schedule.RunDue(0));
    EXPECT_DOUBLE_EQ(20, ValueOf(ramp));
    EXPECT_EQ(OPC_QUALITY_GOOD, ramp->GetQuality());
    EXPECT_EQ(50u, t.schedule.RunDue(50));  // not due yet
    EXPECT_DOUBLE_EQ(20, ValueOf(ramp));
    t.schedule.RunDue(100);
    EXPECT_DOUBLE_EQ(40, ValueOf(ramp));
    EXPECT_EQ(50u, t.schedule.RunDue(450));  // three ticks late: one write, three ticks on
    EXPECT_NEAR(100, ValueOf(ramp), 1e-9);

    Variant written = Variant::FromDouble(150);
    ASSERT_TRUE(ramp->WriteFromClient(written));
    t.schedule.RunDue(500);
    EXPECT_NEAR(170, ValueOf(ramp), 1e-9);
    t.schedule.RunDue(700);  // past the top it starts again at low
    EXPECT_NEAR(10, ValueOf(ramp), 1e-9);

    // Read Only refuses the client but not the signal.
    ramp->SetAccessMode(0);
    written = Variant::FromDouble(5);
    EXPECT_FALSE(ramp->WriteFromClient(written));
    t.schedule.RunDue(800);
    EXPECT_NEAR(30, ValueOf(ramp), 1e-9);
    EXPECT_DOUBLE_EQ(0, ValueOf(idle));
    EXPECT_DOUBLE_EQ(0, ValueOf(unknown));

    // A rebuild keeps where the signal stands.
    t.schedule.Rebuild(t.list, 1000);
    t.schedule.RunDue(1000);
    EXPECT_NEAR(50, ValueOf(ramp), 1e-9);
}

TEST(SimulationTest, CountSquareRandomAndTheTagsTypes) {
    SimulatedTags t;
    ToviTag* count = t.Add(L"Count", kSimulateCount, 2, 5);  // every 200 ms, default range 0..100
    ToviTag* flag = t.Add(L"Flag", kSimulateSquare, 4);
    flag->SetDataType(VT_BOOL);
    ToviTag* noise = t.Add(L"Noise", kSimulateRandom, 1);
    noise->SetValueLimits(10, 20);
    ToviTag* wave = t.Add(L"Wave", kSimulateSine, 8);
    wave->SetDataType(VT_I4);
    ToviTag* text = t.Add(L"Text", kSimulateTriangle, 4);
    text->SetDataType(VT_BSTR);
    t.schedule.Rebuild(t.list, 0);

    std::vector<double> counts, flags;
    std::set<double> noises;
    for (ULONGLONG ms = 0; ms <= 1400; ms += 100) {
        t.schedule.RunDue(ms);
        if (ms % 200 == 0) counts.push_back(ValueOf(count));
        flags.push_back(ValueOf(flag));
        noises.insert(ValueOf(noise));
        EXPECT_EQ(VT_I4, wave->GetValue().Type());
    }
    EXPECT_EQ((std::vector<double>{5, 10, 15, 20, 25, 30, 35, 40}), counts);
    // TRUE reads back as -1. Starting from false the square goes on in its low
    // half, then spends 200 ms of each 400 ms period high.
    EXPECT_EQ((std::vector<double>{0, -1, -1, 0, 0, -1, -1, 0, 0, -1, -1, 0, 0, -1, -1}), flags);
    EXPECT_GT(noises.size(), 5u);
    EXPECT_GE(*noises.begin(), 10);
    EXPECT_LE(*noises.rbegin(), 20);
    EXPECT_EQ(VT_BSTR, text->GetValue().Type());

    // The count wraps to low past high, also when it catches up.
    Variant v = Variant::FromDouble(95);
    ASSERT_TRUE(count->WriteFromClient(v));
    t.schedule.RunDue(1600);
    EXPECT_DOUBLE_EQ(100, ValueOf(count));
    t.schedule.RunDue(1800);
    EXPECT_DOUBLE_EQ(0, ValueOf(count));
    t.schedule.RunDue(2400);  // three periods at once
    EXPECT_DOUBLE_EQ(15, ValueOf(count));
}

TEST(SimulationTest, SignalsMoveOnlyWhileTheDevicePollsAndNewSettingsTakeEffectAtOnce) {
    ToviDevice device;
    ToviTag* tag = NewTag(L"Level");
    device.AddTag(tag);
    tag->SetValueNow(Variant::FromDouble(0));
    tag->SetSimulation(TagSimulation{true, kSimulateCount, 1, 1});  // +1 every 100 ms
    Sleep(300);
    EXPECT_DOUBLE_EQ(0, ValueOf(tag));  // the device does not poll

    auto waitForChange = [&](double from) { return WaitFor(10000, [&] { return ValueOf(tag) != from; }); };
    device.RequestPollStart(kPollOperator);
    EXPECT_TRUE(waitForChange(0));
    device.RequestPollStop(kPollOperator);
    for (int i = 0; i < 500 && device.GetPollState() != kPollIdle; ++i) Sleep(10);
    const double stopped = ValueOf(tag);
    Sleep(300);
    EXPECT_DOUBLE_EQ(stopped, ValueOf(tag));

    // Enabled while the device waits out a long interval: it starts moving.
    tag->SetSimulation(TagSimulation{false, kSimulateCount, 1, 1});
    device.RequestPollStart(kPollOperator);
    for (int i = 0; i < 500 && device.GetPollState() != kPollWaiting; ++i) Sleep(10);
    const double before = ValueOf(tag);
    Sleep(300);
    EXPECT_DOUBLE_EQ(before, ValueOf(tag));
    tag->SetSimulation(TagSimulation{true, kSimulateCount, 1, 1});
    EXPECT_TRUE(waitForChange(before));
    device.RequestPollStop(kPollOperator);
}
