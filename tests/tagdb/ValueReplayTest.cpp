#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AutoResetEvent.h"
#include "CsvFields.h"
#include "FileTime.h"
#include "HistorySeries.h"
#include "TagDbFixtures.h"
#include "TempFolder.h"
#include "Thread.h"
#include "ToviDevice.h"
#include "ValueReplay.h"

namespace {
// A configuration with Plant.Flow (Double), Plant.Count (Integer) and Plant.Name (String).
struct ReplayPlant {
    ReplayPlant() {
        auto* device = new ToviDevice;
        device->Rename(L"Plant");
        configuration.AddDevice(device);
        flow = Add(device, L"Flow", VT_R8);
        count = Add(device, L"Count", VT_I4);
        name = Add(device, L"Name", VT_BSTR);
    }
    ~ReplayPlant() { configuration.Replay().Stop(); }
    ToviTag* Add(OPCS_Device* device, const std::wstring& tagName, VARTYPE type) {
        ToviTag* tag = NewTag(tagName);
        tag->SetDataType(type);
        configuration.AddTagTo(device, tag);
        return tag;
    }
    std::wstring Write(const std::string& rows) {
        const std::wstring path = folder.File(L"replay" + std::to_wstring(++files) + L".csv");
        std::ofstream(std::filesystem::path(path), std::ios::binary) << rows;
        return path;
    }
    // Starts and waits for the end; what the end handler was told.
    ReplayEnd Play(const std::wstring& path, ReplayOptions options) {
        EXPECT_TRUE(configuration.Replay().Start(path, options, [this](ReplayEnd e) { Ended(e); }).Passed());
        EXPECT_EQ(WaitResult::Signalled, ended.Wait(10000));
        return end;
    }
    void Ended(ReplayEnd e) {
        end = e;
        ended.Set();
    }
    Configuration configuration;
    TempFolder folder;
    ToviTag* flow;
    ToviTag* count;
    ToviTag* name;
    int files = 0;
    AutoResetEvent ended;
    ReplayEnd end = ReplayEnd::Failed;
};

std::string At(int seconds) { return "2026-12-07T10:15:" + std::to_string(10 + seconds) + ".0000000Z"; }
}  // namespace

TEST(ValueReplayTest, CheckNamesEveryBadRowByLineAndNothingIsApplied) {
    struct Case {
        std::string rows;
        std::vector<std::wstring> errors;  // the start of each error, in order
    };
    const std::string t0 = At(0), t1 = At(1);
    const std::vector<Case> cases = {
        {"", {L"the file has no rows"}},
        {"timestamp,itemid,value\r\n\r\n", {L"the file has no rows"}},
        {"Timestamp,ItemID,Value\r\nT,Plant.Nope,1\r\n",
         {L"line 2: the timestamp \"T\" is not a UTC time like 2026-12-07T10:15:00.0000000Z; unknown item ID "
          L"\"Plant.Nope\""}},
        {(t0 + ",Plant.Flow,abc\n" + t0 + ",Plant.Count,1.5e99\n" + t0 + ",Plant.Name,any text\n"),
         {L"line 1: the value \"abc\" does not convert to Double", L"line 2: the value \"1.5e99\" does not convert"}},
        {(t0 + ",Plant.Flow,1,65536\n" + t0 + ",Plant.Flow,1,-1\n" + t0 + ",Plant.Flow,1,\n" + t0 +
          ",Plant.Flow,1,0\n"),
         {L"line 1: the quality \"65536\"", L"line 2: the quality \"-1\""}},
        {(t1 + ",Plant.Flow,1\n" + t0 + ",Plant.Flow,2\n" + t0 + ",Plant.Flow,3\n"),
         {L"line 2: timestamps out of order"}},
        // A quoted line break moves the line numbers of the rows after it.
        {(t0 + ",Plant.Flow\n" + t0 + ",Plant.Name,\"two\nlines\"\n" + t0 + ",Plant.Flow,1,192,extra\n"),
         {L"line 1: 2 fields where a row has 3 or 4", L"line 4: 5 fields"}},
        {(t0 + ",Plant.Name,\"never closed\n"), {L"line 1: a quoted field is never closed"}},
    };
    for (const Case& c : cases) {
        ReplayPlant plant;
        const std::wstring path = plant.Write(c.rows);
        const ReplayCheck check = plant.configuration.Replay().Start(path, ReplayOptions{1000, false});
        ASSERT_EQ(c.errors.size(), check.errors.size()) << c.rows << "\n" << check.Text();
        for (size_t i = 0; i < c.errors.size(); ++i)
            EXPECT_EQ(0u, check.errors[i].rfind(c.errors[i], 0)) << c.rows << "\n" << check.errors[i];
        EXPECT_FALSE(plant.configuration.Replay().IsPlaying());
        EXPECT_EQ(VT_EMPTY, plant.flow->GetValue().Type()) << c.rows;
    }
    ReplayPlant plant;
    const ReplayCheck missing = plant.configuration.Replay().Check(plant.folder.File(L"missing.csv"));
    ASSERT_EQ(1u, missing.errors.size());
    EXPECT_EQ(0u, missing.errors[0].rfind(L"the file cannot be read", 0));
    std::string many;
    for (int i = 0; i < 150; ++i) many += At(0) + ",Plant.Gone,1\n";
    const ReplayCheck capped = plant.configuration.Replay().Check(plant.Write(many));
    EXPECT_EQ(ReplayCheck::kMostErrors, capped.errors.size());
    EXPECT_EQ(50u, capped.moreErrors);
    EXPECT_EQ(0u, capped.errors.back().rfind(L"line 100: ", 0));
}

TEST(ValueReplayTest, RowsReachTheTagsWithTheirValuesQualitiesAndPace) {
    ReplayPlant plant;
    // Two seconds recorded, played ten times as fast: at least 200 ms.
    const std::wstring path = plant.Write("Timestamp,ItemID,Value,Quality\r\n" + At(0) + ",Plant.Flow,1.5\r\n" + At(0) +
                                          ",Plant.Count,7,64\r\n" + At(1) + ",plant.flow,2.5,\r\n" + At(2) +
                                          ",Plant.Name,\"a, b\"\r\n" + At(2) + ",Plant.Flow,3.25,216\r\n");
    const FILETIME before = FileTimeNow();
    const ULONGLONG started = TickCountMs();
    EXPECT_EQ(ReplayEnd::Finished, plant.Play(path, ReplayOptions{10, false}));
    EXPECT_GE(TickCountMs() - started, 190u);
    EXPECT_DOUBLE_EQ(3.25, V_R8(plant.flow->GetValue().Get()));  // the last of its rows
    EXPECT_EQ(216, plant.flow->GetQuality());
    EXPECT_EQ(7, V_I4(plant.count->GetValue().Get()));
    EXPECT_EQ(64, plant.count->GetQuality());
    EXPECT_EQ(std::wstring(L"a, b"), V_BSTR(plant.name->GetValue().Get()));
    EXPECT_EQ(192, plant.name->GetQuality());
    // Stamped when played, the later rows later.
    EXPECT_GE(FileTimeToU64(plant.count->GetTimestamp()), FileTimeToU64(before));
    EXPECT_GE(FileTimeToU64(plant.flow->GetTimestamp()), FileTimeToU64(plant.count->GetTimestamp()) + 1900000u);
    const ReplayProgress progress = plant.configuration.Replay().Progress();
    EXPECT_EQ(5u, progress.rowsPlayed);
    EXPECT_EQ(5u, progress.rowsInFile);
    EXPECT_EQ(0u, progress.rowsSkipped);
    EXPECT_FALSE(progress.playing);
}

TEST(ValueReplayTest, LoopRepeatsOneReplayAtATimeAndStopEndsIt) {
    ReplayPlant plant;
    ValueReplay& replay = plant.configuration.Replay();
    const std::wstring path = plant.Write(At(0) + ",Plant.Count,1\n" + At(1) + ",Plant.Count,2\n");
    ASSERT_TRUE(replay.Start(path, ReplayOptions{100, true}, [&](ReplayEnd e) { plant.Ended(e); }).Passed());
    EXPECT_FALSE(replay.Start(path, ReplayOptions{}).Passed());
    const ULONGLONG started = TickCountMs();
    while (replay.Progress().loopsCompleted < 3 && TickCountMs() - started < 10000) Sleep(5);
    EXPECT_GE(replay.Progress().loopsCompleted, 3u);
    EXPECT_TRUE(replay.IsPlaying());
    replay.Stop();
    EXPECT_EQ(WaitResult::Signalled, plant.ended.Wait(0));
    EXPECT_EQ(ReplayEnd::Stopped, plant.end);

    // A row an hour away: Stop does not wait for it.
    const std::wstring late = plant.Write(At(0) + ",Plant.Flow,1\n2026-12-07T11:15:10.0000000Z,Plant.Flow,2\n");
    ASSERT_TRUE(replay.Start(late, ReplayOptions{}, [&](ReplayEnd e) { plant.Ended(e); }).Passed());
    while (replay.Progress().rowsPlayed < 1 && TickCountMs() - started < 10000) Sleep(5);
    const ULONGLONG stopping = TickCountMs();
    replay.Stop();
    EXPECT_LT(TickCountMs() - stopping, 1000u);
    EXPECT_EQ(ReplayEnd::Stopped, plant.end);
    EXPECT_DOUBLE_EQ(1, V_R8(plant.flow->GetValue().Get()));
    EXPECT_FALSE(replay.Start(late, ReplayOptions{0, false}).Passed());
}

TEST(ValueReplayTest, TagDeletedWhilePlayingIsSkipped) {
    ReplayPlant plant;
    const std::wstring path =
        plant.Write(At(0) + ",Plant.Flow,1\n" + At(1) + ",Plant.Name,gone\n" + At(2) + ",Plant.Flow,2\n");
    ASSERT_TRUE(plant.configuration.Replay()
                    .Start(path, ReplayOptions{4, false}, [&](ReplayEnd e) { plant.Ended(e); })
                    .Passed());
    {
        ScopedLock guard(plant.configuration.Lock());
        ASSERT_TRUE(plant.name->GetOwner()->RemoveTag(plant.name));
        delete plant.name;
    }
    EXPECT_EQ(WaitResult::Signalled, plant.ended.Wait(10000));
    EXPECT_EQ(ReplayEnd::Finished, plant.end);
    EXPECT_DOUBLE_EQ(2, V_R8(plant.flow->GetValue().Get()));
    EXPECT_EQ(1u, plant.configuration.Replay().Progress().rowsSkipped);
}

namespace {
std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The history of a tag from At(0) to At(49): what a load wrote, without the sample recording began with.
std::vector<HistorySample> Loaded(OPCS_Tag* tag) {
    std::vector<HistorySample> out;
    FILETIME from{}, to{};
    ParseCsvTime(Wide(At(0)), from);
    ParseCsvTime(Wide(At(49)), to);
    if (auto series = tag->History()) {
        series->ReadForward(static_cast<HistoryTime>(FileTimeToU64(from)), static_cast<HistoryTime>(FileTimeToU64(to)),
                            0, 1000, out);
    }
    return out;
}

HistorySample Sample(int seconds, double number, const wchar_t* text, HistoryQuality quality) {
    FILETIME time{};
    ParseCsvTime(Wide(At(seconds)), time);
    return HistorySample{static_cast<HistoryTime>(FileTimeToU64(time)), number, text, quality};
}

// Flow, Name and Pump (Bool) historized, Count not; the history's clock at At(45).
struct HistoryPlant : ReplayPlant {
    HistoryPlant() {
        pump = Add(configuration.FindDevice(L"Plant"), L"Pump", VT_BOOL);
        flow->SetValueNow(Variant::FromDouble(7));
        for (ToviTag* tag : {flow, name, pump}) tag->SetHistorize(true);
        const HistoryTime now = Sample(45, 0, L"", 0).time;
        configuration.History().SetClock([now] { return now; });
    }
    ToviTag* pump;
};
}  // namespace

TEST(ValueReplayTest, LoadIntoHistoryWritesEveryRowAtItsTimeOrNothing) {
    struct Case {
        std::string rows;
        std::vector<std::wstring> errors;  // the start of each
        std::vector<HistorySample> flow, name, pump;
        std::uint64_t values, tags;
    };
    const std::string good = "Timestamp,ItemID,Value,Quality\r\n" + At(0) + ",Plant.Flow,1.5\r\n" + At(1) +
                             ",plant.flow,2.5,64\r\n" + At(2) + ",Plant.Name,\"a, b\"\r\n" + At(2) +
                             ",Plant.Pump,true,216\r\n";
    const std::vector<Case> cases = {
        {good,
         {},
         {Sample(0, 1.5, L"", 192), Sample(1, 2.5, L"", 64)},
         {Sample(2, 0, L"a, b", 192)},
         {Sample(2, 1, L"", 216)},
         4,
         3},
        // All or nothing: the good rows before a bad one are not written either.
        {good + At(3) + ",Plant.Count,5\r\n" + At(4) + ",Plant.Name,x\r\n" + At(4) + ",Plant.Count,6\r\n",
         {L"line 6: the tag \"Plant.Count\" is not historized", L"line 8: the tag \"Plant.Count\""},
         {},
         {},
         {},
         0,
         0},
        {At(0) + ",Plant.Flow,1\n2026-12-05T10:15:00.0000000Z,Plant.Flow,2\n",
         {L"line 2: timestamps out of order"},
         {},
         {},
         {},
         0,
         0},
        {"2026-12-05T10:15:00.0000000Z,Plant.Flow,2\n" + At(0) + ",Plant.Flow,1\n",
         {L"line 1: the timestamp 2026-12-05T10:15:00.0000000Z is older than the history keeps"},
         {},
         {},
         {},
         0,
         0},
        // The play's own check comes first, with its own texts.
        {At(0) + ",Plant.Flow,abc\n" + At(1) + ",Plant.Count,1\n",
         {L"line 1: the value \"abc\" does not convert to Double"},
         {},
         {},
         {},
         0,
         0},
    };
    for (const Case& c : cases) {
        HistoryPlant plant;
        const FILETIME stamp = plant.flow->GetTimestamp();
        const ReplayLoad load = plant.configuration.Replay().LoadIntoHistory(plant.Write(c.rows));
        ASSERT_EQ(c.errors.size(), load.check.errors.size()) << c.rows << "\n" << load.check.Text();
        for (size_t i = 0; i < c.errors.size(); ++i)
            EXPECT_EQ(0u, load.check.errors[i].rfind(c.errors[i], 0)) << c.rows << "\n" << load.check.errors[i];
        EXPECT_EQ(c.flow, Loaded(plant.flow)) << c.rows;
        EXPECT_EQ(c.name, Loaded(plant.name)) << c.rows;
        EXPECT_EQ(c.pump, Loaded(plant.pump)) << c.rows;
        EXPECT_EQ(c.values, load.values) << c.rows;
        EXPECT_EQ(c.tags, load.tags) << c.rows;
        EXPECT_EQ(0u, load.notKept) << c.rows;
        // The tags' own values are not touched.
        EXPECT_DOUBLE_EQ(7, V_R8(plant.flow->GetValue().Get())) << c.rows;
        EXPECT_EQ(FileTimeToU64(stamp), FileTimeToU64(plant.flow->GetTimestamp())) << c.rows;
        EXPECT_EQ(VT_EMPTY, plant.pump->GetValue().Type()) << c.rows;
        EXPECT_FALSE(plant.configuration.Replay().IsPlaying());
    }
}

TEST(ValueReplayTest, ALoadAgainReplacesTheSamplesAtItsTimes) {
    HistoryPlant plant;
    const std::wstring first = plant.Write(At(0) + ",Plant.Flow,1\n" + At(1) + ",Plant.Flow,2\n");
    const std::wstring second = plant.Write(At(1) + ",Plant.Flow,5,0\n" + At(2) + ",Plant.Flow,6\n");
    EXPECT_EQ(2u, plant.configuration.Replay().LoadIntoHistory(first).values);
    EXPECT_EQ(2u, plant.configuration.Replay().LoadIntoHistory(first).values);
    const std::vector<HistorySample> once = {Sample(0, 1, L"", 192), Sample(1, 2, L"", 192)};
    EXPECT_EQ(once, Loaded(plant.flow));
    EXPECT_EQ(2u, plant.configuration.Replay().LoadIntoHistory(second).values);
    const std::vector<HistorySample> merged = {Sample(0, 1, L"", 192), Sample(1, 5, L"", 0), Sample(2, 6, L"", 192)};
    EXPECT_EQ(merged, Loaded(plant.flow));
}
