#pragma once
// The recorded history of one tag: its samples in time order, kept in
// fixed-size chunks (no allocation per sample), and, for a simulated tag, the
// samples it would have taken before recording began, computed when read.
// Any thread may record or read at once; each call takes the series' own
// leaf lock for a bounded time (a page), never a caller's.
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "HistoryTypes.h"

class HistoryStore;

// The computed past: one sample every `stepTicks` on the grid that ends at
// `end` (the first step is at end - stepTicks), reaching back as far as the
// store's span; `at(time)` gives the sample at a grid time. It holds no
// memory per sample and must not refer to the tag (it outlives edits).
struct HistoryPast {
    HistoryTime end = 0;
    HistoryTime stepTicks = 0;
    std::function<HistorySample(HistoryTime time)> at;
};

// What HistoryUpdate does with one sample.
enum class HistoryUpdateKind { Insert, Replace, Upsert };
enum class HistoryUpdateOutcome {
    Inserted,       // a new sample at a time that had none
    Replaced,       // the sample at that time was replaced
    EntryExists,    // Insert where a sample is: nothing done
    NoEntryExists,  // Replace where none is: nothing done
    WrongKind,      // a text value for a numeric series, or the reverse
    OutOfRange,     // a time the store cannot keep (before the span, unrepresentable)
};

class HistorySeries {
public:
    ~HistorySeries();
    HistorySeries(const HistorySeries&) = delete;
    HistorySeries& operator=(const HistorySeries&) = delete;

    HistoryValueKind Kind() const noexcept;
    // A retype between the numeric kinds keeps the samples (they are numbers).
    void SetKind(HistoryValueKind kind) noexcept;

    // Appends the tag's new state. A time before the last recorded one (the
    // clock set back) is kept in time order too.
    void Record(const HistorySample& sample);
    // The computed past before `past.end`; an empty `at` removes it.
    void SetPast(HistoryPast past);

    // The oldest time readable (computed past included) and the newest
    // recorded; false when the series holds nothing.
    bool Extent(HistoryTime& oldest, HistoryTime& newest) const;

    // Up to `max` samples with from <= time < to, oldest first (computed past
    // included). `skipAtFrom` samples stamped exactly `from` are passed over
    // first: a page that ended among samples of one time resumes exactly.
    size_t ReadForward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                       std::vector<HistorySample>& out) const;
    // Up to `max` samples with to < time <= from, newest first; `skipAtFrom` as above.
    size_t ReadBackward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                        std::vector<HistorySample>& out) const;
    // The same for numeric series, without the text (aggregates, the trend).
    size_t ReadPoints(HistoryTime from, HistoryTime to, size_t max, std::vector<HistoryPoint>& out) const;
    // ReadForward and ReadBackward without the text: a raw read of a numeric series.
    size_t ReadPointsForward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                             std::vector<HistoryPoint>& out) const;
    size_t ReadPointsBackward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                              std::vector<HistoryPoint>& out) const;

    // The newest sample with time < `time` (or <= when `inclusive`), and the
    // oldest with time > `time` (or >=); `goodOnly` passes over non-Good ones.
    // Bounded: a search gives up past the store's span.
    bool Before(HistoryTime time, bool inclusive, bool goodOnly, HistorySample& out) const;
    bool After(HistoryTime time, bool inclusive, bool goodOnly, HistorySample& out) const;

    // HistoryUpdate and DeleteRaw. An edit inside the computed past first
    // turns the computed samples from its time to the recording start into
    // recorded ones, so that no sample is lost or invented; when those would
    // not fit in the store's memory bound the edit is refused (OutOfRange, or
    // nothing deleted there). A numeric series takes no text (WrongKind), a
    // Text series no number without text.
    HistoryUpdateOutcome Update(HistoryUpdateKind kind, const HistorySample& sample);
    // Removes the samples with start <= time < end; their count.
    size_t Delete(HistoryTime start, HistoryTime end);

    // Bytes of memory the recorded samples take (chunks included).
    std::size_t BytesUsed() const noexcept;

private:
    friend class HistoryStore;
    struct State;
    HistorySeries(HistoryStore& store, HistoryValueKind kind);
    // The store's trimming: samples older than `cutoff` go; the newest time
    // of the oldest chunk (the eviction order), and dropping that chunk.
    void TrimBefore(HistoryTime cutoff);
    bool OldestChunk(HistoryTime& newestInIt) const;
    bool DropOldestChunk();
    std::unique_ptr<State> m_state;
};
