#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "HistorySeries.h"
#include "HistoryStore.h"
#include "HistoryTestClock.h"

TEST(HistoryStoreTest, ADoubleSampleCostsAtMost24BytesAndIsGivenBack) {
    ClockedStore clocked;
    auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
    constexpr int kCount = 100'000;
    for (int i = 0; i < kCount; ++i) series->Record(Sample(kBase + i * kSecond / 10, i * 0.5));
    ASSERT_GT(series->BytesUsed(), 0u);
    EXPECT_LE(static_cast<double>(series->BytesUsed()) / kCount, 24.0);
    EXPECT_EQ(series->BytesUsed(), clocked.store.BytesUsed());
    // Edits copy what they touch; the old chunks go with the last reader.
    series->Update(HistoryUpdateKind::Replace, Sample(kBase + 500 * kSecond, -1));
    series->Delete(kBase + 1000 * kSecond, kBase + 1200 * kSecond);
    EXPECT_LE(static_cast<double>(series->BytesUsed()) / (kCount - 2000), 24.0);
    series.reset();
    EXPECT_EQ(0u, clocked.store.BytesUsed());
}

TEST(HistoryStoreTest, TheSpanTrimsTheOldestSamplesAndTheComputedPast) {
    ClockedStore clocked(HistoryLimits{100 * kSecond, 1ull << 30});
    auto recorded = clocked.store.CreateSeries(HistoryValueKind::Integer);
    auto computed = clocked.store.CreateSeries(HistoryValueKind::Integer);
    computed->SetPast(HistoryPast{kBase, kSecond, [](HistoryTime t) { return Sample(t, 1); }});
    for (int i = 0; i < 5000; ++i) recorded->Record(Sample(kBase + i * kSecond / 50, i));  // 100 s
    const std::uint64_t full = clocked.store.BytesUsed();
    struct Step {
        HistoryTime now;  // after kBase
        size_t recordedLeft;
        size_t computedLeft;
    };
    const Step steps[] = {
        {100 * kSecond, 5000, 0},  // all recorded within the span, the past just out of it
        {150 * kSecond, 2500, 0},
        {201 * kSecond, 0, 0},
    };
    clocked.now = kBase + 50 * kSecond;
    EXPECT_EQ(50u, ReadAll(*computed).size());
    for (const Step& s : steps) {
        clocked.now = kBase + s.now;
        clocked.store.Trim();
        EXPECT_EQ(s.recordedLeft, ReadAll(*recorded).size()) << s.now;
        EXPECT_EQ(s.computedLeft, ReadAll(*computed).size()) << s.now;
        HistoryTime oldest, newest;
        EXPECT_EQ(s.recordedLeft > 0, recorded->Extent(oldest, newest));
    }
    EXPECT_GT(full, 0u);
    EXPECT_EQ(0u, clocked.store.BytesUsed());
}

TEST(HistoryStoreTest, TheBoundDropsTheOldestChunksOfAllSeriesAndIsToldOnce) {
    // Three tags that were busy one after the other: the first one's samples
    // are the oldest whatever their share of the memory.
    ClockedStore clocked(HistoryLimits{24 * 3600 * kSecond, 1ull << 30});
    std::vector<std::uint64_t> told;
    clocked.store.OnBoundReached([&](std::uint64_t bytes) { told.push_back(bytes); });
    const int lengths[] = {20'000, 5'000, 30'000};
    std::vector<std::shared_ptr<HistorySeries>> series;
    HistoryTime t = kBase - 3600 * kSecond;
    for (int length : lengths) {
        series.push_back(clocked.store.CreateSeries(HistoryValueKind::Float));
        for (int i = 0; i < length; ++i) series.back()->Record(Sample(t += kSecond / 10, i));
    }
    const std::uint64_t full = clocked.store.BytesUsed();
    struct Case {
        double share;  // of what all three take
        int told;
    };
    const Case cases[] = {{0.9, 1}, {0.7, 1}, {0.3, 1}, {1.0, 1}};
    size_t previousLeft = 55'000;
    for (const Case& c : cases) {
        const auto bound = static_cast<std::uint64_t>(static_cast<double>(full) * c.share);
        clocked.store.SetLimits(HistoryLimits{24 * 3600 * kSecond, bound});
        clocked.store.Trim();
        EXPECT_LE(clocked.store.BytesUsed(), bound) << c.share;
        EXPECT_EQ(static_cast<size_t>(c.told), told.size()) << c.share;
        std::vector<size_t> left;
        size_t total = 0;
        for (const auto& s : series) {
            const auto samples = ReadAll(*s);
            left.push_back(samples.size());
            total += samples.size();
            // What is left of a tag is its newest part.
            if (!samples.empty()) {
                EXPECT_EQ(static_cast<double>(lengths[left.size() - 1] - 1), samples.back().number);
            }
        }
        // A younger tag lost samples only once the older ones had none left.
        for (size_t i = 1; i < left.size(); ++i) {
            if (left[i] < static_cast<size_t>(lengths[i])) {
                EXPECT_EQ(0u, left[i - 1]) << c.share << " " << i;
            }
        }
        EXPECT_LE(total, previousLeft);
        previousLeft = total;
    }
    ASSERT_EQ(1u, told.size());
    EXPECT_EQ(static_cast<std::uint64_t>(static_cast<double>(full) * 0.9), told[0]);
    // The room came back (the bound raised above): the next time it bites is told again.
    for (int i = 0; i < 30'000; ++i) series[2]->Record(Sample(t += kSecond / 10, i));
    clocked.store.SetLimits(HistoryLimits{24 * 3600 * kSecond, clocked.store.BytesUsed() / 2});
    clocked.store.Trim();
    EXPECT_EQ(2u, told.size());
}

TEST(HistoryStoreTest, AReaderNeverSeesATornSampleWhileWritersRecordAndEdit) {
    ClockedStore clocked;
    auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
    // Every sample says its own time twice over: in its number and its quality.
    auto make = [](HistoryTime i) {
        return Sample(kBase + i, static_cast<double>(i), static_cast<HistoryQuality>(i & 0xFF));
    };
    constexpr HistoryTime kCount = 60'000;
    std::atomic<bool> done{false};
    std::atomic<HistoryTime> written{1};
    std::thread writer([&] {
        for (HistoryTime i = 0; i < kCount; ++i) {
            series->Record(make(i * 2));
            written = i * 2 + 1;
        }
        done = true;
    });
    // Edits among what is written: copies of chunks a reader may hold.
    std::thread editor([&] {
        for (HistoryTime i = 1; !done; i += 7) {
            const HistoryTime at = (i * 31) % written;
            series->Update(HistoryUpdateKind::Upsert, make(at));
            if (i % 5 == 0) series->Delete(kBase + at, kBase + at + 3);
        }
    });
    size_t reads = 0;
    bool torn = false;
    bool unordered = false;
    while (!done || reads < 2) {
        std::vector<HistorySample> page;
        const HistoryTime from = kBase + static_cast<HistoryTime>(reads * 997 % (kCount * 2));
        series->ReadForward(from, kHistoryTimeMax, 0, 2000, page);
        for (size_t i = 0; i < page.size(); ++i) {
            const HistoryTime at = page[i].time - kBase;
            torn |= page[i].number != static_cast<double>(at) || page[i].quality != (at & 0xFF);
            unordered |= i > 0 && page[i].time < page[i - 1].time;
        }
        ++reads;
    }
    writer.join();
    editor.join();
    EXPECT_FALSE(torn);
    EXPECT_FALSE(unordered);
    const auto all = ReadAll(*series);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.time < b.time; }));
    EXPECT_GT(all.size(), static_cast<size_t>(kCount / 2));
}
