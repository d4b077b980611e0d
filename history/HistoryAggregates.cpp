#include "HistoryAggregates.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cwctype>
#include <limits>

namespace {

// Raw points are read in pages of this many: bounded memory whatever the range.
constexpr std::size_t kPage = 65536;
// How far a search for a usable neighbour goes point by point before giving up.
constexpr int kSearchSteps = 256;

constexpr std::array<std::wstring_view, kHistoryAggregateCount> kNames = {
    L"Interpolative",
    L"Average",
    L"TimeAverage",
    L"TimeAverage2",
    L"Total",
    L"Total2",
    L"Minimum",
    L"Maximum",
    L"MinimumActualTime",
    L"MaximumActualTime",
    L"Range",
    L"Count",
    L"Start",
    L"End",
    L"Delta",
    L"DurationGood",
    L"DurationBad",
    L"PercentGood",
    L"PercentBad",
    L"WorstQuality",
    L"StandardDeviationSample",
    L"VarianceSample",
};

enum class Grade : std::uint8_t { Bad, Uncertain, Good };

// A value that is not a number is no measurement: it counts as Bad data.
Grade GradeOf(const HistoryPoint& p) noexcept {
    if (!std::isfinite(p.value)) return Grade::Bad;
    if (IsGoodQuality(p.quality)) return Grade::Good;
    if (IsUncertainQuality(p.quality)) return Grade::Uncertain;
    return Grade::Bad;
}

struct Rules {
    bool treatUncertainAsBad = true;
    bool stepped = false;
    bool slopedExtrapolation = false;
    std::uint8_t percentGood = 100;
    std::uint8_t percentBad = 100;

    bool Usable(const HistoryPoint& p) const noexcept {
        Grade g = GradeOf(p);
        return g == Grade::Good || (g == Grade::Uncertain && !treatUncertainAsBad);
    }
};

double Line(const HistoryPoint& a, const HistoryPoint& b, HistoryTime t) noexcept {
    if (b.time == a.time) return b.value;
    return a.value + (b.value - a.value) * (static_cast<double>(t - a.time) / static_cast<double>(b.time - a.time));
}

AggregateStatus NoData() {
    AggregateStatus s;
    s.severity = AggregateStatus::Severity::Bad;
    s.code = AggregateStatus::Code::NoData;
    return s;
}

AggregateStatus SubNormal() {
    AggregateStatus s;
    s.severity = AggregateStatus::Severity::Uncertain;
    s.code = AggregateStatus::Code::DataSubNormal;
    return s;
}

// The status from the shares of Good, Uncertain and Bad data (counted or
// timed). Uncertain data stands with the Good (the caller has already put it
// with the Bad where it must), but leaves the result Uncertain at best.
AggregateStatus Judged(double good, double uncertain, double bad, const Rules& rules) {
    double total = good + uncertain + bad;
    double badShare = 100.0 * bad / total;
    double goodShare = 100.0 * (good + uncertain) / total;
    AggregateStatus s;
    // Equal limits leave no room for Uncertain: the Good test alone decides.
    bool goodDecides = rules.percentGood + rules.percentBad == 100;
    if (!goodDecides && badShare >= rules.percentBad) {
        s.severity = AggregateStatus::Severity::Bad;
        s.code = AggregateStatus::Code::BadData;
    } else if (goodShare < rules.percentGood || uncertain > 0) {
        s = SubNormal();
    }
    s.calculated = true;
    return s;
}

// Pages through [from, to) of the source, oldest first; points beyond `to`
// come one by one from After().
class Cursor {
public:
    Cursor(const AggregateSource& source, HistoryTime from, HistoryTime to) : m_source(source), m_next(from), m_to(to) {
        m_points.reserve(kPage);
    }

    bool Peek(std::size_t ahead, HistoryPoint& out) {
        while (m_pos + ahead >= m_points.size()) {
            if (!ReadMore()) return false;
        }
        out = m_points[m_pos + ahead];
        return true;
    }
    void Advance() noexcept { ++m_pos; }
    HistoryTime To() const noexcept { return m_to; }

private:
    bool ReadMore() {
        if (m_done) return false;
        m_points.erase(m_points.begin(), m_points.begin() + static_cast<std::ptrdiff_t>(m_pos));
        m_pos = 0;
        std::size_t old = m_points.size();
        std::size_t want = kPage + m_takenAtNext;
        std::size_t got = m_source.Read(m_next, m_to, want, m_points);
        // A page that ended among points of one time resumes at that time:
        // the ones already taken are passed over.
        std::size_t skip = 0;
        while (skip < m_takenAtNext && old + skip < m_points.size() && m_points[old + skip].time == m_next) ++skip;
        m_points.erase(m_points.begin() + static_cast<std::ptrdiff_t>(old),
                       m_points.begin() + static_cast<std::ptrdiff_t>(old + skip));
        if (got < want) {
            m_done = true;
        } else {
            HistoryTime last = m_points.back().time;
            std::size_t same = 0;
            for (std::size_t i = m_points.size(); i > old && m_points[i - 1].time == last; --i) ++same;
            m_takenAtNext = (last == m_next ? m_takenAtNext : 0) + same;
            m_next = last;
        }
        return m_points.size() > old;
    }

    const AggregateSource& m_source;
    HistoryTime m_next;
    HistoryTime m_to;
    bool m_done = false;
    std::size_t m_takenAtNext = 0;
    std::vector<HistoryPoint> m_points;
    std::size_t m_pos = 0;
};

// What came before the interval being computed.
struct Past {
    std::optional<HistoryPoint> any;              // the last raw point
    std::optional<HistoryPoint> usable, usable2;  // the last two usable ones, newest first
    bool skipped = false;                         // non-usable points after `usable`

    void Feed(const HistoryPoint& p, const Rules& rules) {
        any = p;
        if (rules.Usable(p)) {
            usable2 = usable;
            usable = p;
            skipped = false;
        } else {
            skipped = true;
        }
    }
};

// What comes after the interval: the next raw point, and the next usable one.
struct Ahead {
    std::optional<HistoryPoint> any;
    std::optional<HistoryPoint> usable;
    bool skipped = false;  // non-usable points before `usable`
};

// The interpolated value at one time, from the usable points around it.
struct Probe {
    HistoryTime at = 0;
    std::optional<HistoryPoint> before, before2, raw, after;
    bool skippedBefore = false, skippedAfter = false;

    Probe(HistoryTime time, const Past& past)
        : at(time), before(past.usable), before2(past.usable2), skippedBefore(past.skipped) {}
    bool Done() const noexcept { return raw.has_value() || after.has_value(); }
    void Feed(const HistoryPoint& p, const Rules& rules) {
        if (Done() && p.time > at) return;
        bool ok = rules.Usable(p);
        if (p.time < at) {
            if (ok) {
                before2 = before;
                before = p;
                skippedBefore = false;
            } else {
                skippedBefore = true;
            }
        } else if (p.time == at) {
            if (ok && !raw) raw = p;
            if (!ok) skippedBefore = true;
        } else if (ok) {
            after = p;
        } else {
            skippedAfter = true;
        }
    }
    void FeedAhead(const Ahead& ahead, const Rules& rules) {
        if (Done()) return;
        if (ahead.skipped) skippedAfter = true;
        if (ahead.usable) Feed(*ahead.usable, rules);
    }
};

struct Bound {
    bool found = false;
    double value = 0;
    bool raw = false;
    bool uncertain = false;  // skipped data, an Uncertain neighbour, or extrapolated
    bool extrapolated = false;
};

Bound Interpolate(const Probe& probe, const Rules& rules, bool stepped) {
    Bound b;
    if (probe.raw) {
        b.found = b.raw = true;
        b.value = probe.raw->value;
        b.uncertain = GradeOf(*probe.raw) != Grade::Good;
        return b;
    }
    if (!probe.before) return b;
    b.found = true;
    const HistoryPoint& before = *probe.before;
    if (probe.after) {
        b.value = stepped ? before.value : Line(before, *probe.after, probe.at);
        b.uncertain = probe.skippedBefore || GradeOf(before) != Grade::Good ||
                      (!stepped && (probe.skippedAfter || GradeOf(*probe.after) != Grade::Good));
    } else {
        b.extrapolated = b.uncertain = true;
        bool sloped = !stepped && rules.slopedExtrapolation && probe.before2;
        b.value = sloped ? Line(*probe.before2, before, probe.at) : before.value;
    }
    return b;
}

bool IsValueAggregate(HistoryAggregate a) noexcept {
    switch (a) {
    case HistoryAggregate::Count:
    case HistoryAggregate::DurationGood:
    case HistoryAggregate::DurationBad:
    case HistoryAggregate::PercentGood:
    case HistoryAggregate::PercentBad:
    case HistoryAggregate::WorstQuality: return false;
    default: return true;
    }
}

// Computes the intervals of one page, oldest first, in one pass over the raw
// points: each interval takes its points from the cursor and leaves what it
// saw in `m_past` for the next.
class Walker {
public:
    Walker(const AggregateRequest& request, const AggregateSource& source, Rules rules, bool backward, HistoryTime from,
           HistoryTime to)
        : m_request(request), m_source(source), m_rules(rules), m_backward(backward), m_cursor(source, from, to) {
        // The context before the page: the last point, and the last two usable ones.
        HistoryPoint p;
        HistoryTime t = from;
        for (int i = 0; i < kSearchSteps && source.Before(t, false, false, p); ++i) {
            if (!m_past.any) m_past.any = p;
            if (m_rules.Usable(p)) {
                if (m_past.usable) {
                    m_past.usable2 = p;
                    break;
                }
                m_past.usable = p;
            } else if (!m_past.usable) {
                m_past.skipped = true;
            }
            t = p.time;
        }
        // A long run of unusable points: the nearest Good one still bounds the line.
        if (!m_past.usable && m_past.any && source.Before(t, false, true, p) && m_rules.Usable(p)) m_past.usable = p;
    }

    AggregateValue Compute(HistoryTime lo, HistoryTime hi, bool shortInterval) {
        m_lo = lo;
        m_hi = hi;
        m_short = shortInterval;
        // Points before the interval (a backward interval leaves out its lower edge).
        HistoryPoint p;
        while (m_cursor.Peek(0, p) && (m_backward ? p.time <= lo : p.time < lo)) {
            m_past.Feed(p, m_rules);
            m_cursor.Advance();
        }
        m_before = m_past;
        m_members = 0;
        m_first.reset();
        m_last.reset();
        m_aheadKnown = false;
        switch (m_request.aggregate) {
        case HistoryAggregate::Interpolative: return Interpolative();
        case HistoryAggregate::TimeAverage:
        case HistoryAggregate::Total: return TimeAverage();
        case HistoryAggregate::TimeAverage2:
        case HistoryAggregate::Total2:
        case HistoryAggregate::DurationGood:
        case HistoryAggregate::DurationBad:
        case HistoryAggregate::PercentGood:
        case HistoryAggregate::PercentBad: return Regions();
        case HistoryAggregate::Average:
        case HistoryAggregate::Count:
        case HistoryAggregate::StandardDeviationSample:
        case HistoryAggregate::VarianceSample: return Statistics();
        case HistoryAggregate::Minimum:
        case HistoryAggregate::Maximum:
        case HistoryAggregate::MinimumActualTime:
        case HistoryAggregate::MaximumActualTime:
        case HistoryAggregate::Range: return Extremes();
        case HistoryAggregate::Start:
        case HistoryAggregate::End:
        case HistoryAggregate::Delta: return Ends();
        case HistoryAggregate::WorstQuality: return WorstQuality();
        }
        return {};
    }

private:
    // The interval's own start: its upper edge when time runs backwards.
    HistoryTime StartTime() const noexcept { return m_backward ? m_hi : m_lo; }

    template <class F>
    void ForMembers(F&& f) {
        HistoryPoint p;
        while (m_cursor.Peek(0, p) && (m_backward ? p.time <= m_hi : p.time < m_hi)) {
            if (!m_first) m_first = p;
            m_last = p;
            ++m_members;
            f(p);
            m_past.Feed(p, m_rules);
            m_cursor.Advance();
        }
    }

    const Ahead& Look() {
        if (m_aheadKnown) return m_ahead;
        m_aheadKnown = true;
        m_ahead = {};
        HistoryPoint p;
        HistoryTime t = m_cursor.To();
        bool inclusive = true;
        std::size_t i = 0;
        for (; i < kPage && m_cursor.Peek(i, p); ++i) {
            if (Take(p)) return m_ahead;
            t = p.time;
            inclusive = false;
        }
        for (int step = 0; i < kPage && step < kSearchSteps && m_source.After(t, inclusive, false, p); ++step) {
            if (Take(p)) return m_ahead;
            t = p.time;
            inclusive = false;
        }
        // A long run of unusable points: the nearest Good one still bounds the line.
        if (m_source.After(t, inclusive, true, p) && m_rules.Usable(p)) m_ahead.usable = p;
        return m_ahead;
    }
    bool Take(const HistoryPoint& p) {
        if (!m_ahead.any) m_ahead.any = p;
        if (m_rules.Usable(p)) {
            m_ahead.usable = p;
            return true;
        }
        m_ahead.skipped = true;
        return false;
    }

    // Data reaches both edges of the interval, and the interval is whole.
    bool Partial() {
        bool startCovered = m_before.any.has_value() || (m_first && m_first->time <= m_lo);
        bool endCovered = Look().any.has_value() || (m_last && m_last->time >= m_hi);
        return m_short || !startCovered || !endCovered;
    }
    // No data at all before the interval's end, or none from its start on.
    bool OutsideData() { return m_members == 0 && (!m_before.any || !Look().any); }

    AggregateValue Result(double value, AggregateStatus status) const {
        AggregateValue v;
        v.time = StartTime();
        v.value = value;
        v.hasValue = true;
        v.status = status;
        return v;
    }
    AggregateValue Missing() const {
        AggregateValue v;
        v.time = StartTime();
        v.status = NoData();
        return v;
    }

    AggregateValue Interpolative() {
        Probe probe(StartTime(), m_before);
        ForMembers([&](const HistoryPoint& p) { probe.Feed(p, m_rules); });
        probe.FeedAhead(Look(), m_rules);
        Bound b = Interpolate(probe, m_rules, m_rules.stepped);
        if (!b.found) return Missing();
        AggregateStatus s;
        if (b.raw) {
            if (b.uncertain) s.severity = AggregateStatus::Severity::Uncertain;
        } else {
            if (b.uncertain) s = SubNormal();
            s.interpolated = true;
        }
        return Result(b.value, s);
    }

    // The area under straight lines through the usable points, from the
    // interpolated value at the start to the one at the end.
    AggregateValue TimeAverage() {
        std::optional<HistoryPoint> last;  // the last corner of the line
        HistoryTime coveredFrom = m_lo;
        double area = 0;
        bool uncertain = false;
        auto uncertainPoint = [](const HistoryPoint& p) { return GradeOf(p) != Grade::Good; };
        ForMembers([&](const HistoryPoint& p) {
            if (!m_rules.Usable(p)) {
                uncertain = true;
                return;
            }
            uncertain |= uncertainPoint(p);
            if (!last) {
                if (p.time > m_lo && m_before.usable) {
                    HistoryPoint start{m_lo, Line(*m_before.usable, p, m_lo), 0};
                    uncertain |= m_before.skipped || uncertainPoint(*m_before.usable);
                    last = start;
                } else {
                    coveredFrom = std::max(m_lo, p.time);
                    last = p;
                    return;
                }
            }
            HistoryTime t = std::min(p.time, m_hi);
            area += (last->value + p.value) / 2.0 * static_cast<double>(t - last->time);
            last = p;
        });
        const Ahead& ahead = Look();
        if (!last) {
            // No usable point inside: the line from the one before to the one after.
            if (!m_before.usable) return Missing();
            Probe from(m_lo, m_before);
            from.FeedAhead(ahead, m_rules);
            Bound start = Interpolate(from, m_rules, false);
            uncertain |= start.uncertain;
            last = HistoryPoint{m_lo, start.value, 0};
        }
        double end = last->value;
        if (last->time < m_hi) {
            Probe to(m_hi, m_past);
            to.FeedAhead(ahead, m_rules);
            Bound b = Interpolate(to, m_rules, false);
            end = b.value;
            uncertain |= b.uncertain;
            area += (last->value + end) / 2.0 * static_cast<double>(m_hi - last->time);
        }
        HistoryTime covered = m_hi - coveredFrom;
        AggregateStatus s = uncertain ? SubNormal() : AggregateStatus{};
        s.calculated = true;
        s.partial = Partial() || coveredFrom > m_lo;
        if (m_request.aggregate == HistoryAggregate::Total)
            return Result(area / static_cast<double>(kHistoryTicksPerSecond), s);
        return Result(covered > 0 ? area / static_cast<double>(covered) : end, s);
    }

    // The interval cut into regions, each from one raw point to the next.
    AggregateValue Regions() {
        const HistoryAggregate a = m_request.aggregate;
        const bool byStatus = a != HistoryAggregate::TimeAverage2 && a != HistoryAggregate::Total2;
        double good = 0, uncertain = 0, bad = 0, area = 0;
        std::optional<HistoryPoint> from = m_before.any;
        HistoryTime x = m_lo;
        auto region = [&](const std::optional<HistoryPoint>& end, HistoryTime y) {
            if (y <= x) return;
            double span = static_cast<double>(y - x);
            Grade g = from ? GradeOf(*from) : Grade::Bad;
            if (!from && !byStatus) {
                bad += span;
                return;
            }
            if (byStatus) {
                (g == Grade::Good ? good : g == Grade::Uncertain ? uncertain : bad) += span;
                return;
            }
            if (!m_rules.Usable(*from)) {
                bad += span;
                return;
            }
            if (m_rules.stepped) {
                area += from->value * span;
                (g == Grade::Good ? good : uncertain) += span;
            } else if (end && m_rules.Usable(*end)) {
                area += (Line(*from, *end, x) + Line(*from, *end, y)) / 2.0 * span;
                (g == Grade::Good && GradeOf(*end) == Grade::Good ? good : uncertain) += span;
            } else {
                // A line towards Bad data holds its Good start, as an Uncertain guess.
                area += from->value * span;
                uncertain += span;
            }
        };
        ForMembers([&](const HistoryPoint& p) {
            region(p, p.time);
            from = p;
            x = std::max(x, p.time);
        });
        if (OutsideData()) return Missing();
        region(Look().any, m_hi);
        double length = static_cast<double>(m_hi - m_lo);
        AggregateStatus s;
        s.calculated = true;
        s.partial = Partial();
        if (byStatus) {
            double goodTime = good + (m_rules.treatUncertainAsBad ? 0 : uncertain);
            double badTime = bad + (m_rules.treatUncertainAsBad ? uncertain : 0);
            double ms = static_cast<double>(kHistoryTicksPerMs);
            switch (a) {
            case HistoryAggregate::DurationGood: return Result(goodTime / ms, s);
            case HistoryAggregate::DurationBad: return Result(badTime / ms, s);
            case HistoryAggregate::PercentGood: return Result(100.0 * goodTime / length, s);
            default: return Result(100.0 * badTime / length, s);
            }
        }
        double used = good + uncertain;
        if (used <= 0) return Missing();
        AggregateStatus judged = Judged(good, uncertain, bad, m_rules);
        judged.partial = s.partial;
        if (a == HistoryAggregate::Total2) return Result(area / static_cast<double>(kHistoryTicksPerSecond), judged);
        return Result(area / used, judged);
    }

    AggregateValue Statistics() {
        double good = 0, uncertain = 0, bad = 0;
        double n = 0, mean = 0, m2 = 0;  // running mean and squared deviations
        ForMembers([&](const HistoryPoint& p) {
            Grade g = GradeOf(p);
            (g == Grade::Good ? good : m_rules.Usable(p) ? uncertain : bad) += 1;
            if (!m_rules.Usable(p)) return;
            n += 1;
            double d = p.value - mean;
            mean += d / n;
            m2 += d * (p.value - mean);
        });
        if (OutsideData()) return Missing();
        bool count = m_request.aggregate == HistoryAggregate::Count;
        AggregateStatus s;
        if (m_members > 0) {
            s = Judged(good, uncertain, bad, m_rules);
        } else {
            s.calculated = true;
        }
        s.partial = Partial();
        if (count) return Result(n, s);
        bool sample = m_request.aggregate != HistoryAggregate::Average;
        if (n < (sample ? 2 : 1)) return Missing();
        if (!sample) return Result(mean, s);
        double variance = m2 / (n - 1);
        return Result(m_request.aggregate == HistoryAggregate::VarianceSample ? variance : std::sqrt(variance), s);
    }

    AggregateValue Extremes() {
        const HistoryAggregate a = m_request.aggregate;
        struct Extreme {
            std::optional<HistoryPoint> at;
            bool multiple = false;
        };
        Extreme low, high;
        bool nonGood = false;
        auto track = [](Extreme& e, const HistoryPoint& p, bool lower) {
            if (!e.at || (lower ? p.value < e.at->value : p.value > e.at->value)) {
                e.at = p;
                e.multiple = false;
            } else if (p.value == e.at->value && p.time != e.at->time) {
                e.multiple = true;
            }
        };
        double uncertainLow = std::numeric_limits<double>::infinity();
        double uncertainHigh = -uncertainLow;
        ForMembers([&](const HistoryPoint& p) {
            Grade g = GradeOf(p);
            if (g == Grade::Good) {
                track(low, p, true);
                track(high, p, false);
                return;
            }
            if (g == Grade::Uncertain && !m_rules.treatUncertainAsBad) {
                uncertainLow = std::min(uncertainLow, p.value);
                uncertainHigh = std::max(uncertainHigh, p.value);
            } else {
                nonGood = true;
            }
        });
        if (!low.at) return Missing();
        bool lowSubNormal = nonGood || uncertainLow < low.at->value;
        bool highSubNormal = nonGood || uncertainHigh > high.at->value;
        AggregateStatus s;
        bool partial = Partial();
        auto status = [&](bool subNormal) {
            AggregateStatus r = subNormal ? SubNormal() : AggregateStatus{};
            r.partial = partial;
            return r;
        };
        switch (a) {
        case HistoryAggregate::Range:
            s = status(lowSubNormal || highSubNormal);
            s.calculated = true;
            return Result(high.at->value - low.at->value, s);
        case HistoryAggregate::MinimumActualTime:
        case HistoryAggregate::MaximumActualTime: {
            const Extreme& e = a == HistoryAggregate::MinimumActualTime ? low : high;
            s = status(a == HistoryAggregate::MinimumActualTime ? lowSubNormal : highSubNormal);
            s.multipleValues = e.multiple;
            AggregateValue v = Result(e.at->value, s);
            v.time = e.at->time;
            return v;
        }
        default: {
            bool minimum = a == HistoryAggregate::Minimum;
            const Extreme& e = minimum ? low : high;
            bool subNormal = minimum ? lowSubNormal : highSubNormal;
            s = status(subNormal);
            s.multipleValues = e.multiple;
            s.calculated = subNormal || e.at->time != StartTime();
            return Result(e.at->value, s);
        }
        }
    }

    AggregateValue Ends() {
        const HistoryAggregate a = m_request.aggregate;
        std::optional<HistoryPoint> firstUsable, lastUsable;
        bool skippedFirst = false, skippedLast = false;
        ForMembers([&](const HistoryPoint& p) {
            if (!m_rules.Usable(p)) {
                if (!firstUsable) skippedFirst = true;
                skippedLast = true;
                return;
            }
            if (!firstUsable) firstUsable = p;
            lastUsable = p;
            skippedLast = false;
        });
        if (a != HistoryAggregate::Delta) {
            if (!m_first) return Missing();
            const HistoryPoint& p = a == HistoryAggregate::Start ? *m_first : *m_last;
            AggregateValue v;
            v.time = p.time;
            Grade g = GradeOf(p);
            v.hasValue = g != Grade::Bad;
            v.value = v.hasValue ? p.value : 0;
            v.status.severity = g == Grade::Good        ? AggregateStatus::Severity::Good
                                : g == Grade::Uncertain ? AggregateStatus::Severity::Uncertain
                                                        : AggregateStatus::Severity::Bad;
            v.status.partial = Partial();
            return v;
        }
        if (!firstUsable) return Missing();
        bool subNormal =
            skippedFirst || skippedLast || GradeOf(*firstUsable) != Grade::Good || GradeOf(*lastUsable) != Grade::Good;
        AggregateStatus s = subNormal ? SubNormal() : AggregateStatus{};
        s.calculated = true;
        s.partial = Partial();
        return Result(lastUsable->value - firstUsable->value, s);
    }

    AggregateValue WorstQuality() {
        std::optional<HistoryPoint> worst;
        bool multiple = false;
        auto word = [](const HistoryPoint& p) -> HistoryQuality { return std::isfinite(p.value) ? p.quality : 0; };
        ForMembers([&](const HistoryPoint& p) {
            HistoryPoint q = p;
            q.quality = word(p);
            if (!worst || GradeOf(q) < GradeOf(*worst)) {
                worst = q;
                multiple = false;
            } else if (q.quality == worst->quality && q.time != worst->time) {
                multiple = true;
            }
        });
        if (!worst) return Missing();
        AggregateStatus s;
        s.calculated = true;
        s.multipleValues = multiple;
        s.partial = Partial();
        return Result(worst->quality, s);
    }

    const AggregateRequest& m_request;
    const AggregateSource& m_source;
    Rules m_rules;
    bool m_backward;
    Cursor m_cursor;
    Past m_past;
    // Per interval:
    HistoryTime m_lo = 0, m_hi = 0;
    bool m_short = false;
    Past m_before;
    std::size_t m_members = 0;
    std::optional<HistoryPoint> m_first, m_last;
    bool m_aheadKnown = false;
    Ahead m_ahead;
};

std::uint64_t Span(const AggregateRequest& r) noexcept {
    return r.end >= r.start ? static_cast<std::uint64_t>(r.end) - static_cast<std::uint64_t>(r.start)
                            : static_cast<std::uint64_t>(r.start) - static_cast<std::uint64_t>(r.end);
}

}  // namespace

std::wstring_view AggregateName(HistoryAggregate aggregate) noexcept {
    auto i = static_cast<std::size_t>(aggregate);
    return i < kNames.size() ? kNames[i] : std::wstring_view();
}

std::optional<HistoryAggregate> AggregateByName(std::wstring_view name) noexcept {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (std::equal(name.begin(), name.end(), kNames[i].begin(), kNames[i].end(),
                       [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); }))
            return static_cast<HistoryAggregate>(i);
    }
    return std::nullopt;
}

bool AggregateTakesKind(HistoryAggregate aggregate, HistoryValueKind kind) noexcept {
    return kind != HistoryValueKind::Text || !IsValueAggregate(aggregate);
}

std::uint64_t AggregateIntervalCount(const AggregateRequest& request) noexcept {
    if (request.interval < 0 || request.start == request.end) return 0;
    std::uint64_t span = Span(request);
    auto step = static_cast<std::uint64_t>(request.interval);
    if (step == 0 || step >= span) return 1;
    return span / step + (span % step != 0 ? 1 : 0);
}

AggregateError ComputeAggregate(const AggregateRequest& request, const AggregateSource& source, std::uint64_t first,
                                std::size_t count, std::vector<AggregateValue>& out) {
    if (request.interval < 0) return AggregateError::InvalidInterval;
    const AggregateConfiguration& c = request.configuration;
    if (c.percentDataGood > 100 || c.percentDataBad > 100 || c.percentDataGood + c.percentDataBad < 100)
        return AggregateError::InvalidInputs;
    std::uint64_t total = AggregateIntervalCount(request);
    if (first >= total || count == 0) return AggregateError::None;
    std::uint64_t last = std::min<std::uint64_t>(total, first + count) - 1;

    const bool backward = request.end < request.start;
    const std::uint64_t span = Span(request);
    const std::uint64_t step = request.interval == 0 ? span : static_cast<std::uint64_t>(request.interval);
    // Interval k as [lo, hi), counted from the request's start in its direction.
    auto edges = [&](std::uint64_t k, HistoryTime& lo, HistoryTime& hi) {
        std::uint64_t near = k * step;
        std::uint64_t far = std::min(span, near + step);
        if (backward) {
            hi = request.start - static_cast<HistoryTime>(near);
            lo = request.start - static_cast<HistoryTime>(far);
        } else {
            lo = request.start + static_cast<HistoryTime>(near);
            hi = request.start + static_cast<HistoryTime>(far);
        }
        return far - near < step;
    };

    Rules rules;
    rules.treatUncertainAsBad = c.treatUncertainAsBad;
    rules.percentGood = c.percentDataGood;
    rules.percentBad = c.percentDataBad;
    rules.slopedExtrapolation = c.useSlopedExtrapolation;
    // TimeAverage and Total draw sloped lines whatever the source; the rest follow it.
    rules.stepped = source.Stepped();

    HistoryTime pageLo = 0, pageHi = 0, unused = 0;
    edges(backward ? last : first, pageLo, unused);
    edges(backward ? first : last, unused, pageHi);
    // A backward interval holds its upper edge: read one tick further.
    HistoryTime readTo = backward && pageHi < kHistoryTimeMax ? pageHi + 1 : pageHi;
    Walker walker(request, source, rules, backward, pageLo, readTo);

    std::size_t mark = out.size();
    out.reserve(mark + static_cast<std::size_t>(last - first + 1));
    for (std::uint64_t i = 0; i <= last - first; ++i) {
        std::uint64_t k = backward ? last - i : first + i;
        HistoryTime lo = 0, hi = 0;
        bool partial = edges(k, lo, hi);
        out.push_back(walker.Compute(lo, hi, partial));
    }
    if (backward) std::reverse(out.begin() + static_cast<std::ptrdiff_t>(mark), out.end());
    return AggregateError::None;
}
