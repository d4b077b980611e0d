// The property dialogs' road through a scripted runner: what the dialog is
// shown, what its OK applies, and that readers never see half of an OK.
#include <gtest/gtest.h>

#include <atomic>

#include "OpcConstants.h"
#include "PropertyDialogs.h"
#include "ScriptedDialogs.h"
#include "SimulatedSignal.h"
#include "Thread.h"
#include "ToviDevice.h"
#include "ToviTag.h"

namespace {
ToviTag* NewTag(const std::wstring& name) {
    auto* tag = new ToviTag;
    tag->Rename(name);
    return tag;
}
}  // namespace

TEST(PropertyEditingTest, DevicePropertiesApplyInOrder) {
    ScriptedDialogs dialogs;
    ToviDevice device;
    device.Rename(L"Pump");
    dialogs.replyGroup = GroupPropertiesFields{L"Pump.North", true, true, kRefreshByInterval, 120};
    ASSERT_TRUE(EditGroupProperties(dialogs, device, nullptr));
    EXPECT_EQ(L"Pump", dialogs.seenGroup.name);
    EXPECT_TRUE(dialogs.seenGroup.isDevice);
    EXPECT_EQ(300u, dialogs.seenGroup.refreshPeriod);
    EXPECT_EQ(L"Pump North", device.GetName());
    EXPECT_TRUE(device.IsRefreshEnabled());
    EXPECT_EQ(120u, device.GetUpdateInterval());
    dialogs.answer = false;
    EXPECT_FALSE(EditGroupProperties(dialogs, device, nullptr));
    EXPECT_EQ(L"Pump North", device.GetName());
}

TEST(PropertyEditingTest, TagPropertiesApplyInOrder) {
    ScriptedDialogs dialogs;
    ToviDevice device;
    ToviTag* tag = NewTag(L"Level");
    device.AddTag(tag);
    device.AddTag(NewTag(L"Taken"));
    tag->SetValueNow(Variant::FromDouble(2.5));
    TagPropertiesFields& r = dialogs.replyTag.emplace();
    r.name = L"Taken";  // refused (a dialog stays open); answered anyway, only the name is kept
    r.description = L"Tank level";
    r.type = VT_I4;
    r.access = 0;
    r.limitValues = true;
    r.low = 0;
    r.high = 10;
    r.deadband = 5;
    r.value = Variant::FromLong(50);
    const TagSimulation stored{true, 9, 2, 0};  // shown as it stands, even unknown to this program
    tag->SetSimulation(stored);
    r.simulation = {true, kSimulateCount, 3, 7};
    ASSERT_TRUE(EditTagProperties(dialogs, *tag, &device));
    EXPECT_EQ(L"There is already a tag named \"Taken\" in Device. Please choose another name.", dialogs.refusal);
    EXPECT_EQ(stored, dialogs.seenTag.simulation);
    EXPECT_EQ(r.simulation, tag->GetSimulation());
    EXPECT_EQ(L"2.5 ", dialogs.seenTag.valueText);
    EXPECT_EQ(VT_R8, dialogs.seenTag.type);
    EXPECT_EQ(1u, dialogs.seenTag.access);
    EXPECT_EQ(L"Level", tag->GetName());
    EXPECT_EQ(L"Tank level", tag->GetDescription());
    EXPECT_EQ(0u, tag->GetAccessMode());
    EXPECT_EQ(5, tag->GetDeadband());
    // The new value passed through the new limits into the new type.
    EXPECT_EQ(L"10", tag->GetValueText());
    r.limitValues = false;
    r.name = L"Renamed";
    ASSERT_TRUE(EditTagProperties(dialogs, *tag, &device));
    EXPECT_FALSE(tag->AreValueLimitsSet());
    EXPECT_EQ(L"50", tag->GetValueText());
    EXPECT_EQ(L"Renamed", tag->GetName());
    EXPECT_EQ(L"", dialogs.refusal);
}

// A reader between the settings of one OK never sees the value of another
// type, or none, with Good quality: OPC clients would be sent it.
namespace {
// The state is torn when Good quality goes with a value not of the tag's type.
bool Torn(const TagChangeState& s) { return s.state.quality == OPC_QUALITY_GOOD && s.state.value.Type() != s.type; }

}  // namespace

TEST(PropertyEditingTest, TagPropertiesLandInOneStepForReaders) {
    ScriptedDialogs dialogs;
    ToviDevice device;
    ToviTag* tag = NewTag(L"Level");
    device.AddTag(tag);
    tag->SetValueNow(Variant::FromDouble(1));
    struct Reply {
        VARTYPE type;
        Variant value;
        bool limits;
    };
    const Reply replies[] = {{VT_BSTR, Variant::FromString(L"text"), false}, {VT_I4, Variant::FromLong(-7), true},
                             {VT_BOOL, Variant::FromBool(true), false},      {VT_R4, Variant::FromFloat(2.5f), true},
                             {VT_R8, Variant::FromDouble(150), true},        {VT_R8, Variant::FromDouble(-1), false}};
    std::atomic<bool> done{false};
    std::atomic<long> reads{0}, torn{0};
    Thread reader;
    ASSERT_TRUE(reader.Start([&] {
        while (!done.load()) {
            if (Torn(tag->GetChangeState())) ++torn;
            ++reads;
        }
        return 0u;
    }));
    // OKs go on while the reader reads, for a fair number of both.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (reads.load() == 0 && GetTickCount64() < deadline) Sleep(1);
    TagPropertiesFields& r = dialogs.replyTag.emplace();
    r.name = L"Level";
    r.low = 0;
    r.high = 100;
    for (int i = 0; i < 3000 || (reads.load() < 100000 && GetTickCount64() < deadline); ++i) {
        const Reply& reply = replies[static_cast<size_t>(i) % std::size(replies)];
        r.type = reply.type;
        r.value = reply.value;
        r.limitValues = reply.limits;
        r.description = L"round " + std::to_wstring(i);
        ASSERT_TRUE(EditTagProperties(dialogs, *tag, &device));
        // The whole reply landed: the value through the limits into the type.
        Variant want = reply.value;
        if (reply.limits) tag->ClampToValueLimits(want);
        ASSERT_TRUE(SUCCEEDED(want.ChangeType(reply.type)));
        TagChangeState s = tag->GetChangeState();
        ASSERT_EQ(reply.type, s.type);
        ASSERT_EQ(reply.limits, s.deadband.limitsSet);
        ASSERT_EQ(OPC_QUALITY_GOOD, s.state.quality);
        ASSERT_EQ(VARCMP_EQ, VarCmp(s.state.value.Get(), want.Get(), LOCALE_INVARIANT, 0)) << i;
        ASSERT_EQ(r.description, tag->GetDescription());
    }
    done = true;
    ASSERT_TRUE(reader.Join(10000));
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(0, torn.load()) << "of " << reads.load() << " reads";
}
