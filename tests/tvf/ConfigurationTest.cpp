#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileTime.h"
#include "LoadHelpers.h"
#include "OpcConstants.h"
#include "ScratchLog.h"

namespace {
// Plant (out of service, 45 s, refresh by interval every 90 s) with a tag of
// each type and flag, Area { Sub { Deep } } and Second; then Spare.
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

TEST(ConfigurationTest, ReadingRulesVolatileClashesOrdinalsAndNames) {
    DeviceFields d;
    d.group.groups = {GroupRecord({.name = "North", .ordinal = 7}), GroupRecord({.name = "north", .ordinal = 8}),
                      GroupRecord({.name = "So.uth", .ordinal = 9})};
    d.group.tags = {TagRecord({.name = "Level", .value = VR8(1)}), TagRecord({.name = "LEVEL", .value = VR8(2)}),
                    TagRecord({.name = "Flow", .isVolatile = true, .value = VR8(99), .timeHigh = 0, .timeLow = 1})};
    const ULONGLONG before = FileTimeToU64(FileTimeNow());
    Loaded l(ConfigFile({DeviceRecord(d)}));
    ASSERT_EQ(1, l.Count());
    EXPECT_EQ(2u, l.dropped);  // the two clashing children
    EXPECT_EQ(2, l.Device(0)->TagCount());
    EXPECT_EQ(1, R8(l.Tag(0, L"level")->GetValue()));  // the first stays
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
