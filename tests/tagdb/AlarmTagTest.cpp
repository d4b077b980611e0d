// Alarms on live tags: every road a value or quality takes reaches the
// condition, the observer hears each event, the configuration's commands and
// snapshot, the last event of a tag that goes, and the poll request.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <vector>

#include "FileTime.h"
#include "ForcedQuality.h"
#include "OpcConstants.h"
#include "ScratchLog.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"

namespace {
class Recorder : public AlarmObserver {
public:
    void AlarmRaised(const AlarmEvent& event) noexcept override {
        ScopedLock guard(m_lock);
        m_events.push_back(event);
    }
    std::vector<AlarmEvent> Take() {
        ScopedLock guard(m_lock);
        return std::exchange(m_events, {});
    }

private:
    CriticalSection m_lock;
    std::vector<AlarmEvent> m_events;
};

const char* CauseText(AlarmEventCause cause) {
    switch (cause) {
    case AlarmEventCause::Evaluated: return "Evaluated";
    case AlarmEventCause::Acknowledged: return "Acknowledged";
    case AlarmEventCause::Confirmed: return "Confirmed";
    case AlarmEventCause::Commented: return "Commented";
    case AlarmEventCause::Enabled: return "Enabled";
    case AlarmEventCause::Disabled: return "Disabled";
    case AlarmEventCause::SettingsChanged: return "SettingsChanged";
    case AlarmEventCause::Removed: return "Removed";
    }
    return "?";
}

// "Cause Item: message q=quality" for each event, joined by " | ".
std::string Describe(const std::vector<AlarmEvent>& events) {
    std::string text;
    for (const AlarmEvent& e : events) {
        if (!text.empty()) text += " | ";
        const std::wstring message = e.state.message;
        text += std::string(CauseText(e.cause)) + " " + std::string(message.begin(), message.end()) + " q" +
                std::to_string(e.state.quality);
    }
    return text;
}

AlarmSettings HighAt(double high) {
    AlarmSettings s;
    s.kind = AlarmKind::ExclusiveLimit;
    s.high = high;
    return s;
}

// The plant, in a configuration the recorder listens to.
struct AlarmPlant : PressurePlant {
    Recorder recorder;
    AlarmPlant() { configuration.SetAlarmObserver(&recorder); }
    ~AlarmPlant() { configuration.SetAlarmObserver(nullptr); }
};
}  // namespace

TEST(AlarmTagTest, EveryRoadOfValueAndQualityReachesTheCondition) {
    AlarmPlant plant;
    ToviTag* tag = plant.pressure;
    struct Step {
        const char* what;
        std::function<void()> act;
        const char* events;
    };
    const Step steps[] = {
        {"alarm set", [&] { ASSERT_TRUE(tag->SetAlarmSettings(HighAt(80))); },
         "SettingsChanged Plant.Boiler.Pressure Normal q192"},
        {"the same again", [&] { ASSERT_TRUE(tag->SetAlarmSettings(HighAt(80))); }, ""},
        {"a client write",
         [&] {
             Variant v = Variant::FromLong(90);
             ASSERT_TRUE(tag->WriteFromClient(v));
         },
         "Evaluated Plant.Boiler.Pressure High q192"},
        {"a move inside the state", [&] { tag->SetValueNow(Variant::FromDouble(91)); }, ""},
        {"the tag forced", [&] { tag->ForceQuality(OPC_QUALITY_COMM_FAILURE); },
         "Evaluated Plant.Boiler.Pressure High q24"},
        {"its group forced under the tag's own", [&] { plant.boiler->ForceQuality(OPC_QUALITY_UNCERTAIN); }, ""},
        {"the tag's forcing gone: the group's shows", [&] { tag->ForceQuality(kNotForced); },
         "Evaluated Plant.Boiler.Pressure High q64"},
        {"the device forced under the group's", [&] { plant.device->ForceQuality(OPC_QUALITY_OUT_OF_SERVICE); }, ""},
        {"the group's forcing gone", [&] { plant.boiler->ForceQuality(kNotForced); },
         "Evaluated Plant.Boiler.Pressure High q28"},
        {"the device's forcing gone", [&] { plant.device->ForceQuality(kNotForced); },
         "Evaluated Plant.Boiler.Pressure High q192"},
        {"a volatile tag cleared: no number, but a quality",
         [&] {
             tag->SetVolatile(true);
             tag->InvalidateIfVolatile(OPC_QUALITY_NOT_CONNECTED);  // as a device's run start does
         },
         "Evaluated Plant.Boiler.Pressure High q8"},
        {"a replayed value", [&] { tag->SetValue(Variant::FromDouble(10), OPC_QUALITY_GOOD, FileTimeNow()); },
         "Evaluated Plant.Boiler.Pressure Normal q192"},
        {"the quality alone", [&] { tag->SetQuality(OPC_QUALITY_UNCERTAIN); },
         "Evaluated Plant.Boiler.Pressure Normal q64"},
        {"the tag dialog, alarm kept",
         [&] {
             TagEdit edit;
             edit.type = VT_R8;
             edit.value = Variant::FromDouble(85);
             edit.alarm = tag->GetAlarmSettings();
             edit.alarm.message = L"Pressure high";
             tag->ApplyEdit(edit);
         },
         "SettingsChanged Pressure high q192"},
        {"refused settings change nothing",
         [&] { ASSERT_FALSE(tag->SetAlarmSettings(HighAt(std::numeric_limits<double>::infinity()))); }, ""},
        {"retyped to a string", [&] { tag->SetDataType(VT_BSTR); }, "Removed Pressure high q192"},
        {"a string change", [&] { tag->SetValueNow(Variant::FromString(L"x")); }, ""},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(step.events, Describe(plant.recorder.Take())) << step.what;
    }
    EXPECT_FALSE(tag->HasAlarm());
    EXPECT_EQ(AlarmKind::None, tag->GetAlarmSettings().kind);
}

TEST(AlarmTagTest, CommandsSnapshotAndTheLastEventOfATagThatGoes) {
    ScratchLog log;
    AlarmPlant plant;
    ToviTag* other = NewTag(L"Level");
    ToviTag* plain = NewTag(L"Plain");
    plant.configuration.AddTagTo(plant.device, other);
    plant.configuration.AddTagTo(plant.device, plain);
    other->SetValueNow(Variant::FromDouble(1));
    ASSERT_TRUE(plant.pressure->SetAlarmSettings(HighAt(80)));
    ASSERT_TRUE(other->SetAlarmSettings(HighAt(80)));
    plant.pressure->SetValueNow(Variant::FromDouble(99));
    plant.recorder.Take();

    std::vector<AlarmEvent> all = plant.configuration.AlarmSnapshot(false);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ(L"Plant.Level", all[0].itemId);  // a group's tags come before its groups'
    EXPECT_EQ(L"Plant.Boiler.Pressure", all[1].itemId);
    std::vector<AlarmEvent> retained = plant.configuration.AlarmSnapshot(true);
    ASSERT_EQ(1u, retained.size());
    EXPECT_EQ(L"Plant.Boiler.Pressure High", retained[0].state.message);
    const std::uint64_t latest = retained[0].number;

    Configuration& c = plant.configuration;
    const std::wstring id = L"plant.boiler.PRESSURE";  // item IDs in any letter case
    struct Command {
        AlarmCommandKind kind;
        std::uint64_t number;
        AlarmCommandResult result;
        const char* events;
    };
    const Command commands[] = {
        {AlarmCommandKind::Acknowledge, latest - 1, AlarmCommandResult::EventIdUnknown, ""},
        {AlarmCommandKind::Acknowledge, latest, AlarmCommandResult::Done,
         "Acknowledged Plant.Boiler.Pressure High q192"},
        {AlarmCommandKind::Acknowledge, latest, AlarmCommandResult::EventIdUnknown, ""},
        {AlarmCommandKind::Disable, 0, AlarmCommandResult::Done, "Disabled Plant.Boiler.Pressure High q192"},
        {AlarmCommandKind::Disable, 0, AlarmCommandResult::AlreadyDisabled, ""},
        {AlarmCommandKind::Enable, 0, AlarmCommandResult::Done, "Enabled Plant.Boiler.Pressure High q192"},
    };
    for (const Command& command : commands) {
        EXPECT_EQ(command.result, c.AlarmCommand(id, command.kind, command.number, L"seen", L"anna"));
        EXPECT_EQ(command.events, Describe(plant.recorder.Take())) << static_cast<int>(command.kind);
    }
    EXPECT_TRUE(plant.pressure->GetAlarmSettings().enabled);
    // One line for each command done, none for one refused.
    const std::string text = log.Text();
    size_t acknowledged = 0;
    for (size_t at = text.find("Alarm acknowledged"); at != std::string::npos; at = text.find("Alarm ack", at + 1)) {
        ++acknowledged;
    }
    EXPECT_EQ(1u, acknowledged) << text;
    for (const char* line : {"Alarm acknowledged - Item: Plant.Boiler.Pressure User: anna",
                             "Alarm disabled - Item: Plant.Boiler.Pressure User: anna",
                             "Alarm enabled - Item: Plant.Boiler.Pressure User: anna"}) {
        EXPECT_TRUE(log.Contains(line)) << line << "\n" << text;
    }
    EXPECT_EQ(L"anna", c.AlarmSnapshot(true).at(0).state.clientUserId);
    EXPECT_EQ(AlarmCommandResult::NotAlarmed,
              c.AlarmCommand(L"Plant.Plain", AlarmCommandKind::Acknowledge, 0, L"", L"anna"));
    EXPECT_EQ(AlarmCommandResult::NotAlarmed,
              c.AlarmCommand(L"Plant.Nothing", AlarmCommandKind::Acknowledge, 0, L"", L"anna"));

    // The last events name the tags as they were.
    EXPECT_EQ(Configuration::DeleteResult::Deleted, c.DeleteItem(plant.boiler));
    EXPECT_EQ("Removed Plant.Boiler.Pressure High q192", Describe(plant.recorder.Take()));
    ASSERT_TRUE(plant.device->RemoveTag(other));
    delete other;
    EXPECT_EQ("Removed Plant.Level Normal q192", Describe(plant.recorder.Take()));
    EXPECT_TRUE(c.AlarmSnapshot(false).empty());
    ToviTag* last = NewTag(L"Last");
    c.AddTagTo(plant.device, last);
    ASSERT_TRUE(last->SetAlarmSettings(HighAt(80)));
    plant.recorder.Take();
    c.Clear();
    EXPECT_EQ("Removed Plant.Last Normal q64", Describe(plant.recorder.Take()));
}

TEST(AlarmTagTest, EnabledAlarmsKeepTheirDevicePollingWhileAlarmPollingIsOn) {
    AlarmPlant plant;
    ToviTag* level = NewTag(L"Level");
    plant.configuration.AddTagTo(plant.device, level);
    auto requests = [&] { return plant.device->GetPollRequests(kPollAlarms); };
    ASSERT_TRUE(plant.pressure->SetAlarmSettings(HighAt(80)));
    EXPECT_EQ(0u, requests()) << "off until the program serves";
    plant.configuration.SetAlarmPolling(true);
    EXPECT_EQ(1u, requests());
    AlarmSettings disabled = HighAt(80);
    disabled.enabled = false;
    ASSERT_TRUE(level->SetAlarmSettings(disabled));
    EXPECT_EQ(1u, requests());
    const std::wstring id = L"Plant.Boiler.Pressure";
    ASSERT_EQ(AlarmCommandResult::Done, plant.configuration.AlarmCommand(id, AlarmCommandKind::Disable, 0, L"", L"a"));
    EXPECT_EQ(0u, requests());
    ASSERT_EQ(AlarmCommandResult::Done,
              plant.configuration.AlarmCommand(L"Plant.Level", AlarmCommandKind::Enable, 0, L"", L"a"));
    EXPECT_EQ(1u, requests());
    ASSERT_EQ(AlarmCommandResult::Done, plant.configuration.AlarmCommand(id, AlarmCommandKind::Enable, 0, L"", L"a"));
    EXPECT_EQ(1u, requests()) << "one request for the device, however many alarms";
    level->SetDataType(VT_BSTR);  // the alarm goes with its last event
    plant.pressure->SetAlarmSettings(AlarmSettings{});
    EXPECT_EQ(0u, requests());
    ASSERT_TRUE(plant.pressure->SetAlarmSettings(HighAt(80)));
    EXPECT_EQ(1u, requests());
    plant.configuration.SetAlarmPolling(false);
    EXPECT_EQ(0u, requests());
    plant.configuration.SetAlarmPolling(true);
    EXPECT_EQ(1u, requests());
    // The operator's stop stops what alarms ask too, so that the device can be edited, until the next start.
    plant.device->SetOperatorPolling(false);
    EXPECT_EQ(0u, requests());
    EXPECT_FALSE(plant.device->PollsByItself());
    plant.pressure->SetAlarmSettings(AlarmSettings{});
    ASSERT_TRUE(plant.pressure->SetAlarmSettings(HighAt(80)));
    EXPECT_EQ(0u, requests()) << "an alarm set meanwhile asks nothing";
    plant.device->SetOperatorPolling(true);
    EXPECT_EQ(1u, requests());
    EXPECT_EQ(1u, plant.device->GetPollRequests(kPollOperator));
    plant.device->SetOperatorPolling(false);
    plant.configuration.SetAlarmPolling(false);  // the run ends before the tags go
}
