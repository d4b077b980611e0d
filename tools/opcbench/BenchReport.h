#pragma once
// The benchmark's samples, their medians, the printed table and the goals.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "ItemCycle.h"

// Who answered the calls: the program in its own process, the echo object
// (the floor), or the server's objects inside the benchmark's process.
enum class Source { kServer, kFloor, kInProcess };

class BenchReport {
public:
    void Add(int tagCount, int itemCount, Source source, const CycleSeconds& seconds);
    void NoteMissing(const std::string& what, const std::string& why) { m_missing.emplace_back(what, why); }

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
    double Median(int tagCount, int itemCount, Source source, int operation) const;
    double PerItem(int tagCount, int itemCount, int operation) const;
    std::vector<Goal> Goals() const;

    std::map<std::tuple<int, int, Source>, std::vector<CycleSeconds>> m_samples;
    std::vector<std::pair<std::string, std::string>> m_missing;
};
