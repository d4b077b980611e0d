// Writes the sample configuration that the run script opens when the user has
// none: two devices, a few groups and typed tags with values, descriptions
// and both access modes. Usage: sample_configuration <file.tvf>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Configuration.h"
#include "MessageBoxes.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
struct SampleTag {
    const wchar_t* name;
    const wchar_t* description;
    Variant value;
    bool readWrite;
};

void AddTags(Configuration& doc, OPCS_TagGroup* group, std::initializer_list<SampleTag> samples) {
    for (const SampleTag& sample : samples) {
        auto* tag = new ToviTag;
        tag->Rename(sample.name);
        tag->SetDescription(sample.description);
        tag->SetDataType(sample.value.Ref().vt);
        tag->SetAccessMode(sample.readWrite ? 1 : 0);
        // Values kept while the device is not polling, so the list shows them at once.
        tag->SetVolatile(false);
        tag->SetValueNow(sample.value);
        doc.AddTagTo(group, tag);
    }
}

OPCS_TagGroup* AddGroup(Configuration& doc, OPCS_TagGroup* parent, const wchar_t* name) {
    auto* group = new ToviTagGroup;
    group->Rename(name);
    doc.AddGroupTo(parent, group);
    return group;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: sample_configuration <file.tvf>\n");
        return 2;
    }
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    Configuration doc;
    auto* boiler = new ToviDevice;
    boiler->Rename(L"BoilerHouse");
    doc.AddDevice(boiler);
    AddTags(doc, boiler,
            {{L"SteamPressure", L"Header steam pressure in bar", Variant::FromDouble(17.85), false},
             {L"SteamFlow", L"Steam flow in t/h", Variant::FromFloat(22.4f), false},
             {L"Setpoint", L"Pressure setpoint in bar", Variant::FromDouble(18.0), true},
             {L"Status", L"Plant status", Variant::FromString(L"In service"), false}});
    AddTags(doc, AddGroup(doc, boiler, L"Burner"),
            {{L"FlameTemperature", L"Flame temperature in degrees C", Variant::FromDouble(812.4), false},
             {L"FuelValve", L"Fuel valve opening in percent", Variant::FromFloat(37.5f), true},
             {L"Running", L"Burner running", Variant::FromBool(true), false},
             {L"Mode", L"Operating mode", Variant::FromString(L"Automatic"), true},
             {L"Starts", L"Burner starts today", Variant::FromLong(14), false}});
    OPCS_TagGroup* feedwater = AddGroup(doc, boiler, L"Feedwater");
    AddTags(doc, feedwater,
            {{L"DrumLevel", L"Drum level in mm", Variant::FromDouble(-12.25), false},
             {L"PumpSpeed", L"Feed pump speed in rpm", Variant::FromShort(1450), true},
             {L"LowLevelAlarm", L"Low level alarm", Variant::FromBool(false), false}});
    AddTags(doc, AddGroup(doc, feedwater, L"Treatment"),
            {{L"Conductivity", L"Conductivity in uS/cm", Variant::FromDouble(118.0), false},
             {L"DosingPump", L"Dosing pump stroke", Variant::FromByte(60), true}});
    auto* line = new ToviDevice;
    line->Rename(L"PackagingLine");
    doc.AddDevice(line);
    AddTags(doc, AddGroup(doc, line, L"Conveyor"),
            {{L"Speed", L"Belt speed in m/min", Variant::FromDouble(42.0), true},
             {L"Count", L"Packs since shift start", Variant::FromLong(5120), false},
             {L"Jam", L"Jam detected", Variant::FromBool(false), false}});
    AddGroup(doc, line, L"Palletizer");
    return doc.Save(argv[1]).saved ? 0 : 1;
}
