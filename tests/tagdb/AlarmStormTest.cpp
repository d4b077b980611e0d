// The alarm storm of a polling device: its alarmed tags take turns into their
// alarm and back in tree order, at the rate set and spread over each second;
// off brings them back to normal; tags that leave give their turn on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TagDbFixtures.h"
#include "ToviDevice.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Seen {
    std::wstring itemId;
    bool active;
    std::wstring state;
    Clock::time_point at;
};

class Recorder : public AlarmObserver {
public:
    void AlarmRaised(const AlarmEvent& event) noexcept override {
        if (event.cause != AlarmEventCause::Evaluated) return;
        ScopedLock guard(m_lock);
        m_seen.push_back(Seen{event.itemId, event.state.active,
                              AlarmStateName(event.state.kind, event.state.limits, event.state.active), Clock::now()});
    }
    std::vector<Seen> Copy() {
        ScopedLock guard(m_lock);
        return m_seen;
    }
    size_t Count() {
        ScopedLock guard(m_lock);
        return m_seen.size();
    }
    void Clear() {
        ScopedLock guard(m_lock);
        m_seen.clear();
    }

private:
    CriticalSection m_lock;
    std::vector<Seen> m_seen;
};

AlarmSettings Limits(std::optional<double> highHigh, std::optional<double> high, std::optional<double> low,
                     std::optional<double> lowLow, AlarmKind kind = AlarmKind::ExclusiveLimit) {
    AlarmSettings s;
    s.kind = kind;
    s.highHigh = highHigh;
    s.high = high;
    s.low = low;
    s.lowLow = lowLow;
    s.deadband = 2;
    return s;
}

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Plant { Speed, Spare (no alarm), Off (alarm disabled), Tank { Level, Temp, Door } }:
// four alarmed tags, in tree order Speed, Level, Temp, Door.
struct Plant {
    Configuration configuration;
    Recorder recorder;
    ToviDevice* device = new ToviDevice;
    std::map<std::wstring, ToviTag*> tags;
    const std::vector<std::wstring> order{L"Plant.Speed", L"Plant.Tank.Level", L"Plant.Tank.Temp", L"Plant.Tank.Door"};

    Plant() {
        device->Rename(L"Plant");
        configuration.AddDevice(device);
        ToviTagGroup* tank = NewGroup(L"Tank");
        configuration.AddGroupTo(device, tank);
        struct Row {
            OPCS_TagGroup* owner;
            const wchar_t* name;
            VARTYPE type;
            Variant value;
            AlarmSettings alarm;
        };
        AlarmSettings door;
        door.kind = AlarmKind::OffNormal;
        door.normalValue = Variant::FromBool(true);
        AlarmSettings off = Limits(std::nullopt, 10, std::nullopt, std::nullopt);
        off.enabled = false;
        // Added groups-last is not tree order: the storm must not follow the order of adding.
        const Row rows[] = {
            {tank, L"Level", VT_R8, Variant::FromDouble(50), Limits(95, std::nullopt, std::nullopt, 5)},
            {tank, L"Temp", VT_I4, Variant::FromLong(50), Limits(std::nullopt, std::nullopt, 20, std::nullopt)},
            {tank, L"Door", VT_BOOL, Variant::FromBool(true), door},
            {device, L"Speed", VT_R8, Variant::FromDouble(50), Limits(80.5, 80, 20, 10, AlarmKind::NonExclusiveLimit)},
            {device, L"Spare", VT_R8, Variant::FromDouble(50), AlarmSettings{}},
            {device, L"Off", VT_R8, Variant::FromDouble(50), off},
        };
        for (const Row& row : rows) {
            ToviTag* tag = NewTag(row.name);
            configuration.AddTagTo(row.owner, tag);
            tag->SetDataType(row.type);
            tag->SetVolatile(false);  // a run's start leaves the values alone
            tag->SetValueNow(row.value);
            EXPECT_TRUE(tag->SetAlarmSettings(row.alarm));
            tags[tag->GetItemID()] = tag;
        }
        configuration.SetAlarmObserver(&recorder);
        configuration.SetAlarmPolling(true);
        EXPECT_TRUE(WaitFor([&] { return device->GetPollState() != kPollIdle; }));
    }
    ~Plant() {
        device->SetAlarmStormRate(0);
        configuration.SetAlarmPolling(false);
        configuration.SetAlarmObserver(nullptr);
    }
    std::vector<std::wstring> ActiveTags() {
        std::vector<std::wstring> active;
        for (const AlarmEvent& e : configuration.AlarmSnapshot(false)) {
            if (e.state.active) active.push_back(e.itemId);
        }
        return active;
    }
};

// Checks that `seen` takes the tags of `order` in turn from `next`, each
// alternately into its alarm and back from where `inAlarm` says it stands;
// leaves both where the last event left them. Empty when it does.
std::string FollowTurns(const std::vector<Seen>& seen, const std::vector<std::wstring>& order, size_t& next,
                        std::map<std::wstring, bool>& inAlarm) {
    for (size_t i = 0; i < seen.size(); ++i) {
        const Seen& s = seen[i];
        const std::wstring& expected = order[next];
        if (s.itemId != expected || s.active == inAlarm[expected]) {
            return "event " + std::to_string(i) + ": " + std::string(s.itemId.begin(), s.itemId.end()) + " " +
                   std::string(s.state.begin(), s.state.end()) + ", expected " +
                   std::string(expected.begin(), expected.end()) + (inAlarm[expected] ? " back" : " into alarm");
        }
        inAlarm[expected] = s.active;
        next = (next + 1) % order.size();
    }
    return {};
}
}  // namespace

TEST(AlarmStormTest, TagsTakeTurnsInTreeOrderAndOffBringsThemBackToNormal) {
    Plant plant;
    // A device without alarmed tags, polling by the operator: its storm moves nothing.
    auto* idle = new ToviDevice;
    idle->Rename(L"Idle");
    plant.configuration.AddDevice(idle);
    ToviTag* still = NewTag(L"Still");
    plant.configuration.AddTagTo(idle, still);
    still->SetVolatile(false);
    idle->SetOperatorPolling(true);
    ASSERT_TRUE(WaitFor([&] { return idle->GetPollState() != kPollIdle; }));
    const DWORD stillChanges = still->GetChangeCount();
    idle->SetAlarmStormRate(500);

    plant.recorder.Clear();
    plant.device->SetAlarmStormRate(400);
    ASSERT_TRUE(WaitFor([&] { return plant.recorder.Count() >= 13; }));
    plant.device->SetAlarmStormRate(0);
    ASSERT_TRUE(WaitFor([&] { return plant.ActiveTags().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<Seen> seen = plant.recorder.Copy();

    // The storm's turns, then the way back of those it left in alarm, in order.
    size_t next = 0;
    std::map<std::wstring, bool> inAlarm;
    size_t turns = seen.size();
    while (turns > 0 &&
           !FollowTurns({seen.begin(), seen.begin() + static_cast<long>(turns)}, plant.order, next, inAlarm).empty()) {
        next = 0;
        inAlarm.clear();
        --turns;
    }
    ASSERT_GE(turns, 13u) << FollowTurns(seen, plant.order, next, inAlarm);
    std::vector<std::wstring> back;
    for (const std::wstring& id : plant.order) {
        if (inAlarm[id]) back.push_back(id);
    }
    std::vector<std::wstring> tail;
    for (size_t i = turns; i < seen.size(); ++i) {
        EXPECT_FALSE(seen[i].active);
        tail.push_back(seen[i].itemId);
    }
    EXPECT_EQ(back, tail);

    // Each tag's first limit and its normal, as its events named them.
    const std::map<std::wstring, std::wstring> states{{L"Plant.Speed", L"High"},
                                                      {L"Plant.Tank.Level", L"HighHigh"},
                                                      {L"Plant.Tank.Temp", L"Low"},
                                                      {L"Plant.Tank.Door", L"OffNormal"}};
    for (const Seen& s : seen) {
        EXPECT_EQ(s.active ? states.at(s.itemId) : L"Normal", s.state) << std::string(s.itemId.begin(), s.itemId.end());
    }
    EXPECT_EQ(still->GetChangeCount(), stillChanges);
    EXPECT_EQ(plant.tags[L"Plant.Spare"]->GetValue().Type(), VT_R8);
    EXPECT_EQ(V_R8(&plant.tags[L"Plant.Spare"]->GetValue().Ref()), 50);
    idle->SetOperatorPolling(false);
}

TEST(AlarmStormTest, TheRateHoldsOverTimeSpreadOverEachSecond) {
    Plant plant;
    constexpr DWORD kRate = 500;
    plant.device->SetAlarmStormRate(kRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto from = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto to = Clock::now();
    const std::vector<Seen> seen = plant.recorder.Copy();
    const auto inSpan = [&](Clock::time_point a, Clock::time_point b) {
        return std::count_if(seen.begin(), seen.end(), [&](const Seen& s) { return s.at >= a && s.at < b; });
    };
    const double seconds = std::chrono::duration<double>(to - from).count();
    const double expected = kRate * seconds;
    const auto counted = static_cast<double>(inSpan(from, to));
    EXPECT_NEAR(counted, expected, expected * 0.1) << "over " << seconds << " s";
    // No burst: no tenth of a second takes much more than its share.
    for (auto at = from; at + std::chrono::milliseconds(100) <= to; at += std::chrono::milliseconds(50)) {
        EXPECT_LE(inSpan(at, at + std::chrono::milliseconds(100)), kRate / 10 * 3);
    }
}

TEST(AlarmStormTest, TagsThatLeaveGiveTheirTurnToTheNext) {
    Plant plant;
    plant.device->SetAlarmStormRate(300);
    ASSERT_TRUE(WaitFor([&] { return plant.recorder.Count() >= 6; }));
    // Its alarm goes mid-storm (the device held still meanwhile, so that no
    // turn straddles it); while the device polls the tag itself cannot go.
    ToviTag* level = plant.tags[L"Plant.Tank.Level"];
    plant.device->SetFrozen(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t removedAt = plant.recorder.Count();
    ASSERT_TRUE(level->SetAlarmSettings(AlarmSettings{}));
    EXPECT_FALSE(level->GetOwner()->RemoveTag(level));
    plant.device->SetFrozen(false);
    ASSERT_TRUE(WaitFor([&] { return plant.recorder.Count() >= removedAt + 6; }));
    // The run ends, the tag goes, the next run goes on where the storm stood.
    plant.configuration.SetAlarmPolling(false);
    ASSERT_TRUE(WaitFor([&] { return plant.device->GetPollState() == kPollIdle; }));
    ASSERT_TRUE(level->GetOwner()->RemoveTag(level));
    delete level;
    const size_t deletedAt = plant.recorder.Count();
    plant.configuration.SetAlarmPolling(true);
    ASSERT_TRUE(WaitFor([&] { return plant.recorder.Count() >= deletedAt + 9; }));
    plant.device->SetAlarmStormRate(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const std::vector<Seen> seen = plant.recorder.Copy();
    // Up to the removal the four took turns; from its next event on, the three.
    size_t next = 0;
    std::map<std::wstring, bool> inAlarm;
    const std::vector<Seen> before(seen.begin(), seen.begin() + static_cast<long>(removedAt));
    ASSERT_EQ(FollowTurns(before, plant.order, next, inAlarm), "");
    const std::vector<std::wstring> three{L"Plant.Speed", L"Plant.Tank.Temp", L"Plant.Tank.Door"};
    // The next turn after the removal is the one after the last tag served, skipping Level.
    const std::wstring lastServed = seen[removedAt - 1].itemId;
    const size_t lastIndex =
        static_cast<size_t>(std::find(plant.order.begin(), plant.order.end(), lastServed) - plant.order.begin());
    std::wstring expectedNext = plant.order[(lastIndex + 1) % 4];
    if (expectedNext == L"Plant.Tank.Level") expectedNext = plant.order[(lastIndex + 2) % 4];
    next = static_cast<size_t>(std::find(three.begin(), three.end(), expectedNext) - three.begin());
    const size_t stopAt = std::min(seen.size(), deletedAt + 9);
    const std::vector<Seen> after(seen.begin() + static_cast<long>(removedAt),
                                  seen.begin() + static_cast<long>(stopAt));
    EXPECT_EQ(FollowTurns(after, three, next, inAlarm), "");
}
