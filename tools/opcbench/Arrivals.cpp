#include "Arrivals.h"

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
    std::lock_guard<std::mutex> lock(mutex_);
    arrivals_.push_back(arrival);
    items_ += arrival.count;
}

size_t ArrivalLog::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_.size();
}

std::vector<Arrival> ArrivalLog::Since(size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<Arrival>(arrivals_.begin() + static_cast<std::ptrdiff_t>(std::min(from, arrivals_.size())),
                                arrivals_.end());
}

unsigned long long ArrivalLog::Items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
}
