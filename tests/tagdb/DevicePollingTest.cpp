#include <gtest/gtest.h>

#include <memory>

#include "OpcConstants.h"
#include "TagDbFixtures.h"
#include "ScratchLog.h"
#include "ToviDevice.h"
#include "WaitFor.h"

namespace {
ToviTag* VolatileTag(const std::wstring& name) {
    ToviTag* tag = NewTag(name);
    tag->SetVolatile(true);
    tag->SetValueNow(Variant::FromDouble(7));
    return tag;
}
}  // namespace

TEST(DevicePollingTest, RequestsAreCountedByKind) {
    ScratchLog log;
    PlainDevice device;
    EXPECT_EQ(1u, device.RequestPollStart(kPollOpcItems));
    EXPECT_EQ(2u, device.RequestPollStart(kPollOpcItems));
    EXPECT_EQ(3u, device.RequestPollStart(kPollOperator));
    EXPECT_EQ(3u, device.RequestPollStart(kPollQuery));
    EXPECT_EQ(2u, device.RequestPollStop(kPollOperator));
    EXPECT_EQ(1u, device.RequestPollStop(kPollOpcItems));
    EXPECT_EQ(1u, device.RequestPollStop(kPollOperator));  // no operator request left: ignored
    EXPECT_EQ(1u, device.GetPollRequests(kPollOpcItems));
    EXPECT_EQ(0u, device.GetPollRequests(kPollOperator));
    EXPECT_TRUE(device.IsBusy());
    EXPECT_FALSE(device.CanDelete());
    EXPECT_TRUE(WaitFor(5000, [&] { return device.cycles.load() > 0; }));
    EXPECT_EQ(1u, device.RequestPollStart(kPollQuery));
    EXPECT_EQ(0u, device.RequestPollStart(7));  // no such kind
    EXPECT_TRUE(log.Contains("Device: Boiler Poll Loop Start Request Queued \r\n"));
}

TEST(DevicePollingTest, LastStopEndsTheRunWithoutWaitingForTheInterval) {
    ScratchLog log;
    PlainDevice device;
    device.SetUpdateInterval(3599);
    device.RequestPollStart(kPollOperator);
    ASSERT_TRUE(WaitFor(5000, [&] { return device.GetPollState() == kPollWaiting; }));
    const int cycles = device.cycles.load();
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(0u, device.RequestPollStop(kPollOperator));
    ASSERT_TRUE(WaitFor(3000, [&] { return device.GetPollState() == kPollIdle; }));
    EXPECT_LT(GetTickCount64() - before, 3000u);
    EXPECT_EQ(cycles, device.cycles.load());
    EXPECT_FALSE(device.IsBusy());
    EXPECT_TRUE(log.Contains("Device: Boiler Poll Loop Stop Request Queued \r\n"));
}

TEST(DevicePollingTest, PollingRunHoldsTheTagsAndInvalidatesVolatileOnes) {
    ScratchLog log;
    PlainDevice device;
    ToviTagGroup* group = NewGroup(L"G");
    ASSERT_TRUE(device.AddGroup(group));
    ToviTag* kept = NewTag(L"Kept");
    kept->SetValueNow(Variant::FromDouble(5));
    ToviTag* fleeting = VolatileTag(L"Fleeting");
    ASSERT_TRUE(group->AddTag(kept));
    ASSERT_TRUE(device.AddTag(fleeting));

    device.SetUpdateInterval(3599);
    device.RequestPollStart(kPollOperator);
    ASSERT_TRUE(WaitFor(5000, [&] { return device.GetPollState() == kPollWaiting; }));
    EXPECT_EQ(1, kept->GetClientReferenceCount());
    EXPECT_FALSE(group->RemoveTag(kept));
    EXPECT_EQ(OPC_QUALITY_NOT_CONNECTED, fleeting->GetQuality());
    EXPECT_EQ(L"?", fleeting->GetValueText());
    EXPECT_EQ(OPC_QUALITY_GOOD, kept->GetQuality());

    // A tag added during the run is held too, and released exactly once.
    ToviTag* late = NewTag(L"Late");
    ASSERT_TRUE(group->AddTag(late));
    device.PollNow();
    ASSERT_TRUE(WaitFor(5000, [&] { return late->GetClientReferenceCount() == 1; }));

    device.RequestPollStop(kPollOperator);
    ASSERT_TRUE(WaitFor(5000, [&] { return device.GetPollState() == kPollIdle; }));
    EXPECT_EQ(0, kept->GetClientReferenceCount());
    EXPECT_EQ(0, late->GetClientReferenceCount());
    EXPECT_TRUE(group->RemoveTag(late));
    delete late;
    EXPECT_TRUE(log.Contains("Device: Boiler -Volatile flags cleared \r\n"));

    // A value written while the device was idle is cleared by the next start.
    fleeting->SetValueNow(Variant::FromDouble(7));
    device.RequestPollStart(kPollOperator);
    ASSERT_TRUE(WaitFor(5000, [&] { return device.GetPollState() == kPollWaiting; }));
    EXPECT_EQ(OPC_QUALITY_NOT_CONNECTED, fleeting->GetQuality());
    EXPECT_EQ(L"?", fleeting->GetValueText());
    device.RequestPollStop(kPollOperator);
    ASSERT_TRUE(WaitFor(5000, [&] { return device.GetPollState() == kPollIdle; }));
}

TEST(DevicePollingTest, OutOfServiceTurnsVolatileTagsBadAndSkipsCycles) {
    ScratchLog log;
    PlainDevice device;
    ToviTag* fleeting = VolatileTag(L"Fleeting");
    ToviTag* kept = NewTag(L"Kept");
    kept->SetValueNow(Variant::FromDouble(5));
    device.AddTag(fleeting);
    device.AddTag(kept);
    device.SetUpdateInterval(1);
    device.RequestPollStart(kPollOpcItems);
    ASSERT_TRUE(WaitFor(5000, [&] { return device.cycles.load() > 0; }));
    fleeting->SetValueNow(Variant::FromDouble(9));

    device.SetInService(false);
    EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, fleeting->GetQuality());
    EXPECT_EQ(L"Bad (Out Of Service)", fleeting->GetQualityText());
    EXPECT_EQ(OPC_QUALITY_GOOD, kept->GetQuality());
    ASSERT_TRUE(WaitFor(5000, [&] { return device.GetPollState() == kPollWaiting; }));
    const int cycles = device.cycles.load();
    device.PollNow();
    Sleep(200);
    EXPECT_EQ(cycles, device.cycles.load());

    device.SetInService(true);  // busy: a cycle runs at once
    EXPECT_TRUE(WaitFor(800, [&] { return device.cycles.load() > cycles; }));
    EXPECT_TRUE(log.Contains("Device: Boiler Out of Service \r\n"));
    EXPECT_TRUE(log.Contains("Device: Boiler In Service \r\n"));
}

TEST(DevicePollingTest, UpdateIntervalIsClampedAndLoggedOnChange) {
    ScratchLog log;
    PlainDevice device;
    EXPECT_EQ(30u, device.GetUpdateInterval());
    device.SetUpdateInterval(0);
    EXPECT_EQ(1u, device.GetUpdateInterval());
    device.SetUpdateInterval(5000);
    EXPECT_EQ(3599u, device.GetUpdateInterval());
    const std::string before = log.Text();
    device.SetUpdateInterval(3599);
    device.SetUpdateInterval(0x7FFFFFFF);  // what a device without a refresh sets at each polling start
    EXPECT_EQ(before, log.Text());
    EXPECT_TRUE(log.Contains("Device: Boiler Update Interval set to (secs): 3599 \r\n"));
}

TEST(DevicePollingTest, ErrorInACycleTakesTheDeviceOutOfService) {
    class FailingDevice : public PlainDevice {
    public:
        ~FailingDevice() override { Shutdown(); }
        void PollCycle() override { throw std::runtime_error("device gone"); }
    } device;
    device.RequestPollStart(kPollOperator);
    EXPECT_TRUE(WaitFor(5000, [&] { return !device.IsInService(); }));
}

TEST(DevicePollingTest, DestroyingAWaitingDeviceIsPrompt) {
    ScratchLog log;
    auto* device = new ToviDevice;
    device->Rename(L"Pump");
    device->RequestPollStart(kPollOperator);
    ASSERT_TRUE(WaitFor(5000, [&] { return device->GetPollState() == kPollWaiting; }));
    const ULONGLONG before = GetTickCount64();
    delete device;
    EXPECT_LT(GetTickCount64() - before, 2000u);
    auto idle = std::make_unique<ToviDevice>();  // waiting on its start event
    idle->Rename(L"Idle");
    idle.reset();
    EXPECT_TRUE(log.Contains("Device: Pump Thread to poll device terminated \r\n"));
    EXPECT_TRUE(log.Contains("Device: Pump Destroyed \r\n"));
    EXPECT_TRUE(log.Contains("Device: Idle Destroyed \r\n"));
}
