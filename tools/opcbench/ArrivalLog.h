#pragma once
// What the subscription benchmark's sinks keep of each call that reaches
// them, and the waits for one.
#include <windows.h>
#include <cstddef>
#include <mutex>
#include <vector>

// Milliseconds of the performance counter.
double NowMs();

enum class Delivery { kStream, kDataChange, kReadComplete };

struct Arrival {
    double ms;
    Delivery kind;
    DWORD size, count, group, transaction;
    double firstValue;  // the first item's value when it is a double, else NaN
};

class ArrivalLog {
public:
    static constexpr DWORD kWaitMs = 180000;  // a 10,000-item stream can take seconds under Wine

    void Record(const Arrival& arrival);

    // Waits for the first arrival after `from` (an index) that satisfies `want`.
    template <class Want>
    bool WaitFor(size_t from, Want want, Arrival* found, DWORD milliseconds = kWaitMs) {
        const double deadline = NowMs() + milliseconds;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (size_t i = from; i < m_arrivals.size(); ++i) {
                    if (want(m_arrivals[i])) {
                        if (found != nullptr) *found = m_arrivals[i];
                        return true;
                    }
                }
            }
            if (NowMs() > deadline) return false;
            Sleep(1);
        }
    }
    size_t Count();
    std::vector<Arrival> Since(size_t from);
    // Items carried by every arrival so far.
    unsigned long long Items();

private:
    std::mutex m_mutex;
    std::vector<Arrival> m_arrivals;
    unsigned long long m_items = 0;
};
