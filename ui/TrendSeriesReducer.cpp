#include "TrendSeriesReducer.h"

#include <algorithm>

#include "HistorySeries.h"

namespace {
// More samples than this at one instant are passed over rather than re-read page after page.
constexpr std::size_t kMostAtOneTime = TrendSeriesReducer::kPageSize;
}  // namespace

TrendReduction TrendSeriesReducer::Reduce(const HistorySeries& series, HistoryTime start, HistoryTime columnTicks,
                                          std::size_t count, HistoryTime holdUntil) {
    const HistoryValueKind kind = series.Kind();
    Builder builder(IsSteppedKind(kind), start, columnTicks, count, holdUntil);
    if (kind == HistoryValueKind::Text || columnTicks <= 0 || count == 0) return builder.Finish();
    const HistoryTime end = start + columnTicks * static_cast<HistoryTime>(count);

    // The line enters the range with the sample before it.
    if (HistorySample before; series.Before(start, false, false, before)) {
        builder.Add({before.time, before.number, before.quality});
    }
    // Pages resume at the last time read, passing over the samples of that
    // time already taken: samples of one instant may straddle two pages.
    HistoryTime from = start;
    std::size_t takenAtFrom = 0;
    std::vector<HistoryPoint> page;
    page.reserve(kPageSize);
    for (;;) {
        page.clear();
        const std::size_t asked = takenAtFrom + kPageSize;
        series.ReadPoints(from, end, asked, page);
        std::size_t i = 0;
        while (i < page.size() && i < takenAtFrom && page[i].time == from) ++i;
        for (; i < page.size(); ++i) builder.Add(page[i]);
        if (page.size() < asked) break;
        const HistoryTime last = page.back().time;
        const auto atLast = static_cast<std::size_t>(
            std::count_if(page.begin(), page.end(), [last](const HistoryPoint& p) { return p.time == last; }));
        if (last == from && atLast > kMostAtOneTime) {
            from = last + 1;
            takenAtFrom = 0;
        } else {
            from = last;
            takenAtFrom = atLast;
        }
    }
    // A sloped line leaves the range towards the sample after it.
    if (HistorySample after; series.After(end, true, false, after)) {
        builder.Add({after.time, after.number, after.quality});
    }
    return builder.Finish();
}

TrendSeriesReducer::Builder::Builder(bool stepped, HistoryTime start, HistoryTime columnTicks, std::size_t count,
                                     HistoryTime holdUntil)
    : m_start(start),
      m_columnTicks(std::max<HistoryTime>(columnTicks, 1)),
      m_end(start + std::max<HistoryTime>(columnTicks, 1) * static_cast<HistoryTime>(count)),
      m_holdUntil(holdUntil) {
    m_result.stepped = stepped;
    m_result.columns.resize(columnTicks > 0 ? count : 0);
    if (columnTicks <= 0) m_end = start;
}

void TrendSeriesReducer::Builder::Add(const HistoryPoint& point) {
    if (m_hasPrevious) Stretch(m_previous, point.time, &point);
    m_previous = point;
    m_hasPrevious = true;
}

TrendReduction TrendSeriesReducer::Builder::Finish() {
    if (m_hasPrevious) Stretch(m_previous, m_holdUntil, nullptr);
    m_hasPrevious = false;
    for (const TrendColumn& c : m_result.columns) {
        if (!c.hasValue) continue;
        m_result.low = m_result.hasValue ? std::min(m_result.low, c.low) : c.low;
        m_result.high = m_result.hasValue ? std::max(m_result.high, c.high) : c.high;
        m_result.hasValue = true;
    }
    return std::move(m_result);
}

void TrendSeriesReducer::Builder::Include(std::size_t column, double value) {
    TrendColumn& c = m_result.columns[column];
    if (!c.hasValue) {
        c.hasValue = true;
        c.low = c.high = c.first = value;
    }
    c.low = std::min(c.low, value);
    c.high = std::max(c.high, value);
    c.last = value;
}

void TrendSeriesReducer::Builder::Stretch(const HistoryPoint& from, HistoryTime toTime, const HistoryPoint* to) {
    // A sample shows at least at its own instant, even when the next has the same time.
    const HistoryTime begin = std::max(from.time, m_start);
    const HistoryTime finish = std::min(std::max(toTime, from.time + 1), m_end);
    if (begin >= finish) return;
    const bool sloped = !m_result.stepped && to != nullptr && !IsBadQuality(to->quality) && to->time > from.time;
    auto valueAt = [&](HistoryTime t) {
        if (!sloped) return from.value;
        const double fraction = static_cast<double>(t - from.time) / static_cast<double>(to->time - from.time);
        return from.value + (to->value - from.value) * fraction;
    };
    const auto first = static_cast<std::size_t>((begin - m_start) / m_columnTicks);
    const auto last = static_cast<std::size_t>((finish - 1 - m_start) / m_columnTicks);
    for (std::size_t column = first; column <= last; ++column) {
        TrendColumn& c = m_result.columns[column];
        if (IsBadQuality(from.quality)) {
            c.bad = true;
            continue;
        }
        if (IsUncertainQuality(from.quality)) c.uncertain = true;
        const HistoryTime columnStart = m_start + static_cast<HistoryTime>(column) * m_columnTicks;
        const HistoryTime enters = std::max(begin, columnStart);
        const HistoryTime leaves = std::min(finish, columnStart + m_columnTicks);
        Include(column, valueAt(enters));
        Include(column, valueAt(leaves));
    }
}
