#pragma once
// The benchmark's samples, their medians, the printed table and the goals.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "ItemCycle.h"

class BenchReport {
public:
    void Add(int tagCount, int itemCount, bool floor, const CycleSeconds& seconds);
    void NoteServerMissing(int tagCount, const std::string& why) { missing_[tagCount] = why; }
    // Microseconds per item of an in-process figure, with its limit.
    void AddInProcess(const std::string& what, double microsecondsPerItem, double limit);

    // The table of medians and ratios, then every goal with its figure.
    void Print(int rounds) const;
    // True when every goal was measured and met.
    bool GoalsMet() const;

private:
    struct Goal {
        std::string text;
        double value;  // NaN when it could not be measured
        double limit;
    };
    // Median seconds of an operation, NaN without samples.
    double Median(int tagCount, int itemCount, bool floor, int operation) const;
    double PerItem(int tagCount, int itemCount, int operation) const;
    std::vector<Goal> Goals() const;

    std::map<std::tuple<int, int, bool>, std::vector<CycleSeconds>> samples_;
    std::map<int, std::string> missing_;
    std::vector<Goal> inProcess_;
};
