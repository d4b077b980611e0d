#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AlarmCondition.h"
#include "OpcConstants.h"

namespace {
// One step of a sequence: a value (with its quality) or a command, and the
// state it leaves, written as Describe writes it.
enum class Act { Value, Acknowledge, Confirm, Comment, Enable, Disable, StaleAcknowledge };
struct Step {
    Act act;
    Variant value;
    const char* expected;
    WORD quality = OPC_QUALITY_GOOD;
};

Step V(double x, const char* expected, WORD quality = OPC_QUALITY_GOOD) {
    return {Act::Value, Variant::FromDouble(x), expected, quality};
}
Step Raw(Variant v, const char* expected, WORD quality = OPC_QUALITY_GOOD) {
    return {Act::Value, std::move(v), expected, quality};
}
Step Do(Act act, const char* expected) { return {act, Variant(), expected}; }

const char* ResultText(AlarmCommandResult r) {
    switch (r) {
    case AlarmCommandResult::Done: return "Done";
    case AlarmCommandResult::EventIdUnknown: return "EventIdUnknown";
    case AlarmCommandResult::AlreadyAcked: return "AlreadyAcked";
    case AlarmCommandResult::AlreadyConfirmed: return "AlreadyConfirmed";
    case AlarmCommandResult::Disabled: return "Disabled";
    case AlarmCommandResult::AlreadyEnabled: return "AlreadyEnabled";
    case AlarmCommandResult::AlreadyDisabled: return "AlreadyDisabled";
    case AlarmCommandResult::NotAlarmed: return "NotAlarmed";
    }
    return "?";
}

// "* " for an event, the limit states (or Normal/OffNormal), then only what
// differs from a quiet condition, the severities, and a command's answer.
std::string Describe(const AlarmConditionState& s, bool event) {
    std::string text = event ? "* " : "";
    std::string states;
    if (s.active && s.kind == AlarmKind::OffNormal) states = "OffNormal";
    for (auto [bit, name] : {std::pair{kLimitHighHigh, "HighHigh"}, std::pair{kLimitHigh, "High"},
                             std::pair{kLimitLow, "Low"}, std::pair{kLimitLowLow, "LowLow"}}) {
        if ((s.limits & bit) != 0) states += (states.empty() ? "" : "+") + std::string(name);
    }
    if (s.active != (states.size() != 0)) states += "(active mismatch)";
    text += states.empty() ? "Normal" : states;
    if (!s.acked) text += " unacked";
    if (!s.confirmed) text += " unconfirmed";
    if (s.retain) text += " retain";
    if (!s.enabled) text += " disabled";
    if (s.quality != OPC_QUALITY_GOOD) text += " q" + std::to_string(s.quality);
    text += " " + std::to_string(s.severity) + "/" + std::to_string(s.lastSeverity);
    return text;
}

struct Sequence {
    const char* name;
    AlarmSettings settings;
    std::vector<Step> steps;
};

AlarmSettings Limits(AlarmKind kind, std::optional<double> hh, std::optional<double> h, std::optional<double> l,
                     std::optional<double> ll, double deadband = 0) {
    AlarmSettings s;
    s.kind = kind;
    s.highHigh = hh;
    s.high = h;
    s.low = l;
    s.lowLow = ll;
    s.deadband = deadband;
    return s;
}

AlarmSettings Confirming(AlarmSettings s) {
    s.needsConfirm = true;
    return s;
}

AlarmSettings OffNormal(Variant normal) {
    AlarmSettings s;
    s.kind = AlarmKind::OffNormal;
    s.normalValue = std::move(normal);
    return s;
}

FILETIME At(unsigned n) { return FILETIME{n, 1}; }

void RunSequence(const Sequence& sequence) {
    AlarmCondition condition;
    condition.Configure(sequence.settings);
    Variant lastValue;
    WORD lastQuality = OPC_QUALITY_GOOD;
    unsigned tick = 0;
    for (size_t i = 0; i < sequence.steps.size(); ++i) {
        const Step& step = sequence.steps[i];
        const std::uint64_t before = condition.LatestEvent();
        const FILETIME now = At(++tick);
        std::string answer;
        bool event = false;
        auto command = [&](AlarmCommandResult r) {
            answer = std::string(" -> ") + ResultText(r);
            event = r == AlarmCommandResult::Done;
        };
        switch (step.act) {
        case Act::Value:
            lastValue = step.value;
            lastQuality = step.quality;
            event = condition.Evaluate(sequence.settings, step.value, step.quality, now, now);
            break;
        case Act::Acknowledge: command(condition.Acknowledge(before, L"seen", L"op", now)); break;
        case Act::StaleAcknowledge: command(condition.Acknowledge(before - 1, L"", L"op", now)); break;
        case Act::Confirm: command(condition.Confirm(before, L"", L"op", now)); break;
        case Act::Comment: command(condition.AddComment(before, L"note", L"op", now)); break;
        case Act::Enable: command(condition.Enable(sequence.settings, lastValue, lastQuality, now, L"op", now)); break;
        case Act::Disable: command(condition.Disable(L"op", now)); break;
        }
        // An event, and only an event, takes a new number.
        EXPECT_EQ(event, condition.LatestEvent() != before) << sequence.name << " step " << i;
        EXPECT_EQ(step.expected, Describe(condition.State(), event) + answer) << sequence.name << " step " << i;
    }
}
}  // namespace

TEST(AlarmConditionTest, SequencesOfValuesAndCommands) {
    const Sequence sequences[] = {
        {"exclusive with deadband",
         Limits(AlarmKind::ExclusiveLimit, 90, 80, 20, 10, 2),
         {V(50, "* Normal 500/500"),  // the first judgement is always told
          V(79.9, "Normal 500/500"), V(80, "* High unacked retain 500/500"),
          V(78, "High unacked retain 500/500"),  // inside by exactly the deadband: still High
          V(90, "* HighHigh unacked retain 800/500"), V(88, "HighHigh unacked retain 800/500"),
          V(87.9, "* High unacked retain 500/800"), Do(Act::Acknowledge, "* High retain 500/800 -> Done"),
          Do(Act::Acknowledge, "High retain 500/800 -> AlreadyAcked"),
          V(77.9, "* Normal 500/800"),  // back to normal: acknowledged stays so, severity stays
          V(5, "* LowLow unacked retain 800/500"), V(12, "LowLow unacked retain 800/500"),
          V(12.1, "* Low unacked retain 500/800"),
          Do(Act::StaleAcknowledge, "Low unacked retain 500/800 -> EventIdUnknown"),
          V(22, "Low unacked retain 500/800"), V(22.5, "* Normal unacked retain 500/800"),
          Do(Act::Acknowledge, "* Normal 500/800 -> Done")}},
        {"non-exclusive",
         Limits(AlarmKind::NonExclusiveLimit, 90, 80, 20, 10),
         {V(95, "* HighHigh+High unacked retain 800/500"),
          Do(Act::Acknowledge, "* HighHigh+High retain 800/500 -> Done"),
          V(85, "* High retain 500/800"),  // leaving a state is no new alarm
          V(95, "* HighHigh+High unacked retain 800/500"), V(50, "* Normal unacked retain 800/500"),
          Do(Act::Acknowledge, "* Normal 800/500 -> Done"), V(5, "* Low+LowLow unacked retain 800/500"),
          V(15, "* Low unacked retain 500/800")}},
        {"only some limits, own severities",
         [] {
             AlarmSettings s = Limits(AlarmKind::ExclusiveLimit, std::nullopt, 80, std::nullopt, 10);
             s.severity = 300;
             s.severityHighHigh = 900;
             return s;
         }(),
         {V(1000, "* High unacked retain 300/300"), V(15, "* Normal unacked retain 300/300"),
          V(10, "* LowLow unacked retain 900/300")}},
        {"confirm",
         Confirming(Limits(AlarmKind::ExclusiveLimit, std::nullopt, 80, std::nullopt, std::nullopt)),
         {V(90, "* High unacked retain 500/500"), Do(Act::Confirm, "High unacked retain 500/500 -> AlreadyConfirmed"),
          Do(Act::Acknowledge, "* High unconfirmed retain 500/500 -> Done"),
          V(50, "* Normal unconfirmed retain 500/500"),  // kept until confirmed
          Do(Act::Confirm, "* Normal 500/500 -> Done"), Do(Act::Confirm, "Normal 500/500 -> AlreadyConfirmed")}},
        {"enable and disable",
         Limits(AlarmKind::ExclusiveLimit, std::nullopt, 80, std::nullopt, std::nullopt),
         {V(90, "* High unacked retain 500/500"), Do(Act::Disable, "* High unacked disabled 500/500 -> Done"),
          V(50, "High unacked disabled 500/500"),  // not judged while disabled
          Do(Act::Acknowledge, "High unacked disabled 500/500 -> Disabled"),
          Do(Act::Comment, "High unacked disabled 500/500 -> Disabled"),
          Do(Act::Disable, "High unacked disabled 500/500 -> AlreadyDisabled"),
          Do(Act::Enable, "* Normal 500/500 -> Done"), Do(Act::Enable, "Normal 500/500 -> AlreadyEnabled"),
          V(85, "* High unacked retain 500/500"), Do(Act::Disable, "* High unacked disabled 500/500 -> Done"),
          Do(Act::Enable, "* High unacked retain 500/500 -> Done"),
          Do(Act::Comment, "* High unacked retain 500/500 -> Done"),
          Do(Act::StaleAcknowledge, "High unacked retain 500/500 -> EventIdUnknown")}},
        {"quality and values that are no number",
         Limits(AlarmKind::ExclusiveLimit, std::nullopt, 80, std::nullopt, std::nullopt),
         {V(90, "* High unacked retain 500/500"), Do(Act::Acknowledge, "* High retain 500/500 -> Done"),
          Raw(Variant(), "* High retain q0 500/500", OPC_QUALITY_BAD),  // a volatile tag cleared
          Raw(Variant(), "High retain q0 500/500", OPC_QUALITY_BAD),
          Raw(Variant::FromString(L"abc"), "* High retain 500/500"), V(90, "High retain 500/500"),
          V(90, "* High retain q64 500/500", OPC_QUALITY_UNCERTAIN),
          V(std::numeric_limits<double>::quiet_NaN(), "High retain q64 500/500", OPC_QUALITY_UNCERTAIN),
          V(50, "* Normal q64 500/500", OPC_QUALITY_UNCERTAIN)}},
        {"off-normal, compared in the value's type",
         OffNormal(Variant::FromString(L"1")),
         {Raw(Variant::FromLong(1), "* Normal 500/500"),
          Raw(Variant::FromLong(2), "* OffNormal unacked retain 500/500"),
          Raw(Variant::FromLong(3), "OffNormal unacked retain 500/500"),
          Raw(Variant(), "* OffNormal unacked retain q0 500/500", OPC_QUALITY_BAD),
          Raw(Variant::FromLong(1), "* Normal unacked retain 500/500")}},
        {"off-normal string",
         OffNormal(Variant::FromString(L"Run")),
         {Raw(Variant::FromString(L"Run"), "* Normal 500/500"),
          Raw(Variant::FromString(L"run"), "* OffNormal unacked retain 500/500")}},
    };
    for (const Sequence& sequence : sequences) RunSequence(sequence);
}

TEST(AlarmConditionTest, EventsCarryTheStateTheMessageAndGrowingNumbers) {
    AlarmSettings settings = Limits(AlarmKind::ExclusiveLimit, std::nullopt, 80, std::nullopt, std::nullopt);
    AlarmCondition a, b;
    a.Configure(settings);
    b.Configure(settings);
    ASSERT_TRUE(a.Evaluate(settings, Variant::FromDouble(85), OPC_QUALITY_GOOD, At(7), At(9)));
    ASSERT_TRUE(b.Evaluate(settings, Variant::FromDouble(1), OPC_QUALITY_GOOD, At(7), At(9)));
    EXPECT_GT(b.LatestEvent(), a.LatestEvent());  // one sequence for every condition

    AlarmEvent event = a.MakeEvent(L"Plant.Boiler.Pressure", settings, AlarmEventCause::Evaluated);
    EXPECT_EQ(a.LatestEvent(), event.number);
    EXPECT_EQ(L"Plant.Boiler.Pressure High", event.state.message);
    EXPECT_EQ(9u, event.time.dwLowDateTime);
    EXPECT_EQ(7u, event.state.sourceTime.dwLowDateTime);
    EXPECT_EQ(9u, event.state.activeTime.dwLowDateTime);
    EXPECT_EQ(L"Plant.Boiler.Pressure Normal",
              b.MakeEvent(L"Plant.Boiler.Pressure", settings, AlarmEventCause::Evaluated).state.message);

    ASSERT_EQ(AlarmCommandResult::Done, a.Acknowledge(a.LatestEvent(), L"on it", L"anna", At(11)));
    event = a.MakeEvent(L"X", settings, AlarmEventCause::Acknowledged);
    EXPECT_EQ(L"on it", event.state.comment);
    EXPECT_EQ(L"anna", event.state.clientUserId);
    EXPECT_EQ(11u, event.state.ackedTime.dwLowDateTime);
    settings.message = L"Pressure too high";
    EXPECT_EQ(L"Pressure too high", a.MakeEvent(L"X", settings, AlarmEventCause::Evaluated).state.message);
}

TEST(AlarmConditionTest, StateNames) {
    struct Case {
        AlarmKind kind;
        unsigned limits;
        bool active;
        const wchar_t* name;
    };
    const Case cases[] = {
        {AlarmKind::NonExclusiveLimit, kLimitHighHigh | kLimitHigh, true, L"HighHigh"},
        {AlarmKind::NonExclusiveLimit, kLimitLowLow | kLimitLow, true, L"LowLow"},
        {AlarmKind::ExclusiveLimit, kLimitHigh, true, L"High"},
        {AlarmKind::ExclusiveLimit, kLimitLow, true, L"Low"},
        {AlarmKind::ExclusiveLimit, kLimitHigh, false, L"Normal"},
        {AlarmKind::OffNormal, kLimitNone, true, L"OffNormal"},
    };
    for (const Case& c : cases) EXPECT_STREQ(c.name, AlarmStateName(c.kind, c.limits, c.active)) << c.limits;
}

TEST(AlarmSettingsTest, CheckRefusesBadCombinationsInWords) {
    auto limits = [](std::optional<double> hh, std::optional<double> h, std::optional<double> l,
                     std::optional<double> ll) { return Limits(AlarmKind::ExclusiveLimit, hh, h, l, ll); };
    auto with = [](AlarmSettings s, auto change) {
        change(s);
        return s;
    };
    struct Case {
        AlarmSettings settings;
        VARTYPE type;
        const wchar_t* refusal;  // a part of the text; null: accepted
    };
    const Case cases[] = {
        {AlarmSettings{}, VT_BSTR, nullptr},
        {limits(90, 80, 20, 10), VT_R8, nullptr},
        {limits(80, 80, 10, 10), VT_I4, nullptr},  // equal fellow limits are allowed
        {limits(std::nullopt, 10, 20, std::nullopt), VT_R8, L"Low limit (20) is not below the High limit (10)"},
        {limits(std::nullopt, 20, 20, std::nullopt), VT_R8, L"not below the High"},
        {limits(70, 80, std::nullopt, std::nullopt), VT_R8, L"High limit (80) is above the HighHigh limit (70)"},
        {limits(std::nullopt, std::nullopt, 10, 20), VT_R8, L"LowLow limit (20) is above the Low limit (10)"},
        {limits(50, std::nullopt, std::nullopt, 50), VT_R8, L"LowLow limit (50) is not below the HighHigh"},
        {limits(std::nullopt, 80, std::nullopt, std::nullopt), VT_BSTR, L"numeric tag"},
        {limits(std::nullopt, 80, std::nullopt, std::nullopt), VT_ARRAY | VT_R8, L"numeric tag"},
        {limits(std::nullopt, std::nullopt, std::nullopt, std::nullopt), VT_R8, L"at least one limit"},
        {with(limits(std::nullopt, 80, std::nullopt, std::nullopt), [](AlarmSettings& s) { s.severity = 0; }), VT_R8,
         L"severity"},
        {with(limits(std::nullopt, 80, std::nullopt, std::nullopt),
              [](AlarmSettings& s) { s.severityHighHigh = 1001; }),
         VT_R8, L"severity"},
        {with(limits(std::nullopt, 80, std::nullopt, std::nullopt), [](AlarmSettings& s) { s.severity = 1000; }), VT_R8,
         nullptr},
        {with(limits(std::nullopt, 80, std::nullopt, std::nullopt), [](AlarmSettings& s) { s.deadband = -1; }), VT_R8,
         L"deadband"},
        {with(AlarmSettings{}, [](AlarmSettings& s) { s.kind = static_cast<AlarmKind>(7); }), VT_R8, L"unknown"},
        {OffNormal(Variant::FromString(L"abc")), VT_R8, L"does not convert"},
        {OffNormal(Variant::FromString(L"3")), VT_I4, nullptr},
        {OffNormal(Variant::FromDouble(1)), VT_BOOL, nullptr},
        {OffNormal(Variant()), VT_I4, L"needs a normal value"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::wstring text = CheckAlarmSettings(cases[i].settings, cases[i].type);
        if (cases[i].refusal == nullptr) {
            EXPECT_EQ(L"", text) << i;
        } else {
            EXPECT_NE(std::wstring::npos, text.find(cases[i].refusal))
                << i << ": " << std::string(text.begin(), text.end());
        }
    }
    EXPECT_EQ(AlarmKind::NonExclusiveLimit, AlarmKindFromName(L"nonexclusivelimit"));
    EXPECT_FALSE(AlarmKindFromName(L"Limit").has_value());
}
