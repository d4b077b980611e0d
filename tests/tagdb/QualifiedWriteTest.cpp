// A client's write of a value with its quality and timestamp: allowed only by
// the configuration's option, all or nothing, under the rules of any client
// write; what it writes is the tag's as any change is.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "FileTime.h"
#include "ForcedQuality.h"
#include "HistorySeries.h"
#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "SimulationSchedule.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"

namespace {
FILETIME At(WORD year, WORD month, WORD day) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

double AsDouble(const Variant& v) {
    Variant copy(v);
    return SUCCEEDED(copy.ChangeType(VT_R8)) ? V_R8(copy.Get()) : -1;
}

// Plant { Level R8 limited 0 to 100 } in a configuration.
struct Plant {
    Configuration configuration;
    ToviDevice* device = new ToviDevice;
    ToviTag* level = NewTag(L"Level");
    Plant() {
        device->Rename(L"Plant");
        configuration.AddDevice(device);
        configuration.AddTagTo(device, level);
        level->SetValueLimits(0, 100);
    }
    HRESULT Write(const wchar_t* text, std::optional<WORD> quality, std::optional<FILETIME> timestamp) {
        Variant value = Variant::FromString(text);
        return level->ClientWriteVqt(value, quality ? &*quality : nullptr, timestamp ? &*timestamp : nullptr);
    }
};

enum class TagSetup { Plain, ReadOnly, Forced };
}  // namespace

TEST(QualifiedWriteTest, TheOptionTheArgumentsAccessTypeLimitsAndForcingDecideAllOrNothing) {
    Plant plant;
    ToviTag* tag = plant.level;
    const FILETIME before = At(2020, 5, 1);
    const FILETIME old = At(2001, 1, 1);
    const FILETIME noTime{0, 0x80000000u};
    const std::optional<WORD> none;
    const std::optional<FILETIME> now;
    struct Row {
        const char* what;
        bool allowed;
        std::optional<WORD> quality;
        std::optional<FILETIME> timestamp;
        TagSetup setup;
        const wchar_t* value;
        HRESULT expected;
        double kept;  // the value once written
    };
    const Row rows[] = {
        {"off: a quality", false, OPC_QUALITY_SUB_NORMAL, now, TagSetup::Plain, L"42", OPC_E_NOTSUPPORTED, 0},
        {"off: a timestamp", false, none, old, TagSetup::Plain, L"42", OPC_E_NOTSUPPORTED, 0},
        {"off: both", false, OPC_QUALITY_BAD, old, TagSetup::Plain, L"42", OPC_E_NOTSUPPORTED, 0},
        {"off: both, out of range too", false, 0x1C0, noTime, TagSetup::Plain, L"42", OPC_E_NOTSUPPORTED, 0},
        {"off: neither, a plain write", false, none, now, TagSetup::Plain, L"42", S_OK, 42},
        {"off: neither, clamped", false, none, now, TagSetup::Plain, L"150", OPC_S_CLAMP, 100},
        {"on: neither", true, none, now, TagSetup::Plain, L"42", S_OK, 42},
        {"on: a quality, stamped now", true, OPC_QUALITY_EGU_EXCEEDED | OPC_LIMIT_HIGH, now, TagSetup::Plain, L"42",
         S_OK, 42},
        {"on: a timestamp, Good", true, none, old, TagSetup::Plain, L"42", S_OK, 42},
        {"on: both", true, OPC_QUALITY_COMM_FAILURE, old, TagSetup::Plain, L"42", S_OK, 42},
        {"on: both, clamped", true, OPC_QUALITY_UNCERTAIN, old, TagSetup::Plain, L"150", OPC_S_CLAMP, 100},
        {"on: both, read only", true, OPC_QUALITY_UNCERTAIN, old, TagSetup::ReadOnly, L"42", OPC_E_BADRIGHTS, 0},
        {"on: both, no number", true, OPC_QUALITY_UNCERTAIN, old, TagSetup::Plain, L"forty", OPC_E_BADTYPE, 0},
        {"on: both, under a forcing", true, OPC_QUALITY_LAST_USABLE, old, TagSetup::Forced, L"42", S_OK, 42},
        {"on: a vendor byte", true, 0x1C0, old, TagSetup::Plain, L"42", E_INVALIDARG, 0},
        {"on: no time", true, OPC_QUALITY_GOOD, noTime, TagSetup::Plain, L"42", E_INVALIDARG, 0},
        {"on: no time, read only", true, none, noTime, TagSetup::ReadOnly, L"42", E_INVALIDARG, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        plant.configuration.AllowClientQualityWrites(row.allowed);
        tag->SetAccessMode(1);
        tag->ForceQuality(kNotForced);
        tag->SetValue(Variant::FromDouble(1), OPC_QUALITY_GOOD, before);
        if (row.setup == TagSetup::ReadOnly) tag->SetAccessMode(0);
        if (row.setup == TagSetup::Forced) tag->ForceQuality(OPC_QUALITY_OUT_OF_SERVICE);
        const DWORD changes = tag->GetChangeCount();
        const ULONGLONG start = FileTimeToU64(FileTimeNow());

        EXPECT_EQ(row.expected, plant.Write(row.value, row.quality, row.timestamp));

        const TagSettings after = tag->GetSettings();
        if (FAILED(row.expected)) {
            EXPECT_EQ(changes, tag->GetChangeCount()) << "nothing written";
            EXPECT_EQ(1, AsDouble(after.value));
            EXPECT_EQ(OPC_QUALITY_GOOD, after.quality);
            EXPECT_TRUE(before == after.timestamp);
            continue;
        }
        EXPECT_EQ(row.kept, AsDouble(after.value));
        EXPECT_EQ(row.quality.value_or(OPC_QUALITY_GOOD), after.quality);
        if (row.timestamp) {
            EXPECT_TRUE(*row.timestamp == after.timestamp);
        } else {
            EXPECT_GE(FileTimeToU64(after.timestamp), start);
        }
        if (row.setup == TagSetup::Forced) {
            // The forcing wins while it stands; the written quality is the tag's own beneath it.
            EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, tag->GetQuality());
            tag->ForceQuality(kNotForced);
        }
        EXPECT_EQ(row.quality.value_or(OPC_QUALITY_GOOD), tag->GetQuality());
    }
}

TEST(QualifiedWriteTest, ATagOutsideAConfigurationAndAControlItemKeepNoWrittenQuality) {
    const WORD quality = OPC_QUALITY_UNCERTAIN;
    // In a device that no configuration holds: nothing allows it.
    PlainDevice loose;
    ToviTag* tag = NewTag(L"Loose");
    ASSERT_TRUE(loose.AddTag(tag));
    Variant value = Variant::FromDouble(5);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, tag->ClientWriteVqt(value, &quality, nullptr));
    ConfigurationProbe probe(loose);
    probe.configuration.AllowClientQualityWrites(true);
    EXPECT_EQ(S_OK, tag->ClientWriteVqt(value, &quality, nullptr));
    EXPECT_EQ(OPC_QUALITY_UNCERTAIN, tag->GetQuality());

    // A control item's value is its device's setting: it has no quality of its own to take.
    Plant plant;
    plant.configuration.EnableFaultControl(true);
    plant.configuration.AllowClientQualityWrites(true);
    OPCS_Tag* control = plant.configuration.FindTag(L"Plant._Control.Quality");
    ASSERT_NE(nullptr, control);
    Variant forced = Variant::FromLong(OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, control->ClientWriteVqt(forced, &quality, nullptr));
    EXPECT_EQ(kNotForced, plant.device->GetForcedQuality());
    forced = Variant::FromLong(OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(S_OK, control->ClientWriteVqt(forced, nullptr, nullptr));
    EXPECT_EQ(OPC_QUALITY_COMM_FAILURE, plant.device->GetForcedQuality());
}

// Recorded at the written time with the written quality, told to the
// configuration's observer, and replaced by the next simulated value.
TEST(QualifiedWriteTest, TheWrittenQualityAndTimeAreRecordedToldAndReplacedByTheNextSignalStep) {
    struct Observer final : TagChangeObserver {
        std::vector<OPCS_Tag*> changed;
        void TagChanged(OPCS_Tag* tag) noexcept override { changed.push_back(tag); }
        void ShapeChanged() noexcept override {}
    } observer;
    Plant plant;
    ToviTag* tag = plant.level;
    plant.configuration.AllowClientQualityWrites(true);
    plant.configuration.SetTagChangeObserver(&observer);
    tag->SetHistorize(true);
    // An hour back: within the history's span.
    const FILETIME old = U64ToFileTime(FileTimeToU64(FileTimeNow()) - 36000000000ull);
    const WORD quality = OPC_QUALITY_SENSOR_CAL;
    Variant value = Variant::FromDouble(64);
    observer.changed.clear();
    ASSERT_EQ(S_OK, tag->ClientWriteVqt(value, &quality, &old));
    EXPECT_EQ(std::vector<OPCS_Tag*>{tag}, observer.changed);
    std::vector<HistorySample> samples;
    tag->History()->ReadForward(0, kHistoryTimeMax, 0, 100, samples);
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(static_cast<HistoryTime>(FileTimeToU64(old)), samples.front().time) << "the oldest sample";
    EXPECT_EQ(64, samples.front().number);
    EXPECT_EQ(quality, samples.front().quality);
    plant.configuration.SetTagChangeObserver(nullptr);

    // A simulated tag: its next step writes Good and now, as after any write.
    tag->SetSimulation(TagSimulation{true, kSimulateRamp, 0, 10});
    std::vector<OPCS_Tag*> simulated{tag};
    SimulationSchedule schedule;
    schedule.Rebuild(simulated, 0);
    schedule.RunDue(0);
    ASSERT_EQ(S_OK, tag->ClientWriteVqt(value, &quality, &old));
    EXPECT_EQ(quality, tag->GetQuality());
    schedule.RunDue(100);
    EXPECT_EQ(OPC_QUALITY_GOOD, tag->GetQuality());
    EXPECT_GT(FileTimeToU64(tag->GetTimestamp()), FileTimeToU64(old));
}
