#include "BenchConfiguration.h"

#include <algorithm>

#include "ConfigurationFile.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

bool WriteBenchConfiguration(const std::wstring& path, int tagCount, int limitedTags) {
    Dll<OPCS_Device*> devices;
    auto* device = new ToviDevice;
    device->Rename(L"Bench");
    devices.Append(device);
    for (int area = 0; area * kTagsPerArea < tagCount; ++area) {
        auto* group = new ToviTagGroup;
        group->Rename(L"Area" + std::to_wstring(area));
        device->AddGroup(group);
        for (int t = 0; t < kTagsPerArea; ++t) {
            auto* tag = new ToviTag;
            tag->Rename(L"Tag" + std::to_wstring(t));
            if (area * kTagsPerArea + t < limitedTags) {
                tag->SetValueLimits(0.0, 1000.0);
                tag->SetDeadband(0.0);  // a read after a write must see the written value
            }
            tag->SetValueNow(Variant::FromDouble(t * 0.5));
            group->AddTag(tag);
        }
    }
    const ConfigFileResult result = SaveConfigurationFile(path, devices);
    for (OPCS_Device* d : devices) delete d;
    return result.status == ConfigFileStatus::Ok;
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
