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

// A schedule refreshes on whole multiples of its period (0: never), an
// interval on every cycle, a disabled refresh never; a refresh restamps the
// value as Good and keeps it.
TEST(ProductDeviceTest, RefreshIfDueFollowsTheModeAndThePeriod) {
    const struct {
        bool enabled;
        DWORD mode, period;
        SYSTEMTIME now;
        bool due;
    } cases[] = {
        {true, kRefreshBySchedule, 900, At(10, 7, 0), false}, {true, kRefreshBySchedule, 900, At(10, 15, 1), false},
        {true, kRefreshBySchedule, 900, At(10, 15, 0), true}, {true, kRefreshBySchedule, 0, At(0, 0, 0), false},
        {true, kRefreshByInterval, 90, At(10, 15, 17), true}, {false, kRefreshBySchedule, 900, At(10, 15, 0), false},
    };
    for (const auto& c : cases) {
        StampedDevice d;
        d.device.SetRefreshEnabled(c.enabled);
        d.device.SetRefreshMode(c.mode);
        d.device.SetRefreshPeriod(c.period);
        d.device.RefreshIfDue(c.now);
        EXPECT_EQ(c.due, d.Restamped()) << c.mode << " " << c.period << " " << c.now.wMinute << ":" << c.now.wSecond;
        if (c.due) {
            EXPECT_EQ(OPC_QUALITY_GOOD, d.tag->GetQuality());
            EXPECT_EQ(L"4 ", d.tag->GetValueText());  // value kept
        }
    }
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
