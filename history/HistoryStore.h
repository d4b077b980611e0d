#pragma once
// Every tag's history, within a span of time and a bound of memory for the
// whole store: samples older than the span go, and when the bound is reached
// the oldest samples of all series go first. A thread of its own does that
// trimming, so that recording never waits for it.
#include <cstdint>
#include <functional>
#include <memory>

#include "HistorySeries.h"
#include "HistoryTypes.h"

struct HistoryLimits {
    HistoryTime spanTicks = 24LL * 3600 * kHistoryTicksPerSecond;
    std::uint64_t memoryBytes = sizeof(void*) == 8 ? (1ull << 30) : (256ull << 20);
};

struct HistoryShared;

class HistoryStore {
public:
    explicit HistoryStore(HistoryLimits limits = {});
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // A new, empty series; it stays readable for as long as anyone holds it
    // (a read in progress outlives the tag's deletion).
    std::shared_ptr<HistorySeries> CreateSeries(HistoryValueKind kind);

    void SetLimits(const HistoryLimits& limits);
    HistoryLimits Limits() const;
    std::uint64_t BytesUsed() const noexcept;

    // Told once, from the store's thread, the first time the bound makes it
    // drop samples younger than the span (the event log's line); again only
    // after the store had room once more.
    void OnBoundReached(std::function<void(std::uint64_t memoryBytes)> callback);

    // The clock the span is measured against (tests move it).
    void SetClock(std::function<HistoryTime()> now);
    HistoryTime Now() const;

    // Runs the trimming now (tests, and the benchmark's steady state).
    void Trim();

private:
    struct State;
    std::unique_ptr<State> m_state;
    friend class HistorySeries;
    std::shared_ptr<HistoryShared> SharedState() const;
    void Run();
};
