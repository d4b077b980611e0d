#include <gtest/gtest.h>

#include <atomic>

#include "CriticalSection.h"
#include "Event.h"
#include "Thread.h"

TEST(SyncTest, CriticalSectionIsReentrant) {
    CriticalSection cs;
    ScopedLock outer(cs);
    ScopedLock inner(cs);  // would deadlock if not re-entrant
    bool otherThreadGotIt = true;
    Thread other;
    ASSERT_TRUE(other.Start([&] { otherThreadGotIt = cs.try_lock(); return 0u; }));
    ASSERT_TRUE(other.Join(5000));
    EXPECT_FALSE(otherThreadGotIt);
}

TEST(SyncTest, AutoResetEventReleasesOneWaitThenResets) {
    AutoResetEvent e;
    ASSERT_TRUE(e.IsValid());
    EXPECT_EQ(WaitResult::TimedOut, e.Wait(0));
    e.Set();
    EXPECT_EQ(WaitResult::Signalled, e.Wait(0));
    EXPECT_EQ(WaitResult::TimedOut, e.Wait(0));
}

TEST(SyncTest, ThreadsCountTogetherAndJoin) {
    std::atomic<long> counter{0};
    Thread threads[4];
    for (auto& t : threads) {
        ASSERT_TRUE(t.Start([&counter] {
            for (int i = 0; i < 10000; ++i) ++counter;
            return 7u;
        }));
    }
    for (auto& t : threads) {
        EXPECT_TRUE(t.Join(10000));
        EXPECT_FALSE(t.IsRunning());
    }
    EXPECT_EQ(40000, counter.load());
}
