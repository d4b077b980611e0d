#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "HandleTable.h"

namespace {
struct Thing {
    int id = 0;
};
}  // namespace

TEST(HandleTableTest, HandlesAreNonzeroUniqueAndNameTheirObjectUntilWithdrawn) {
    HandleTable<Thing> table;
    Thing a{1}, b{2};
    const OPCHANDLE ha = table.Add(&a);
    const OPCHANDLE hb = table.Add(&b);
    EXPECT_NE(0u, ha);
    EXPECT_NE(0u, hb);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(&a, table.Find(ha));
    EXPECT_EQ(&b, table.Find(hb));
    EXPECT_EQ(2u, table.Count());
    int seen = 0;
    EXPECT_TRUE(table.Visit(hb, [&](Thing* t) { seen = t->id; }));
    EXPECT_EQ(2, seen);
    EXPECT_EQ(&a, table.Remove(ha));
    EXPECT_EQ(nullptr, table.Find(ha));
    EXPECT_FALSE(table.Visit(ha, [&](Thing*) { seen = -1; }));
    EXPECT_EQ(2, seen);
    EXPECT_EQ(nullptr, table.Remove(ha)) << "a handle is withdrawn once";
    EXPECT_EQ(nullptr, table.Find(0));
    EXPECT_EQ(0u, table.Add(nullptr));
    EXPECT_EQ(1u, table.Count());
}

TEST(HandleTableTest, AHandleIsNeverIssuedTwiceEvenAcrossTablesOrForTheSameObject) {
    HandleTable<Thing> groups;
    HandleTable<int> items;
    Thing thing;
    int value = 0;
    std::set<OPCHANDLE> seen;
    for (int i = 0; i < 1000; ++i) {
        const OPCHANDLE g = groups.Add(&thing);
        const OPCHANDLE it = items.Add(&value);
        EXPECT_TRUE(seen.insert(g).second);
        EXPECT_TRUE(seen.insert(it).second);
        groups.Remove(g);
        EXPECT_EQ(nullptr, items.Find(g)) << "a group's handle names nothing among the items";
        EXPECT_EQ(nullptr, groups.Find(it));
    }
}

TEST(HandleTableTest, ThreadsAddingAndRemovingAtOnceGetDistinctHandles) {
    HandleTable<Thing> table;
    std::vector<Thing> things(4);
    std::vector<std::vector<OPCHANDLE>> issued(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                const OPCHANDLE h = table.Add(&things[t]);
                issued[t].push_back(h);
                if (table.Find(h) != &things[t]) issued[t].push_back(0);
                if (i % 2 == 0) table.Remove(h);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<OPCHANDLE> all;
    for (auto& list : issued) all.insert(all.end(), list.begin(), list.end());
    EXPECT_EQ(all.end(), std::find(all.begin(), all.end(), 0u));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
    EXPECT_EQ(4u * 2500u, table.Count());
}
