#pragma once
// The sustained benchmark's tally of what one client heard of the simulated
// counters: every such tag adds one a second and wraps past its top (0..100,
// a Boolean 0..1), so the value itself tells how many changes a client
// missed between two notifications. Items are numbered 0..count-1; the
// protocols' callbacks call Heard from any thread.
#include <cstddef>
#include <mutex>
#include <vector>

// The steps from `from` to `to` along the counter (1: the next value, 0: the
// same one), or -1 when `to` is not on its way.
int CounterSteps(double from, double to, bool isBool);

class CountSteps {
public:
    explicit CountSteps(size_t items) : m_items(items) {}
    // A notification of item `index`: its value, the source time of the
    // change and the time it arrived, in ms. Counted only between Start and
    // Stop; the first one of each item after Start only sets where it stands.
    void Heard(size_t index, double value, bool isBool, double sourceMs, double arrivalMs);
    void Start();
    void Stop();

    struct Totals {
        unsigned long long notifications = 0;  // counted ones
        unsigned long long changes = 0;        // the counter steps they cover
        unsigned long long missed = 0;         // steps no notification carried
        unsigned long long repeats = 0;        // a value notified twice
        unsigned long long offTrack = 0;       // a value not on the counter's way
        unsigned long long gaps = 0;           // a source time more than 1.5 s after the one before
        size_t silent = 0;                     // items with no notification after the first
        double intervalMs = 0;                 // mean time between two notifications of an item
    };
    Totals Sum() const;

private:
    struct Item {
        bool seen = false;
        double value = 0, sourceMs = 0, arrivalMs = 0;
        unsigned long long notifications = 0;
    };
    mutable std::mutex m_lock;
    std::vector<Item> m_items;
    Totals m_totals;
    double m_intervals = 0;  // the sum of the times between an item's notifications
    bool m_counting = false;
};
