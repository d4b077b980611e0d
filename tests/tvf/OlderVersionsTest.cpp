#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "LoadHelpers.h"
#include "Quality.h"

namespace {
// The fields of the tag layouts before 1.5.
struct OldTag {
    double version = 1.0;
    std::string name = "Old";
    std::string description = "old tag";
    std::uint32_t icon = 2, classCode = 0;
    bool isVolatile = false, valueLimitsEnabled = true, scalingEnabled = false, simulationEnabled = true;
    std::uint32_t simulationStep = 4, simulationPeriod = 11;
    unsigned quality = 0xC0;
    std::uint32_t dataType = VT_R8;
    std::uint32_t timeHigh = 0x01D50000, timeLow = 0x00ABCDEF;
    std::uint32_t access = 0, simulationKind = 2;
    std::uint32_t valueLimits = 0;
    double valueLow = 0, valueHigh = 0;
    std::uint32_t rawAndScaling = 0;
    double rawLow = 0, rawHigh = 0;
    double deadband = 0;
    Bytes value = VR8(0);
};

Bytes OldTagRecord(const OldTag& t) {
    Bytes b;
    b.F64(t.version).Str(t.name).Str(t.description).U32(t.icon);
    if (t.version < 1.1) {
        b.U16(t.dataType).U32(t.access).U32(t.simulationKind).U32(t.valueLimits).U32(t.rawAndScaling);
        b.F64(t.rawLow).F64(t.rawHigh).F64(t.valueLow).F64(t.valueHigh).F64(-1).F64(-2).F64(t.deadband);
    } else {
        b.U32(t.classCode).Bool(t.isVolatile).Bool(t.valueLimitsEnabled).Bool(t.scalingEnabled);
        b.Bool(t.simulationEnabled);
        if (t.version >= 1.2) b.U32(t.simulationStep).U32(t.simulationPeriod);
        b.U16(t.quality);
        if (t.version >= 1.3) {
            b.U32(t.dataType);
        } else {
            b.U16(t.dataType);
        }
        b.Time(t.timeHigh, t.timeLow).U32(t.access).U32(t.simulationKind);
        b.U32(t.valueLimits);
        if (t.valueLimits) b.F64(t.valueLow).F64(t.valueHigh);
        b.U32(t.rawAndScaling);
        if (t.rawAndScaling) b.F64(t.rawLow).F64(t.rawHigh);
        b.F64(t.deadband).Add(t.value);
    }
    return b.F64(1.0);  // the product's trailer, of any version
}

// One device holding the given tag records, followed by a current tag that
// only reads right when the older records took exactly their own bytes.
Bytes FileWithTags(std::vector<Bytes> tags) {
    TagFields after;
    after.name = "After";
    after.value = VR8(77);
    tags.push_back(TagRecord(after));
    DeviceFields d;
    d.group.tags = tags;
    return ConfigFile({DeviceRecord(d)});
}

double R8(const Variant& v) { return V_R8(&v.Ref()); }

void ExpectAfterTagRead(Loaded& l) {
    OPCS_Tag* after = l.Tag(0, L"After");
    ASSERT_NE(nullptr, after);
    EXPECT_EQ(77, R8(after->GetValue()));
}
}  // namespace

TEST(OlderVersionsTest, Tag10WithBothFlagsGetsLimitsAndScaleFactor) {
    OldTag t;
    t.valueLimits = 1;
    t.rawAndScaling = 1;
    t.rawLow = 0;
    t.rawHigh = 100;
    t.valueLow = 0;
    t.valueHigh = 10;
    t.deadband = 3;
    t.access = 1;
    Loaded l(FileWithTags({OldTagRecord(t)}));
    ASSERT_EQ(1, l.Count());
    EXPECT_EQ(0u, l.dropped);
    OPCS_Tag* tag = l.Tag(0, L"Old");
    ASSERT_NE(nullptr, tag);
    EXPECT_EQ(L"old tag", tag->GetDescription());
    EXPECT_EQ(2, tag->GetIconIndex());
    EXPECT_TRUE(tag->AreValueLimitsSet());
    EXPECT_EQ(0, tag->GetValueLowLimit());
    EXPECT_EQ(10, tag->GetValueHighLimit());
    EXPECT_EQ(3, tag->GetDeadband());
    EXPECT_EQ(1u, tag->GetAccessMode());
    // Offset 0 and factor 10: raw 0.5 is 5, and 5 goes back to 0.5.
    EXPECT_DOUBLE_EQ(5, R8(tag->RawToEngineering(Variant::FromDouble(0.5))));
    EXPECT_DOUBLE_EQ(0.5, R8(tag->EngineeringToRaw(Variant::FromDouble(5))));
    EXPECT_DOUBLE_EQ(10, R8(tag->RawToEngineering(Variant::FromDouble(50))));  // value limit
    EXPECT_DOUBLE_EQ(0, R8(tag->RawToEngineering(Variant::FromDouble(-3))));    // raw limit
    // What the layout does not carry keeps the new tag's defaults.
    EXPECT_EQ(kQualityUncertain, tag->GetQuality());
    EXPECT_TRUE(tag->GetValue().IsEmpty());
    EXPECT_FALSE(tag->IsVolatile());
    ExpectAfterTagRead(l);
}

TEST(OlderVersionsTest, Tag10WithoutFlagsAndWithEqualLimits) {
    OldTag plain;
    plain.name = "Plain";
    plain.dataType = VT_I2;
    OldTag equal;
    equal.name = "Equal";
    equal.valueLimits = 1;
    equal.rawAndScaling = 1;
    equal.rawHigh = 100;
    equal.valueLow = equal.valueHigh = 5;
    Loaded l(FileWithTags({OldTagRecord(plain), OldTagRecord(equal)}));
    OPCS_Tag* p = l.Tag(0, L"Plain");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(VT_I2, p->GetDataType());
    EXPECT_FALSE(p->AreValueLimitsEnabled());
    EXPECT_FALSE(p->AreValueLimitsSet());
    EXPECT_DOUBLE_EQ(1234, R8(p->RawToEngineering(Variant::FromDouble(1234))));
    // Equal value limits: the factor is infinite; the value limits still hold.
    OPCS_Tag* e = l.Tag(0, L"Equal");
    ASSERT_NE(nullptr, e);
    EXPECT_DOUBLE_EQ(5, R8(e->RawToEngineering(Variant::FromDouble(50))));
    ExpectAfterTagRead(l);
}

TEST(OlderVersionsTest, Tags11To15KeepValueQualityAndTimestamp) {
    std::vector<Bytes> records;
    OldTag v11;
    v11.version = 1.1;
    v11.name = "V11";
    v11.dataType = VT_I4;
    v11.value = VI4(7);
    v11.quality = 0x54;
    v11.valueLimits = 1;  // doubles follow
    v11.valueLow = -1;
    v11.valueHigh = 9;
    v11.rawAndScaling = 0;  // none follow
    v11.access = 1;
    records.push_back(OldTagRecord(v11));
    OldTag v12 = v11;
    v12.version = 1.2;
    v12.name = "V12";
    v12.dataType = VT_BOOL;
    v12.value = VBool(true);
    v12.valueLimits = 0;
    records.push_back(OldTagRecord(v12));
    OldTag v13 = v11;
    v13.version = 1.3;
    v13.name = "V13";
    v13.dataType = VT_R8;
    v13.value = VR8(4.5);
    v13.valueLimits = 1;
    v13.valueLow = 0;
    v13.valueHigh = 10;
    v13.rawAndScaling = 1;
    v13.rawLow = 0;
    v13.rawHigh = 100;
    records.push_back(OldTagRecord(v13));
    OldTag v14 = v13;
    v14.version = 1.45;
    v14.name = "V14";
    v14.dataType = VT_BSTR;
    v14.value = VBstr(L"abc");
    v14.quality = 0xC0;
    records.push_back(OldTagRecord(v14));

    Loaded l(FileWithTags(records));
    ASSERT_EQ(1, l.Count());
    EXPECT_EQ(0u, l.dropped);
    OPCS_Tag* t11 = l.Tag(0, L"V11");
    ASSERT_NE(nullptr, t11);
    TagState s = t11->GetState();
    EXPECT_EQ(VT_I4, t11->GetDataType());
    ASSERT_EQ(VT_I4, s.value.Type());
    EXPECT_EQ(7, V_I4(&s.value.Ref()));
    EXPECT_EQ(0x54, s.quality);
    EXPECT_EQ(0x01D50000u, s.timestamp.dwHighDateTime);
    EXPECT_EQ(0x00ABCDEFu, s.timestamp.dwLowDateTime);
    EXPECT_TRUE(t11->AreValueLimitsSet());
    EXPECT_EQ(-1, t11->GetValueLowLimit());
    EXPECT_EQ(9, t11->GetValueHighLimit());
    EXPECT_DOUBLE_EQ(4, R8(t11->RawToEngineering(Variant::FromDouble(4)))) << "no raw limits, no scaling";
    EXPECT_DOUBLE_EQ(9, R8(t11->RawToEngineering(Variant::FromDouble(1234))));

    OPCS_Tag* t12 = l.Tag(0, L"V12");
    ASSERT_NE(nullptr, t12);
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&t12->GetValue().Ref()));
    EXPECT_FALSE(t12->AreValueLimitsEnabled());

    for (const wchar_t* name : {L"V13", L"V14"}) {
        OPCS_Tag* t = l.Tag(0, name);
        ASSERT_NE(nullptr, t) << name;
        EXPECT_DOUBLE_EQ(5, R8(t->RawToEngineering(Variant::FromDouble(0.5)))) << name;
    }
    EXPECT_DOUBLE_EQ(4.5, R8(l.Tag(0, L"V13")->GetValue()));
    EXPECT_EQ(L"abc", l.Tag(0, L"V14")->GetValueText());
    ExpectAfterTagRead(l);
}

TEST(OlderVersionsTest, VolatileTagsOfOlderLayoutsAreReset) {
    OldTag t;
    t.version = 1.2;
    t.isVolatile = true;
    t.value = VR8(42);
    Loaded l(FileWithTags({OldTagRecord(t)}));
    OPCS_Tag* tag = l.Tag(0, L"Old");
    ASSERT_NE(nullptr, tag);
    EXPECT_TRUE(tag->IsVolatile());
    EXPECT_EQ(kQualityBad, tag->GetQuality());
    EXPECT_EQ(0, R8(tag->GetValue()));
    ExpectAfterTagRead(l);
}

TEST(OlderVersionsTest, Tag15HasNoLockedFlag) {
    TagFields t;
    t.version = 1.5;
    t.name = "V15";
    t.locked = true;  // not written at this version
    t.value = VR8(3);
    t.quality = 0x40;
    Loaded l(FileWithTags({TagRecord(t)}));
    OPCS_Tag* tag = l.Tag(0, L"V15");
    ASSERT_NE(nullptr, tag);
    EXPECT_FALSE(tag->IsLocked());
    EXPECT_EQ(3, R8(tag->GetValue()));
    EXPECT_EQ(0x40, tag->GetQuality());
    ExpectAfterTagRead(l);
}

TEST(OlderVersionsTest, Group15HasNoOrdinal) {
    GroupFields inner;
    inner.name = "Inner";
    inner.version = 1.5;
    inner.ordinal = 99;  // not written at this version
    TagFields t;
    t.name = "T";
    inner.tags = {TagRecord(t)};
    DeviceFields d;
    d.group.version = 1.5;
    d.group.groups = {GroupRecord(inner)};
    Loaded l(ConfigFile({DeviceRecord(d)}));
    ASSERT_EQ(1, l.Count());
    EXPECT_EQ(0u, l.dropped);
    EXPECT_NE(nullptr, l.Tag(0, L"Inner.T"));
    EXPECT_EQ(1, l.Device(0)->SnapshotGroups()[0]->GetOrdinal());
    EXPECT_EQ(300u, l.Device(0)->GetRefreshPeriod());
}

TEST(OlderVersionsTest, OlderDeviceAndProductBlocks) {
    auto device = [](const std::string& name, const Bytes& deviceBlock, const Bytes& productBlock) {
        GroupFields g;
        g.name = name;
        g.ordinal = 0;
        return GroupBlock(g).Add(deviceBlock).Add(productBlock);
    };
    const Bytes product = Bytes().F64(1.1).U32(1).U32(1).U32(120);
    std::vector<Bytes> devices;
    devices.push_back(device("D16", Bytes().F64(1.6).U32(0).U32(5000), product));
    devices.push_back(device("D15", Bytes().F64(1.5).U32(0).U32(2500), product));
    devices.push_back(device("D14", Bytes().F64(1.4).Str("COM1").U32(10999).U32(1).U32(2), product));
    devices.push_back(device("D12", Bytes().F64(1.2).Str("COM2").U32(9600).U32(8).U32(0).U32(1).U32(0).U32(3)
                                        .Str("modem").U32(7000).U32(4).U32(5),
                             product));
    devices.push_back(device("P10", Bytes().F64(1.6).U32(1).U32(0), Bytes().F64(1.0)));
    devices.push_back(device("Last", Bytes().F64(1.6).U32(1).U32(8), product));
    Loaded l(ConfigFile(devices));
    ASSERT_FALSE(l.endOfFile);
    EXPECT_EQ(0u, l.dropped);
    ASSERT_EQ(6, l.Count());
    struct Expect {
        const wchar_t* name;
        bool inService;
        DWORD interval;
    } expected[] = {{L"D16", false, 5000}, {L"D15", false, 2}, {L"D14", true, 10}, {L"D12", true, 7},
                    {L"P10", true, 0},     {L"Last", true, 8}};
    for (int i = 0; i < 6; ++i) {
        ToviDevice* d = l.Device(i);
        EXPECT_EQ(expected[i].name, d->GetName());
        EXPECT_EQ(expected[i].inService, d->IsInService()) << i;
        EXPECT_EQ(expected[i].interval, d->GetUpdateInterval()) << i;  // as stored: no clamp
    }
    EXPECT_TRUE(l.Device(0)->IsRefreshEnabled());
    EXPECT_EQ(120u, l.Device(3)->GetRefreshPeriod());
    // A product block before 1.1 carries nothing: the refresh keeps its defaults.
    ToviDevice* p10 = l.Device(4);
    EXPECT_FALSE(p10->IsRefreshEnabled());
    EXPECT_EQ(0u, p10->GetRefreshMode());
    EXPECT_EQ(300u, p10->GetRefreshPeriod());
}
