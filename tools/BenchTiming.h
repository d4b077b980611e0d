#pragma once
// Timing for the in-process benchmarks.
#include <algorithm>
#include <chrono>
#include <iterator>

using BenchClock = std::chrono::steady_clock;

inline double SecondsSince(BenchClock::time_point from) {
    return std::chrono::duration<double>(BenchClock::now() - from).count();
}

// The middle of three fresh runs by `key`, so one descheduled moment does not decide.
template <class Run, class Key>
auto MedianOfThree(Run run, Key key) {
    decltype(run()) r[3] = {run(), run(), run()};
    std::sort(std::begin(r), std::end(r), [&key](const auto& a, const auto& b) { return key(a) < key(b); });
    return r[1];
}
