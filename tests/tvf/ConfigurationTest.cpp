#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileTime.h"
#include "LoadHelpers.h"
#include "OpcConstants.h"
#include "ScratchLog.h"
#include "TempFolder.h"

namespace {
// Plant (out of service, 45 s, refresh by interval every 90 s, polling on open, answering in 1.5 s: a 1.7
// device block) with a tag of each type and flag, Area { Sub { Deep } } and Second; then Spare (1.6).
Bytes PlantFile() {
    const std::vector<Bytes> tags = {
        TagRecord({.name = "Level",
                   .description = "Tank level",
                   .icon = 3,
                   .valueLimitsSet = true,
                   .locked = true,
                   .value = VR8(12.5),
                   .timeHigh = 0x01DA0000,
                   .timeLow = 0x89ABCDEF,
                   .valueHigh = 100,
                   .deadband = 2.5}),
        TagRecord(
            {.name = "Running", .valueLimitsEnabled = false, .value = VBool(true), .access = 0, .dataType = VT_BOOL}),
        TagRecord({.name = "Count", .quality = 0x54, .value = VI4(-42), .dataType = VT_I4}),
        TagRecord({.name = "Small", .value = VI2(-7), .dataType = VT_I2}),
        TagRecord({.name = "Byte", .quality = 0x18, .value = VUI1(200), .dataType = VT_UI1}),
        TagRecord({.name = "Ratio", .value = VR4(0.75f), .dataType = VT_R4}),
        TagRecord({.name = "Label", .description = "", .value = VBstr(L"Tank \x6C34 A"), .dataType = VT_BSTR}),
        TagRecord({.name = "Scaled",
                   .reserved = 0xDEADBEEF,
                   .rawLimitsEnabled = true,
                   .scalingEnabled = true,
                   .simulationEnabled = true,
                   .rawLimitsSet = true,
                   .scalingSet = true,
                   .simulationStep = 5,
                   .simulationPeriod = 20,
                   .value = VR8(50),
                   .simulationKind = 3,
                   .rawHigh = 1000,
                   .scaleOffset = 10,
                   .scaleFactor = 0.1}),
    };
    const Bytes sub = GroupRecord({.name = "Sub", .tags = {TagRecord({.name = "Deep", .value = VR8(1.5)})}});
    DeviceFields plant{.inService = false, .interval = 45, .refreshEnabled = 1, .refreshMode = 1, .refreshPeriod = 90};
    plant.pollOnOpen = true;
    plant.responseDelay = 1500;
    plant.group.name = "Plant";
    plant.group.description = "Main plant";
    plant.group.groups = {
        GroupRecord({.name = "Area", .description = "Main area", .image = 4, .selectedImage = 5, .groups = {sub}}),
        GroupRecord({.name = "Second", .ordinal = 2})};
    plant.group.tags = tags;
    DeviceFields spare;
    spare.group.name = "Spare";
    return ConfigFile({DeviceRecord(plant), DeviceRecord(spare)});
}

}  // namespace

TEST(ConfigurationTest, IndependentFileLoadsWithItsValuesQualitiesAndFlags) {
    const Bytes file = PlantFile();
    Loaded c(file);
    ASSERT_FALSE(c.endOfFile);
    EXPECT_EQ(0u, c.dropped);
    ASSERT_EQ(2, c.Count());
    ToviDevice* plant = c.Device(0);
    EXPECT_FALSE(plant->IsInService());
    EXPECT_EQ(45u, plant->GetUpdateInterval());
    EXPECT_TRUE(plant->IsRefreshEnabled());
    EXPECT_EQ(90u, plant->GetRefreshPeriod());
    EXPECT_FALSE(plant->IsStructureChanged());

    OPCS_Tag* level = c.Tag(0, L"Level");
    ASSERT_NE(nullptr, level);
    const TagState s = level->GetState();
    EXPECT_EQ(12.5, R8(s.value));
    EXPECT_EQ(OPC_QUALITY_GOOD, s.quality);
    EXPECT_EQ(0x89ABCDEFu, s.timestamp.dwLowDateTime);
    EXPECT_TRUE(level->IsLocked());
    EXPECT_TRUE(level->AreValueLimitsSet());
    EXPECT_EQ(100, level->GetValueHighLimit());
    EXPECT_EQ(2.5, level->GetDeadband());
    EXPECT_EQ(plant, level->GetOwner());
    EXPECT_EQ(0u, c.Tag(0, L"Running")->GetAccessMode());
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&c.Tag(0, L"Running")->GetValue().Ref()));
    EXPECT_EQ(-42, V_I4(&c.Tag(0, L"Count")->GetValue().Ref()));
    EXPECT_EQ(0x54, c.Tag(0, L"Count")->GetQuality());
    EXPECT_EQ(200, V_UI1(&c.Tag(0, L"Byte")->GetValue().Ref()));
    EXPECT_EQ(L"Tank \x6C34 A", c.Tag(0, L"Label")->GetValueText());
    // Raw limits and scaling came back: raw 500 gives (500 + 10) * 0.1; raw 5000 is limited to 1000.
    EXPECT_DOUBLE_EQ(51, R8(c.Tag(0, L"Scaled")->RawToEngineering(Variant::FromDouble(500))));
    EXPECT_DOUBLE_EQ(101, R8(c.Tag(0, L"Scaled")->RawToEngineering(Variant::FromDouble(5000))));
    EXPECT_EQ(1.5, R8(c.Tag(0, L"Area.Sub.Deep")->GetValue()));
    const auto groups = plant->SnapshotGroups();
    EXPECT_EQ(5, groups[0]->GetSelectedImageIndex());
    EXPECT_EQ(2, groups[1]->GetOrdinal());
    // Every field, those without accessors included, is written back as it was read.
    EXPECT_EQ(file.data, Store(c.devices));
}

TEST(ConfigurationTest, ReadingRulesVolatileOrdinalsAndNames) {
    DeviceFields d{.responseDelay = 0xFFFFFFFF};
    d.group.groups = {GroupRecord({.name = "North", .ordinal = 7}), GroupRecord({.name = "So.uth", .ordinal = 9})};
    d.group.tags = {TagRecord({.name = "Flow", .isVolatile = true, .value = VR8(99), .timeHigh = 0, .timeLow = 1})};
    const ULONGLONG before = FileTimeToU64(FileTimeNow());
    Loaded l(ConfigFile({DeviceRecord(d)}));
    ASSERT_EQ(1, l.Count());
    EXPECT_EQ(kMaxResponseDelayMs, l.Device(0)->GetResponseDelay());  // no client waits for ever
    const auto groups = l.Device(0)->SnapshotGroups();
    ASSERT_EQ(2u, groups.size());
    EXPECT_EQ(1, groups[0]->GetOrdinal());  // ordinals are given anew
    EXPECT_EQ(L"So uth", groups[1]->GetName());
    EXPECT_EQ(2, groups[1]->GetOrdinal());
    // A volatile tag's value is not kept: empty, Bad, stamped now.
    const TagState flow = l.Tag(0, L"Flow")->GetState();
    EXPECT_EQ(OPC_QUALITY_BAD, flow.quality);
    EXPECT_EQ(0, R8(flow.value));
    EXPECT_GE(FileTimeToU64(flow.timestamp), before);
}

// Names that item IDs cannot tell apart, at every level, and the control
// branch's name for a device or group: each such child goes in under the
// first "name vN" that nothing of its kind in that place bears, and nothing
// is dropped; the renames name the item IDs as they were and are.
TEST(ConfigurationTest, ClashingAndReservedNamesAreRenamedAndNothingIsDropped) {
    auto tag = [](const char* name, double value) { return TagRecord({.name = name, .value = VR8(value)}); };
    DeviceFields pump;
    pump.group.name = "Pump";
    pump.group.groups = {GroupRecord({.name = "Area",
                                      .groups = {GroupRecord({.name = "In"}), GroupRecord({.name = "IN"})},
                                      .tags = {tag("Level", 1), tag("level", 2), tag("Level v2", 3)}}),
                         GroupRecord({.name = "AREA", .tags = {tag("Level", 4)}}), GroupRecord({.name = "_control"}),
                         GroupRecord({.name = "Area v2"})};
    pump.group.tags = {tag("_Control", 5), tag("Area", 6)};  // a tag's name is never reserved, nor a group's name
    DeviceFields twin = pump;
    twin.group.name = "PUMP";
    twin.group.groups = {};
    twin.group.tags = {tag("Flow", 7)};
    DeviceFields control;
    control.group.name = "_Control";
    control.group.tags = {tag("Speed", 8)};
    TempFolder dir;
    const std::wstring file = dir.File(L"alike.tvf");
    ASSERT_TRUE(WriteBytes(file, ConfigFile({DeviceRecord(pump), DeviceRecord(twin), DeviceRecord(control)}).data));
    Dll<OPCS_Device*> devices;
    const ConfigFileResult result = LoadConfigurationFile(file, devices);
    EXPECT_EQ(ConfigFileStatus::Ok, result.status);
    EXPECT_EQ(0u, result.droppedRecords);

    using Kind = LoadRename::Kind;
    const LoadRename renames[] = {
        {Kind::Device, false, L"PUMP", L"PUMP v2"},
        {Kind::Device, true, L"_Control", L"_Control v2"},
        {Kind::Group, false, L"Pump.Area.IN", L"Pump.Area.IN v2"},
        {Kind::Tag, false, L"Pump.Area.level", L"Pump.Area.level v3"},
        {Kind::Group, false, L"Pump.AREA", L"Pump.AREA v3"},
        {Kind::Group, true, L"Pump._control", L"Pump._control v2"},
    };
    ASSERT_EQ(std::size(renames), result.renames.size());
    for (size_t i = 0; i < std::size(renames); ++i) {
        const LoadRename &want = renames[i], &got = result.renames[i];
        EXPECT_TRUE(want.kind == got.kind && want.reserved == got.reserved) << i;
        EXPECT_EQ(want.from + L" > " + want.to, got.from + L" > " + got.to);
    }
    // Every tag of the file is reached by its item ID, with its own value.
    auto find = [&devices](std::wstring_view id) -> OPCS_Tag* {
        const size_t dot = id.find(L'.');
        for (OPCS_Device* d : devices) {
            if (EqualsNoCase(d->GetName(), id.substr(0, dot))) return d->FindTag(id.substr(dot + 1));
        }
        return nullptr;
    };
    const std::pair<const wchar_t*, double> reached[] = {
        {L"Pump.Area.Level", 1}, {L"Pump.Area.level v3", 2}, {L"Pump.Area.Level v2", 3}, {L"Pump.AREA v3.Level", 4},
        {L"Pump._Control", 5},   {L"Pump.Area", 6},          {L"PUMP v2.Flow", 7},       {L"_Control v2.Speed", 8}};
    for (const auto& [id, value] : reached) {
        OPCS_Tag* t = find(id);
        EXPECT_TRUE(t != nullptr && R8(t->GetValue()) == value) << id;
    }
    for (OPCS_Device* device : devices) delete device;
}

namespace {
class FailingDevice : public ToviDevice {
public:
    void Serialize(Archive& archive) override {
        ToviDevice::Serialize(archive);
        throw ArchiveFormatError("cannot write");
    }
};
}  // namespace

TEST(ConfigurationTest, ListsLogTheirRecordsAndWriteOnlyValidOnes) {
    ScratchLog log;
    {
        DeviceFields d;
        d.group.name = "Plant";
        d.group.groups = {GroupRecord({.name = "Area", .tags = {TagRecord({.name = "Level"})}})};
        d.group.tags = {TagRecord({.name = "Good"}), TagRecord({.name = "Bad", .value = Bytes().U16(VT_DISPATCH)})};
        Loaded l(ConfigFile({DeviceRecord(d)}));
        Store(l.devices);
    }
    Loaded list;
    auto* stale = new ToviDevice;
    auto* last = new ToviDevice;  // made first, so that it cannot take the stale one's address
    last->Rename(L"Last");
    delete stale;
    list.devices.Append(stale);
    list.devices.Append(last);
    const std::vector<BYTE> bytes = Store(list.devices);
    EXPECT_EQ(1, bytes[8]);  // the count is that of the records that follow
    EXPECT_EQ(1, Loaded(bytes).Count());
    auto* failing = new FailingDevice;
    failing->Rename(L"Failing");
    list.devices.Remove(list.devices.begin());
    list.devices.Append(failing);
    Archive archive;
    EXPECT_THROW(StoreConfiguration(archive, list.devices), ArchiveFormatError);

    for (const char* line :
         {"Serialization Success - input tag: Level", "Serialization Success - input grp: Area",
          "Serialization Success - input Device: Plant", "Serialization Success - output tag: Level",
          "Serialization Success - output group: Area", "Serialization Success - output device: Plant",
          "Serialization Error - input tag#: 1 of type: 0 from config file",
          "Serialization Success - output device: Last", "Serialization Error - output device: Failing"}) {
        EXPECT_TRUE(log.Contains(std::string("\r\n") + line + " \r\n")) << line;
    }
    EXPECT_FALSE(log.Contains("tag: Bad"));
}
