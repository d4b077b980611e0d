#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "FileTime.h"
#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "TagDbFixtures.h"
#include "Thread.h"
#include "ToviDevice.h"

namespace {
SYSTEMTIME At(WORD hour, WORD minute, WORD second) {
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 6;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

// A device with one tag whose stamp is old, and its flat list built.
struct StampedDevice {
    ToviDevice device;
    ToviTag* tag = NewTag(L"T");
    FILETIME old{1, 0};
    StampedDevice() {
        device.AddTag(tag);
        tag->SetValue(Variant::FromDouble(4), OPC_QUALITY_BAD, old);
        device.RebuildTagList();
    }
    bool Restamped() { return !(tag->GetTimestamp() == old); }
};

}  // namespace

TEST(ProductDeviceTest, ProposedNamesSkipTakenOnes) {
    ToviDevice first;
    EXPECT_EQ(L"TagGroup", first.ProposeName());
    first.Rename(L"tagGROUP");
    EXPECT_EQ(L"TagGroup", first.ProposeName());  // its own name does not block it
    ToviDevice second;
    EXPECT_EQ(L"TagGroup v2", second.ProposeName());
    second.Rename(L"TagGroup v2");
    ToviDevice third;
    EXPECT_EQ(L"TagGroup v3", third.ProposeName());
}

TEST(ProductDeviceTest, RefreshSettingsDriveTheUpdateInterval) {
    ToviDevice device;
    device.ApplyRefreshInterval();
    EXPECT_EQ(3599u, device.GetUpdateInterval());  // disabled
    device.SetRefreshEnabled(true);
    EXPECT_EQ(1u, device.GetUpdateInterval());  // by schedule: every second
    device.SetRefreshMode(kRefreshByInterval);
    device.SetRefreshPeriod(90);
    EXPECT_EQ(90u, device.GetUpdateInterval());
    device.SetRefreshPeriod(7200);
    EXPECT_EQ(3599u, device.GetUpdateInterval());
}

TEST(ProductDeviceTest, ScheduleRefreshesOnWholeMultiplesOfThePeriod) {
    StampedDevice d;
    d.device.SetRefreshEnabled(true);
    d.device.SetRefreshPeriod(900);
    d.device.RefreshIfDue(At(10, 7, 0));
    d.device.RefreshIfDue(At(10, 15, 1));
    EXPECT_FALSE(d.Restamped());
    d.device.RefreshIfDue(At(10, 15, 0));
    EXPECT_TRUE(d.Restamped());
    EXPECT_EQ(OPC_QUALITY_GOOD, d.tag->GetQuality());
    EXPECT_EQ(L"4 ", d.tag->GetValueText());  // value kept
}

TEST(ProductDeviceTest, IntervalRefreshesEveryCycleAndDisabledNever) {
    StampedDevice d;
    d.device.RefreshIfDue(At(10, 15, 0));
    EXPECT_FALSE(d.Restamped());
    d.device.SetRefreshEnabled(true);
    d.device.SetRefreshMode(kRefreshByInterval);
    d.device.SetRefreshPeriod(90);
    d.device.RefreshIfDue(At(10, 15, 17));
    EXPECT_TRUE(d.Restamped());

    StampedDevice zero;  // a schedule period of 0 is never due
    zero.device.SetRefreshEnabled(true);
    zero.device.SetRefreshPeriod(0);
    zero.device.RefreshIfDue(At(0, 0, 0));
    EXPECT_FALSE(zero.Restamped());
}

TEST(ProductDeviceTest, PollingByIntervalRestampsTheTags) {
    StampedDevice d;
    d.device.SetRefreshEnabled(true);
    d.device.SetRefreshMode(kRefreshByInterval);
    d.device.SetRefreshPeriod(1);
    d.device.RequestPollStart(kPollOperator);
    const ULONGLONG end = GetTickCount64() + 5000;
    while (!d.Restamped() && GetTickCount64() < end) Sleep(10);
    EXPECT_TRUE(d.Restamped());
}
