#pragma once
// A store whose clock the test holds, and the sample helpers the history
// tests share.
#include <atomic>
#include <limits>
#include <vector>

#include "HistoryStore.h"

inline constexpr HistoryTime kBase = 133'000'000'000'000'000LL;  // a day in 2022
inline constexpr HistoryTime kSecond = kHistoryTicksPerSecond;
inline constexpr HistoryQuality kGood = 0xC0;
inline constexpr HistoryQuality kBad = 0x00;

struct ClockedStore {
    std::atomic<HistoryTime> now{kBase};
    HistoryStore store;
    explicit ClockedStore(HistoryLimits limits = {}) : store(limits) {
        store.SetClock([this] { return now.load(); });
    }
};

inline HistorySample Sample(HistoryTime time, double number, HistoryQuality quality = kGood) {
    return HistorySample{time, number, {}, quality};
}

inline std::vector<HistorySample> ReadAll(const HistorySeries& series) {
    std::vector<HistorySample> out;
    series.ReadForward(std::numeric_limits<HistoryTime>::min(), kHistoryTimeMax, 0, std::numeric_limits<size_t>::max(),
                       out);
    return out;
}
