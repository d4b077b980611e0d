#include "HistorySeriesSource.h"

#include <utility>

namespace {
HistoryPoint ToPoint(const HistorySample& sample) { return HistoryPoint{sample.time, sample.number, sample.quality}; }
}  // namespace

HistorySeriesSource::HistorySeriesSource(std::shared_ptr<const HistorySeries> series) : m_series(std::move(series)) {}

bool HistorySeriesSource::Stepped() const { return IsSteppedKind(m_series->Kind()); }

std::size_t HistorySeriesSource::Read(HistoryTime from, HistoryTime to, std::size_t max,
                                      std::vector<HistoryPoint>& out) const {
    return m_series->ReadPoints(from, to, max, out);
}

bool HistorySeriesSource::Before(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const {
    HistorySample sample;
    if (!m_series->Before(time, inclusive, goodOnly, sample)) return false;
    out = ToPoint(sample);
    return true;
}

bool HistorySeriesSource::After(HistoryTime time, bool inclusive, bool goodOnly, HistoryPoint& out) const {
    HistorySample sample;
    if (!m_series->After(time, inclusive, goodOnly, sample)) return false;
    out = ToPoint(sample);
    return true;
}
