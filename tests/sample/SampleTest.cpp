// The sample configuration a first run opens: what its writer writes, byte for byte, so that neither
// changes alone; every feature it is there to show; its values moving for clients of the real program.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "Configuration.h"
#include "ForcedQuality.h"
#include "OpcConstants.h"
#include "ServerProcess.h"
#include "TempFolder.h"
#include "ToolProcess.h"
#include "ToolUnderTest.h"
#include "ToviDevice.h"
#include "TvfBuilder.h"

TEST(SampleTest, IsWhatItsWriterWritesLoadsCleanAndShowsEveryFeature) {
    TempFolder scratch;
    DWORD code = 99;
    ASSERT_TRUE(RunWorker(TOVI_SAMPLE_WRITER, (L"\"" + scratch.File(L"Sample.tvf") + L"\"").c_str(), 60000, &code) &&
                code == 0);
    EXPECT_TRUE(ReadBytes(scratch.File(L"Sample.tvf")) == ReadBytes(TOVI_SAMPLE_FILE))
        << "regenerate resources/sample/Sample.tvf with sample_configuration and commit both";

    Configuration config;
    const Configuration::LoadOutcome outcome = config.Load(TOVI_SAMPLE_FILE, {});
    ASSERT_TRUE(outcome.loaded && !outcome.truncated && outcome.renames.empty());  // opened without a word
    std::set<int> kinds, periods, typesAndAccess, forced;
    int outOfService = 0, delayed = 0, deepest = 0;
    auto walk = [&](auto& self, OPCS_TagGroup* group, int depth) -> void {
        deepest = std::max(deepest, depth);
        for (OPCS_TagGroup* sub : group->SnapshotGroups()) self(self, sub, depth + 1);
        for (OPCS_Tag* tag : group->SnapshotTags()) {
            EXPECT_GT(tag->GetDescription().size(), 10u) << "what it shows";
            typesAndAccess.insert(tag->GetDataType() * 2 + static_cast<int>(tag->GetAccessMode()));
            if (tag->GetForcedQuality() != kNotForced) forced.insert(tag->GetForcedQuality() & OPC_QUALITY_MASK);
            const TagSimulation signal = tag->GetSimulation();
            if (!signal.enabled) continue;
            kinds.insert(static_cast<int>(signal.kind));
            periods.insert(static_cast<int>(signal.period));
            // Between its tag's limits, the engineering range clients see.
            EXPECT_TRUE(tag->GetDataType() == VT_BOOL || tag->AreValueLimitsSet());
        }
    };
    Dll<OPCS_Device*> devices;
    config.CopyDeviceList(devices);
    for (OPCS_Device* device : devices) {
        device->ResumeOperatorPolling();  // as when served
        EXPECT_TRUE(device->PollsOnOpen());
        outOfService |= !device->IsInService();
        delayed |= device->GetResponseDelay() > 0;
        walk(walk, device, 1);
    }
    EXPECT_EQ(kinds, (std::set<int>{1, 2, 3, 4, 5, 6}));              // ramp, triangle, sine, square, random, count
    EXPECT_EQ(typesAndAccess.size(), 7u * 2);                         // every type, read only and read/write
    EXPECT_TRUE(*periods.begin() == 10 && *periods.rbegin() == 600);  // 1 s to 1 min
    EXPECT_EQ(forced, (std::set<int>{OPC_QUALITY_BAD, OPC_QUALITY_UNCERTAIN}));
    EXPECT_TRUE(outOfService && delayed && deepest >= 3);
    // Polling leaves nothing to save: a client's visit does not make an installed sample the user's own.
    EXPECT_TRUE(WaitFor(10000, [&] {
        return std::all_of(devices.begin(), devices.end(),
                           [](OPCS_Device* d) { return d->GetPollState() > kPollStarting; });
    }));
    EXPECT_FALSE(config.IsModified());
}

// As a first run starts it: values move before any client asks; a client sees every
// kind of signal move, the forced qualities and the device out of service.
TEST(SampleTest, ServedValuesMoveForClientsFromTheStart) {
    KillRunningServers();
    TempFolder scratch;
    ASSERT_TRUE(WriteBytes(scratch.File(L"Sample.tvf"), ReadBytes(TOVI_SAMPLE_FILE)));
    ServerProcess process;
    DWORD code = 99;
    ASSERT_TRUE(process.Start(L"/RegServer") && process.WaitForExit(60000, &code) && code == 0);
    ASSERT_TRUE(process.Start(L"\"" + scratch.File(L"Sample.tvf") + L"\""));
    ASSERT_NE(process.WaitForMainWindow(60000), nullptr);
    // An inactive group asks no device to poll, as a UA client asks none: "Demo.Sine = VALUE  Double  Good  TIME".
    auto sine = [] { return RunTool(L"read Zelkor.Tovi.1 Demo.Sine --async2").out.substr(0, 25); };
    const std::string first = sine();
    Sleep(500);
    EXPECT_NE(sine(), first);

    const ToolRun watch = RunTool(
        L"watch Zelkor.Tovi.1 Demo.Sine Demo.Ramp Demo.Triangle Demo.Square Demo.Random Demo.Count "
        L"Demo.Quality.Bad Demo.Quality.Uncertain DemoOffline.Flow --rate 100 --format csv --for 4");
    EXPECT_EQ(watch.code, 0u) << watch.err;
    std::map<std::string, std::set<std::string>> rows;  // each item's "value,type,quality,quality code"
    std::istringstream lines(watch.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t item = line.find(','), time = line.rfind(',');
        rows[line.substr(0, item)].insert(line.substr(item + 1, time - item - 1));
    }
    for (const char* id : {"Demo.Sine", "Demo.Ramp", "Demo.Triangle", "Demo.Square", "Demo.Random", "Demo.Count"}) {
        EXPECT_GE(rows[id].size(), 2u) << id << "\n" << watch.out;
    }
    for (const auto& [id, quality] :
         std::map<std::string, std::string>{{"Demo.Sine", ",Good,192"},
                                            {"Demo.Quality.Bad", ",Bad (Comm Failure),24"},
                                            {"Demo.Quality.Uncertain", ",Uncertain (Sensor Not Accurate),80"},
                                            {"DemoOffline.Flow", ",Bad (Out of Service),28"}}) {
        EXPECT_FALSE(rows[id].empty()) << id;
        for (const std::string& row : rows[id]) EXPECT_TRUE(row.ends_with(quality)) << id << " " << row;
    }
}
