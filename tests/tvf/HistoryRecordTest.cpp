// The historize switch in the configuration file: only a historized tag's
// block is 1.9 (the 1.8 layout, its alarm kind None when it has none, then
// the switch); every other block is written as before.
#include <gtest/gtest.h>

#include "LoadHelpers.h"
#include "OpcConstants.h"
#include "ToviTag.h"

namespace {
// Plant { Level R8 12.5, Mode I4 3 }: Level as the case says, Mode plain.
Bytes PlantFile(bool historized, bool alarmed) {
    TagFields level{.name = "Level", .value = VR8(12.5), .dataType = VT_R8};
    if (historized || alarmed) {
        level.version = historized ? 1.9 : 1.8;
        level.forcedQuality = 0xFFFF;
        level.alarm = alarmed ? AlarmBlock({.kind = 1, .flags = 2 | 32, .high = 80}) : AlarmBlock({.kind = 0});
        level.historize = historized;
    }
    DeviceFields device;
    device.group.name = "Plant";
    device.group.tags = {TagRecord(level), TagRecord(TagFields{.name = "Mode", .value = VI4(3), .dataType = VT_I4})};
    return ConfigFile({DeviceRecord(device)});
}
}  // namespace

TEST(HistoryRecordTest, OnlyAHistorizedTagsBlockChangesAndEachLayoutIsWrittenBackByteForByte) {
    struct Case {
        bool historized, alarmed;
    };
    const Case cases[] = {{false, false}, {true, false}, {true, true}, {false, true}};
    for (const Case& c : cases) {
        const Bytes file = PlantFile(c.historized, c.alarmed);
        Loaded loaded(file);
        ASSERT_EQ(1, loaded.Count());
        EXPECT_EQ(0u, loaded.dropped);
        OPCS_Tag* level = loaded.Tag(0, L"Level");
        ASSERT_NE(nullptr, level);
        EXPECT_EQ(c.historized, level->IsHistorized()) << c.historized << c.alarmed;
        EXPECT_EQ(c.alarmed, level->HasAlarm()) << c.historized << c.alarmed;
        EXPECT_FALSE(loaded.Tag(0, L"Mode")->IsHistorized());
        EXPECT_EQ(R8(level->GetValue()), 12.5);
        EXPECT_EQ(Store(loaded.devices), file.data) << c.historized << c.alarmed;
    }
    // Switched on and off by hand: the blocks follow, and a plain file keeps its bytes.
    const Bytes plain = PlantFile(false, false);
    Loaded loaded(plain);
    loaded.Tag(0, L"Level")->SetHistorize(true);
    EXPECT_EQ(Store(loaded.devices), PlantFile(true, false).data);
    loaded.Tag(0, L"Level")->SetHistorize(false);
    EXPECT_EQ(Store(loaded.devices), plain.data);
}
