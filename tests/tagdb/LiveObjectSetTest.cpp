// The live-object sets answer readers on many threads without a lock while
// tags come and go; a reader must never miss a live object, whatever the
// writers do to the table meanwhile (growth included).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "LiveObjectSet.h"

TEST(LiveObjectSetTest, ReadersNeverMissALiveObjectWhileWritersChurnAndGrowTheTable) {
    LiveObjectSet set;
    std::vector<int> permanent(500), churn(20000), never(500);
    for (int& p : permanent) set.Add(&p);
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0}, checks{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                for (int& p : permanent) wrong += set.Contains(&p) ? 0 : 1;
                for (int& n : never) wrong += set.Contains(&n) ? 1 : 0;
                checks += 1000;
            }
        });
    }
    // Rounds of additions make the table grow; removals leave tombstones that
    // later growth sweeps away.
    for (int round = 0; round < 5; ++round) {
        for (int& c : churn) set.Add(&c);
        for (int& c : churn) set.Remove(&c);
    }
    stop.store(true);
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(0, wrong.load()) << "of " << checks.load() << " checks";
    EXPECT_GT(checks.load(), 0);
    for (int& c : churn) EXPECT_FALSE(set.Contains(&c));
    for (int& p : permanent) EXPECT_TRUE(set.Contains(&p));
    EXPECT_FALSE(set.Contains(nullptr));
}
