#include "BenchReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

#include "BenchFigures.h"

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRatioLimit = 1.25;
constexpr double kFlatLimit = 1.2;
constexpr double kInProcessReadLimitUs = 1.0;
constexpr int kSmallItems = 1000;
constexpr int kLargeItems = 10000;

std::string Format(const char* format, int a, int b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}
}  // namespace

void BenchReport::Add(int tagCount, int itemCount, Source source, const CycleSeconds& seconds) {
    m_samples[{tagCount, itemCount, source}].push_back(seconds);
}

double BenchReport::Median(int tagCount, int itemCount, Source source, int operation) const {
    const auto found = m_samples.find({tagCount, itemCount, source});
    if (found == m_samples.end() || found->second.empty()) return kNaN;
    std::vector<double> values;
    for (const CycleSeconds& s : found->second) values.push_back(s[static_cast<size_t>(operation)]);
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double BenchReport::PerItem(int tagCount, int itemCount, int operation) const {
    return Median(tagCount, itemCount, Source::kServer, operation) / itemCount;
}

std::vector<BenchReport::Goal> BenchReport::Goals() const {
    std::set<int> configurations;
    for (const auto& [key, values] : m_samples) configurations.insert(std::get<0>(key));
    std::vector<Goal> goals;
    for (int tags : configurations) {
        for (int op = 0; op < kOperationCount; ++op) {
            goals.push_back(
                {Format("%d tags, %d items: ", tags, kLargeItems) + OperationName(op) + " / floor",
                 Median(tags, kLargeItems, Source::kServer, op) / Median(tags, kLargeItems, Source::kFloor, op),
                 kRatioLimit});
        }
    }
    for (int op : {kAddItems, kValidateItems}) {
        for (int tags : configurations) {
            goals.push_back({Format("%d tags: ", tags) + OperationName(op) + " per item, 10000 / 1000 items",
                             PerItem(tags, kLargeItems, op) / PerItem(tags, kSmallItems, op), kFlatLimit});
        }
        if (configurations.size() >= 2) {
            const int small = *configurations.begin();
            const int large = *configurations.rbegin();
            for (int items : {kSmallItems, kLargeItems}) {
                goals.push_back(
                    {Format("%d items: ", items) + OperationName(op) + Format(" per item, %d / %d tags", large, small),
                     PerItem(large, items, op) / PerItem(small, items, op), kFlatLimit});
            }
        }
    }
    for (int tags : configurations) {
        for (int op : {kReadCache, kReadDevice}) {
            goals.push_back(
                {Format("%d tags, %d items, in process: ", tags, kLargeItems) + OperationName(op) + " us per item",
                 Median(tags, kLargeItems, Source::kInProcess, op) * 1e6 / kLargeItems, kInProcessReadLimitUs});
        }
    }
    return goals;
}

void BenchReport::Print(int rounds) const {
    std::printf(
        "Medians of %d rounds. floor: the echo object's call of the same shape, in its own process;\n"
        "in-proc: the server's objects in the benchmark's process (no marshalling).\n",
        rounds);
    std::printf("%7s %-14s %6s %10s %9s %9s %7s %15s\n", "tags", "operation", "items", "median ms", "us/item",
                "floor ms", "ratio", "in-proc us/item");
    std::set<std::pair<int, int>> sizes;
    for (const auto& [key, values] : m_samples) sizes.insert({std::get<0>(key), std::get<1>(key)});
    for (const auto& [tags, items] : sizes) {
        for (int op = 0; op < kOperationCount; ++op) {
            const double ms = Median(tags, items, Source::kServer, op) * 1e3;
            const double floorMs = Median(tags, items, Source::kFloor, op) * 1e3;
            const double inProcessUs = Median(tags, items, Source::kInProcess, op) * 1e6 / items;
            std::printf("%7d %-14s %6d %s %s %s %s %s\n", tags, OperationName(op), items, Cell(ms, 10, 2).c_str(),
                        Cell(ms * 1e3 / items, 9, 3).c_str(), Cell(floorMs, 9, 2).c_str(),
                        Cell(ms / floorMs, 7, 2).c_str(), Cell(inProcessUs, 15, 3).c_str());
        }
    }
    for (const auto& [what, why] : m_missing) std::printf("not measured: %s: %s\n", what.c_str(), why.c_str());
    std::printf("Goals:\n");
    for (const Goal& g : Goals()) {
        const char* verdict = std::isnan(g.value) ? "not measured" : g.value <= g.limit ? "met" : "MISSED";
        std::printf("  %-62s %8.3f (limit %.2f) %s\n", g.text.c_str(), g.value, g.limit, verdict);
    }
}

bool BenchReport::GoalsMet() const {
    const std::vector<Goal> goals = Goals();
    return std::all_of(goals.begin(), goals.end(), [](const Goal& g) { return g.value <= g.limit; });
}
