// The trend's reduction of a real series to pixel columns: steps and slopes,
// gaps of Bad stretches, Uncertain marks, the samples either side of the
// range, reads in pages.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HistorySeries.h"
#include "HistoryStore.h"
#include "TrendSeriesReducer.h"

namespace {
constexpr HistoryTime kS = kHistoryTicksPerSecond;
constexpr HistoryTime kBase = 13'400'000'000LL * kS;  // an afternoon in 2025
constexpr HistoryQuality kGood = 0xC0, kUncertain = 0x40, kBad = 0x00;

struct Sample {
    double at;  // seconds from kBase
    double value;
    HistoryQuality quality = kGood;
};
// What a column must show; `value` false: a gap.
struct Expected {
    bool value;
    double low = 0, high = 0, first = 0, last = 0;
    bool bad = false, uncertain = false;
};
constexpr Expected kGap{false};
constexpr Expected kBadGap{false, 0, 0, 0, 0, true};
constexpr Expected Flat(double v) { return {true, v, v, v, v}; }

struct Case {
    const char* name;
    HistoryValueKind kind;
    std::vector<Sample> samples;
    double holdUntil;               // seconds from kBase
    std::vector<Expected> columns;  // ten seconds each from kBase
    double low, high;               // the autoscale's range
};

class TrendReductionTest : public ::testing::Test {
protected:
    std::shared_ptr<HistorySeries> Series(HistoryValueKind kind, const std::vector<Sample>& samples) {
        auto series = store.CreateSeries(kind);
        for (const Sample& s : samples) {
            series->Record({kBase + static_cast<HistoryTime>(s.at * kS), s.value, {}, s.quality});
        }
        return series;
    }
    // The store's clock stays by the samples: nothing is older than its span.
    void SetUp() override {
        store.SetClock([] { return kBase + 300 * kS; });
    }
    HistoryStore store;
};
}  // namespace

TEST_F(TrendReductionTest, StepsSlopesGapsAndMarksPerColumn) {
    const Case cases[] = {
        {"a stepped value holds, and its change stands in one column",
         HistoryValueKind::Integer,
         {{5, 1}, {25, 3}},
         60,
         {Flat(1), Flat(1), {true, 1, 3, 1, 3}, Flat(3), Flat(3), Flat(3)},
         1,
         3},
        {"a sloped value runs straight to the next and then holds until now",
         HistoryValueKind::Float,
         {{0, 0}, {40, 40}},
         60,
         {{true, 0, 10, 0, 10},
          {true, 10, 20, 10, 20},
          {true, 20, 30, 20, 30},
          {true, 30, 40, 30, 40},
          Flat(40),
          Flat(40)},
         0,
         40},
        {"before the history and after now there is nothing",
         HistoryValueKind::Integer,
         {{12, 4}},
         35,
         {kGap, Flat(4), Flat(4), Flat(4), kGap},
         4,
         4},
        {"a Bad stretch is a gap, its value scales nothing, and the slope before it stays flat",
         HistoryValueKind::Float,
         {{0, 0}, {20, 99, kBad}, {40, 40}},
         60,
         {Flat(0), Flat(0), kBadGap, kBadGap, Flat(40), Flat(40)},
         0,
         40},
        {"an Uncertain stretch is drawn and marked",
         HistoryValueKind::Integer,
         {{0, 1}, {20, 2, kUncertain}, {30, 3}},
         50,
         {Flat(1), Flat(1), {true, 2, 2, 2, 2, false, true}, Flat(3), Flat(3)},
         1,
         3},
        {"a Bad sample within a column leaves its value and marks it",
         HistoryValueKind::Integer,
         {{0, 5}, {12, 0, kBad}, {15, 6}},
         30,
         {Flat(5), {true, 5, 6, 5, 6, true}, Flat(6)},
         5,
         6},
        {"the line enters from the sample before the range and leaves towards the one after",
         HistoryValueKind::Float,
         {{-50, 0}, {100, 150}},
         200,
         {{true, 50, 60, 50, 60}, {true, 60, 70, 60, 70}, {true, 70, 80, 70, 80}},
         50,
         80},
        {"a Boolean is stepped",
         HistoryValueKind::Boolean,
         {{0, 0}, {15, 1}, {16, 0}},
         30,
         {Flat(0), {true, 0, 1, 0, 0}, Flat(0)},
         0,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto series = Series(c.kind, c.samples);
        const TrendReduction r = TrendSeriesReducer::Reduce(*series, kBase, 10 * kS, c.columns.size(),
                                                            kBase + static_cast<HistoryTime>(c.holdUntil * kS));
        ASSERT_EQ(r.columns.size(), c.columns.size());
        EXPECT_EQ(r.stepped, c.kind != HistoryValueKind::Float);
        for (size_t i = 0; i < c.columns.size(); ++i) {
            const Expected& e = c.columns[i];
            const TrendColumn& got = r.columns[i];
            SCOPED_TRACE(testing::Message() << "column " << i);
            EXPECT_EQ(got.hasValue, e.value);
            EXPECT_EQ(got.bad, e.bad);
            EXPECT_EQ(got.uncertain, e.uncertain);
            if (!e.value || !got.hasValue) continue;
            EXPECT_DOUBLE_EQ(got.low, e.low);
            EXPECT_DOUBLE_EQ(got.high, e.high);
            EXPECT_DOUBLE_EQ(got.first, e.first);
            EXPECT_DOUBLE_EQ(got.last, e.last);
        }
        EXPECT_TRUE(r.hasValue);
        EXPECT_DOUBLE_EQ(r.low, c.low);
        EXPECT_DOUBLE_EQ(r.high, c.high);
    }
}

// Many more samples than a page in one column: every page is taken once, so
// a lone peak deep in the last page still shows, and a text series gives nothing.
TEST_F(TrendReductionTest, ManyPagesReduceToTheirExtremes) {
    auto series = store.CreateSeries(HistoryValueKind::Integer);
    const size_t count = TrendSeriesReducer::kPageSize * 3 + 123;
    for (size_t i = 0; i < count; ++i) {
        const double value = i == count - 50 ? 1000.0 : (i == 3 ? -7.0 : static_cast<double>(i % 10));
        series->Record({kBase + static_cast<HistoryTime>(i) * 1000, value, {}, kGood});
    }
    // Samples sharing one instant across a page's end are taken once each, in order.
    const HistoryTime shared = kBase + 20 * kS;
    for (size_t i = 0; i < TrendSeriesReducer::kPageSize + 10; ++i) {
        series->Record({shared, static_cast<double>(i), {}, kGood});
    }
    const TrendReduction r = TrendSeriesReducer::Reduce(*series, kBase, 10 * kS, 3, kBase + 30 * kS);
    ASSERT_EQ(r.columns.size(), 3u);
    EXPECT_DOUBLE_EQ(r.columns[0].low, -7);
    EXPECT_DOUBLE_EQ(r.columns[0].high, 1000);
    EXPECT_DOUBLE_EQ(r.columns[0].last, static_cast<double>((count - 1) % 10));
    EXPECT_DOUBLE_EQ(r.columns[2].low, 0);
    EXPECT_DOUBLE_EQ(r.columns[2].high, static_cast<double>(TrendSeriesReducer::kPageSize + 9));
    EXPECT_DOUBLE_EQ(r.columns[2].last, static_cast<double>(TrendSeriesReducer::kPageSize + 9));

    auto text = store.CreateSeries(HistoryValueKind::Text);
    text->Record({kBase + kS, 0, L"on", kGood});
    const TrendReduction none = TrendSeriesReducer::Reduce(*text, kBase, 10 * kS, 3, kBase + 30 * kS);
    EXPECT_FALSE(none.hasValue);
}
