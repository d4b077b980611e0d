#include "CountSteps.h"

namespace {
constexpr double kTop = 100;  // a counter without value limits runs 0..100
constexpr double kGapMs = 1500;

double NextCount(double value, bool isBool) {
    const double next = value + 1;
    return next > (isBool ? 1 : kTop) ? 0 : next;
}
}  // namespace

int CounterSteps(double from, double to, bool isBool) {
    if (to == from) return 0;
    double value = from;
    for (int steps = 1; steps <= kTop + 2; ++steps) {
        value = NextCount(value, isBool);
        if (value == to) return steps;
    }
    return -1;
}

void CountSteps::Heard(size_t index, double value, bool isBool, double sourceMs, double arrivalMs) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_counting || index >= m_items.size()) return;
    Item& item = m_items[index];
    if (item.seen) {
        const int steps = CounterSteps(item.value, value, isBool);
        ++m_totals.notifications;
        ++item.notifications;
        if (steps == 0) {
            ++m_totals.repeats;
        } else if (steps < 0) {
            ++m_totals.offTrack;
        } else {
            m_totals.changes += static_cast<unsigned long long>(steps);
            m_totals.missed += static_cast<unsigned long long>(steps - 1);
        }
        if (sourceMs - item.sourceMs > kGapMs) ++m_totals.gaps;
        m_intervals += arrivalMs - item.arrivalMs;
    }
    item.seen = true;
    item.value = value;
    item.sourceMs = sourceMs;
    item.arrivalMs = arrivalMs;
}

void CountSteps::Start() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (Item& item : m_items) item = Item{};
    m_totals = Totals{};
    m_intervals = 0;
    m_counting = true;
}

void CountSteps::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_counting = false;
}

CountSteps::Totals CountSteps::Sum() const {
    std::lock_guard<std::mutex> guard(m_lock);
    Totals totals = m_totals;
    for (const Item& item : m_items) totals.silent += item.notifications == 0;
    if (totals.notifications > 0) totals.intervalMs = m_intervals / static_cast<double>(totals.notifications);
    return totals;
}
