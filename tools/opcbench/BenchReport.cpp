#include "BenchReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRatioLimit = 1.25;
constexpr double kFlatLimit = 1.2;
constexpr int kLargeItems = 10000;

std::string Format(const char* format, int a, int b = 0, int c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}
}  // namespace

void BenchReport::Add(int tagCount, int itemCount, bool floor, const CycleSeconds& seconds) {
    samples_[{tagCount, itemCount, floor}].push_back(seconds);
}

void BenchReport::AddInProcess(const std::string& what, double microsecondsPerItem, double limit) {
    inProcess_.push_back({what, microsecondsPerItem, limit});
}

double BenchReport::Median(int tagCount, int itemCount, bool floor, int operation) const {
    const auto found = samples_.find({tagCount, itemCount, floor});
    if (found == samples_.end() || found->second.empty()) return kNaN;
    std::vector<double> values;
    for (const CycleSeconds& s : found->second) values.push_back(s[static_cast<size_t>(operation)]);
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double BenchReport::PerItem(int tagCount, int itemCount, int operation) const {
    return Median(tagCount, itemCount, false, operation) / itemCount;
}

std::vector<BenchReport::Goal> BenchReport::Goals() const {
    std::set<int> configurations;
    for (const auto& [key, values] : samples_) configurations.insert(std::get<0>(key));
    std::vector<Goal> goals;
    for (int tags : configurations) {
        for (int op = 0; op < kOperationCount; ++op) {
            goals.push_back({Format("%d tags, %d items: ", tags, kLargeItems) + OperationName(op) + " / floor",
                             Median(tags, kLargeItems, false, op) / Median(tags, kLargeItems, true, op),
                             kRatioLimit});
        }
    }
    for (int op : {kAddItems, kValidateItems}) {
        for (int tags : configurations) {
            goals.push_back({Format("%d tags: ", tags) + OperationName(op) + " per item, 10000 / 1000 items",
                             PerItem(tags, kLargeItems, op) / PerItem(tags, 1000, op), kFlatLimit});
        }
        if (configurations.size() >= 2) {
            const int small = *configurations.begin();
            const int large = *configurations.rbegin();
            for (int items : {1000, kLargeItems}) {
                goals.push_back({Format("%d items: ", items) + OperationName(op) +
                                     Format(" per item, %d / %d tags", large, small),
                                 PerItem(large, items, op) / PerItem(small, items, op), kFlatLimit});
            }
        }
    }
    goals.insert(goals.end(), inProcess_.begin(), inProcess_.end());
    return goals;
}

void BenchReport::Print(int rounds) const {
    std::printf("Medians of %d rounds; the floor is the echo object's call of the same shape.\n", rounds);
    std::printf("%8s  %-14s %6s %10s %9s %9s %7s\n", "tags", "operation", "items", "median ms", "us/item",
                "floor ms", "ratio");
    for (const auto& [key, values] : samples_) {
        const auto [tags, items, floor] = key;
        if (floor && samples_.count({tags, items, false}) != 0) continue;  // shown beside the server's figure
        for (int op = 0; op < kOperationCount; ++op) {
            const double floorMs = Median(tags, items, true, op) * 1e3;
            if (floor) {
                std::printf("%8d  %-14s %6d %10s %9s %9.2f %7s\n", tags, OperationName(op), items, "-", "-", floorMs,
                            "-");
                continue;
            }
            const double ms = Median(tags, items, false, op) * 1e3;
            std::printf("%8d  %-14s %6d %10.2f %9.3f %9.2f %7.2f\n", tags, OperationName(op), items, ms,
                        ms * 1e3 / items, floorMs, ms / floorMs);
        }
    }
    for (const auto& [tags, why] : missing_) std::printf("server on %d tags not measured: %s\n", tags, why.c_str());
    std::printf("Goals:\n");
    for (const Goal& g : Goals()) {
        const char* verdict = std::isnan(g.value) ? "not measured" : g.value <= g.limit ? "met" : "MISSED";
        std::printf("  %-58s %8.3f (limit %.2f) %s\n", g.text.c_str(), g.value, g.limit, verdict);
    }
}

bool BenchReport::GoalsMet() const {
    const std::vector<Goal> goals = Goals();
    return std::all_of(goals.begin(), goals.end(), [](const Goal& g) { return g.value <= g.limit; });
}
