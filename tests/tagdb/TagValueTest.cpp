#include <gtest/gtest.h>

#include <cmath>

#include "FileTime.h"
#include "OpcConstants.h"
#include "TagDbFixtures.h"
#include "TagTexts.h"
#include "ValueText.h"

namespace {
double AsDouble(const Variant& v) {
    Variant copy(v);
    EXPECT_EQ(S_OK, copy.ChangeType(VT_R8));
    return V_R8(copy.Get());
}
}  // namespace

TEST(TagValueTest, ValueTextFollowsTypeAndNeedsExactlyGood) {
    ToviTag tag;
    ASSERT_TRUE(tag.SetValueNow(Variant::FromDouble(2.5)));
    EXPECT_EQ(L"2.5 ", tag.GetValueText());
    EXPECT_FALSE(tag.GetTimestampText().empty());
    EXPECT_NE(L"----------", tag.GetTimestampText());
    tag.SetQuality(0xC1);  // Good, low limited
    EXPECT_EQ(L"?", tag.GetValueText());
    EXPECT_EQ(L"----------", tag.GetTimestampText());

    struct Case {
        VARTYPE type;
        Variant input;
        const wchar_t* text;
    };
    const Case cases[] = {
        {VT_I2, Variant::FromLong(-7), L"-7"},
        {VT_I4, Variant::FromDouble(123456.0), L"123456"},
        {VT_R4, Variant::FromDouble(0.25), L"0.25"},
        {VT_BOOL, Variant::FromLong(1), L"1"},
        {VT_BOOL, Variant::FromLong(0), L"0"},
        {VT_UI1, Variant::FromLong(200), L"200"},
        {VT_BSTR, Variant::FromDouble(1.5), L"1.5"},
        {VT_UI2, Variant::FromLong(65535), L"65535"},
        {VT_UI4, Variant::FromDouble(4000000000.0), L"4000000000"},
        {VT_DATE, Variant::FromDouble(1.0), L"?"},
    };
    for (const Case& c : cases) {
        ToviTag t;
        t.SetDataType(c.type);
        ASSERT_TRUE(t.SetValueNow(c.input)) << c.type;
        EXPECT_EQ(c.text, t.GetValueText()) << "type " << c.type;
    }
}

TEST(TagValueTest, ChangesCountAndReadingDoesNot) {
    ToviTag tag;
    const DWORD before = tag.GetChangeCount();
    tag.SetValueNow(Variant::FromDouble(4));
    tag.GetRawValueText();
    tag.GetValueText();
    EXPECT_EQ(before + 1, tag.GetChangeCount());
    tag.SetQuality(OPC_QUALITY_BAD);
    EXPECT_EQ(before + 2, tag.GetChangeCount());
}

TEST(TagValueTest, ValueLimitsClampOnlyWhenSet) {
    ToviTag tag;
    tag.SetValueNow(Variant::FromDouble(150));
    EXPECT_DOUBLE_EQ(150, AsDouble(tag.GetValue()));
    tag.SetValueLimits(0, 100);
    tag.SetValueNow(Variant::FromDouble(150));
    EXPECT_DOUBLE_EQ(100, AsDouble(tag.GetValue()));
    tag.SetValueNow(Variant::FromLong(-3));
    EXPECT_DOUBLE_EQ(0, AsDouble(tag.GetValue()));
    EXPECT_EQ(VT_R8, tag.GetValue().Type());
    // Inverted limits and limits on a tag whose option is off change nothing.
    tag.SetValueLimits(10, 5);
    EXPECT_DOUBLE_EQ(100, tag.GetValueHighLimit());
    tag.EnableValueLimits(false);
    tag.SetValueLimits(1, 2);
    EXPECT_FALSE(tag.AreValueLimitsSet());
    // Text passes limits unchanged.
    ToviTag text;
    text.SetDataType(VT_BSTR);
    text.SetValueLimits(0, 1);
    text.SetValueNow(Variant::FromString(L"500"));
    EXPECT_EQ(L"500", text.GetValueText());
}

TEST(TagValueTest, ScalingAppliesBetweenRawAndEngineeringValues) {
    ToviTag tag;
    tag.EnableScaling(true);
    tag.SetScaling(10, 2);
    ASSERT_TRUE(tag.SetValue(Variant::FromLong(5), OPC_QUALITY_GOOD, FileTimeNow()));
    EXPECT_DOUBLE_EQ(30, AsDouble(tag.GetValue()));
    EXPECT_EQ(L"5", tag.GetRawValueText());  // raw keeps the type handed in
    // Raw limits act before scaling.
    tag.EnableRawLimits(true);
    tag.SetRawLimits(0, 4);
    tag.SetValueNow(Variant::FromLong(5));
    EXPECT_DOUBLE_EQ(28, AsDouble(tag.GetValue()));
}

TEST(TagValueTest, FailedConversionKeepsTheAssignedMembers) {
    ToviTag tag;
    tag.SetDataType(VT_I4);
    FILETIME when{1234, 5678};
    EXPECT_FALSE(tag.SetValue(Variant::FromString(L"12abc"), 0xC0, when));
    TagState state = tag.GetState();
    EXPECT_EQ(0xC0, state.quality);
    EXPECT_TRUE(state.timestamp == when);
    EXPECT_EQ(VT_BSTR, state.value.Type());  // not converted, but assigned
    EXPECT_EQ(L"12abc", tag.GetRawValueText());
}

TEST(TagValueTest, DataTypeChangeEmptiesTheValue) {
    ToviTag tag;
    tag.SetValueNow(Variant::FromDouble(3));
    tag.SetDataType(VT_R8);  // same type: value kept
    EXPECT_EQ(VT_R8, tag.GetValue().Type());
    tag.SetDataType(VT_I4);
    EXPECT_TRUE(tag.GetValue().IsEmpty());
}

TEST(TagValueTest, DeadbandAcceptsOnlyPercentages) {
    ToviTag tag;
    tag.SetDeadband(101);
    tag.SetDeadband(-1);
    tag.SetDeadband(std::nan(""));
    EXPECT_EQ(0, tag.GetDeadband());
    tag.SetDeadband(12.5);
    EXPECT_EQ(12.5, tag.GetDeadband());
}

TEST(TagValueTest, ClientWritesObeyAccessOwnerAndType) {
    PlainDevice device;
    ToviTag* tag = NewTag(L"Level");
    Variant v = Variant::FromString(L"42");
    EXPECT_FALSE(tag->WriteFromClient(v));  // no owner
    ASSERT_TRUE(device.AddTag(tag));
    ASSERT_TRUE(tag->WriteFromClient(v));
    EXPECT_EQ(VT_R8, v.Type());  // converted in place
    EXPECT_EQ(L"42 ", tag->GetValueText());
    Variant bad = Variant::FromString(L"forty");
    EXPECT_FALSE(tag->WriteFromClient(bad));
    tag->SetAccessMode(0);
    Variant ok = Variant::FromDouble(1);
    EXPECT_FALSE(tag->WriteFromClient(ok));
}

TEST(TagValueTest, QualityTexts) {
    struct Case {
        WORD quality;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0xC0, L"Good"},
        {0x80, L"Good"},
        {0xC3, L"Good"},
        {0x18, L"Bad (Comm Failure)"},
        {0x19, L"Bad"},
        {0x00, L"Bad"},
        {0x08, L"Bad (Not Connected)"},
        {0x1C, L"Bad (Out Of Service)"},
        {0x04, L"Bad (Config Error)"},
        {0x54, L"Uncertain (Engineering units exceeded)"},
        {0x44, L"Uncertain (Last Known Value)"},
        {0x58, L"Uncertain (Sub Normal)"},
        {0x48, L"Uncertain"},
        {0x55, L"Uncertain"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, QualityText(c.quality)) << std::hex << c.quality;
    }
    EXPECT_EQ(L"Read Only", AccessText(0));
}

TEST(TagValueTest, TextEntryByType) {
    auto parsed = ParseValueText(VT_I2, L"  70000xyz");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(static_cast<SHORT>(70000), V_I2(parsed->Get()));
    EXPECT_EQ(0, V_I4(ParseValueText(VT_I4, L"abc")->Get()));
    EXPECT_EQ(-12, V_I4(ParseValueText(VT_I4, L" -12.9")->Get()));
    EXPECT_DOUBLE_EQ(1.5e3, V_R8(ParseValueText(VT_R8, L"1.5e3kg")->Get()));
    EXPECT_EQ(44, V_UI1(ParseValueText(VT_UI1, L"300")->Get()));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(ParseValueText(VT_BOOL, L"t")->Get()));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(ParseValueText(VT_BOOL, L"TrUe")->Get()));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(ParseValueText(VT_BOOL, L"1")->Get()));
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(ParseValueText(VT_BOOL, L"yes")->Get()));
    EXPECT_FALSE(ParseValueText(VT_UI4, L"5"));
    EXPECT_FALSE(ParseValueText(VT_DATE, L"5"));
}

TEST(TagValueTest, OnlyAnOwnedTagMarksItsConfiguration) {
    PlainDevice device;
    ConfigurationProbe probe(device);
    ToviTag tag;
    tag.Rename(L"Level");
    tag.SetDescription(L"x");
    tag.SetValueNow(Variant::FromDouble(1));
    EXPECT_FALSE(probe.Marked());
    ToviTag* owned = NewTag(L"Owned");
    device.AddTag(owned);
    probe.Reset();
    owned->SetDescription(L"y");
    EXPECT_TRUE(probe.Marked());
}
