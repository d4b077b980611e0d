#pragma once
// A series as the aggregates read it.
#include <memory>

#include "HistoryAggregates.h"
#include "HistorySeries.h"

class HistorySeriesSource final : public AggregateSource {
public:
    explicit HistorySeriesSource(std::shared_ptr<const HistorySeries> series);
    bool Stepped() const override;
    std::size_t Read(HistoryTime from, HistoryTime to, std::size_t max, std::vector<HistoryPoint>& out) const override;
    bool Before(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const override;
    bool After(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const override;

private:
    std::shared_ptr<const HistorySeries> m_series;
};
