#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoadHelpers.h"
#include "OpcConstants.h"

namespace {
// The fields of the tag layouts before 1.5, in file order.
struct OldTag {
    double version = 1.0;
    std::string name = "Old", description = "old tag";
    std::uint32_t icon = 2, classCode = 0;
    bool isVolatile = false, valueLimitsEnabled = true, scalingEnabled = false, simulationEnabled = true;
    std::uint32_t simulationStep = 4, simulationPeriod = 11;
    unsigned quality = 0xC0;
    std::uint32_t dataType = VT_R8, timeHigh = 0x01D50000, timeLow = 0x00ABCDEF, access = 0, simulationKind = 2;
    std::uint32_t valueLimits = 0;
    double valueLow = 0, valueHigh = 0;
    std::uint32_t rawAndScaling = 0;
    double rawLow = 0, rawHigh = 0, deadband = 0;
    Bytes value = VR8(0);
};

Bytes OldTagRecord(const OldTag& t) {
    Bytes b;
    b.F64(t.version).Str(t.name).Str(t.description).U32(t.icon);
    if (t.version < 1.1) {
        b.U16(t.dataType).U32(t.access).U32(t.simulationKind).U32(t.valueLimits).U32(t.rawAndScaling);
        b.F64(t.rawLow).F64(t.rawHigh).F64(t.valueLow).F64(t.valueHigh).F64(-1).F64(-2).F64(t.deadband);
        return b.F64(1.0);
    }
    b.U32(t.classCode).U32(t.isVolatile).U32(t.valueLimitsEnabled).U32(t.scalingEnabled).U32(t.simulationEnabled);
    if (t.version >= 1.2) b.U32(t.simulationStep).U32(t.simulationPeriod);
    b.U16(t.quality);
    if (t.version >= 1.3) {
        b.U32(t.dataType);
    } else {
        b.U16(t.dataType);
    }
    b.U32(t.timeHigh).U32(t.timeLow).U32(t.access).U32(t.simulationKind).U32(t.valueLimits);
    if (t.valueLimits) b.F64(t.valueLow).F64(t.valueHigh);
    b.U32(t.rawAndScaling);
    if (t.rawAndScaling) b.F64(t.rawLow).F64(t.rawHigh);
    return b.F64(t.deadband).Add(t.value).F64(1.0);
}

// One device with the given tags and then a current tag, which only reads
// right when each older record took exactly its own bytes.
struct OneDevice : Loaded {
    explicit OneDevice(std::vector<Bytes> tags)
        : Loaded([&] {
              tags.push_back(TagRecord({.name = "After", .value = VR8(77)}));
              DeviceFields d;
              d.group.tags = tags;
              return ConfigFile({DeviceRecord(d)});
          }()) {
        EXPECT_EQ(0u, dropped);
        EXPECT_EQ(77, R8(Tag(0, L"After")->GetValue()));
    }
    double Engineering(const wchar_t* tag, double raw) {
        return R8(Tag(0, tag)->RawToEngineering(Variant::FromDouble(raw)));
    }
};
}  // namespace

TEST(OlderVersionsTest, Tags10GoThroughTheSetters) {
    OneDevice l(
        {OldTagRecord({.name = "Both",
                       .access = 1,
                       .valueLimits = 1,
                       .valueHigh = 10,
                       .rawAndScaling = 1,
                       .rawHigh = 100,
                       .deadband = 3}),
         OldTagRecord({.name = "Plain", .dataType = VT_I2}),
         OldTagRecord(
             {.name = "Equal", .valueLimits = 1, .valueLow = 5, .valueHigh = 5, .rawAndScaling = 1, .rawHigh = 100})});
    OPCS_Tag* both = l.Tag(0, L"Both");
    EXPECT_EQ(L"old tag", both->GetDescription());
    EXPECT_EQ(2, both->GetIconIndex());
    EXPECT_EQ(3, both->GetDeadband());
    EXPECT_EQ(1u, both->GetAccessMode());
    EXPECT_TRUE(both->AreValueLimitsSet());
    EXPECT_EQ(10, both->GetValueHighLimit());
    // Offset 0 and factor (100 - 0) / (10 - 0): raw 0.5 is 5.
    EXPECT_DOUBLE_EQ(5, l.Engineering(L"Both", 0.5));
    EXPECT_DOUBLE_EQ(10, l.Engineering(L"Both", 50));  // value limit
    EXPECT_DOUBLE_EQ(0, l.Engineering(L"Both", -3));   // raw limit
    // What the layout does not carry keeps the new tag's defaults.
    EXPECT_EQ(OPC_QUALITY_UNCERTAIN, both->GetQuality());
    EXPECT_TRUE(both->GetValue().IsEmpty());
    EXPECT_FALSE(both->IsVolatile());

    EXPECT_EQ(VT_I2, l.Tag(0, L"Plain")->GetDataType());
    EXPECT_FALSE(l.Tag(0, L"Plain")->AreValueLimitsEnabled());
    EXPECT_DOUBLE_EQ(1234, l.Engineering(L"Plain", 1234));
    EXPECT_DOUBLE_EQ(5, l.Engineering(L"Equal", 50));  // an infinite factor, and the limits still hold
}

TEST(OlderVersionsTest, Tags11To15KeepValueQualityAndTimestamp) {
    OneDevice l(
        {OldTagRecord({.version = 1.1,
                       .name = "V11",
                       .quality = 0x54,
                       .dataType = VT_I4,
                       .access = 1,
                       .valueLimits = 1,
                       .valueLow = -1,
                       .valueHigh = 9,
                       .value = VI4(7)}),
         OldTagRecord(
             {.version = 1.2, .name = "V12", .valueLimitsEnabled = false, .dataType = VT_BOOL, .value = VBool(true)}),
         OldTagRecord({.version = 1.3,
                       .name = "V13",
                       .valueLimits = 1,
                       .valueHigh = 10,
                       .rawAndScaling = 1,
                       .rawHigh = 100,
                       .value = VR8(4.5)}),
         OldTagRecord({.version = 1.45,
                       .name = "V14",
                       .dataType = VT_BSTR,
                       .rawAndScaling = 1,
                       .rawLow = 2,
                       .rawHigh = 4,
                       .value = VBstr(L"abc")}),
         OldTagRecord({.version = 1.2, .name = "Volatile", .isVolatile = true, .value = VR8(42)}),
         TagRecord({.version = 1.5, .name = "V15", .locked = true, .quality = 0x40, .value = VR8(3)})});
    const TagState s = l.Tag(0, L"V11")->GetState();
    ASSERT_EQ(VT_I4, s.value.Type());  // the type was set before the value was placed
    EXPECT_EQ(7, V_I4(&s.value.Ref()));
    EXPECT_EQ(0x54, s.quality);
    EXPECT_EQ(0x01D50000u, s.timestamp.dwHighDateTime);
    EXPECT_EQ(0x00ABCDEFu, s.timestamp.dwLowDateTime);
    EXPECT_EQ(-1, l.Tag(0, L"V11")->GetValueLowLimit());
    EXPECT_DOUBLE_EQ(4, l.Engineering(L"V11", 4));  // no raw limits, no scaling
    EXPECT_DOUBLE_EQ(9, l.Engineering(L"V11", 1234));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&l.Tag(0, L"V12")->GetValue().Ref()));
    EXPECT_FALSE(l.Tag(0, L"V12")->AreValueLimitsEnabled());
    EXPECT_DOUBLE_EQ(5, l.Engineering(L"V13", 0.5));
    EXPECT_EQ(4.5, R8(l.Tag(0, L"V13")->GetValue()));
    EXPECT_EQ(L"abc", l.Tag(0, L"V14")->GetValueText());
    EXPECT_EQ(OPC_QUALITY_BAD, l.Tag(0, L"Volatile")->GetQuality());
    EXPECT_EQ(0, R8(l.Tag(0, L"Volatile")->GetValue()));
    EXPECT_FALSE(l.Tag(0, L"V15")->IsLocked());  // not in the 1.5 layout
    EXPECT_EQ(3, R8(l.Tag(0, L"V15")->GetValue()));
}

TEST(OlderVersionsTest, OlderGroupDeviceAndProductBlocks) {
    auto device = [](const std::string& name, const Bytes& deviceBlock, const Bytes& productBlock, double version) {
        const Bytes inner = GroupRecord({.version = 1.5, .name = "Inner", .ordinal = 99, .tags = {TagRecord({})}});
        return GroupBlock({.version = version, .name = name, .groups = {inner}}).Add(deviceBlock).Add(productBlock);
    };
    const Bytes product = Bytes().F64(1.1).U32(1).U32(1).U32(120);
    Loaded l(ConfigFile({
        device("D16", Bytes().F64(1.6).U32(0).U32(5000), product, 1.6),
        device("D15", Bytes().F64(1.5).U32(0).U32(2500), product, 1.5),
        device("D14", Bytes().F64(1.4).Str("COM1").U32(10999).U32(1).U32(2), product, 1.5),
        device(
            "D12",
            Bytes().F64(1.2).Str("COM2").U32(9600).U32(8).U32(0).U32(1).U32(0).U32(3).Str("modem").U32(7000).U32(4).U32(
                5),
            product, 1.5),
        device("P10", Bytes().F64(1.6).U32(1).U32(0), Bytes().F64(1.0), 1.6),
        device("Last", Bytes().F64(1.6).U32(1).U32(8), product, 1.6),
    }));
    ASSERT_FALSE(l.endOfFile);
    EXPECT_EQ(0u, l.dropped);
    ASSERT_EQ(6, l.Count());
    const std::tuple<const wchar_t*, bool, DWORD> expected[] = {{L"D16", false, 5000}, {L"D15", false, 2},
                                                                {L"D14", true, 10},    {L"D12", true, 7},
                                                                {L"P10", true, 0},     {L"Last", true, 8}};
    for (int i = 0; i < 6; ++i) {
        const auto& [name, inService, interval] = expected[i];
        ToviDevice* d = l.Device(i);
        EXPECT_EQ(name, d->GetName());
        EXPECT_EQ(inService, d->IsInService()) << i;
        EXPECT_EQ(interval, d->GetUpdateInterval()) << i;  // as stored: no clamp
        EXPECT_EQ(1, d->SnapshotGroups()[0]->GetOrdinal());
        EXPECT_NE(nullptr, d->FindTag(L"Inner.Tag"));
        EXPECT_EQ(i == 4 ? 300u : 120u, d->GetRefreshPeriod());  // before 1.1 the product block is empty
        EXPECT_EQ(i != 4, d->IsRefreshEnabled());
    }
}
