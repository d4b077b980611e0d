#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "HandleTable.h"

TEST(HandleTableTest, ThreadsIssuingAtOnceGetNonzeroHandlesNeverIssuedBefore) {
    std::vector<std::vector<OPCHANDLE>> issued(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&issued, t] {
            for (int i = 0; i < 5000; ++i) issued[t].push_back(IssueServerHandle());
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<OPCHANDLE> all;
    for (auto& list : issued) all.insert(all.end(), list.begin(), list.end());
    EXPECT_EQ(all.end(), std::find(all.begin(), all.end(), 0u));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
}
