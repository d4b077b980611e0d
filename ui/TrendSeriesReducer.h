#pragma once
// What a trend draws of one series over a range of time: the range cut into
// equal columns (one per pixel), each with the lowest and highest value its
// line reaches, the values with which the line enters and leaves it, and
// whether a Bad or Uncertain stretch lies in it. The series is read in
// bounded pages, so a day of fast samples costs the columns, not a vector of
// the day. No window: the trend window draws what this gives.
#include <cstddef>
#include <vector>

#include "HistoryTypes.h"

class HistorySeries;

struct TrendColumn {
    bool hasValue = false;  // the line passes through this column
    double low = 0, high = 0;
    double first = 0, last = 0;  // where the line enters and leaves it
    bool bad = false;            // a Bad stretch (drawn as a gap) lies in it
    bool uncertain = false;      // an Uncertain stretch (drawn, marked) lies in it
};

struct TrendReduction {
    std::vector<TrendColumn> columns;
    bool stepped = true;
    bool hasValue = false;  // some column has a value: low and high below hold
    double low = 0, high = 0;
};

class TrendSeriesReducer {
public:
    static constexpr std::size_t kPageSize = 4096;

    // Columns [start + i * columnTicks, start + (i + 1) * columnTicks) for i
    // below `count`. A sample holds until the next one; the newest holds until
    // `holdUntil` (now: an unchanged tag records nothing). A stepped series
    // keeps each value flat; a sloped one runs straight to the next usable
    // sample, and flat before a Bad one or the end. Bad stretches leave a gap.
    static TrendReduction Reduce(const HistorySeries& series, HistoryTime start, HistoryTime columnTicks,
                                 std::size_t count, HistoryTime holdUntil);

    // The same over samples given in time order (what Reduce reads page by
    // page), starting with the one before `start` when there is one.
    class Builder {
    public:
        Builder(bool stepped, HistoryTime start, HistoryTime columnTicks, std::size_t count, HistoryTime holdUntil);
        void Add(const HistoryPoint& point);
        TrendReduction Finish();

    private:
        // The stretch of `from` until `toTime` (where `to`, when given, follows).
        void Stretch(const HistoryPoint& from, HistoryTime toTime, const HistoryPoint* to);
        void Include(std::size_t column, double value);

        TrendReduction m_result;
        HistoryTime m_start, m_columnTicks, m_end, m_holdUntil;
        HistoryPoint m_previous;
        bool m_hasPrevious = false;
    };
};
