#include <array>
#include <cfloat>
#include <cstdlib>
#include <cwctype>
#include <functional>
#include <tuple>

#include "DialogDriver.h"
#include "Tovi_DlgGroup.h"
#include "Tovi_DlgTag.h"
#include "SimulatedSignal.h"
#include "Text.h"
#include "UiFixture.h"

namespace {
const wchar_t kNumber[] = L"Please enter a number.";
const wchar_t kPositive[] = L"Please enter a positive integer.";

struct Refusal {
    int id;
    std::wstring text, message;
};

class PropertyDialogsTest : public UiFixture {
protected:
    // The dialog over the frame, driven without a loop of its own.
    template <class Dialog, class Fields>
    HWND Open(std::unique_ptr<Dialog>& dialog, Fields& fields) {
        dialog = std::make_unique<Dialog>(fields);
        return dialog->Create(frame->Handle());
    }
    // Each text is refused at OK with its message alone; the dialog stays open
    // with the focus on the field (a disabled one cannot take it), then the
    // field is mended.
    template <size_t N>
    void ExpectRefusals(const DialogWindow& dialog, const Refusal (&refused)[N], const wchar_t* mended) {
        HWND d = dialog.Handle();
        for (const auto& [id, text, message] : refused) {
            SetControlText(d, id, text);
            boxes.texts.clear();
            ClickButton(d, IDOK);
            EXPECT_EQ(boxes.texts, std::vector<std::wstring>{message}) << ToUtf8(text);
            ASSERT_EQ(dialog.Handle(), d) << ToUtf8(text);
            if (ControlEnabled(d, id)) {
                EXPECT_EQ(GetFocus(), GetDlgItem(d, id)) << ToUtf8(text);
            }
            SetControlText(d, id, mended);
        }
    }
};

TagPropertiesFields DoubleTagWithLimits() {
    TagPropertiesFields f;
    f.name = L"Level";
    f.valueText = L"2.5 ";
    f.type = VT_R8;
    f.access = 1;
    f.limitValues = true;
    f.low = -10;
    f.high = 90.5;
    f.deadband = 3.5;
    return f;
}
}  // namespace

TEST_F(PropertyDialogsTest, TagValueTextBecomesTheChosenTypeOnOK) {
    struct Case {
        VARTYPE type;
        const wchar_t* text;
        VARTYPE expectedType;
        double expected;
    };
    const Case cases[] = {
        {VT_I4, L"12abc", VT_I4, 12},
        {VT_I4, L"abc", VT_I4, 0},
        {VT_I4, L"  -7 ", VT_I4, -7},
        {VT_I4, L"99999999999", VT_I4, 2147483647.0},
        {VT_I4, L"", VT_I4, 0},
        {VT_UI1, L"300", VT_I4, 300},  // any other type is edited as Integer
        {VT_BOOL, L"true", VT_BOOL, 0},
        {VT_BOOL, L"  True", VT_BOOL, -1},
        {VT_BOOL, L"1", VT_BOOL, -1},
        {VT_BOOL, L"yes", VT_BOOL, 0},
        {VT_R4, L"1.5e3kg", VT_R4, 1500},
        {VT_R4, L"1e300", VT_R4, FLT_MAX},
        {VT_R8, L"-1e999", VT_R8, -DBL_MAX},
        {VT_R8, L"inf", VT_R8, 0},
        {VT_R8, L"nan", VT_R8, 0},
        {VT_R8, L"0x10", VT_R8, 0},
    };
    for (const Case& c : cases) {
        TagPropertiesFields fields = DoubleTagWithLimits();
        fields.type = c.type;
        fields.valueText = c.text;
        std::unique_ptr<Tovi_DlgTag> dialog;
        HWND window = Open(dialog, fields);
        ASSERT_NE(window, nullptr);
        ClickButton(window, IDOK);
        ASSERT_EQ(dialog->Result(), IDOK) << c.text;
        EXPECT_EQ(fields.type, c.expectedType) << c.text;
        Variant as = fields.value;
        ASSERT_EQ(V_VT(as.Get()), c.expectedType) << c.text;
        ASSERT_TRUE(SUCCEEDED(as.ChangeType(VT_R8))) << c.text;
        const double want = c.expectedType == VT_R4 ? static_cast<double>(static_cast<float>(c.expected)) : c.expected;
        EXPECT_DOUBLE_EQ(V_R8(as.Get()), want) << c.text;
    }
    // A string keeps its text, trimmed, however long.
    TagPropertiesFields fields = DoubleTagWithLimits();
    fields.type = VT_BSTR;
    fields.valueText = L"  " + std::wstring(10000, L'x') + L"  ";
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND window = Open(dialog, fields);
    ClickButton(window, IDOK);
    ASSERT_EQ(V_VT(fields.value.Get()), VT_BSTR);
    EXPECT_EQ(SysStringLen(V_BSTR(fields.value.Get())), 10000u);
    EXPECT_FALSE(fields.limitValues);  // a String tag has no limits
}

TEST_F(PropertyDialogsTest, DoubleToStringToIntegerLeavesTheLimitsOffUntilTickedAndOKTakesEveryField) {
    TagPropertiesFields fields = DoubleTagWithLimits();
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    EXPECT_EQ(ComboSelection(d, IDC_TAG_TYPE), 3);
    EXPECT_EQ(ControlText(d, IDC_TAG_MAX), L"90.5");
    EXPECT_EQ(ControlText(d, IDC_TAG_VALUE), L"2.5 ");
    EXPECT_TRUE(ButtonChecked(d, IDC_TAG_READ_WRITE));
    EXPECT_TRUE(ControlEnabled(d, IDC_TAG_MIN));

    ChooseComboItem(d, IDC_TAG_TYPE, 4);  // String
    EXPECT_FALSE(ButtonChecked(d, IDC_TAG_LIMITS));
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_LIMITS));
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_DEADBAND));
    ChooseComboItem(d, IDC_TAG_TYPE, 1);  // Integer
    EXPECT_TRUE(ControlEnabled(d, IDC_TAG_LIMITS));
    EXPECT_FALSE(ButtonChecked(d, IDC_TAG_LIMITS));
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_MIN));
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_MAX));
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_DEADBAND));
    ToggleButton(d, IDC_TAG_LIMITS, true);
    EXPECT_TRUE(ControlEnabled(d, IDC_TAG_MIN));
    EXPECT_TRUE(ControlEnabled(d, IDC_TAG_DEADBAND));

    // The spin steps the number in its edit, whatever its range.
    NMUPDOWN step{};
    step.hdr.hwndFrom = GetDlgItem(d, IDC_TAG_DEADBAND_SPIN);
    step.hdr.idFrom = IDC_TAG_DEADBAND_SPIN;
    step.hdr.code = UDN_DELTAPOS;
    step.iDelta = 1;  // the up arrow
    SendMessageW(d, WM_NOTIFY, IDC_TAG_DEADBAND_SPIN, reinterpret_cast<LPARAM>(&step));
    EXPECT_EQ(ControlText(d, IDC_TAG_DEADBAND), L"4.5");
    ChooseRadio(d, IDC_TAG_READ_ONLY, IDC_TAG_READ_WRITE, IDC_TAG_READ_ONLY);
    SetControlText(d, IDC_TAG_DESCRIPTION, L"Tank");
    ClickButton(d, IDOK);
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.type, VT_I4);
    EXPECT_EQ(fields.description, L"Tank");
    EXPECT_TRUE(fields.limitValues);
    EXPECT_EQ(fields.deadband, 4.5);
    EXPECT_EQ(0u, fields.access);

    // Bool and String tags open with the box cleared and disabled.
    fields = DoubleTagWithLimits();
    fields.type = VT_BOOL;
    d = Open(dialog, fields);
    EXPECT_EQ(ComboSelection(d, IDC_TAG_TYPE), 0);
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_LIMITS));
    EXPECT_FALSE(ButtonChecked(d, IDC_TAG_LIMITS));
    SetControlText(d, IDC_TAG_NAME, L"Other");
    ClickButton(d, IDCANCEL);
    EXPECT_EQ(dialog->Result(), IDCANCEL);
    EXPECT_EQ(fields.name, L"Level");
}

TEST_F(PropertyDialogsTest, MinMaxAndDeadbandMustBeNumbersAndTheDialogStaysOpen) {
    TagPropertiesFields fields = DoubleTagWithLimits();
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    const Refusal refused[] = {
        {IDC_TAG_MIN, L"", kNumber},      {IDC_TAG_MIN, L"12abc", kNumber},  {IDC_TAG_MAX, L"letters", kNumber},
        {IDC_TAG_MAX, L"1e999", kNumber}, {IDC_TAG_DEADBAND, L"-", kNumber}, {IDC_TAG_DEADBAND, L"nan", kNumber},
    };
    ExpectRefusals(*dialog, refused, L"1");
    EXPECT_EQ(fields.name, L"Level");  // nothing was taken from a refused dialog
    // Disabled edits are checked too; Min above Max is the tag's business.
    ToggleButton(d, IDC_TAG_LIMITS, false);
    SetControlText(d, IDC_TAG_MIN, L" -1e3 ");
    SetControlText(d, IDC_TAG_MAX, L"-2000");
    SetControlText(d, IDC_TAG_NAME, std::wstring(10000, L'n'));
    boxes.texts.clear();
    ClickButton(d, IDOK);
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.low, -1000);
    EXPECT_EQ(fields.high, -2000);
    EXPECT_FALSE(fields.limitValues);
    EXPECT_EQ(fields.name.size(), 10000u);
}

TEST_F(PropertyDialogsTest, IntervalOpensModulo24AndTheScheduleEntryMatchesExactly) {
    const std::pair<DWORD, std::array<const wchar_t*, 4>> opened[] = {
        {90000, {L"1", L"0", L"0", L"1 Minute"}},        {300, {L"0", L"5", L"0", L"5 Minutes"}},
        {301, {L"0", L"5", L"1", L"1 Minute"}},          {86400, {L"0", L"0", L"0", L"24 Hours"}},
        {0xFFFFFFFF, {L"6", L"28", L"15", L"1 Minute"}},
    };
    for (const auto& [seconds, shown] : opened) {
        GroupPropertiesFields fields{L"Plant", true, true, 1, seconds};
        std::unique_ptr<Tovi_DlgGroup> dialog;
        HWND d = Open(dialog, fields);
        EXPECT_EQ(ControlText(d, IDC_GROUP_HOURS), shown[0]) << seconds;
        EXPECT_EQ(ControlText(d, IDC_GROUP_MINUTES), shown[1]) << seconds;
        EXPECT_EQ(ControlText(d, IDC_GROUP_SECONDS), shown[2]) << seconds;
        wchar_t entry[32] = {};
        GetDlgItemTextW(d, IDC_GROUP_SCHEDULE, entry, 32);
        EXPECT_STREQ(entry, shown[3]) << seconds;
    }
}

TEST_F(PropertyDialogsTest, RefreshControlsFollowTheBoxAndTheModeAndAGroupHasNoneAndTheIntervalIsChecked) {
    GroupPropertiesFields fields{L"Plant", true, false, 0, 300};
    std::unique_ptr<Tovi_DlgGroup> dialog;
    HWND d = Open(dialog, fields);
    const int interval[] = {IDC_GROUP_HOURS, IDC_GROUP_MINUTES, IDC_GROUP_SECONDS, IDC_GROUP_SECONDS_SPIN};
    auto expectState = [&](bool radios, bool combo, bool edits) {
        EXPECT_EQ(ControlEnabled(d, IDC_GROUP_BY_SCHEDULE), radios);
        EXPECT_EQ(ControlEnabled(d, IDC_GROUP_BY_INTERVAL), radios);
        EXPECT_EQ(ControlEnabled(d, IDC_GROUP_SCHEDULE), combo);
        for (int id : interval) EXPECT_EQ(ControlEnabled(d, id), edits) << id;
    };
    expectState(false, false, false);
    ToggleButton(d, IDC_GROUP_REFRESH, true);
    expectState(true, true, false);
    ChooseRadio(d, IDC_GROUP_BY_SCHEDULE, IDC_GROUP_BY_INTERVAL, IDC_GROUP_BY_INTERVAL);
    expectState(true, false, true);
    ToggleButton(d, IDC_GROUP_REFRESH, false);
    expectState(false, false, false);

    // Hours, minutes and seconds are checked even while disabled; By Schedule
    // the interval stays as it opened.
    ChooseRadio(d, IDC_GROUP_BY_SCHEDULE, IDC_GROUP_BY_INTERVAL, IDC_GROUP_BY_SCHEDULE);
    const std::wstring to24 = L"Please enter an integer between 0 and 24.";
    const std::wstring to59 = L"Please enter an integer between 0 and 59.";
    const Refusal refused[] = {
        {IDC_GROUP_HOURS, L"25", to24},           {IDC_GROUP_HOURS, L"", kPositive},
        {IDC_GROUP_MINUTES, L"-1", kPositive},    {IDC_GROUP_MINUTES, L"60", to59},
        {IDC_GROUP_SECONDS, L"abc", kPositive},   {IDC_GROUP_SECONDS, L"99999999999", kPositive},
        {IDC_GROUP_SECONDS, L"4294967295", to59},
    };
    ExpectRefusals(*dialog, refused, L"0");
    SetControlText(d, IDC_GROUP_HOURS, L"24");
    ClickButton(d, IDOK);
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.refreshPeriod, 300u);

    GroupPropertiesFields group{L"Loop", false, true, 1, 300};
    d = Open(dialog, group);
    EXPECT_FALSE(ControlEnabled(d, IDC_GROUP_REFRESH));
    expectState(false, false, false);
}

TEST_F(PropertyDialogsTest, DeviceEditedInTheRealDialogAppliesIntervalAndSchedule) {
    ToviDevice* device = AddDevice(L"Plant");
    device->SetRefreshEnabled(true);
    device->SetRefreshMode(kRefreshByInterval);
    device->SetRefreshPeriod(90000);
    auto edit = [&](bool applied, const std::function<void(HWND)>& drive) {
        ASSERT_TRUE(AnswerModalDialog(L"Tag Group", drive, [&] { EXPECT_EQ(doc->EditProperties(device), applied); }));
    };
    // Unchanged By Interval: 01:00:00 goes back as 3600 seconds.
    edit(true, [](HWND d) {
        SetControlText(d, IDC_GROUP_NAME, L"Boiler");
        ClickButton(d, IDOK);
    });
    EXPECT_EQ(device->GetRefreshPeriod(), 3600u);
    EXPECT_EQ(device->GetName(), L"Boiler");
    // By Schedule the chosen entry is the period.
    edit(true, [](HWND d) {
        ChooseRadio(d, IDC_GROUP_BY_SCHEDULE, IDC_GROUP_BY_INTERVAL, IDC_GROUP_BY_SCHEDULE);
        ChooseComboItem(d, IDC_GROUP_SCHEDULE, 4);  // 15 Minutes
        ClickButton(d, IDOK);
    });
    EXPECT_EQ(device->GetRefreshMode(), static_cast<DWORD>(kRefreshBySchedule));
    EXPECT_EQ(device->GetRefreshPeriod(), 900u);
    EXPECT_EQ(device->GetUpdateInterval(), 1u);
    // Cancel changes nothing.
    edit(false, [](HWND d) {
        SetControlText(d, IDC_GROUP_NAME, L"Other");
        ClickButton(d, IDCANCEL);
    });
    EXPECT_EQ(device->GetName(), L"Boiler");
}

// A name that another device, or a sibling of the same kind, bears in any
// letter case is refused at OK with the reason; the dialog stays open with
// the name to mend, and only the mended name lands.
TEST_F(PropertyDialogsTest, ClashingNamesKeepTheDialogOpenUntilMended) {
    ToviDevice* pump = AddDevice(L"Pump");
    ToviDevice* boiler = AddDevice(L"Boiler");
    ToviTagGroup* motor = AddGroup(pump, L"Motor");
    AddGroup(pump, L"Valves");
    ToviTag* speed = AddTag(pump, L"Speed");
    AddTag(pump, L"Torque");
    auto deviceNamed = [&](const wchar_t* name) {
        Dll<OPCS_Device*> devices;
        doc->CopyDeviceList(devices);
        int found = 0;
        for (OPCS_Device* d : devices) found += d->GetName() == name;
        return found == 1 && doc->DeviceCount() == 3;
    };
    const std::wstring again = L". Please choose another name.";
    struct Road {
        const wchar_t* caption;
        std::function<void()> open;
        const wchar_t* clash;
        std::wstring refusal;
        const wchar_t* mended;
        std::function<bool()> landed;
    };
    const Road roads[] = {
        {L"Tag Group", [&] { Command(ID_ADD_DEVICE); }, L"PUMP", L"There is already a device named \"Pump\"" + again,
         L"Pump 2", [&] { return deviceNamed(L"Pump 2"); }},
        {L"Tag Group", [&] { EXPECT_TRUE(doc->EditProperties(boiler)); }, L"pump 2",
         L"There is already a device named \"Pump 2\"" + again, L"Kettle", [&] { return deviceNamed(L"Kettle"); }},
        {L"Tag Group", [&] { Command(ID_ADD_GROUP); }, L"valves",
         L"There is already a group named \"Valves\" in Pump" + again, L"Pipes",
         [&] { return pump->GroupCount() == 3 && pump->SnapshotGroups().back()->GetName() == L"Pipes"; }},
        {L"Tag Group", [&] { EXPECT_TRUE(doc->EditProperties(motor)); }, L"PIPES",
         L"There is already a group named \"Pipes\" in Pump" + again, L"Drive",
         [&] { return motor->GetName() == L"Drive" && pump->GroupCount() == 3; }},
        {L"Tag Properties", [&] { Command(ID_ADD_TAG); }, L"torque",
         L"There is already a tag named \"Torque\" in Pump" + again, L"Flow",
         [&] { return pump->TagCount() == 3 && doc->FindTag(L"Pump.Flow") != nullptr; }},
        {L"Tag Properties", [&] { EXPECT_TRUE(doc->EditProperties(speed)); }, L"Flow",
         L"There is already a tag named \"Flow\" in Pump" + again, L"Rate",
         [&] { return speed->GetName() == L"Rate" && doc->FindTag(L"Pump.rate") == speed; }},
        {L"Tag Properties", [&] { EXPECT_TRUE(doc->EditProperties(speed)); }, L"RATE",
         L"The name \"RATE\" differs from \"Rate\" only in letter case, which item IDs do not tell apart" + again,
         L"Rate", [&] { return speed->GetName() == L"Rate" && pump->TagCount() == 3; }},
    };
    for (const Road& road : roads) {
        const int nameId = std::wstring(road.caption) == L"Tag Group" ? IDC_GROUP_NAME : IDC_TAG_NAME;
        boxes.texts.clear();
        TreeView_SelectItem(TreeControl(), tree->TreeItemOf(pump));  // a new device took it
        ASSERT_EQ(doc->GetSelectedGroup(), pump);
        ASSERT_TRUE(AnswerModalDialog(
            road.caption,
            [&](HWND d) {
                SetControlText(d, nameId, road.clash);
                ClickButton(d, IDOK);
                EXPECT_EQ(boxes.texts, std::vector<std::wstring>{road.refusal});
                EXPECT_EQ(GetFocus(), GetDlgItem(d, nameId));
                SetControlText(d, nameId, road.mended);
                ClickButton(d, IDOK);
            },
            road.open))
            << road.mended;
        EXPECT_TRUE(road.landed()) << road.mended;
        EXPECT_EQ(1u, boxes.texts.size()) << road.mended;
    }
}

namespace {
// The enabled state of Kind, Step and Period.
std::array<bool, 3> SimulationEnabled(HWND d) {
    return {ControlEnabled(d, IDC_TAG_SIMULATION_KIND), ControlEnabled(d, IDC_TAG_SIMULATION_STEP),
            ControlEnabled(d, IDC_TAG_SIMULATION_PERIOD)};
}
using Enabled = std::array<bool, 3>;
constexpr int kCountItem = 5;
}  // namespace

TEST_F(PropertyDialogsTest, SimulationShowsItsSettingsFollowsTheEnableRuleAndApplies) {
    TagPropertiesFields fields = DoubleTagWithLimits();
    fields.simulation = {false, 2, 7, 15};
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    EXPECT_FALSE(ButtonChecked(d, IDC_TAG_SIMULATE));
    EXPECT_EQ(ComboSelection(d, IDC_TAG_SIMULATION_KIND), 1);
    EXPECT_EQ(ControlText(d, IDC_TAG_SIMULATION_KIND), L"Triangle");
    EXPECT_EQ(SendDlgItemMessageW(d, IDC_TAG_SIMULATION_KIND, CB_GETCOUNT, 0, 0), 6);
    EXPECT_EQ(ControlText(d, IDC_TAG_SIMULATION_STEP), L"7");
    EXPECT_EQ(ControlText(d, IDC_TAG_SIMULATION_PERIOD), L"1.5");
    EXPECT_EQ(SimulationEnabled(d), (Enabled{false, false, false}));
    ToggleButton(d, IDC_TAG_SIMULATE, true);
    EXPECT_EQ(SimulationEnabled(d), (Enabled{true, false, true}));  // Step is Count's alone
    ChooseComboItem(d, IDC_TAG_SIMULATION_KIND, kCountItem);
    EXPECT_EQ(SimulationEnabled(d), (Enabled{true, true, true}));
    ToggleButton(d, IDC_TAG_SIMULATE, false);
    EXPECT_EQ(SimulationEnabled(d), (Enabled{false, false, false}));
    ToggleButton(d, IDC_TAG_SIMULATE, true);
    ChooseComboItem(d, IDC_TAG_SIMULATION_KIND, 2);  // Sine
    EXPECT_EQ(SimulationEnabled(d), (Enabled{true, false, true}));
    ChooseComboItem(d, IDC_TAG_SIMULATION_KIND, kCountItem);
    SetControlText(d, IDC_TAG_SIMULATION_STEP, L"5");
    SetControlText(d, IDC_TAG_SIMULATION_PERIOD, L" 0.5 ");
    ClickButton(d, IDOK);
    ASSERT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.simulation, (TagSimulation{true, 6, 5, 5}));

    // Periods are rounded to the tick; both ends of the range are taken.
    const std::pair<const wchar_t*, DWORD> periods[] = {
        {L"0.1", 1}, {L"2.34", 23}, {L"2.35e1", 235}, {L"429496729.5", 0xFFFFFFFF}, {L"7", 70}};
    for (const auto& [text, ticks] : periods) {
        d = Open(dialog, fields);
        SetControlText(d, IDC_TAG_SIMULATION_PERIOD, text);
        ClickButton(d, IDOK);
        ASSERT_EQ(dialog->Result(), IDOK) << text;
        EXPECT_EQ(fields.simulation.period, ticks) << text;
    }
    EXPECT_EQ(Tovi_DlgTag::PeriodText(0xFFFFFFFF), L"429496729.5");
}

TEST_F(PropertyDialogsTest, PeriodAndStepRefuseBadTextAndTheDialogStaysOpen) {
    TagPropertiesFields fields = DoubleTagWithLimits();
    fields.simulation = {true, 6, 1, 10};
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    const std::wstring range = L"Please enter a number between 0.1 and 429496729.5.";
    const Refusal refused[] = {
        {IDC_TAG_SIMULATION_PERIOD, L"abc", kNumber},        {IDC_TAG_SIMULATION_PERIOD, L"1.5s", kNumber},
        {IDC_TAG_SIMULATION_PERIOD, L"", kNumber},           {IDC_TAG_SIMULATION_PERIOD, L"0", range},
        {IDC_TAG_SIMULATION_PERIOD, L"-1", range},           {IDC_TAG_SIMULATION_PERIOD, L"0.09", range},
        {IDC_TAG_SIMULATION_PERIOD, L"429496729.56", range}, {IDC_TAG_SIMULATION_STEP, L"-1", kPositive},
        {IDC_TAG_SIMULATION_STEP, L"4294967296", kPositive},
    };
    ExpectRefusals(*dialog, refused, L"1");
    EXPECT_EQ(fields.simulation, (TagSimulation{true, 6, 1, 10}));
    ClickButton(d, IDOK);
    EXPECT_EQ(dialog->Result(), IDOK);
}

TEST_F(PropertyDialogsTest, UntouchedSimulationSettingsGoBackAsTheyCame) {
    // Settings a file may hold that the dialog could not enter: a kind it does
    // not know, a period of 0 ticks and the largest step and period.
    const TagSimulation stored[] = {{true, 9, 4000000000u, 0}, {false, 0, 0xFFFFFFFF, 0xFFFFFFFF}, {true, 3, 0, 1}};
    for (const TagSimulation& simulation : stored) {
        TagPropertiesFields fields = DoubleTagWithLimits();
        fields.simulation = simulation;
        std::unique_ptr<Tovi_DlgTag> dialog;
        HWND d = Open(dialog, fields);
        EXPECT_EQ(ComboSelection(d, IDC_TAG_SIMULATION_KIND),
                  IsSimulationKind(simulation.kind) ? static_cast<int>(simulation.kind) - 1 : -1);
        ClickButton(d, IDOK);
        ASSERT_EQ(dialog->Result(), IDOK) << simulation.kind;
        EXPECT_EQ(fields.simulation, simulation) << simulation.kind;
    }
    // Choosing a kind replaces an unknown one; the other settings stay.
    TagPropertiesFields fields = DoubleTagWithLimits();
    fields.simulation = {true, 9, 4, 0};
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    EXPECT_EQ(SimulationEnabled(d), (Enabled{true, false, true}));
    ChooseComboItem(d, IDC_TAG_SIMULATION_KIND, 0);
    ClickButton(d, IDOK);
    EXPECT_EQ(fields.simulation, (TagSimulation{true, 1, 4, 0}));
}

TEST_F(PropertyDialogsTest, TagDialogMnemonicsAreUniqueAndTabStopsGoInReadingOrder) {
    TagPropertiesFields fields = DoubleTagWithLimits();
    fields.simulation = {true, 6, 1, 10};  // every control enabled
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    std::wstring seen;
    std::vector<RECT> stops;
    for (HWND child = GetWindow(d, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t text[128] = {};
        GetWindowTextW(child, text, 128);
        const wchar_t* amp = wcschr(text, L'&');
        wchar_t kind[32] = {};
        GetClassNameW(child, kind, 32);
        const bool isEdit = _wcsicmp(kind, L"Edit") == 0;
        if (amp != nullptr && amp[1] != L'\0' && !isEdit) {
            const wchar_t key = towupper(amp[1]);
            EXPECT_EQ(seen.find(key), std::wstring::npos) << "mnemonic used twice: " << static_cast<char>(key);
            seen += key;
        }
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        const LONG buttonKind = style & BS_TYPEMASK;
        const bool pushButton =
            _wcsicmp(kind, L"Button") == 0 && (buttonKind == BS_PUSHBUTTON || buttonKind == BS_DEFPUSHBUTTON);
        if ((style & WS_TABSTOP) && !pushButton) {
            RECT r{};
            GetWindowRect(child, &r);
            stops.push_back(r);
        }
    }
    EXPECT_EQ(seen.size(), 17u);  // the fields, the radios, the groups' three, Historize, Help and Alarm
    ASSERT_GE(stops.size(), 13u);
    for (size_t i = 1; i < stops.size(); ++i) {
        const RECT& a = stops[i - 1];
        const RECT& b = stops[i];
        const bool sameRow = std::abs(a.top - b.top) < 4;
        EXPECT_TRUE(sameRow ? b.left > a.left : b.top > a.top) << "tab stop " << i << " goes back";
    }
}
