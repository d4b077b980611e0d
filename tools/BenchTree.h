#pragma once
// The configuration the in-process benchmarks work on: one device (by default
// "Plant") with `groups` groups "AreaN" of `tagsPerGroup` tags "TagN". By
// default the tags are Double with a description and a value; a benchmark
// may shape each tag itself. Owns its devices.
#include <string>

#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

struct BenchTree {
    Dll<OPCS_Device*> devices;

    BenchTree() = default;
    BenchTree(int groups, int tagsPerGroup)
        : BenchTree(L"Plant", groups, tagsPerGroup, [](ToviTag& tag, int g, int t) {
              tag.SetDescription(L"Tag " + std::to_wstring(t) + L" of area " + std::to_wstring(g) + L", \"quoted\"");
              tag.SetValueNow(Variant::FromDouble(t * 0.5));
          }) {}
    // `shape(tag, group, index)` sets each new tag up before it joins its group.
    template <class Shape>
    BenchTree(const wchar_t* deviceName, int groups, int tagsPerGroup, Shape shape) {
        auto* device = new ToviDevice;
        device->Rename(deviceName);
        devices.Append(device);
        for (int g = 0; g < groups; ++g) {
            auto* group = new ToviTagGroup;
            group->Rename(L"Area" + std::to_wstring(g));
            device->AddGroup(group);
            for (int t = 0; t < tagsPerGroup; ++t) {
                auto* tag = new ToviTag;
                tag->Rename(L"Tag" + std::to_wstring(t));
                shape(*tag, g, t);
                group->AddTag(tag);
            }
        }
    }
    BenchTree(const BenchTree&) = delete;
    BenchTree& operator=(const BenchTree&) = delete;
    ~BenchTree() {
        for (OPCS_Device* d : devices) delete d;
    }
};
