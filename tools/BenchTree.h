#pragma once
// The configuration the in-process benchmarks work on: one device (by default
// "Plant") with `groups` groups "AreaN" of `tagsPerGroup` tags "TagN". By
// default the tags are Double with a description and a value; a benchmark
// may shape each tag itself, and add more devices. Owns its devices.
#include <string>

#include "SimulatedSignal.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

// A tag as a plant has them: the types in turn (Double, Float, Long, Short,
// Boolean, String, Byte), every tenth simulated, every other volatile.
inline void ShapeMixedTag(ToviTag& tag, int index) {
    static constexpr VARTYPE kTypes[] = {VT_R8, VT_R4, VT_I4, VT_I2, VT_BOOL, VT_BSTR, VT_UI1};
    const VARTYPE type = kTypes[index % 7];
    tag.SetDataType(type);
    tag.SetDescription(L"Mixed tag " + std::to_wstring(index));
    tag.SetVolatile(index % 2 == 0);
    switch (type) {
    case VT_BSTR: tag.SetValueNow(Variant::FromString(L"text " + std::to_wstring(index))); break;
    case VT_BOOL: tag.SetValueNow(Variant::FromBool(index % 3 == 0)); break;
    default: tag.SetValueNow(Variant::FromDouble((index % 100) * 1.25)); break;
    }
    if (index % 10 == 0) {
        tag.SetSimulation(TagSimulation{true, kFirstSimulationKind + static_cast<DWORD>(index / 10 % 6), 1, 10});
    }
}

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
        AddDevice(deviceName, groups, tagsPerGroup, shape);
    }
    BenchTree(const BenchTree&) = delete;
    BenchTree& operator=(const BenchTree&) = delete;
    ~BenchTree() {
        for (OPCS_Device* d : devices) delete d;
    }

    template <class Shape>
    OPCS_Device* AddDevice(const std::wstring& deviceName, int groups, int tagsPerGroup, Shape shape) {
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
        return device;
    }
};
