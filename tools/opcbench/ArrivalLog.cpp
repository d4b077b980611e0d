#include "ArrivalLog.h"

#include <algorithm>

double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / perMs;
}

void ArrivalLog::Record(const Arrival& arrival) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arrivals.push_back(arrival);
    m_items += arrival.count;
}

size_t ArrivalLog::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrivals.size();
}

std::vector<Arrival> ArrivalLog::Since(size_t from) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<Arrival>(m_arrivals.begin() + static_cast<std::ptrdiff_t>(std::min(from, m_arrivals.size())),
                                m_arrivals.end());
}

unsigned long long ArrivalLog::Items() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items;
}
