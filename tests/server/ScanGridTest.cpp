// When a group's next scan is due: on the grid of its rate, whatever the
// wake-ups' delays, so that a client at 1,000 ms hears every change of a
// value that changes once a second.
#include <gtest/gtest.h>

#include "ScanGrid.h"

TEST(ScanGridTest, TheScansKeepTheGridOfTheRateThroughLateWakeUps) {
    const struct {
        ULONGLONG previousDue, scanStart;
        DWORD rate;
        ULONGLONG next;
        const char* why;
    } cases[] = {
        {0, 5000, 1000, 6000, "the first scan starts the grid"},
        {6000, 6000, 1000, 7000, "on time"},
        {6000, 6037, 1000, 7000, "a late wake-up does not push the next scan back"},
        {6000, 6999, 1000, 7000, "late by most of a period"},
        {6000, 7000, 1000, 8000, "late by a whole period: that point is given up"},
        {6000, 8500, 1000, 9000, "late by two and a half: the phase stays"},
        {6000, 5400, 1000, 6400, "woken early (a write reported soon): a whole period after it"},
        {6000, 6010, 250, 6250, "a new rate from the point the scan was due"},
        {6000, 6000, 0, 6001, "no rate: not a busy loop on one point"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(c.next, NextScanDue(c.previousDue, c.scanStart, c.rate));
    }
    // A minute of wake-ups each 37 ms late still gives a scan each second.
    ULONGLONG due = 0, start = 1000;
    for (int scan = 0; scan < 60; ++scan) {
        due = NextScanDue(due, start, 1000);
        start = due + 37;
    }
    EXPECT_EQ(61000u, due);
}
