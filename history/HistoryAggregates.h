#pragma once
// The standard aggregates over a tag's history: one value per processing
// interval, computed from the raw samples and the interval's bounding values
// as the standard defines each one (sloped or stepped interpolation, the
// Good/Uncertain/Bad rules, the Calculated/Interpolated/Partial bits). Knows
// no protocol: a UA read and the trend window ask the same way.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "HistoryTypes.h"

enum class HistoryAggregate : std::uint8_t {
    Interpolative,
    Average,
    TimeAverage,
    TimeAverage2,
    Total,
    Total2,
    Minimum,
    Maximum,
    MinimumActualTime,
    MaximumActualTime,
    Range,
    Count,
    Start,
    End,
    Delta,
    DurationGood,
    DurationBad,
    PercentGood,
    PercentBad,
    WorstQuality,
    StandardDeviationSample,
    VarianceSample,
};
inline constexpr std::size_t kHistoryAggregateCount = 22;

// The standard's name ("TimeAverage2"), and the aggregate of a name (any case).
std::wstring_view AggregateName(HistoryAggregate aggregate) noexcept;
std::optional<HistoryAggregate> AggregateByName(std::wstring_view name) noexcept;
// Whether an aggregate can take a series of this kind at all (a Text series'
// Average cannot; its Count can).
bool AggregateTakesKind(HistoryAggregate aggregate, HistoryValueKind kind) noexcept;

// The AggregateConfiguration of a request, or the server's defaults.
struct AggregateConfiguration {
    bool treatUncertainAsBad = true;
    std::uint8_t percentDataBad = 100;
    std::uint8_t percentDataGood = 100;
    bool useSlopedExtrapolation = false;
};

// What an aggregate value's status says, in the standard's terms.
struct AggregateStatus {
    enum class Severity : std::uint8_t { Good, Uncertain, Bad };
    enum class Code : std::uint8_t {
        None,           // plain Good, Uncertain or Bad
        NoData,         // Bad: no data in the interval to compute from
        DataSubNormal,  // Uncertain: too little Good data (PercentDataGood)
        BadData,        // Bad: too much Bad data (PercentDataBad)
    };
    Severity severity = Severity::Good;
    Code code = Code::None;
    bool calculated = false;
    bool interpolated = false;
    bool partial = false;
    bool extraData = false;
    bool multipleValues = false;
    bool operator==(const AggregateStatus&) const = default;
};

// Durations (DurationGood, DurationBad) are in milliseconds, Total and Total2
// in value x seconds. A sample that is not a finite number counts as Bad.
struct AggregateValue {
    HistoryTime time = 0;  // the interval's start, or the sample's own time (MinimumActualTime...)
    double value = 0;      // WorstQuality: the worst sample's quality word
    bool hasValue = false;
    AggregateStatus status;
};

// Where an aggregate reads the raw data: a series, or a test's table.
class AggregateSource {
public:
    virtual ~AggregateSource() = default;
    virtual bool Stepped() const = 0;
    // Points with from <= time < to, oldest first, appended to `out`; at most `max`.
    virtual std::size_t Read(HistoryTime from, HistoryTime to, std::size_t max,
                             std::vector<HistoryPoint>& out) const = 0;
    // As HistorySeries::Before and After.
    virtual bool Before(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const = 0;
    virtual bool After(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const = 0;
};

struct AggregateRequest {
    HistoryAggregate aggregate = HistoryAggregate::Average;
    HistoryTime start = 0;
    HistoryTime end = 0;       // before start: the intervals run backwards
    HistoryTime interval = 0;  // 0: the whole range is one interval
    AggregateConfiguration configuration;
};

enum class AggregateError { None, InvalidInterval, InvalidInputs };

// The number of intervals the request makes (0 when start == end).
std::uint64_t AggregateIntervalCount(const AggregateRequest& request) noexcept;
// The values of intervals [first, first + count), in the request's direction.
// A backward interval holds its later edge and not its earlier one; its start
// (and its result's time) is the later edge. Each call reads only the raw
// points its own intervals need, so a client can page through the intervals.
AggregateError ComputeAggregate(const AggregateRequest& request, const AggregateSource& source, std::uint64_t first,
                                std::size_t count, std::vector<AggregateValue>& out);
