#include "BenchConfiguration.h"

#include <algorithm>

#include "BenchTree.h"
#include "ConfigurationFile.h"

bool WriteBenchConfiguration(const std::wstring& path, int tagCount, int limitedTags) {
    const int areas = (tagCount + kTagsPerArea - 1) / kTagsPerArea;
    const BenchTree tree(L"Bench", areas, kTagsPerArea, [limitedTags](ToviTag& tag, int area, int t) {
        if (area * kTagsPerArea + t < limitedTags) {
            tag.SetValueLimits(0.0, 1000.0);
            tag.SetDeadband(0.0);  // a read after a write must see the written value
        }
        tag.SetValueNow(Variant::FromDouble(t * 0.5));
    });
    return SaveConfigurationFile(path, tree.devices).status == ConfigFileStatus::Ok;
}

std::wstring BenchItemId(int tagIndex) {
    return L"Bench.Area" + std::to_wstring(tagIndex / kTagsPerArea) + L".Tag" +
           std::to_wstring(tagIndex % kTagsPerArea);
}

std::vector<int> SpreadTagIndexes(int tagCount, int itemCount) {
    std::vector<int> indexes;
    indexes.reserve(static_cast<size_t>(itemCount));
    const long long stride = itemCount > 0 ? std::max(1, tagCount / itemCount) : 1;
    for (int i = 0; i < itemCount; ++i) indexes.push_back(static_cast<int>((i * stride) % tagCount));
    return indexes;
}
