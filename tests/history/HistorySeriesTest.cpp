#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "HistorySeries.h"
#include "HistoryTestClock.h"

namespace {
// Samples at 10, 20, 20, 20, 30, 40, 40, 50 (seconds after kBase); the
// number tells them apart.
std::shared_ptr<HistorySeries> SeriesWithRepeatedTimes(HistoryStore& store) {
    auto series = store.CreateSeries(HistoryValueKind::Float);
    const int seconds[] = {10, 20, 20, 20, 30, 40, 40, 50};
    for (int i = 0; i < 8; ++i) series->Record(Sample(kBase + seconds[i] * kSecond, i));
    return series;
}

// The computed past of the tests: one sample a second up to kBase, its
// number the step's distance from kBase, Bad every fifth step.
HistoryPast SecondsPast() {
    return HistoryPast{kBase, kSecond, [](HistoryTime t) {
                           const double n = static_cast<double>((t - kBase) / kSecond);
                           return Sample(t, n, static_cast<long long>(n) % 5 == 0 ? kBad : kGood);
                       }};
}

std::vector<HistoryTime> Times(const std::vector<HistorySample>& samples) {
    std::vector<HistoryTime> times;
    for (const auto& s : samples) times.push_back((s.time - kBase) / kSecond);
    return times;
}
}  // namespace

TEST(HistorySeriesTest, PagesResumeAmongSamplesOfOneTimeEitherWay) {
    ClockedStore clocked;
    clocked.now = kBase + 60 * kSecond;
    auto series = SeriesWithRepeatedTimes(clocked.store);
    const std::vector<HistorySample> all = ReadAll(*series);
    ASSERT_EQ(8u, all.size());
    std::vector<HistorySample> reversed(all.rbegin(), all.rend());
    for (bool forward : {true, false}) {
        for (size_t page : {1u, 2u, 3u, 5u}) {
            std::vector<HistorySample> got;
            HistoryTime from = forward ? kBase : kBase + 100 * kSecond;
            const HistoryTime to = forward ? kBase + 100 * kSecond : kBase;
            size_t skip = 0;
            for (int guard = 0; guard < 20; ++guard) {
                std::vector<HistorySample> chunk;
                const size_t n = forward ? series->ReadForward(from, to, skip, page, chunk)
                                         : series->ReadBackward(from, to, skip, page, chunk);
                ASSERT_EQ(n, chunk.size());
                if (n == 0) break;
                got.insert(got.end(), chunk.begin(), chunk.end());
                // The continuation a client gets: the last time, and how many of it it has.
                const HistoryTime last = chunk.back().time;
                const size_t atLast = static_cast<size_t>(
                    std::count_if(got.begin(), got.end(), [&](const HistorySample& s) { return s.time == last; }));
                skip = atLast;
                from = last;
            }
            EXPECT_EQ(forward ? all : reversed, got) << "forward " << forward << " page " << page;
        }
    }
    // A skip passes over samples at `from` only.
    std::vector<HistorySample> out;
    EXPECT_EQ(4u, series->ReadForward(kBase + 15 * kSecond, kBase + 35 * kSecond, 2, 10, out));
    out.clear();
    EXPECT_EQ(2u, series->ReadBackward(kBase + 35 * kSecond, kBase, 2, 2, out));
    EXPECT_EQ((std::vector<HistoryTime>{30, 20}), Times(out));
    // The bounds: from is inside the range, to is not.
    out.clear();
    EXPECT_EQ(4u, series->ReadForward(kBase + 20 * kSecond, kBase + 40 * kSecond, 0, 10, out));
    out.clear();
    EXPECT_EQ(3u, series->ReadBackward(kBase + 40 * kSecond, kBase + 20 * kSecond, 0, 10, out));
    EXPECT_EQ((std::vector<HistoryTime>{40, 40, 30}), Times(out));
}

TEST(HistorySeriesTest, TheComputedPastLeadsIntoTheRecordedAndEndsAtTheSpan) {
    struct Case {
        HistoryTime nowAfterBase;   // ticks
        HistoryTime firstComputed;  // seconds from kBase
        size_t computed;
    };
    const Case cases[] = {
        {3 * kSecond, -7, 7},                // span 10 s: back to kBase - 7 s
        {3 * kSecond + kSecond / 2, -6, 6},  // the span's edge between two steps
        {13 * kSecond, 0, 0},                // all of it older than the span
        {-kSecond, -11, 11},                 // the clock behind the recording start
    };
    for (const Case& c : cases) {
        ClockedStore clocked(HistoryLimits{10 * kSecond, 1 << 20});
        clocked.now = kBase + c.nowAfterBase;
        auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
        series->SetPast(SecondsPast());
        for (int i = 0; i < 3; ++i) series->Record(Sample(kBase + i * kSecond, 100 + i));
        const std::vector<HistorySample> all = ReadAll(*series);
        std::vector<HistoryTime> expected;
        for (size_t i = 0; i < c.computed; ++i) expected.push_back(c.firstComputed + static_cast<HistoryTime>(i));
        for (HistoryTime i = 0; i < 3; ++i) {
            if (kBase + i * kSecond >= clocked.now - 10 * kSecond) expected.push_back(i);
        }
        EXPECT_EQ(expected, Times(all)) << c.nowAfterBase;
        for (const auto& s : all) {
            const HistoryTime at = (s.time - kBase) / kSecond;
            EXPECT_EQ(at < 0 ? static_cast<double>(at) : 100 + at, s.number);
        }
        std::vector<HistorySample> backward;
        series->ReadBackward(kHistoryTimeMax, std::numeric_limits<HistoryTime>::min(), 0, 100, backward);
        EXPECT_EQ(std::vector<HistorySample>(all.rbegin(), all.rend()), backward);
        std::vector<HistoryPoint> points;
        series->ReadPoints(std::numeric_limits<HistoryTime>::min(), kHistoryTimeMax, 100, points);
        ASSERT_EQ(all.size(), points.size());
        for (size_t i = 0; i < all.size(); ++i) {
            EXPECT_EQ(all[i].time, points[i].time);
            EXPECT_EQ(all[i].number, points[i].value);
            EXPECT_EQ(all[i].quality, points[i].quality);
        }
        HistoryTime oldest = 0, newest = 0;
        ASSERT_EQ(!all.empty(), series->Extent(oldest, newest));
        if (!all.empty()) {
            EXPECT_EQ(all.front().time, oldest);
            EXPECT_EQ(all.back().time, newest);
        }
    }
}

TEST(HistorySeriesTest, BeforeAndAfterCrossTheRecordingStartAndStopAtTheSpan) {
    ClockedStore clocked(HistoryLimits{10 * kSecond, 1 << 20});
    clocked.now = kBase + 3 * kSecond;  // readable from kBase - 7 s
    auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
    series->SetPast(SecondsPast());
    series->Record(Sample(kBase, 100, kBad));
    series->Record(Sample(kBase + 2 * kSecond, 102));
    struct Case {
        bool after;
        HistoryTime at;  // ticks from kBase
        bool inclusive;
        bool goodOnly;
        bool found;
        HistoryTime expected;  // seconds from kBase
    };
    const Case cases[] = {
        {false, 0, false, false, true, -1},             // the last computed step
        {false, 0, true, false, true, 0},               // the recording start itself
        {false, kSecond / 2, false, true, true, -1},    // passes the Bad start
        {false, -4 * kSecond, false, true, true, -6},   // passes -5 (Bad)
        {false, -7 * kSecond, false, false, false, 0},  // nothing readable before the span
        {false, -5 * kSecond, true, true, true, -6},    // inclusive, and Bad
        {true, -kSecond / 2, false, false, true, 0},    // into the recorded
        {true, -kSecond / 2, false, true, true, 2},     // passes the Bad start
        {true, -30 * kSecond, false, false, true, -7},  // begins at the span
        {true, 2 * kSecond, true, false, true, 2},
        {true, 2 * kSecond, false, false, false, 0},
    };
    for (const Case& c : cases) {
        HistorySample out;
        const bool found = c.after ? series->After(kBase + c.at, c.inclusive, c.goodOnly, out)
                                   : series->Before(kBase + c.at, c.inclusive, c.goodOnly, out);
        ASSERT_EQ(c.found, found) << c.after << " " << c.at;
        if (found) {
            EXPECT_EQ(c.expected, (out.time - kBase) / kSecond) << c.after << " " << c.at;
        }
    }
}

TEST(HistorySeriesTest, UpdatesKeepEverythingElseAndTurnTheComputedPastIntoRecorded) {
    using K = HistoryUpdateKind;
    using O = HistoryUpdateOutcome;
    struct Case {
        K kind;
        HistoryTime at;  // ticks from kBase
        O outcome;
    };
    // Recorded at 0, 1, 2 s; computed each second before 0; readable from -7 s.
    const Case cases[] = {
        {K::Insert, kSecond / 2, O::Inserted},
        {K::Insert, kSecond, O::EntryExists},
        {K::Replace, kSecond / 2, O::NoEntryExists},
        {K::Replace, 2 * kSecond, O::Replaced},
        {K::Upsert, 5 * kSecond, O::Inserted},
        {K::Upsert, kSecond, O::Replaced},
        {K::Insert, -3 * kSecond, O::EntryExists},  // a computed sample is there
        {K::Replace, -3 * kSecond, O::Replaced},
        {K::Insert, -5 * kSecond / 2, O::Inserted},
        {K::Replace, -5 * kSecond / 2, O::NoEntryExists},
        {K::Upsert, -7 * kSecond, O::Replaced},
        {K::Upsert, -8 * kSecond, O::OutOfRange},  // older than the span
    };
    for (const Case& c : cases) {
        ClockedStore clocked(HistoryLimits{10 * kSecond, 1 << 20});
        clocked.now = kBase + 3 * kSecond;
        auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
        series->SetPast(SecondsPast());
        for (int i = 0; i < 3; ++i) series->Record(Sample(kBase + i * kSecond, 100 + i));
        series->Record(Sample(kBase - 9 * kSecond / 2, 50));  // the clock was set back
        std::vector<HistorySample> expected = ReadAll(*series);
        const HistorySample edit = Sample(kBase + c.at, -1000, 0x40);
        ASSERT_EQ(c.outcome, series->Update(c.kind, edit)) << static_cast<int>(c.kind) << " " << c.at;
        if (c.outcome == O::Inserted) {
            expected.insert(std::upper_bound(expected.begin(), expected.end(), edit,
                                             [](const auto& a, const auto& b) { return a.time < b.time; }),
                            edit);
        } else if (c.outcome == O::Replaced) {
            *std::find_if(expected.begin(), expected.end(), [&](const auto& s) { return s.time == edit.time; }) = edit;
        }
        EXPECT_EQ(expected, ReadAll(*series)) << static_cast<int>(c.kind) << " " << c.at;
        // Later the span passes the edit: what was computed is still read the same.
        clocked.now = kBase + 4 * kSecond;
        std::erase_if(expected, [&](const auto& s) { return s.time < clocked.now - 10 * kSecond; });
        EXPECT_EQ(expected, ReadAll(*series)) << static_cast<int>(c.kind) << " " << c.at;
    }
    ClockedStore clocked;
    auto series = clocked.store.CreateSeries(HistoryValueKind::Integer);
    HistorySample text = Sample(kBase, 1);
    text.text = L"7";
    EXPECT_EQ(O::WrongKind, series->Update(K::Upsert, text));
    EXPECT_TRUE(ReadAll(*series).empty());
}

TEST(HistorySeriesTest, AnEditTheMemoryBoundCannotHoldIsRefused) {
    // A day of steps at 100 ms is 864,000 samples: more than 1 MB.
    ClockedStore clocked(HistoryLimits{24 * 3600 * kSecond, 1 << 20});
    auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
    series->SetPast(HistoryPast{kBase, kSecond / 10, [](HistoryTime t) { return Sample(t, 1); }});
    const std::vector<HistorySample> before = ReadAll(*series);
    EXPECT_EQ(HistoryUpdateOutcome::OutOfRange,
              series->Update(HistoryUpdateKind::Upsert, Sample(kBase - 20 * 3600 * kSecond, 2)));
    EXPECT_EQ(0u, series->Delete(kBase - 20 * 3600 * kSecond, kBase - 20 * 3600 * kSecond + kSecond));
    EXPECT_EQ(before.size(), ReadAll(*series).size());
    EXPECT_EQ(0u, series->BytesUsed());
    // Near the recording start it fits.
    EXPECT_EQ(HistoryUpdateOutcome::Replaced, series->Update(HistoryUpdateKind::Upsert, Sample(kBase - kSecond, 2)));
    EXPECT_EQ(before.size(), ReadAll(*series).size());
}

TEST(HistorySeriesTest, DeleteRemovesExactlyItsRangeOfRecordedAndComputed) {
    struct Case {
        HistoryTime start, end;  // ticks from kBase
    };
    const Case cases[] = {
        {kSecond, 2 * kSecond},                 // one recorded sample
        {kSecond / 2, kSecond / 2 + 1},         // nothing there
        {-3 * kSecond, kSecond + kSecond / 2},  // across the recording start
        {-5 * kSecond / 2, -3 * kSecond / 2},   // one computed step
        {-100 * kSecond, 100 * kSecond},        // everything
        {2 * kSecond, kSecond},                 // an empty range
    };
    for (const Case& c : cases) {
        ClockedStore clocked(HistoryLimits{10 * kSecond, 1 << 20});
        clocked.now = kBase + 3 * kSecond;
        auto series = clocked.store.CreateSeries(HistoryValueKind::Float);
        series->SetPast(SecondsPast());
        for (int i = 0; i < 3; ++i) {
            series->Record(Sample(kBase + i * kSecond, 100 + i));
            series->Record(Sample(kBase + i * kSecond, 200 + i));  // two at one time
        }
        series->Record(Sample(kBase - 9 * kSecond / 2, 50));  // the clock was set back
        std::vector<HistorySample> expected = ReadAll(*series);
        const size_t removed = std::erase_if(
            expected, [&](const HistorySample& s) { return s.time >= kBase + c.start && s.time < kBase + c.end; });
        EXPECT_EQ(removed, series->Delete(kBase + c.start, kBase + c.end)) << c.start;
        EXPECT_EQ(expected, ReadAll(*series)) << c.start;
    }
}

TEST(HistorySeriesTest, TextSamplesOfAnyLengthComeBackWhole) {
    ClockedStore clocked;
    auto series = clocked.store.CreateSeries(HistoryValueKind::Text);
    std::vector<HistorySample> written;
    for (int i = 0; i < 600; ++i) {
        HistorySample s = Sample(kBase + i, 0, static_cast<HistoryQuality>(i % 3 == 0 ? kBad : kGood));
        // Empty, short, and now and then longer than a whole chunk's arena.
        s.text = i % 7 == 0 ? std::wstring() : std::wstring(static_cast<size_t>(i % 50), L'a' + i % 26);
        if (i % 97 == 0) s.text = std::wstring(10'000, L'x') + std::to_wstring(i);
        series->Record(s);
        written.push_back(s);
    }
    EXPECT_EQ(written, ReadAll(*series));
    HistorySample replaced = Sample(kBase + 97, 0);
    replaced.text = L"replaced";
    EXPECT_EQ(HistoryUpdateOutcome::Replaced, series->Update(HistoryUpdateKind::Replace, replaced));
    written[97] = replaced;
    EXPECT_EQ(5u, series->Delete(kBase + 10, kBase + 15));
    written.erase(written.begin() + 10, written.begin() + 15);
    EXPECT_EQ(written, ReadAll(*series));
    EXPECT_EQ(HistoryUpdateOutcome::WrongKind, series->Update(HistoryUpdateKind::Upsert, Sample(kBase + 1, 5)));
}

TEST(HistorySeriesTest, SamplesRecordedOutOfOrderAreReadInTimeOrder) {
    ClockedStore clocked;
    auto series = clocked.store.CreateSeries(HistoryValueKind::Integer);
    std::vector<HistorySample> written;
    // A clock set back now and then, across many chunks.
    for (int i = 0; i < 5000; ++i) {
        const HistoryTime t = kBase + (i % 100 == 99 ? i - 250 : i) * kSecond / 100;
        written.push_back(Sample(t, i));
        series->Record(written.back());
    }
    std::stable_sort(written.begin(), written.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
    EXPECT_EQ(written, ReadAll(*series));
}
