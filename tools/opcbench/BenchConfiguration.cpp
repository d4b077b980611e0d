#include "BenchConfiguration.h"

#include <algorithm>

#include "BenchTree.h"
#include "ConfigurationFile.h"

bool WriteBenchConfiguration(const std::wstring& path, int tagCount, int limitedTags, int tagsPerArea) {
    const int areas = (tagCount + tagsPerArea - 1) / tagsPerArea;
    const BenchTree tree(L"Bench", areas, tagsPerArea, [limitedTags, tagsPerArea](ToviTag& tag, int area, int t) {
        if (area * tagsPerArea + t < limitedTags) {
            tag.SetValueLimits(0.0, 1000.0);
            tag.SetDeadband(0.0);  // a read after a write must see the written value
        }
        tag.SetValueNow(Variant::FromDouble(t * 0.5));
    });
    return SaveConfigurationFile(path, tree.devices).status == ConfigFileStatus::Ok;
}

std::wstring BenchItemId(int tagIndex, int tagsPerArea) {
    return L"Bench.Area" + std::to_wstring(tagIndex / tagsPerArea) + L".Tag" + std::to_wstring(tagIndex % tagsPerArea);
}

std::vector<int> SpreadTagIndexes(int tagCount, int itemCount) {
    std::vector<int> indexes;
    indexes.reserve(static_cast<size_t>(itemCount));
    const long long stride = itemCount > 0 ? std::max(1, tagCount / itemCount) : 1;
    for (int i = 0; i < itemCount; ++i) indexes.push_back(static_cast<int>((i * stride) % tagCount));
    return indexes;
}
