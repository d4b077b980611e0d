#include <array>
#include <cfloat>
#include <tuple>

#include "DialogDriver.h"
#include "DlgGroup.h"
#include "DlgTag.h"
#include "UiFixture.h"

namespace {
const wchar_t kNumber[] = L"Please enter a number.";
const wchar_t kPositive[] = L"Please enter a positive integer.";

class PropertyDialogsTest : public UiFixture {
protected:
    // The dialog over the frame, driven without a loop of its own.
    template <class Dialog, class Fields>
    HWND Open(std::unique_ptr<Dialog>& dialog, Fields& fields) {
        dialog = std::make_unique<Dialog>(fields);
        return dialog->Create(frame->Handle());
    }
};

TagPropertiesFields DoubleTagWithLimits() {
    TagPropertiesFields f;
    f.name = L"Level";
    f.valueText = L"2.5 ";
    f.dataType = VT_R8;
    f.readWrite = true;
    f.limitValues = true;
    f.minimum = -10;
    f.maximum = 90.5;
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
        {VT_I4, L"12abc", VT_I4, 12},          {VT_I4, L"abc", VT_I4, 0},
        {VT_I4, L"  -7 ", VT_I4, -7},          {VT_I4, L"99999999999", VT_I4, 2147483647.0},
        {VT_I4, L"", VT_I4, 0},                {VT_UI1, L"300", VT_I4, 300},  // any other type is edited as Integer
        {VT_BOOL, L"true", VT_BOOL, 0},        {VT_BOOL, L"  True", VT_BOOL, -1},
        {VT_BOOL, L"1", VT_BOOL, -1},          {VT_BOOL, L"yes", VT_BOOL, 0},
        {VT_R4, L"1.5e3kg", VT_R4, 1500},      {VT_R4, L"1e300", VT_R4, FLT_MAX},
        {VT_R8, L"-1e999", VT_R8, -DBL_MAX},   {VT_R8, L"inf", VT_R8, 0},
        {VT_R8, L"nan", VT_R8, 0},             {VT_R8, L"0x10", VT_R8, 0},
    };
    for (const Case& c : cases) {
        TagPropertiesFields fields = DoubleTagWithLimits();
        fields.dataType = c.type;
        fields.valueText = c.text;
        std::unique_ptr<Tovi_DlgTag> dialog;
        HWND window = Open(dialog, fields);
        ASSERT_NE(window, nullptr);
        ClickButton(window, IDOK);
        ASSERT_EQ(dialog->Result(), IDOK) << c.text;
        EXPECT_EQ(fields.dataType, c.expectedType) << c.text;
        Variant as = fields.value;
        ASSERT_EQ(V_VT(as.Get()), c.expectedType) << c.text;
        ASSERT_TRUE(SUCCEEDED(as.ChangeType(VT_R8))) << c.text;
        const double want = c.expectedType == VT_R4 ? static_cast<double>(static_cast<float>(c.expected)) : c.expected;
        EXPECT_DOUBLE_EQ(V_R8(as.Get()), want) << c.text;
    }
    // A string keeps its text, trimmed, however long.
    TagPropertiesFields fields = DoubleTagWithLimits();
    fields.dataType = VT_BSTR;
    fields.valueText = L"  " + std::wstring(10000, L'x') + L"  ";
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND window = Open(dialog, fields);
    ClickButton(window, IDOK);
    ASSERT_EQ(V_VT(fields.value.Get()), VT_BSTR);
    EXPECT_EQ(SysStringLen(V_BSTR(fields.value.Get())), 10000u);
    EXPECT_FALSE(fields.limitValues);  // a String tag has no limits
}

TEST_F(PropertyDialogsTest, DoubleToStringAndBackLeavesTheLimitsOffUntilTicked) {
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
    ChooseComboItem(d, IDC_TAG_TYPE, 3);  // Double again
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
    ClickButton(d, IDOK);
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_TRUE(fields.limitValues);
    EXPECT_EQ(fields.deadband, 4.5);
    EXPECT_FALSE(fields.readWrite);

    // Bool and String tags open with the box cleared and disabled.
    fields = DoubleTagWithLimits();
    fields.dataType = VT_BOOL;
    d = Open(dialog, fields);
    EXPECT_EQ(ComboSelection(d, IDC_TAG_TYPE), 0);
    EXPECT_FALSE(ControlEnabled(d, IDC_TAG_LIMITS));
    EXPECT_FALSE(ButtonChecked(d, IDC_TAG_LIMITS));
}

TEST_F(PropertyDialogsTest, MinMaxAndDeadbandMustBeNumbersAndTheDialogStaysOpen) {
    TagPropertiesFields fields = DoubleTagWithLimits();
    std::unique_ptr<Tovi_DlgTag> dialog;
    HWND d = Open(dialog, fields);
    const std::pair<int, const wchar_t*> refused[] = {
        {IDC_TAG_MIN, L""},         {IDC_TAG_MIN, L"12abc"},  {IDC_TAG_MAX, L"letters"},
        {IDC_TAG_MAX, L"1e999"},    {IDC_TAG_DEADBAND, L"-"}, {IDC_TAG_DEADBAND, L"nan"},
    };
    for (const auto& [id, text] : refused) {
        SetControlText(d, id, text);
        boxes.clear();
        ClickButton(d, IDOK);
        EXPECT_EQ(boxes, std::vector<std::wstring>{kNumber}) << text;
        ASSERT_EQ(dialog->Handle(), d) << text;
        EXPECT_EQ(GetFocus(), GetDlgItem(d, id)) << text;
        SetControlText(d, id, L"1");
    }
    EXPECT_EQ(fields.name, L"Level");  // nothing was taken from a refused dialog
    // Disabled edits are checked too; Min above Max is the tag's business.
    ToggleButton(d, IDC_TAG_LIMITS, false);
    SetControlText(d, IDC_TAG_MIN, L" -1e3 ");
    SetControlText(d, IDC_TAG_MAX, L"-2000");
    SetControlText(d, IDC_TAG_NAME, std::wstring(10000, L'n'));
    boxes.clear();
    ClickButton(d, IDOK);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.minimum, -1000);
    EXPECT_EQ(fields.maximum, -2000);
    EXPECT_FALSE(fields.limitValues);
    EXPECT_EQ(fields.name.size(), 10000u);
}

TEST_F(PropertyDialogsTest, IntervalOpensModulo24AndTheScheduleEntryMatchesExactly) {
    const std::pair<DWORD, std::array<const wchar_t*, 4>> opened[] = {
        {90000, {L"1", L"0", L"0", L"1 Minute"}},
        {300, {L"0", L"5", L"0", L"5 Minutes"}},
        {301, {L"0", L"5", L"1", L"1 Minute"}},
        {86400, {L"0", L"0", L"0", L"24 Hours"}},
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

TEST_F(PropertyDialogsTest, RefreshControlsFollowTheBoxAndTheModeAndAGroupHasNone) {
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

    GroupPropertiesFields group{L"Loop", false, true, 1, 300};
    d = Open(dialog, group);
    EXPECT_FALSE(ControlEnabled(d, IDC_GROUP_REFRESH));
    expectState(false, false, false);
}

TEST_F(PropertyDialogsTest, HoursMinutesAndSecondsAreCheckedEvenWhenDisabled) {
    GroupPropertiesFields fields{L"Plant", true, false, 0, 300};
    std::unique_ptr<Tovi_DlgGroup> dialog;
    HWND d = Open(dialog, fields);
    const std::tuple<int, const wchar_t*, std::wstring> refused[] = {
        {IDC_GROUP_HOURS, L"25", L"Please enter an integer between 0 and 24."},
        {IDC_GROUP_HOURS, L"", kPositive},
        {IDC_GROUP_MINUTES, L"-1", kPositive},
        {IDC_GROUP_MINUTES, L"60", L"Please enter an integer between 0 and 59."},
        {IDC_GROUP_SECONDS, L"abc", kPositive},
        {IDC_GROUP_SECONDS, L"99999999999", kPositive},
        {IDC_GROUP_SECONDS, L"4294967295", L"Please enter an integer between 0 and 59."},
    };
    for (const auto& [id, text, message] : refused) {
        SetControlText(d, id, text);
        boxes.clear();
        ClickButton(d, IDOK);
        EXPECT_EQ(boxes, std::vector<std::wstring>{message}) << text;
        ASSERT_EQ(dialog->Handle(), d);  // (a disabled edit cannot take the focus)
        SetControlText(d, id, L"0");
    }
    SetControlText(d, IDC_GROUP_HOURS, L"24");
    ClickButton(d, IDOK);
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.refreshPeriod, 300u);  // By Schedule the interval stays as it opened
}

TEST_F(PropertyDialogsTest, DeviceEditedInTheRealDialogAppliesIntervalAndSchedule) {
    ToviDevice* device = AddDevice(L"Plant");
    device->SetRefreshEnabled(true);
    device->SetRefreshMode(kRefreshByInterval);
    device->SetRefreshPeriod(90000);
    // Unchanged By Interval: 01:00:00 goes back as 3600 seconds.
    ASSERT_TRUE(AnswerModalDialog(L"Tag Group", [](HWND d) {
        EXPECT_EQ(ControlText(d, IDC_GROUP_HOURS), L"1");
        SetControlText(d, IDC_GROUP_NAME, L"Boiler");
        ClickButton(d, IDOK);
    }, [&] { EXPECT_TRUE(device->EditProperties()); }));
    EXPECT_EQ(device->GetRefreshPeriod(), 3600u);
    EXPECT_EQ(device->GetName(), L"Boiler");

    // By Schedule the chosen entry is the period.
    ASSERT_TRUE(AnswerModalDialog(L"Tag Group", [](HWND d) {
        ChooseRadio(d, IDC_GROUP_BY_SCHEDULE, IDC_GROUP_BY_INTERVAL, IDC_GROUP_BY_SCHEDULE);
        ChooseComboItem(d, IDC_GROUP_SCHEDULE, 4);  // 15 Minutes
        ClickButton(d, IDOK);
    }, [&] { EXPECT_TRUE(device->EditProperties()); }));
    EXPECT_EQ(device->GetRefreshMode(), static_cast<DWORD>(kRefreshBySchedule));
    EXPECT_EQ(device->GetRefreshPeriod(), 900u);
    EXPECT_EQ(device->GetUpdateInterval(), 1u);

    // Cancel changes nothing.
    ASSERT_TRUE(AnswerModalDialog(L"Tag Group", [](HWND d) {
        SetControlText(d, IDC_GROUP_NAME, L"Other");
        ClickButton(d, IDCANCEL);
    }, [&] { EXPECT_FALSE(device->EditProperties()); }));
    EXPECT_EQ(device->GetName(), L"Boiler");
}

TEST_F(PropertyDialogsTest, TagEditedInTheRealDialogTakesTheNewTypeAndValue) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* tag = AddTag(device, L"Level");
    tag->SetValueNow(Variant::FromDouble(2.5));
    ASSERT_TRUE(AnswerModalDialog(L"Tag Properties", [](HWND d) {
        ChooseComboItem(d, IDC_TAG_TYPE, 1);  // Integer
        SetControlText(d, IDC_TAG_VALUE, L" 42 apples");
        ToggleButton(d, IDC_TAG_LIMITS, true);
        SetControlText(d, IDC_TAG_MIN, L"0");
        SetControlText(d, IDC_TAG_MAX, L"40");
        ClickButton(d, IDOK);
    }, [&] { EXPECT_TRUE(tag->EditProperties()); }));
    EXPECT_EQ(tag->GetDataType(), VT_I4);
    EXPECT_EQ(tag->GetValueText(), L"40");  // through the new limits
    EXPECT_TRUE(tag->AreValueLimitsSet());
}
