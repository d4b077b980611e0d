// Builds one device holding a group of N tags and resolves every item ID once,
// for N = 10,000 and 100,000; prints the times and their ratio. Linear growth
// gives a ratio near 10.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
struct Result {
    double buildSeconds;
    double resolveSeconds;
    size_t found;
};

Result Run(int tagCount) {
    using Clock = std::chrono::steady_clock;
    auto device = std::make_unique<ToviDevice>();
    device->Rename(L"Plant");
    auto* group = new ToviTagGroup;
    group->Rename(L"Area");
    device->AddGroup(group);

    const auto buildStart = Clock::now();
    for (int i = 0; i < tagCount; ++i) {
        auto* tag = new ToviTag;
        tag->Rename(L"Tag" + std::to_wstring(i));
        group->AddTag(tag);
    }
    const auto buildEnd = Clock::now();

    std::vector<std::wstring> ids;
    ids.reserve(static_cast<size_t>(tagCount));
    for (int i = 0; i < tagCount; ++i) {
        ids.push_back(L"AREA.tag" + std::to_wstring(i));
    }
    size_t found = 0;
    const auto resolveStart = Clock::now();
    for (const std::wstring& id : ids) {
        found += device->FindTag(id) != nullptr;
    }
    const double resolveSeconds = std::chrono::duration<double>(Clock::now() - resolveStart).count();
    return {std::chrono::duration<double>(buildEnd - buildStart).count(), resolveSeconds, found};
}

// Median of three fresh runs, so one descheduled moment does not decide.
Result Median(int tagCount) {
    Result r[3] = {Run(tagCount), Run(tagCount), Run(tagCount)};
    std::sort(std::begin(r), std::end(r),
              [](const Result& a, const Result& b) { return a.resolveSeconds < b.resolveSeconds; });
    return r[1];
}
}  // namespace

int main() {
    Run(1000);  // warm-up
    const Result small = Median(10000);
    const Result large = Median(100000);
    std::printf("tags     build(s)  resolve(s)  resolved\n");
    std::printf("10000    %8.4f  %10.4f  %zu\n", small.buildSeconds, small.resolveSeconds, small.found);
    std::printf("100000   %8.4f  %10.4f  %zu\n", large.buildSeconds, large.resolveSeconds, large.found);
    std::printf("resolve ratio 100000/10000: %.2f\n", large.resolveSeconds / small.resolveSeconds);
    std::printf("build ratio 100000/10000:   %.2f\n", large.buildSeconds / small.buildSeconds);
    return small.found == 10000 && large.found == 100000 ? 0 : 1;
}
