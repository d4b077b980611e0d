#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "HistoryAggregates.h"

namespace {

constexpr HistoryTime kNoon = 12 * 3600 * kHistoryTicksPerSecond;
constexpr HistoryQuality kGood = 0xC0, kUncertain = 0x40, kBad = 0x00;
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();  // no value expected

HistoryTime At(double seconds) { return kNoon + static_cast<HistoryTime>(std::llround(seconds * 1e7)); }

// Raw points in a table, read as a series would give them.
class TableSource : public AggregateSource {
public:
    TableSource(std::vector<HistoryPoint> points, bool stepped) : m_points(std::move(points)), m_stepped(stepped) {}
    bool Stepped() const override { return m_stepped; }
    std::size_t Read(HistoryTime from, HistoryTime to, std::size_t max, std::vector<HistoryPoint>& out) const override {
        ++reads;
        std::size_t n = 0;
        for (const HistoryPoint& p : m_points) {
            if (p.time >= from && p.time < to && n < max) {
                out.push_back(p);
                ++n;
            }
        }
        return n;
    }
    bool Before(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const override {
        for (auto it = m_points.rbegin(); it != m_points.rend(); ++it) {
            if ((inclusive ? it->time <= time : it->time < time) && (!goodOnly || IsGoodQuality(it->quality))) {
                out = *it;
                return true;
            }
        }
        return false;
    }
    bool After(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const override {
        for (const HistoryPoint& p : m_points) {
            if ((inclusive ? p.time >= time : p.time > time) && (!goodOnly || IsGoodQuality(p.quality))) {
                out = p;
                return true;
            }
        }
        return false;
    }
    mutable int reads = 0;

private:
    std::vector<HistoryPoint> m_points;
    bool m_stepped;
};

// The example series: one regular with a Bad and an Uncertain sample, one
// irregular (sloped, then stepped). The "point created" marker each begins
// with is no sample: history starts at the first value.
std::vector<HistoryPoint> Regular() {
    return {{At(10), 10, kGood}, {At(20), 20, kGood},      {At(30), 30, kGood}, {At(40), 40, kBad}, {At(50), 50, kGood},
            {At(60), 60, kGood}, {At(70), 70, kUncertain}, {At(80), 80, kGood}, {At(90), 90, kGood}};
}
std::vector<HistoryPoint> Irregular() {
    return {{At(2), 10, kGood},       {At(25), 20, kGood}, {At(28), 25, kGood}, {At(39), 30, kGood},
            {At(42), 0, kBad},        {At(48), 40, kGood}, {At(52), 50, kGood}, {At(72), 60, kGood},
            {At(77), 70, kUncertain}, {At(83), 70, kGood}, {At(86), 80, kGood}, {At(90), 90, kGood}};
}

AggregateConfiguration Config(bool uncertainAsBad, std::uint8_t good = 100, std::uint8_t bad = 100,
                              bool slopedExtrapolation = false) {
    AggregateConfiguration c;
    c.treatUncertainAsBad = uncertainAsBad;
    c.percentDataGood = good;
    c.percentDataBad = bad;
    c.useSlopedExtrapolation = slopedExtrapolation;
    return c;
}
const AggregateConfiguration kFirst = Config(false);         // the regular series' settings
const AggregateConfiguration kSecond = Config(true);         // the irregular sloped one
const AggregateConfiguration kThird = Config(true, 50, 50);  // the irregular stepped one

// A status as the examples write it.
std::string Describe(const AggregateValue& v) {
    const AggregateStatus& s = v.status;
    std::string text = s.severity == AggregateStatus::Severity::Good        ? "Good"
                       : s.severity == AggregateStatus::Severity::Uncertain ? "Uncertain"
                                                                            : "Bad";
    text += s.code == AggregateStatus::Code::NoData          ? "NoData"
            : s.code == AggregateStatus::Code::DataSubNormal ? "DataSubNormal"
            : s.code == AggregateStatus::Code::BadData       ? "Data"
                                                             : "";
    if (s.calculated) text += ", Calculated";
    if (s.interpolated) text += ", Interpolated";
    if (s.partial) text += ", Partial";
    if (s.multipleValues) text += ", MultipleValues";
    if (s.extraData) text += ", ExtraData";
    return text;
}

struct Row {
    double seconds;  // the result's time after noon
    double value;    // kNone: no value
    const char* status;
};

std::vector<AggregateValue> Compute(HistoryAggregate aggregate, const TableSource& source, double from, double to,
                                    double step, const AggregateConfiguration& config,
                                    AggregateError* error = nullptr) {
    AggregateRequest r;
    r.aggregate = aggregate;
    r.start = At(from);
    r.end = At(to);
    r.interval = static_cast<HistoryTime>(std::llround(step * 1e7));
    r.configuration = config;
    std::vector<AggregateValue> out;
    AggregateError e = ComputeAggregate(r, source, 0, static_cast<std::size_t>(AggregateIntervalCount(r)), out);
    if (error) *error = e;
    return out;
}

void Expect(const std::vector<AggregateValue>& got, const std::vector<Row>& rows, const std::string& what) {
    ASSERT_GE(got.size(), rows.size()) << what;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(what + " row " + std::to_string(i));
        EXPECT_EQ(got[i].time, At(rows[i].seconds));
        EXPECT_EQ(Describe(got[i]), rows[i].status);
        EXPECT_EQ(got[i].hasValue, !std::isnan(rows[i].value));
        if (got[i].hasValue && !std::isnan(rows[i].value)) {
            EXPECT_NEAR(got[i].value, rows[i].value, 0.001);
        }
    }
}

struct Example {
    const char* name;
    HistoryAggregate aggregate;
    std::vector<HistoryPoint> (*data)();
    bool stepped;
    AggregateConfiguration config;
    double step;
    std::vector<Row> rows;
};

// The worked examples: 12:00:00 to 12:01:40, each result's value and status.
TEST(HistoryAggregates, WorkedExamples) {
    const char* G = "Good";
    const char* GI = "Good, Interpolated";
    const char* UI = "UncertainDataSubNormal, Interpolated";
    const char* GC = "Good, Calculated";
    const char* UC = "UncertainDataSubNormal, Calculated";
    const char* ND = "BadNoData";
    const std::vector<Example> examples = {
        {"interpolative regular",
         HistoryAggregate::Interpolative,
         Regular,
         false,
         kFirst,
         5,
         {{0, kNone, ND},        {5, kNone, ND}, {10, 10, G},  {15, 15, GI}, {20, 20, G},  {25, 25, GI}, {30, 30, G},
          {35, 35, UI},          {40, 40, UI},   {45, 45, UI}, {50, 50, G},  {55, 55, GI}, {60, 60, G},  {65, 65, UI},
          {70, 70, "Uncertain"}, {75, 75, UI},   {80, 80, G},  {85, 85, GI}, {90, 90, G},  {95, 90, UI}}},
        {"interpolative irregular",
         HistoryAggregate::Interpolative,
         Irregular,
         false,
         kSecond,
         5,
         {{0, kNone, ND},
          {5, 11.304, GI},
          {10, 13.478, GI},
          {15, 15.652, GI},
          {20, 17.826, GI},
          {25, 20, G},
          {30, 25.909, GI},
          {35, 28.182, GI},
          {40, 31.111, UI},
          {45, 36.667, UI},
          {50, 45, GI},
          {55, 51.5, GI},
          {60, 54, GI},
          {65, 56.5, GI},
          {70, 59, GI},
          {75, 62.727, UI},
          {80, 67.273, UI},
          {85, 76.667, GI},
          {90, 90, G}}},
        {"time average 2 regular",
         HistoryAggregate::TimeAverage2,
         Regular,
         false,
         kFirst,
         5,
         {{0, kNone, ND},
          {5, kNone, ND},
          {10, 12.5, GC},
          {15, 17.5, GC},
          {20, 22.5, GC},
          {25, 27.5, GC},
          {30, 30, UC},
          {35, 30, UC},
          {40, kNone, ND},
          {45, kNone, ND},
          {50, 52.5, GC},
          {55, 57.5, GC},
          {60, 62.5, UC},
          {65, 67.5, UC},
          {70, 72.5, UC},
          {75, 77.5, UC},
          {80, 82.5, GC},
          {85, 87.5, GC},
          {90, 90, "UncertainDataSubNormal, Calculated, Partial"},
          {95, kNone, ND}}},
        {"time average 2 irregular",
         HistoryAggregate::TimeAverage2,
         Irregular,
         false,
         kSecond,
         5,
         {{0, 10.652, "UncertainDataSubNormal, Calculated, Partial"},
          {5, 12.391, GC},
          {10, 14.565, GC},
          {15, 16.739, GC},
          {20, 18.913, GC},
          {25, 23.682, GC},
          {30, 27.046, GC},
          {35, 29.273, UC},
          {40, 30, UC},
          {45, 42.5, UC},
          {50, 49.45, GC},
          {55, 52.75, GC},
          {60, 55.25, GC},
          {65, 57.75, GC},
          {70, 59.8, UC}}},
        {"time average 2 stepped",
         HistoryAggregate::TimeAverage2,
         Irregular,
         true,
         kThird,
         5,
         {{0, 10, "Good, Calculated, Partial"},
          {5, 10, GC},
          {10, 10, GC},
          {15, 10, GC},
          {20, 10, GC},
          {25, 22, GC},
          {30, 25, GC},
          {35, 26, GC},
          {40, 30, UC},
          {45, 40, UC},
          {50, 46, GC},
          {55, 50, GC},
          {60, 50, GC},
          {65, 50, GC},
          {70, 56, GC},
          {75, 60, UC}}},
        {"maximum actual time regular",
         HistoryAggregate::MaximumActualTime,
         Regular,
         false,
         kFirst,
         16,
         {{10, 10, "Good, Partial"},
          {30, 30, G},
          {32, kNone, ND},
          {60, 60, G},
          {64, kNone, ND},
          {90, 90, "Good, Partial"},
          {96, kNone, ND}}},
        {"maximum actual time irregular",
         HistoryAggregate::MaximumActualTime,
         Irregular,
         false,
         kSecond,
         16,
         {{2, 10, "Good, Partial"},
          {28, 25, G},
          {39, 30, "UncertainDataSubNormal"},
          {52, 50, G},
          {72, 60, "UncertainDataSubNormal"},
          {90, 90, "Good, Partial"},
          {96, kNone, ND}}},
    };
    for (const Example& e : examples) {
        TableSource source(e.data(), e.stepped);
        Expect(Compute(e.aggregate, source, 0, 100, e.step, e.config), e.rows, e.name);
    }
}

// The other aggregates over the same series, worked out by hand from their definitions.
TEST(HistoryAggregates, DefinitionsOverTheExampleSeries) {
    const char* GC = "Good, Calculated";
    const char* UC = "UncertainDataSubNormal, Calculated";
    const char* ND = "BadNoData";
    const std::vector<Example> cases = {
        // TimeAverage: straight lines through the usable points, Bad ones skipped.
        {"time average",
         HistoryAggregate::TimeAverage,
         Regular,
         false,
         kFirst,
         20,
         {{0, 15, "Good, Calculated, Partial"},
          {20, 30, UC},
          {40, 50, UC},
          {60, 70, UC},
          {80, 87.5, "UncertainDataSubNormal, Calculated, Partial"}}},
        {"total",
         HistoryAggregate::Total,
         Regular,
         false,
         kFirst,
         20,
         {{0, 150, "Good, Calculated, Partial"}, {20, 600, UC}}},
        // Total2: the Good area only, in value-seconds.
        {"total 2",
         HistoryAggregate::Total2,
         Irregular,
         true,
         kThird,
         16,
         {{0, 140, "Good, Calculated, Partial"}, {16, 250, GC}}},
        {"average",
         HistoryAggregate::Average,
         Regular,
         false,
         kFirst,
         16,
         {{0, 10, "Good, Calculated, Partial"},
          {16, 25, GC},
          {32, kNone, ND},
          {48, 55, GC},
          {64, 70, UC},
          {80, 85, "Good, Calculated, Partial"},
          {96, kNone, ND}}},
        {"count",
         HistoryAggregate::Count,
         Regular,
         false,
         kFirst,
         32,
         {{0, 3, "Good, Calculated, Partial"},
          {32, 2, UC},
          {64, 3, "UncertainDataSubNormal, Calculated, Partial"},
          {96, kNone, ND}}},
        {"count uncertain as bad",
         HistoryAggregate::Count,
         Regular,
         false,
         kSecond,
         32,
         {{0, 3, "Good, Calculated, Partial"},
          {32, 2, UC},
          {64, 2, "UncertainDataSubNormal, Calculated, Partial"},
          {96, kNone, ND}}},
        {"minimum",
         HistoryAggregate::Minimum,
         Regular,
         false,
         kFirst,
         16,
         {{0, 10, "Good, Calculated, Partial"},
          {16, 20, GC},
          {32, kNone, ND},
          {48, 50, GC},
          {64, kNone, ND},
          {80, 80, "Good, Partial"}}},
        {"minimum at the start",
         HistoryAggregate::Minimum,
         Regular,
         false,
         kFirst,
         10,
         {{0, kNone, ND},
          {10, 10, "Good"},
          {20, 20, "Good"},
          {30, 30, "Good"},
          {40, kNone, ND},
          {50, 50, "Good"},
          {60, 60, "Good"},
          {70, kNone, ND}}},
        {"minimum actual time",
         HistoryAggregate::MinimumActualTime,
         Irregular,
         false,
         kSecond,
         16,
         {{2, 10, "Good, Partial"},
          {25, 20, "Good"},
          {39, 30, "UncertainDataSubNormal"},
          {48, 40, "Good"},
          {72, 60, "UncertainDataSubNormal"},
          {83, 70, "Good, Partial"}}},
        {"range",
         HistoryAggregate::Range,
         Irregular,
         false,
         kSecond,
         16,
         {{0, 0, "Good, Calculated, Partial"}, {16, 5, GC}, {32, 0, UC}, {48, 10, GC}, {64, 0, UC}}},
        {"start",
         HistoryAggregate::Start,
         Irregular,
         false,
         kSecond,
         16,
         {{2, 10, "Good, Partial"},
          {25, 20, "Good"},
          {39, 30, "Good"},
          {48, 40, "Good"},
          {72, 60, "Good"},
          {83, 70, "Good, Partial"},
          {96, kNone, ND}}},
        {"end",
         HistoryAggregate::End,
         Irregular,
         false,
         kSecond,
         16,
         {{2, 10, "Good, Partial"},
          {28, 25, "Good"},
          {42, kNone, "Bad"},
          {52, 50, "Good"},
          {77, 70, "Uncertain"},
          {90, 90, "Good, Partial"}}},
        {"delta",
         HistoryAggregate::Delta,
         Irregular,
         false,
         kSecond,
         16,
         {{0, 0, "Good, Calculated, Partial"},
          {16, 5, GC},
          {32, 0, UC},
          {48, 10, GC},
          {64, 0, UC},
          {80, 20, "Good, Calculated, Partial"}}},
        // Durations in milliseconds; the region before the first sample is Bad.
        {"duration good",
         HistoryAggregate::DurationGood,
         Regular,
         false,
         kFirst,
         16,
         {{0, 6000, "Good, Calculated, Partial"},
          {16, 16000, GC},
          {32, 8000, GC},
          {48, 14000, GC},
          {64, 16000, GC},
          {80, 16000, "Good, Calculated, Partial"}}},
        {"duration bad",
         HistoryAggregate::DurationBad,
         Regular,
         false,
         kSecond,
         16,
         {{0, 10000, "Good, Calculated, Partial"}, {16, 0, GC}, {32, 8000, GC}, {48, 2000, GC}, {64, 10000, GC}}},
        {"percent good",
         HistoryAggregate::PercentGood,
         Regular,
         false,
         kSecond,
         16,
         {{0, 37.5, "Good, Calculated, Partial"},
          {16, 100, GC},
          {32, 50, GC},
          {48, 87.5, GC},
          {64, 37.5, GC},
          {80, 100, "Good, Calculated, Partial"},
          {96, kNone, ND}}},
        {"worst quality",
         HistoryAggregate::WorstQuality,
         Regular,
         false,
         kFirst,
         32,
         {{0, kGood, "Good, Calculated, Partial, MultipleValues"},
          {32, kBad, GC},
          {64, kUncertain, "Good, Calculated, Partial"}}},
        {"variance",
         HistoryAggregate::VarianceSample,
         Regular,
         false,
         kFirst,
         32,
         {{0, 100, "Good, Calculated, Partial"},
          {32, 50, UC},
          {64, 100, "UncertainDataSubNormal, Calculated, Partial"}}},
        {"standard deviation",
         HistoryAggregate::StandardDeviationSample,
         Regular,
         false,
         kSecond,
         32,
         {{0, 10, "Good, Calculated, Partial"},
          {32, 7.0711, UC},
          {64, 7.0711, "UncertainDataSubNormal, Calculated, Partial"}}},
    };
    for (const Example& e : cases) {
        TableSource source(e.data(), e.stepped);
        Expect(Compute(e.aggregate, source, 0, 100, e.step, e.config), e.rows, e.name);
    }
}

// Stepped sources hold a value to the next; extrapolation past the last one is flat unless asked sloped.
TEST(HistoryAggregates, SteppedSlopedAndExtrapolated) {
    const std::vector<HistoryPoint> two = {{At(10), 10, kGood}, {At(20), 20, kGood}};
    struct Case {
        bool stepped;
        bool slopedExtrapolation;
        HistoryAggregate aggregate;
        std::vector<Row> rows;
    };
    const std::vector<Case> cases = {
        {false,
         false,
         HistoryAggregate::Interpolative,
         {{15, 15, "Good, Interpolated"}, {25, 20, "UncertainDataSubNormal, Interpolated"}}},
        {true,
         false,
         HistoryAggregate::Interpolative,
         {{15, 10, "Good, Interpolated"}, {25, 20, "UncertainDataSubNormal, Interpolated"}}},
        {false,
         true,
         HistoryAggregate::Interpolative,
         {{15, 15, "Good, Interpolated"}, {25, 25, "UncertainDataSubNormal, Interpolated"}}},
        // A stepped source never extrapolates with a slope.
        {true, true, HistoryAggregate::Interpolative, {{25, 20, "UncertainDataSubNormal, Interpolated"}}},
        {false, false, HistoryAggregate::TimeAverage2, {{10, 15, "Good, Calculated"}}},
        {true, false, HistoryAggregate::TimeAverage2, {{10, 10, "Good, Calculated"}}},
        // TimeAverage draws lines even over a stepped source.
        {true, false, HistoryAggregate::TimeAverage, {{10, 15, "Good, Calculated"}}},
        {false, false, HistoryAggregate::TimeAverage, {{20, 20, "UncertainDataSubNormal, Calculated, Partial"}}},
        {false, true, HistoryAggregate::TimeAverage, {{20, 25, "UncertainDataSubNormal, Calculated, Partial"}}},
    };
    for (const Case& c : cases) {
        TableSource source(two, c.stepped);
        for (const Row& row : c.rows) {
            auto got = Compute(c.aggregate, source, row.seconds, row.seconds + 10, 10,
                               Config(true, 100, 100, c.slopedExtrapolation));
            Expect(got, {row}, std::string(AggregateName(c.aggregate).begin(), AggregateName(c.aggregate).end()));
        }
    }
}

// The Good and Bad limits, and Uncertain data taken either way.
TEST(HistoryAggregates, StatusLimits) {
    // Three Good, one Uncertain and one Bad value.
    TableSource source({{At(0), 10, kGood},
                        {At(1), 20, kGood},
                        {At(2), 30, kGood},
                        {At(3), 40, kUncertain},
                        {At(4), 50, kBad},
                        {At(6), 0, kGood}},
                       false);
    struct Case {
        AggregateConfiguration config;
        double value;
        const char* status;
    };
    const std::vector<Case> cases = {
        {Config(false), 25, "UncertainDataSubNormal, Calculated"},
        {Config(true), 20, "UncertainDataSubNormal, Calculated"},
        {Config(true, 60, 100), 20, "Good, Calculated"},  // 3 of 5 Good is enough
        {Config(true, 61, 100), 20, "UncertainDataSubNormal, Calculated"},
        {Config(true, 100, 40), 20, "BadData, Calculated"},  // 2 of 5 Bad is too many
        {Config(true, 100, 41), 20, "UncertainDataSubNormal, Calculated"},
        {Config(false, 80, 20), 25, "UncertainDataSubNormal, Calculated"},  // equal limits: Good alone decides
        {Config(false, 80, 21), 25, "UncertainDataSubNormal, Calculated"},
        {Config(false, 90, 20), 25, "BadData, Calculated"},
    };
    for (const Case& c : cases) {
        auto got = Compute(HistoryAggregate::Average, source, 0, 5, 0, c.config);
        Expect(got, {{0, c.value, c.status}},
               "limits " + std::to_string(c.config.percentDataGood) + "/" + std::to_string(c.config.percentDataBad));
    }
    AggregateError error = AggregateError::None;
    EXPECT_TRUE(Compute(HistoryAggregate::Average, source, 0, 5, 0, Config(true, 40, 50), &error).empty());
    EXPECT_EQ(error, AggregateError::InvalidInputs);
    EXPECT_TRUE(Compute(HistoryAggregate::Average, source, 0, 5, -1, Config(true), &error).empty());
    EXPECT_EQ(error, AggregateError::InvalidInterval);
}

// Empty, single, all Bad and non-numbers.
TEST(HistoryAggregates, DegenerateData) {
    TableSource empty({}, false);
    for (std::size_t i = 0; i < kHistoryAggregateCount; ++i) {
        auto a = static_cast<HistoryAggregate>(i);
        auto got = Compute(a, empty, 0, 30, 10, kSecond);
        ASSERT_EQ(got.size(), 3u);
        for (const AggregateValue& v : got) EXPECT_EQ(Describe(v), "BadNoData") << i;
    }

    TableSource single({{At(10), 5, kGood}}, false);
    Expect(Compute(HistoryAggregate::Interpolative, single, 0, 20, 10, kSecond),
           {{0, kNone, "BadNoData"}, {10, 5, "Good"}}, "single interpolative");
    Expect(Compute(HistoryAggregate::TimeAverage, single, 0, 20, 10, kSecond),
           {{0, kNone, "BadNoData"}, {10, 5, "UncertainDataSubNormal, Calculated, Partial"}}, "single time average");
    Expect(Compute(HistoryAggregate::Count, single, 0, 30, 10, kSecond),
           {{0, kNone, "BadNoData"}, {10, 1, "Good, Calculated, Partial"}, {20, kNone, "BadNoData"}}, "single count");
    Expect(Compute(HistoryAggregate::StandardDeviationSample, single, 10, 20, 10, kSecond), {{10, kNone, "BadNoData"}},
           "single deviation");

    TableSource bad({{At(0), 1, 0x04}, {At(5), 2, 0x18}}, false);
    Expect(Compute(HistoryAggregate::Average, bad, 0, 10, 10, kSecond), {{0, kNone, "BadNoData"}}, "bad average");
    Expect(Compute(HistoryAggregate::TimeAverage2, bad, 0, 10, 10, kSecond), {{0, kNone, "BadNoData"}},
           "bad average 2");
    Expect(Compute(HistoryAggregate::Count, bad, 0, 10, 10, kSecond), {{0, 0, "BadData, Calculated, Partial"}},
           "bad count");
    Expect(Compute(HistoryAggregate::PercentBad, bad, 0, 10, 10, kSecond), {{0, 100, "Good, Calculated, Partial"}},
           "bad percent");
    Expect(Compute(HistoryAggregate::WorstQuality, bad, 0, 10, 10, kSecond), {{0, 0x04, "Good, Calculated, Partial"}},
           "bad worst");

    // Long runs of Bad samples on both sides still leave a line between the Good ones.
    std::vector<HistoryPoint> gap = {{At(0), 0, kGood}};
    for (int i = 1; i <= 600; ++i) gap.push_back({At(i), 1e6, kBad});
    gap.push_back({At(601), 601, kGood});
    TableSource longGap(gap, false);
    Expect(Compute(HistoryAggregate::Interpolative, longGap, 300.5, 301, 0, kSecond),
           {{300.5, 300.5, "UncertainDataSubNormal, Interpolated"}}, "long gap");

    // A Good NaN or infinity is no measurement: it counts as Bad data.
    const double inf = std::numeric_limits<double>::infinity();
    TableSource odd({{At(0), 10, kGood},
                     {At(2), kNone, kGood},
                     {At(4), inf, kGood},
                     {At(6), 20, kGood},
                     {At(8), 30, kGood},
                     {At(10), 40, kGood}},
                    false);
    Expect(Compute(HistoryAggregate::Average, odd, 0, 10, 0, kSecond), {{0, 20, "UncertainDataSubNormal, Calculated"}},
           "odd average");
    Expect(Compute(HistoryAggregate::Maximum, odd, 0, 10, 0, kSecond), {{0, 30, "UncertainDataSubNormal, Calculated"}},
           "odd maximum");
    Expect(Compute(HistoryAggregate::TimeAverage, odd, 0, 10, 0, kSecond),
           {{0, 21, "UncertainDataSubNormal, Calculated"}}, "odd time average");
    Expect(Compute(HistoryAggregate::Interpolative, odd, 3, 4, 0, kSecond),
           {{3, 15, "UncertainDataSubNormal, Interpolated"}}, "odd interpolative");
    Expect(Compute(HistoryAggregate::WorstQuality, odd, 0, 10, 0, kSecond),
           {{0, kBad, "Good, Calculated, MultipleValues"}}, "odd worst");
}

// Interval 0, a short last interval, and intervals run backwards.
TEST(HistoryAggregates, IntervalLayout) {
    TableSource source(Regular(), false);
    AggregateRequest r;
    r.start = At(0);
    r.end = At(100);
    EXPECT_EQ(AggregateIntervalCount(r), 1u);
    r.interval = At(30) - At(0);
    EXPECT_EQ(AggregateIntervalCount(r), 4u);
    std::swap(r.start, r.end);
    EXPECT_EQ(AggregateIntervalCount(r), 4u);
    r.end = r.start;
    EXPECT_EQ(AggregateIntervalCount(r), 0u);

    Expect(Compute(HistoryAggregate::Count, source, 0, 100, 0, kFirst),
           {{0, 8, "UncertainDataSubNormal, Calculated, Partial"}}, "whole range");
    Expect(Compute(HistoryAggregate::Count, source, 15, 95, 30, kFirst),
           {{15, 2, "UncertainDataSubNormal, Calculated"},
            {45, 3, "UncertainDataSubNormal, Calculated"},
            {75, 2, "Good, Calculated, Partial"}},
           "short last");
    // Backwards: newest first, each interval holding its later edge and not its earlier one.
    Expect(Compute(HistoryAggregate::Count, source, 90, 10, 30, kFirst),
           {{90, 3, "UncertainDataSubNormal, Calculated"},
            {60, 2, "UncertainDataSubNormal, Calculated"},
            {30, 2, "Good, Calculated, Partial"}},
           "backward count");
    Expect(Compute(HistoryAggregate::Interpolative, source, 95, 80, 5, kFirst),
           {{95, 90, "UncertainDataSubNormal, Interpolated"}, {90, 90, "Good"}, {85, 85, "Good, Interpolated"}},
           "backward interpolative");
    // Time-weighted values do not depend on the direction.
    for (HistoryAggregate a : {HistoryAggregate::TimeAverage, HistoryAggregate::TimeAverage2,
                               HistoryAggregate::DurationBad, HistoryAggregate::Total}) {
        auto forward = Compute(a, source, 5, 95, 15, kFirst);
        auto backward = Compute(a, source, 95, 5, 15, kFirst);
        ASSERT_EQ(forward.size(), backward.size());
        for (std::size_t i = 0; i < forward.size(); ++i) {
            const AggregateValue& b = backward[backward.size() - 1 - i];
            EXPECT_NEAR(forward[i].value, b.value, 1e-9) << i;
            EXPECT_EQ(Describe(forward[i]), Describe(b)) << i;
            EXPECT_EQ(b.time, forward[i].time + At(15) - At(0));
        }
    }
}

// Pages of intervals computed alone equal the whole, over more points than one read takes.
TEST(HistoryAggregates, PagesMatchTheWhole) {
    std::vector<HistoryPoint> points;
    std::uint32_t seed = 7;
    for (int i = 0; i < 150'000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        HistoryQuality q = (seed >> 28) == 0 ? kBad : (seed >> 28) == 1 ? kUncertain : kGood;
        // Pairs of samples share a time now and then.
        HistoryTime t = At(i / 10.0) - ((seed >> 8) % 7 == 0 && i > 0 ? 1'000'000 : 0);
        points.push_back({t, static_cast<double>((seed >> 12) % 1000), q});
    }
    std::sort(points.begin(), points.end(), [](auto& a, auto& b) { return a.time < b.time; });
    // And two of them across the end of a read page.
    points[65536].time = points[65535].time;
    TableSource source(points, false);
    for (HistoryAggregate a :
         {HistoryAggregate::Interpolative, HistoryAggregate::TimeAverage, HistoryAggregate::TimeAverage2,
          HistoryAggregate::Count, HistoryAggregate::Maximum, HistoryAggregate::DurationGood}) {
        for (bool backward : {false, true}) {
            AggregateRequest r;
            r.aggregate = a;
            r.start = backward ? At(15'010) : At(-3);
            r.end = backward ? At(-3) : At(15'010);
            r.interval = At(37) - At(0);
            r.configuration = kFirst;
            std::uint64_t n = AggregateIntervalCount(r);
            std::vector<AggregateValue> whole, pages;
            source.reads = 0;
            ASSERT_EQ(ComputeAggregate(r, source, 0, n, whole), AggregateError::None);
            EXPECT_LE(source.reads, 4) << "the whole range is read once, in pages";
            for (std::uint64_t first = 0; first < n; first += 100)
                ASSERT_EQ(ComputeAggregate(r, source, first, 100, pages), AggregateError::None);
            ASSERT_EQ(whole.size(), n);
            ASSERT_EQ(pages.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(whole[i].time, pages[i].time) << i;
                ASSERT_EQ(Describe(whole[i]), Describe(pages[i])) << i;
                ASSERT_NEAR(whole[i].value, pages[i].value, 1e-9) << i;
            }
            // Count adds up to the points in range, whichever way it is cut.
            if (a == HistoryAggregate::Count) {
                double total = 0;
                for (const AggregateValue& v : whole) total += v.value;
                auto usable =
                    std::count_if(points.begin(), points.end(), [](auto& p) { return (p.quality & 0xC0) != 0; });
                EXPECT_EQ(total, static_cast<double>(usable));
            }
        }
    }
}

TEST(HistoryAggregates, NamesAndKinds) {
    for (std::size_t i = 0; i < kHistoryAggregateCount; ++i) {
        auto a = static_cast<HistoryAggregate>(i);
        EXPECT_EQ(AggregateByName(AggregateName(a)), a);
        EXPECT_TRUE(AggregateTakesKind(a, HistoryValueKind::Float));
        EXPECT_TRUE(AggregateTakesKind(a, HistoryValueKind::Boolean));
    }
    EXPECT_EQ(AggregateByName(L"timeaverage2"), HistoryAggregate::TimeAverage2);
    EXPECT_FALSE(AggregateByName(L"TimeAverage3"));
    EXPECT_FALSE(AggregateByName(L"Time"));
    std::vector<std::wstring_view> text;
    for (std::size_t i = 0; i < kHistoryAggregateCount; ++i) {
        auto a = static_cast<HistoryAggregate>(i);
        if (AggregateTakesKind(a, HistoryValueKind::Text)) text.push_back(AggregateName(a));
    }
    EXPECT_EQ(text, (std::vector<std::wstring_view>{L"Count", L"DurationGood", L"DurationBad", L"PercentGood",
                                                    L"PercentBad", L"WorstQuality"}));
}

}  // namespace
