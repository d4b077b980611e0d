// Forced qualities: the nearest forcing wins for every reader of a tag, and the
// configuration file carries them in 1.7 blocks while everything else stays 1.6.
#include <gtest/gtest.h>

#include "ForcedQuality.h"
#include "LoadHelpers.h"
#include "OpcConstants.h"
#include "TagTexts.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
// Plant { Area { Level R8 12.5 Good } Flow R8 3 Good }, built as the independent
// writer writes it; the forcings in 1.7 blocks when given.
Bytes PlantFile(unsigned deviceForced, unsigned areaForced, unsigned levelForced) {
    auto version = [](unsigned forced) { return forced != 0xFFFF ? 1.7 : 1.6; };
    const Bytes level =
        TagRecord({.version = version(levelForced), .name = "Level", .value = VR8(12.5), .forcedQuality = levelForced});
    const Bytes area =
        GroupRecord({.version = version(areaForced), .name = "Area", .tags = {level}, .forcedQuality = areaForced});
    DeviceFields device;
    device.group.name = "Plant";
    device.group.version = version(deviceForced);
    device.group.forcedQuality = deviceForced;
    device.group.groups = {area};
    device.group.tags = {TagRecord({.name = "Flow", .value = VR8(3)})};
    return ConfigFile({DeviceRecord(device)});
}
constexpr unsigned kNone = 0xFFFF;
}  // namespace

TEST(ForcedQualityTest, TheNearestForcingWinsForEveryReaderAndUnforcingGivesTheOwnQualityBack) {
    Loaded file(PlantFile(kNone, kNone, kNone));
    ASSERT_EQ(file.Count(), 1);
    OPCS_Device* plant = file.Device(0);
    OPCS_Tag* level = file.Tag(0, L"Area.Level");
    OPCS_Tag* flow = file.Tag(0, L"Flow");
    ASSERT_NE(level, nullptr);
    ASSERT_NE(flow, nullptr);
    OPCS_TagGroup* area = level->GetOwner();
    const DWORD changesBefore = level->GetChangeCount();

    struct Step {
        OPCS_TagGroup* group;  // null: the tag itself
        int forced;
        WORD levelQuality, flowQuality;
    };
    const Step steps[] = {
        {plant, OPC_QUALITY_COMM_FAILURE, OPC_QUALITY_COMM_FAILURE, OPC_QUALITY_COMM_FAILURE},
        {area, OPC_QUALITY_SUB_NORMAL, OPC_QUALITY_SUB_NORMAL, OPC_QUALITY_COMM_FAILURE},
        {nullptr, OPC_QUALITY_LOCAL_OVERRIDE, OPC_QUALITY_LOCAL_OVERRIDE, OPC_QUALITY_COMM_FAILURE},
        {nullptr, kNotForced, OPC_QUALITY_SUB_NORMAL, OPC_QUALITY_COMM_FAILURE},
        {area, kNotForced, OPC_QUALITY_COMM_FAILURE, OPC_QUALITY_COMM_FAILURE},
        {plant, kNotForced, OPC_QUALITY_GOOD, OPC_QUALITY_GOOD},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "forcing " << step.forced << (step.group ? " on a group" : " on the tag"));
        EXPECT_TRUE(step.group ? step.group->ForceQuality(step.forced) : level->ForceQuality(step.forced));
        EXPECT_EQ(level->GetQuality(), step.levelQuality);
        EXPECT_EQ(level->GetState().quality, step.levelQuality);
        EXPECT_EQ(level->GetChangeState().state.quality, step.levelQuality);
        EXPECT_EQ(flow->GetQuality(), step.flowQuality);
        // The value text and timestamp show only under Good; the stored value is kept throughout.
        EXPECT_EQ(level->GetValueText() == L"?", step.levelQuality != OPC_QUALITY_GOOD) << level->GetValueText();
        EXPECT_EQ(R8(level->GetValue()), 12.5);
        const bool forced = level->GetForcedQualityInEffect() != kNotForced;
        EXPECT_EQ(level->GetQualityText(),
                  forced ? ForcedQualityText(step.levelQuality) : QualityText(step.levelQuality));
    }
    EXPECT_GE(level->GetChangeCount() - changesBefore, 6u) << "every forcing above the tag redraws its row";
    EXPECT_EQ(QualityText(OPC_QUALITY_LOCAL_OVERRIDE), L"Good (Local Override)");
    EXPECT_EQ(ForcedQualityText(OPC_QUALITY_COMM_FAILURE), L"Forced: Bad (Comm Failure)");

    // Only the qualities offered may be forced; a refusal changes nothing.
    for (int refused : {0x80, 0xC1, 0x20, 0x48, 0x100, -2}) {
        EXPECT_FALSE(level->ForceQuality(refused)) << refused;
        EXPECT_FALSE(plant->ForceQuality(refused)) << refused;
    }
    EXPECT_EQ(level->GetForcedQuality(), kNotForced);
    EXPECT_EQ(plant->GetForcedQuality(), kNotForced);
}

TEST(ForcedQualityTest, OnlyForcedBlocksAreWrittenAs17AndBothVersionsLoad) {
    // Without forcing the file is what the 1.6 writer writes, byte for byte.
    const Bytes plain = PlantFile(kNone, kNone, kNone);
    {
        Loaded file(plain);
        EXPECT_EQ(Store(file.devices), plain.data);
    }
    // The independent writer's 1.7 blocks load with their forcings.
    const Bytes forced = PlantFile(OPC_QUALITY_OUT_OF_SERVICE, OPC_QUALITY_UNCERTAIN, OPC_QUALITY_GOOD);
    Loaded file(forced);
    ASSERT_EQ(file.Count(), 1);
    ASSERT_EQ(file.dropped, 0u);
    EXPECT_FALSE(file.endOfFile);
    OPCS_Tag* level = file.Tag(0, L"Area.Level");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(file.Device(0)->GetForcedQuality(), OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(level->GetOwner()->GetForcedQuality(), OPC_QUALITY_UNCERTAIN);
    EXPECT_EQ(level->GetForcedQuality(), OPC_QUALITY_GOOD);
    EXPECT_EQ(file.Tag(0, L"Flow")->GetQuality(), OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(R8(level->GetValue()), 12.5);
    // And the program writes the same bytes back.
    EXPECT_EQ(Store(file.devices), forced.data);

    // A forcing no one may set (a hand-made file) is dropped, the rest read on.
    Loaded odd(PlantFile(kNone, 0x80, kNone));
    ASSERT_EQ(odd.Count(), 1);
    EXPECT_EQ(odd.Tag(0, L"Area.Level")->GetOwner()->GetForcedQuality(), kNotForced);
    EXPECT_EQ(R8(odd.Tag(0, L"Area.Level")->GetValue()), 12.5);
}
