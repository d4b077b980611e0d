// Alarm settings in the configuration file: only an alarmed tag's block is
// 1.8, with the alarm after the 1.7 layout; every other block keeps its version.
#include <gtest/gtest.h>

#include "ForcedQuality.h"
#include "LoadHelpers.h"
#include "OpcConstants.h"
#include "ToviTag.h"

namespace {
// Plant { Level R8 12.5, Mode I4 3 }, the alarms given in 1.8 blocks.
Bytes PlantFile(const Bytes* levelAlarm, const Bytes* modeAlarm, unsigned levelForced = 0xFFFF) {
    auto tag = [](const char* name, Bytes value, std::uint32_t type, const Bytes* alarm, unsigned forced) {
        TagFields t{.name = name, .value = value, .dataType = type};
        t.version = alarm != nullptr ? 1.8 : forced != 0xFFFF ? 1.7 : 1.6;
        t.forcedQuality = forced;
        if (alarm != nullptr) t.alarm = *alarm;
        return TagRecord(t);
    };
    DeviceFields device;
    device.group.name = "Plant";
    device.group.tags = {tag("Level", VR8(12.5), VT_R8, levelAlarm, levelForced),
                         tag("Mode", VI4(3), VT_I4, modeAlarm, 0xFFFF)};
    return ConfigFile({DeviceRecord(device)});
}

std::string Text(const std::wstring& s) { return std::string(s.begin(), s.end()); }
}  // namespace

TEST(AlarmRecordTest, TheIndependentLayoutLoadsAndIsWrittenBackByteForByte) {
    const Bytes level = AlarmBlock({.kind = 1,
                                    .flags = 1 | 2 | 8 | 16 | 32,
                                    .highHigh = 95,
                                    .high = 80,
                                    .low = 7,  // not set: read and dropped
                                    .lowLow = 2.5,
                                    .deadband = 1.5,
                                    .severity = 300,
                                    .severityHighHigh = 900,
                                    .message = "Level out of range"});
    const Bytes mode = AlarmBlock({.kind = 3, .flags = 0, .normal = VI4(2)});
    const Bytes file = PlantFile(&level, &mode, OPC_QUALITY_UNCERTAIN);
    Loaded loaded(file);
    ASSERT_EQ(loaded.Count(), 1);
    ASSERT_EQ(loaded.dropped, 0u);
    const AlarmSettings a = loaded.Tag(0, L"Level")->GetAlarmSettings();
    EXPECT_EQ(AlarmKind::ExclusiveLimit, a.kind);
    EXPECT_EQ(std::optional<double>(95), a.highHigh);
    EXPECT_EQ(std::optional<double>(80), a.high);
    EXPECT_FALSE(a.low.has_value());
    EXPECT_EQ(std::optional<double>(2.5), a.lowLow);
    EXPECT_EQ(1.5, a.deadband);
    EXPECT_EQ(300, a.severity);
    EXPECT_EQ(900, a.severityHighHigh);
    EXPECT_EQ(L"Level out of range", a.message);
    EXPECT_TRUE(a.needsConfirm);
    EXPECT_TRUE(a.enabled);
    EXPECT_EQ(OPC_QUALITY_UNCERTAIN, loaded.Tag(0, L"Level")->GetForcedQuality());
    const AlarmSettings m = loaded.Tag(0, L"Mode")->GetAlarmSettings();
    EXPECT_EQ(AlarmKind::OffNormal, m.kind);
    EXPECT_FALSE(m.enabled);
    EXPECT_FALSE(m.needsConfirm);
    ASSERT_EQ(VT_I4, m.normalValue.Type());
    EXPECT_EQ(2, V_I4(&m.normalValue.Ref()));
    // The unset Low limit's 7 is not kept: it comes back as 0.
    const Bytes levelZeroLow = AlarmBlock({.kind = 1,
                                           .flags = 1 | 2 | 8 | 16 | 32,
                                           .highHigh = 95,
                                           .high = 80,
                                           .lowLow = 2.5,
                                           .deadband = 1.5,
                                           .severity = 300,
                                           .severityHighHigh = 900,
                                           .message = "Level out of range"});
    EXPECT_EQ(Store(loaded.devices), PlantFile(&levelZeroLow, &mode, OPC_QUALITY_UNCERTAIN).data);
    // Without forcing the 1.8 block carries 0xFFFF, which reads as no forcing.
    Loaded unforced(PlantFile(&levelZeroLow, nullptr));
    EXPECT_EQ(kNotForced, unforced.Tag(0, L"Level")->GetForcedQuality());
    EXPECT_EQ(Store(unforced.devices), PlantFile(&levelZeroLow, nullptr).data);
}

TEST(AlarmRecordTest, EverySettingRoundTripsAndAFileWithoutAlarmsKeepsItsBytes) {
    const Bytes plain = PlantFile(nullptr, nullptr);
    Loaded loaded(plain);
    ASSERT_EQ(loaded.Count(), 1);
    EXPECT_EQ(Store(loaded.devices), plain.data);
    OPCS_Tag* level = loaded.Tag(0, L"Level");
    OPCS_Tag* mode = loaded.Tag(0, L"Mode");
    ASSERT_TRUE(level != nullptr && mode != nullptr);

    AlarmSettings limits;
    limits.kind = AlarmKind::NonExclusiveLimit;
    limits.high = 80.25;
    limits.low = -3;
    limits.deadband = 0.5;
    limits.severity = 1;
    limits.severityHighHigh = 1000;
    limits.message = L"Füllstand \u2192 hoch";  // needs the wide form
    limits.needsConfirm = true;
    limits.enabled = false;
    AlarmSettings offNormal;
    offNormal.kind = AlarmKind::OffNormal;
    offNormal.normalValue = Variant::FromLong(-7);
    ASSERT_TRUE(level->SetAlarmSettings(limits));
    ASSERT_TRUE(mode->SetAlarmSettings(offNormal));
    const std::vector<BYTE> alarmed = Store(loaded.devices);
    EXPECT_NE(alarmed, plain.data);
    {
        Loaded again(alarmed);
        ASSERT_EQ(again.Count(), 1);
        EXPECT_TRUE(again.Tag(0, L"Level")->GetAlarmSettings() == limits)
            << Text(again.Tag(0, L"Level")->GetAlarmSettings().message);
        EXPECT_TRUE(again.Tag(0, L"Mode")->GetAlarmSettings() == offNormal);
        EXPECT_EQ(Store(again.devices), alarmed);
    }
    // Alarms removed: the blocks go back to 1.6, byte for byte.
    ASSERT_TRUE(level->SetAlarmSettings(AlarmSettings{}));
    ASSERT_TRUE(mode->SetAlarmSettings(AlarmSettings{}));
    EXPECT_EQ(Store(loaded.devices), plain.data);

    // Settings a hand-made file gives that do not suit the tag are dropped; the rest reads on.
    const Bytes badOrder = AlarmBlock({.kind = 1, .flags = 2 | 4 | 32, .high = 10, .low = 20});
    const Bytes unknownKind = AlarmBlock({.kind = 9, .flags = 32});
    Loaded odd(PlantFile(&badOrder, &unknownKind));
    ASSERT_EQ(odd.Count(), 1);
    EXPECT_EQ(0u, odd.dropped);
    EXPECT_FALSE(odd.Tag(0, L"Level")->HasAlarm());
    EXPECT_FALSE(odd.Tag(0, L"Mode")->HasAlarm());
    EXPECT_EQ(R8(odd.Tag(0, L"Level")->GetValue()), 12.5);
}
