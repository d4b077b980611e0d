#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "TagDbFixtures.h"
#include "Thread.h"

// Renames, adoptions, removals and resolutions from several threads at once
// must neither deadlock nor crash, and must leave the indexes consistent.
TEST(TagTreeConcurrencyTest, MixedOperationsFinishAndStayConsistent) {
    PlainDevice device(L"Plant");
    ToviTagGroup* area = NewGroup(L"Area");
    ASSERT_TRUE(device.AddGroup(area));
    std::vector<ToviTag*> fixed;
    for (int i = 0; i < 50; ++i) {
        fixed.push_back(NewTag(L"Fixed" + std::to_wstring(i)));
        ASSERT_TRUE(area->AddTag(fixed.back()));
    }
    std::atomic<bool> stop{false};
    std::atomic<long> resolved{0};
    std::atomic<int> renames{0}, adds{0}, groupRenames{0};
    constexpr int kRounds = 3000;

    Thread renamer, adder, resolver, groupRenamer;
    ASSERT_TRUE(renamer.Start([&] {
        for (int i = 0; i < kRounds; ++i) {
            ToviTag* tag = fixed[static_cast<size_t>(i) % fixed.size()];
            tag->Rename((i % 2 ? L"Fixed" : L"Moved") + std::to_wstring(i % fixed.size()));
            ++renames;
        }
        return 0u;
    }));
    ASSERT_TRUE(adder.Start([&] {
        for (int i = 0; i < kRounds; ++i) {
            ToviTag* tag = NewTag(L"Temp" + std::to_wstring(i % 7));
            if (area->AddTag(tag)) {
                tag->Rename(L"TempRenamed" + std::to_wstring(i));
                if (!area->RemoveTag(tag)) std::abort();
            }
            delete tag;
            ++adds;
        }
        return 0u;
    }));
    ASSERT_TRUE(resolver.Start([&] {
        // At least one pass: on a loaded machine the others may be done before it starts.
        do {
            for (int i = 0; i < 50; ++i) {
                if (device.FindTag(L"AREA.fixed" + std::to_wstring(i)) ||
                    device.FindTag(L"area.MOVED" + std::to_wstring(i))) {
                    ++resolved;
                }
            }
            area->CanDelete();
            area->GetPath();
        } while (!stop.load());
        return 0u;
    }));
    ASSERT_TRUE(groupRenamer.Start([&] {
        for (int i = 0; i < kRounds; ++i) {
            area->Rename(i % 2 ? L"Area" : L"area");
            device.MakeUniqueTagName(L"Fixed");
            ++groupRenames;
        }
        area->Rename(L"Area");
        return 0u;
    }));

    const bool finished = renamer.Join(20000) && adder.Join(20000) && groupRenamer.Join(20000);
    stop = true;
    const bool resolverFinished = resolver.Join(20000);
    if (!finished || !resolverFinished) {
        ADD_FAILURE() << "deadlock: threads did not finish: renames " << renames << " adds " << adds
                      << " group renames " << groupRenames;
        std::abort();  // the threads still hold the objects: do not unwind past them
    }
    EXPECT_GT(resolved.load(), 0);
    EXPECT_EQ(50, area->TagCount());
    for (ToviTag* tag : fixed) {
        EXPECT_EQ(tag, device.FindTag(L"Area." + tag->GetName())) << tag->GetName();
    }
}
