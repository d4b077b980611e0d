#include "HistoryStore.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <utility>
#include <vector>

#include "HistoryShared.h"

namespace {
// FILETIME ticks from the Unix epoch's.
constexpr HistoryTime kUnixEpochTicks = 116'444'736'000'000'000LL;
constexpr auto kTrimPeriod = std::chrono::seconds(1);
}  // namespace

HistoryTime HistoryShared::Now() const {
    {
        std::lock_guard guard(clockLock);
        if (clock) return clock();
    }
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochTicks +
           std::chrono::duration_cast<std::chrono::duration<HistoryTime, std::ratio<1, 10'000'000>>>(since).count();
}

void HistoryShared::Add(std::uint64_t bytes) {
    const std::uint64_t before = bytesUsed.fetch_add(bytes, std::memory_order_relaxed);
    const std::uint64_t bound = memoryBytes.load(std::memory_order_relaxed);
    if (before <= bound && before + bytes > bound) Wake();
}

void HistoryShared::Wake() {
    {
        std::lock_guard guard(wakeLock);
        wakeUp = true;
    }
    wake.notify_one();
}

struct HistoryStore::State {
    std::shared_ptr<HistoryShared> shared = std::make_shared<HistoryShared>();
    std::mutex registryLock;
    std::vector<std::weak_ptr<HistorySeries>> series;
    // One trimming at a time (the thread's and a caller's); it takes each
    // series' lock in turn, never two at once, and never the registry's with one.
    std::mutex trimLock;
    bool boundReported = false;
    std::function<void(std::uint64_t)> onBound;
    std::thread thread;

    std::vector<std::shared_ptr<HistorySeries>> Live() {
        std::vector<std::shared_ptr<HistorySeries>> live;
        std::lock_guard guard(registryLock);
        std::erase_if(series, [&](const std::weak_ptr<HistorySeries>& weak) {
            auto held = weak.lock();
            if (!held) return true;
            live.push_back(std::move(held));
            return false;
        });
        return live;
    }
};

HistoryStore::HistoryStore(HistoryLimits limits) : m_state(std::make_unique<State>()) {
    // Not SetLimits: nothing to trim yet, and a test sets its clock first.
    m_state->shared->spanTicks = limits.spanTicks;
    m_state->shared->memoryBytes = limits.memoryBytes;
    m_state->thread = std::thread([this] { Run(); });
}

HistoryStore::~HistoryStore() {
    {
        std::lock_guard guard(m_state->shared->wakeLock);
        m_state->shared->stopping = true;
    }
    m_state->shared->wake.notify_one();
    m_state->thread.join();
}

void HistoryStore::Run() {
    HistoryShared& shared = *m_state->shared;
    for (;;) {
        {
            std::unique_lock guard(shared.wakeLock);
            shared.wake.wait_for(guard, kTrimPeriod, [&] { return shared.wakeUp || shared.stopping; });
            if (shared.stopping) return;
            shared.wakeUp = false;
        }
        Trim();
    }
}

std::shared_ptr<HistoryShared> HistoryStore::SharedState() const { return m_state->shared; }

std::shared_ptr<HistorySeries> HistoryStore::CreateSeries(HistoryValueKind kind) {
    std::shared_ptr<HistorySeries> series(new HistorySeries(*this, kind));
    std::lock_guard guard(m_state->registryLock);
    m_state->series.push_back(series);
    return series;
}

void HistoryStore::SetLimits(const HistoryLimits& limits) {
    m_state->shared->spanTicks = limits.spanTicks;
    m_state->shared->memoryBytes = limits.memoryBytes;
    m_state->shared->Wake();
}

HistoryLimits HistoryStore::Limits() const {
    return HistoryLimits{m_state->shared->spanTicks.load(), m_state->shared->memoryBytes.load()};
}

std::uint64_t HistoryStore::BytesUsed() const noexcept { return m_state->shared->bytesUsed.load(); }

void HistoryStore::OnBoundReached(std::function<void(std::uint64_t memoryBytes)> callback) {
    std::lock_guard guard(m_state->trimLock);
    m_state->onBound = std::move(callback);
}

void HistoryStore::SetClock(std::function<HistoryTime()> now) {
    std::lock_guard guard(m_state->shared->clockLock);
    m_state->shared->clock = std::move(now);
}

HistoryTime HistoryStore::Now() const { return m_state->shared->Now(); }

void HistoryStore::Trim() {
    // Held through the callback too, so that a caller's Trim never returns
    // while the thread's report is still under way.
    std::lock_guard trimming(m_state->trimLock);
    HistoryShared& shared = *m_state->shared;
    const HistoryTime cutoff = shared.Now() - shared.spanTicks.load();
    const std::vector<std::shared_ptr<HistorySeries>> live = m_state->Live();
    for (const auto& series : live) series->TrimBefore(cutoff);

    const std::uint64_t bound = shared.memoryBytes.load();
    bool dropped = false;
    if (shared.bytesUsed.load() > bound) {
        // Down a little below the bound, so that a steady recorder does not
        // make the store drop a chunk at every one it adds.
        const std::uint64_t target = bound - bound / 64;
        using Entry = std::pair<HistoryTime, std::size_t>;
        std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> oldest;
        HistoryTime newest = 0;
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (live[i]->OldestChunk(newest)) oldest.emplace(newest, i);
        }
        while (shared.bytesUsed.load() > target && !oldest.empty()) {
            const std::size_t i = oldest.top().second;
            oldest.pop();
            dropped = live[i]->DropOldestChunk() || dropped;
            if (live[i]->OldestChunk(newest)) oldest.emplace(newest, i);
        }
    }
    if (dropped && !m_state->boundReported) {
        m_state->boundReported = true;
        if (m_state->onBound) m_state->onBound(bound);
    } else if (!dropped && shared.bytesUsed.load() < bound / 4 * 3) {
        // Room once more: the next time the bound bites is told again.
        m_state->boundReported = false;
    }
}
