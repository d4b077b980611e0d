#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "EventLog.h"
#include "FileTime.h"
#include "LoadHelpers.h"
#include "Quality.h"
#include "TempFolder.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
// Plant (out of service, 45 s, refresh by interval every 90 s)
//   tags Level, Running, Count, Small, Byte, Ratio, Label, Scaled
//   Area { Sub { Deep } }, Second
Bytes PlantFile() {
    std::vector<Bytes> tags;
    TagFields level;
    level.name = "Level";
    level.description = "Tank level";
    level.icon = 3;
    level.value = VR8(12.5);
    level.valueLimitsSet = true;
    level.valueHigh = 100;
    level.deadband = 2.5;
    level.locked = true;
    level.timeHigh = 0x01DA0000;
    level.timeLow = 0x89ABCDEF;
    tags.push_back(TagRecord(level));

    TagFields running;
    running.name = "Running";
    running.dataType = VT_BOOL;
    running.value = VBool(true);
    running.access = 0;
    running.valueLimitsEnabled = false;
    tags.push_back(TagRecord(running));

    TagFields count;
    count.name = "Count";
    count.dataType = VT_I4;
    count.value = VI4(-42);
    count.quality = 0x54;
    tags.push_back(TagRecord(count));

    TagFields small;
    small.name = "Small";
    small.dataType = VT_I2;
    small.value = VI2(-7);
    tags.push_back(TagRecord(small));

    TagFields byte;
    byte.name = "Byte";
    byte.dataType = VT_UI1;
    byte.value = VUI1(200);
    byte.quality = 0x18;
    tags.push_back(TagRecord(byte));

    TagFields ratio;
    ratio.name = "Ratio";
    ratio.dataType = VT_R4;
    ratio.value = VR4(0.75f);
    tags.push_back(TagRecord(ratio));

    TagFields label;
    label.name = "Label";
    label.description = "";
    label.dataType = VT_BSTR;
    label.value = VBstr(L"Tank \x6C34 A");
    tags.push_back(TagRecord(label));

    TagFields scaled;
    scaled.name = "Scaled";
    scaled.rawLimitsEnabled = scaled.rawLimitsSet = true;
    scaled.rawHigh = 1000;
    scaled.scalingEnabled = scaled.scalingSet = true;
    scaled.scaleOffset = 10;
    scaled.scaleFactor = 0.1;
    scaled.simulationEnabled = true;
    scaled.simulationStep = 5;
    scaled.simulationPeriod = 20;
    scaled.simulationKind = 3;
    scaled.reserved = 0xDEADBEEF;
    scaled.value = VR8(50);
    tags.push_back(TagRecord(scaled));

    TagFields deep;
    deep.name = "Deep";
    deep.value = VR8(1.5);
    GroupFields sub;
    sub.name = "Sub";
    sub.tags.push_back(TagRecord(deep));
    GroupFields area;
    area.name = "Area";
    area.description = "Main area";
    area.image = 4;
    area.selectedImage = 5;
    area.groups.push_back(GroupRecord(sub));
    GroupFields second;
    second.name = "Second";
    second.ordinal = 2;

    DeviceFields plant;
    plant.group.name = "Plant";
    plant.group.description = "Main plant";
    plant.group.groups = {GroupRecord(area), GroupRecord(second)};
    plant.group.tags = tags;
    plant.inService = false;
    plant.interval = 45;
    plant.refreshEnabled = 1;
    plant.refreshMode = 1;
    plant.refreshPeriod = 90;
    DeviceFields spare;
    spare.group.name = "Spare";
    return ConfigFile({DeviceRecord(plant), DeviceRecord(spare)});
}

double R8(const Variant& v) { return V_R8(&v.Ref()); }

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }
}  // namespace

TEST(ConfigurationTest, EmptyConfigurationIsTwelveBytes) {
    Dll<OPCS_Device*> none;
    const std::vector<BYTE> bytes = Store(none);
    EXPECT_EQ((std::vector<BYTE>{0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9, 0x3F, 0, 0, 0, 0}), bytes);
    Loaded back(bytes);
    EXPECT_FALSE(back.endOfFile);
    EXPECT_EQ(0, back.Count());
}

TEST(ConfigurationTest, IndependentFileLoadsWithItsValuesQualitiesAndFlags) {
    const Bytes file = PlantFile();
    Loaded c(file);
    ASSERT_FALSE(c.endOfFile);
    EXPECT_EQ(0u, c.dropped);
    ASSERT_EQ(2, c.Count());
    ToviDevice* plant = c.Device(0);
    EXPECT_EQ(L"Plant", plant->GetName());
    EXPECT_EQ(L"Main plant", plant->GetDescription());
    EXPECT_FALSE(plant->IsInService());
    EXPECT_EQ(45u, plant->GetUpdateInterval());
    EXPECT_TRUE(plant->IsRefreshEnabled());
    EXPECT_EQ(1u, plant->GetRefreshMode());
    EXPECT_EQ(90u, plant->GetRefreshPeriod());
    EXPECT_FALSE(plant->IsStructureChanged());
    EXPECT_EQ(L"Spare", c.Device(1)->GetName());

    OPCS_Tag* level = c.Tag(0, L"Level");
    ASSERT_NE(nullptr, level);
    EXPECT_EQ(L"Tank level", level->GetDescription());
    EXPECT_EQ(3, level->GetIconIndex());
    EXPECT_EQ(12.5, R8(level->GetValue()));
    EXPECT_EQ(kQualityGood, level->GetQuality());
    EXPECT_EQ(0x01DA0000u, level->GetTimestamp().dwHighDateTime);
    EXPECT_EQ(0x89ABCDEFu, level->GetTimestamp().dwLowDateTime);
    EXPECT_TRUE(level->IsLocked());
    EXPECT_FALSE(level->IsVolatile());
    EXPECT_TRUE(level->AreValueLimitsSet());
    EXPECT_EQ(100, level->GetValueHighLimit());
    EXPECT_EQ(2.5, level->GetDeadband());
    EXPECT_EQ(1u, level->GetAccessMode());
    EXPECT_EQ(plant, level->GetOwner());

    OPCS_Tag* running = c.Tag(0, L"Running");
    EXPECT_EQ(VT_BOOL, running->GetDataType());
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&running->GetValue().Ref()));
    EXPECT_EQ(0u, running->GetAccessMode());
    EXPECT_FALSE(running->AreValueLimitsEnabled());
    EXPECT_EQ(-42, V_I4(&c.Tag(0, L"Count")->GetValue().Ref()));
    EXPECT_EQ(0x54, c.Tag(0, L"Count")->GetQuality());
    EXPECT_EQ(-7, V_I2(&c.Tag(0, L"Small")->GetValue().Ref()));
    EXPECT_EQ(200, V_UI1(&c.Tag(0, L"Byte")->GetValue().Ref()));
    EXPECT_EQ(0x18, c.Tag(0, L"Byte")->GetQuality());
    EXPECT_EQ(0.75f, V_R4(&c.Tag(0, L"Ratio")->GetValue().Ref()));
    EXPECT_EQ(L"Tank \x6C34 A", c.Tag(0, L"Label")->GetValueText());
    // Scaling and raw limits came back: raw 500 gives (500 + 10) * 0.1.
    OPCS_Tag* scaled = c.Tag(0, L"Scaled");
    EXPECT_DOUBLE_EQ(51, R8(scaled->RawToEngineering(Variant::FromDouble(500))));
    EXPECT_DOUBLE_EQ(101, R8(scaled->RawToEngineering(Variant::FromDouble(5000))));  // raw limit 1000

    OPCS_Tag* deep = c.Tag(0, L"Area.Sub.Deep");
    ASSERT_NE(nullptr, deep);
    EXPECT_EQ(1.5, R8(deep->GetValue()));
    auto groups = plant->SnapshotGroups();
    ASSERT_EQ(2u, groups.size());
    EXPECT_EQ(L"Main area", groups[0]->GetDescription());
    EXPECT_EQ(4, groups[0]->GetImageIndex());
    EXPECT_EQ(5, groups[0]->GetSelectedImageIndex());
    EXPECT_EQ(1, groups[0]->GetOrdinal());
    EXPECT_EQ(2, groups[1]->GetOrdinal());

    // Everything, the fields without accessors included, is written back as it was read.
    EXPECT_EQ(file.data, Store(c.devices));
}

TEST(ConfigurationTest, TreeBuiltInMemorySurvivesSaveAndLoad) {
    Dll<OPCS_Device*> devices;
    auto* device = new ToviDevice;
    devices.Append(device);
    device->Rename(L"Boiler");
    device->SetDescription(L"Boiler house \x6C34");
    device->SetUpdateInterval(12);
    device->SetRefreshEnabled(true);
    device->SetRefreshPeriod(900);
    device->SetInService(false);
    auto* group = new ToviTagGroup;
    group->Rename(L"Temperatures");
    device->AddGroup(group);
    const FILETIME when = U64ToFileTime(0x01D9ABCDEF012345ULL);
    struct {
        const wchar_t* name;
        Variant value;
        WORD quality;
    } values[] = {{L"B", Variant::FromBool(true), kQualityGood},  {L"U", Variant::FromByte(7), 0x1C},
                  {L"S", Variant::FromShort(-3), kQualityGood}, {L"I", Variant::FromLong(123456), 0x41},
                  {L"F", Variant::FromFloat(2.5f), kQualityGood}, {L"D", Variant::FromDouble(-0.125), kQualityGood},
                  {L"T", Variant::FromString(L"text \x03A9"), kQualityGood}};
    for (auto& v : values) {
        auto* tag = new ToviTag;
        tag->Rename(v.name);
        tag->SetDataType(v.value.Type());
        tag->SetValue(v.value, v.quality, when);
        group->AddTag(tag);
    }
    auto* flagged = new ToviTag;
    flagged->Rename(L"Flags");
    flagged->SetDescription(L"all flags");
    flagged->SetValueLimits(-5, 5);
    flagged->SetDeadband(10);
    flagged->EnableRawLimits(true);
    flagged->SetRawLimits(0, 50);
    flagged->EnableScaling(true);
    flagged->SetScaling(1, 2);
    flagged->SetLocked(true);
    flagged->SetAccessMode(0);
    flagged->SetValue(Variant::FromDouble(1), kQualityGood, when);
    device->AddTag(flagged);

    const std::vector<BYTE> saved = Store(devices);
    Loaded back(saved);
    ASSERT_EQ(1, back.Count());
    EXPECT_EQ(saved, Store(back.devices));
    ToviDevice* d = back.Device(0);
    EXPECT_EQ(L"Boiler house \x6C34", d->GetDescription());
    EXPECT_EQ(device->GetUpdateInterval(), d->GetUpdateInterval());
    EXPECT_FALSE(d->IsInService());
    EXPECT_EQ(900u, d->GetRefreshPeriod());
    for (auto& v : values) {
        OPCS_Tag* tag = back.Tag(0, std::wstring(L"Temperatures.") + v.name);
        ASSERT_NE(nullptr, tag) << v.name;
        const TagState state = tag->GetState();
        EXPECT_EQ(v.value.Type(), state.value.Type());
        EXPECT_EQ(v.quality, state.quality);
        EXPECT_TRUE(state.timestamp == when);
    }
    EXPECT_EQ(L"text \x03A9", back.Tag(0, L"Temperatures.T")->GetValueText());
    OPCS_Tag* f = back.Tag(0, L"Flags");
    EXPECT_TRUE(f->IsLocked());
    EXPECT_EQ(0u, f->GetAccessMode());
    EXPECT_EQ(-5, f->GetValueLowLimit());
    EXPECT_EQ(10, f->GetDeadband());
    EXPECT_DOUBLE_EQ(4, R8(f->RawToEngineering(Variant::FromDouble(1))));  // (1 + 1) * 2
    for (OPCS_Device* p : devices) delete p;
}

TEST(ConfigurationTest, VolatileTagsComeBackEmptyAndBad) {
    TagFields t;
    t.name = "Flow";
    t.isVolatile = true;
    t.value = VR8(99);
    t.timeHigh = 0;
    t.timeLow = 1;
    DeviceFields d;
    d.group.tags = {TagRecord(t)};
    const ULONGLONG before = FileTimeToU64(FileTimeNow());
    Loaded c(ConfigFile({DeviceRecord(d)}));
    OPCS_Tag* flow = c.Tag(0, L"Flow");
    ASSERT_NE(nullptr, flow);
    const TagState s = flow->GetState();
    EXPECT_EQ(kQualityBad, s.quality);
    EXPECT_EQ(VT_R8, s.value.Type());
    EXPECT_EQ(0, V_R8(&s.value.Ref()));
    EXPECT_GE(FileTimeToU64(s.timestamp), before);
    EXPECT_EQ(L"?", flow->GetValueText());
}

TEST(ConfigurationTest, ClashingChildrenAreNotAdoptedAndGroupsGetNewOrdinals) {
    TagFields a, b, c;
    a.name = "Level";
    a.value = VR8(1);
    b.name = "LEVEL";
    b.value = VR8(2);
    c.name = "Other";
    GroupFields g1, g2, g3;
    g1.name = "North";
    g1.ordinal = 7;
    g2.name = "north";
    g2.ordinal = 8;
    g3.name = "South";
    g3.ordinal = 9;
    DeviceFields d;
    d.group.groups = {GroupRecord(g1), GroupRecord(g2), GroupRecord(g3)};
    d.group.tags = {TagRecord(a), TagRecord(b), TagRecord(c)};
    Loaded l(ConfigFile({DeviceRecord(d)}));
    ASSERT_EQ(1, l.Count());
    EXPECT_EQ(2u, l.dropped);
    ToviDevice* dev = l.Device(0);
    EXPECT_EQ(2, dev->TagCount());
    EXPECT_EQ(1, R8(l.Tag(0, L"level")->GetValue()));  // the first one stays
    auto groups = dev->SnapshotGroups();
    ASSERT_EQ(2u, groups.size());
    EXPECT_EQ(L"North", groups[0]->GetName());
    EXPECT_EQ(1, groups[0]->GetOrdinal());
    EXPECT_EQ(L"South", groups[1]->GetName());
    EXPECT_EQ(2, groups[1]->GetOrdinal());
    EXPECT_FALSE(dev->IsStructureChanged());
}

TEST(ConfigurationTest, SeparatorsInStoredNamesBecomeBlanks) {
    TagFields t;
    t.name = "a.b";
    GroupFields g;
    g.name = "x.y";
    g.tags = {TagRecord(t)};
    DeviceFields d;
    d.group.groups = {GroupRecord(g)};
    Loaded l(ConfigFile({DeviceRecord(d)}));
    EXPECT_NE(nullptr, l.Tag(0, L"x y.a b"));
}

TEST(ConfigurationTest, ListsLogEveryRecordTheyReadAndWrite) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    ASSERT_TRUE(theEventLog.Open(path));
    {
        TagFields t;
        t.name = "Level";
        GroupFields g;
        g.name = "Area";
        g.tags = {TagRecord(t)};
        DeviceFields d;
        d.group.name = "Plant";
        d.group.groups = {GroupRecord(g)};
        Loaded l(ConfigFile({DeviceRecord(d)}));
        ASSERT_EQ(1, l.Count());
        Store(l.devices);
    }
    {
        TagFields good, bad;
        good.name = "Good";
        bad.name = "Bad";
        bad.value = Bytes().U16(VT_DISPATCH);  // an object: unreadable
        DeviceFields d;
        d.group.name = "Broken";
        d.group.tags = {TagRecord(good), TagRecord(bad)};
        Loaded l(ConfigFile({DeviceRecord(d)}));
    }
    theEventLog.Close();
    const std::string log = ReadFileBytes(path);
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - input tag: Level \r\n")) << log;
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - input grp: Area \r\n"));
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - input Device: Plant \r\n"));
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - output tag: Level \r\n"));
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - output group: Area \r\n"));
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - output device: Plant \r\n"));
    EXPECT_TRUE(Contains(log, "\r\nSerialization Error - input tag#: 1 of type: 0 from config file \r\n"));
    EXPECT_TRUE(Contains(log, "\r\nSerialization Success - input tag: Good \r\n"));
    EXPECT_FALSE(Contains(log, "input tag: Bad"));
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

TEST(ConfigurationTest, WriterSkipsStaleElementsAndRaisesWhatARecordRaises) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    ASSERT_TRUE(theEventLog.Open(path));
    auto* first = new ToviDevice;
    first->Rename(L"First");
    auto* stale = new ToviDevice;
    auto* last = new ToviDevice;  // made first, so it cannot take the stale one's address
    last->Rename(L"Last");
    delete stale;
    Dll<OPCS_Device*> devices;
    devices.Append(first);
    devices.Append(stale);
    devices.Append(last);
    // The count is that of the records that follow, so the file reads back whole.
    const std::vector<BYTE> bytes = Store(devices);
    EXPECT_EQ(2, bytes[8]);
    {
        Loaded back(bytes);
        ASSERT_EQ(2, back.Count());
        EXPECT_EQ(L"Last", back.Device(1)->GetName());
    }
    auto* failing = new FailingDevice;
    failing->Rename(L"Failing");
    devices.Append(failing);
    Archive archive;
    EXPECT_THROW(StoreConfiguration(archive, devices), ArchiveFormatError);
    theEventLog.Close();
    EXPECT_TRUE(Contains(ReadFileBytes(path), "\r\nSerialization Error - output device: Failing \r\n"));
    delete first;
    delete last;
    delete failing;
}
