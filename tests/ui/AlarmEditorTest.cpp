// The editor's side of alarms: the Alarms window acting as a client would,
// the tag dialog's alarm settings, the tag list's alarm column and the
// status bar's count, all on the real windows driven by messages.
#include <mutex>

#include "AlarmSettingsDialog.h"
#include "AlarmWindow.h"
#include "Configuration.h"
#include "DateTimeText.h"
#include "DialogDriver.h"
#include "Text.h"
#include "Tovi_DlgTag.h"
#include "UiFixture.h"

namespace {
using Table = std::vector<std::vector<std::wstring>>;

class RecordingObserver : public AlarmObserver {
public:
    void AlarmRaised(const AlarmEvent& event) noexcept override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(event);
    }
    std::vector<AlarmEvent> Take() {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::exchange(m_events, {});
    }

private:
    std::mutex m_lock;
    std::vector<AlarmEvent> m_events;
};

AlarmSettings Limits(std::optional<double> highHigh, std::optional<double> high, std::optional<double> low,
                     WORD severity) {
    AlarmSettings s;
    s.kind = AlarmKind::ExclusiveLimit;
    s.highHigh = highHigh;
    s.high = high;
    s.low = low;
    s.severity = severity;
    return s;
}

std::wstring Local(const FILETIME& utc) {
    SYSTEMTIME utcParts{}, local{};
    FileTimeToSystemTime(&utc, &utcParts);
    SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &local);
    return FormatDateTime(local);
}

class AlarmEditorTest : public UiFixture {
protected:
    void SetUp() override {
        UiFixture::SetUp();
        device = AddDevice(L"Plant");
        group = AddGroup(device, L"Loop");
        doc->GetConfiguration().SetAlarmObserver(&observer);
    }
    void TearDown() override {
        doc->GetConfiguration().SetAlarmObserver(nullptr);
        UiFixture::TearDown();
    }
    ToviTag* AlarmedTag(const std::wstring& name, const AlarmSettings& settings) {
        ToviTag* tag = AddTag(group, name);
        EXPECT_TRUE(tag->SetAlarmSettings(settings));
        return tag;
    }
    AlarmConditionState StateOf(ToviTag* tag) {
        AlarmEvent event;
        EXPECT_TRUE(tag->GetAlarmSnapshot(event, false));
        return event.state;
    }
    // Every cell of the window's list, row by row.
    static Table Rows(HWND list) {
        Table table;
        const int columns = Header_GetItemCount(ListView_GetHeader(list));
        for (int r = 0; r < ListView_GetItemCount(list); ++r) {
            table.emplace_back();
            for (int c = 0; c < columns; ++c) {
                wchar_t text[256] = {};
                ListView_GetItemText(list, r, c, text, 256);
                table.back().push_back(text);
            }
        }
        return table;
    }
    // The background the window paints a row with.
    static COLORREF RowBack(HWND window, int row) {
        NMLVCUSTOMDRAW draw{};
        draw.nmcd.hdr.hwndFrom = GetDlgItem(window, IDC_ALARMS_LIST);
        draw.nmcd.hdr.idFrom = IDC_ALARMS_LIST;
        draw.nmcd.hdr.code = NM_CUSTOMDRAW;
        draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
        draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
        draw.clrTextBk = CLR_DEFAULT;
        SendMessageW(window, WM_NOTIFY, IDC_ALARMS_LIST, reinterpret_cast<LPARAM>(&draw));
        return draw.clrTextBk;
    }
    static void SelectOnly(HWND window, int row) {
        HWND list = GetDlgItem(window, IDC_ALARMS_LIST);
        ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
        ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    }
    static void Refresh(HWND window) { SendMessageW(window, WM_TIMER, AlarmWindow::kRefreshTimer, 0); }

    ToviDevice* device = nullptr;
    ToviTagGroup* group = nullptr;
    RecordingObserver observer;
};
}  // namespace

TEST_F(AlarmEditorTest, TheWindowListsRaisedAlarmsInColourAndActsOnThemAsAClientWould) {
    ToviTag* temp = AlarmedTag(L"Temp", Limits(99, 80, std::nullopt, 750));
    ToviTag* pressure = AlarmedTag(L"Pressure", Limits(std::nullopt, std::nullopt, 10, 300));
    ToviTag* quiet = AlarmedTag(L"Quiet", Limits(std::nullopt, 80, std::nullopt, 500));
    temp->SetValueNow(Variant::FromDouble(90));
    pressure->SetValueNow(Variant::FromDouble(5));
    observer.Take();

    Key('L', true);  // View > Alarms... from its accelerator
    HWND window = AlarmWindow::OpenWindow();
    ASSERT_NE(window, nullptr);
    HWND list = GetDlgItem(window, IDC_ALARMS_LIST);
    // The newest first; the quiet tag's alarm asks for nothing and is not listed.
    const FILETIME tempTime = StateOf(temp).activeTime, pressureTime = StateOf(pressure).activeTime;
    EXPECT_EQ(
        Rows(list),
        (Table{
            {Local(pressureTime), L"Plant.Loop.Pressure", L"Low", L"300", L"Plant.Loop.Pressure Low", L"No", L"", L""},
            {Local(tempTime), L"Plant.Loop.Temp", L"High", L"750", L"Plant.Loop.Temp High", L"No", L"", L""}}));
    EXPECT_EQ(RowBack(window, 0), RGB(255, 165, 60));  // below 700: orange
    EXPECT_EQ(RowBack(window, 1), RGB(214, 40, 40));   // 700 and over: red
    Pump(600);                                         // the status bar counts at most twice a second
    frame->OnIdle();
    EXPECT_EQ(frame->PaneText(ID_PANE_ALARMS), L"Alarms: 2");

    // Acknowledge the selected row: the condition changes, a client is told, the row turns yellow.
    SelectOnly(window, 1);
    EXPECT_TRUE(ControlEnabled(window, IDC_ALARMS_ACK));
    EXPECT_FALSE(ControlEnabled(window, IDC_ALARMS_ENABLE));
    ClickButton(window, IDC_ALARMS_ACK);
    EXPECT_TRUE(StateOf(temp).acked);
    EXPECT_FALSE(StateOf(pressure).acked);
    std::vector<AlarmEvent> told = observer.Take();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].itemId, L"Plant.Loop.Temp");
    EXPECT_EQ(told[0].cause, AlarmEventCause::Acknowledged);
    EXPECT_EQ(told[0].state.clientUserId, L"Operator");
    EXPECT_EQ(ControlText(window, IDC_ALARMS_STATUS), L"One alarm acknowledged.");
    EXPECT_EQ(Rows(list)[1][5], L"Yes");
    EXPECT_EQ(RowBack(window, 1), RGB(255, 236, 120));
    EXPECT_FALSE(ControlEnabled(window, IDC_ALARMS_ACK));
    Pump(600);
    frame->OnIdle();
    EXPECT_EQ(frame->PaneText(ID_PANE_ALARMS), L"Alarms: 1");

    // A row acted on after its alarm moved unseen is refused in words and shown anew.
    SelectOnly(window, 0);
    pressure->SetValueNow(Variant::FromDouble(11));  // back to normal: a new event the window has not shown
    ClickButton(window, IDC_ALARMS_ACK);
    EXPECT_FALSE(StateOf(pressure).acked);
    EXPECT_EQ(ControlText(window, IDC_ALARMS_STATUS),
              L"Plant.Loop.Pressure not acknowledged: it changed since it was shown; look at it again.");
    EXPECT_EQ(Rows(list)[0][2], L"Normal");
    EXPECT_EQ(RowBack(window, 0), RGB(212, 212, 212));

    // A comment through its own box; then disabling keeps the row, grey, to be enabled again.
    observer.Take();
    SelectOnly(window, 0);
    ASSERT_TRUE(AnswerModalDialog(
        L"Add Comment",
        [](HWND box) {
            SetControlText(box, IDC_ALARM_COMMENT_TEXT, L"Sensor checked");
            ClickButton(box, IDOK);
        },
        [&] { ClickButton(window, IDC_ALARMS_COMMENT); }));
    EXPECT_EQ(StateOf(pressure).comment, L"Sensor checked");
    EXPECT_EQ(Rows(list)[0][7], L"Sensor checked");
    ClickButton(window, IDC_ALARMS_DISABLE);
    EXPECT_FALSE(StateOf(pressure).enabled);
    EXPECT_EQ(Rows(list)[0][2], L"Disabled");
    EXPECT_TRUE(ControlEnabled(window, IDC_ALARMS_ENABLE));
    ClickButton(window, IDC_ALARMS_ENABLE);
    EXPECT_TRUE(StateOf(pressure).enabled);
    told = observer.Take();
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[0].cause, AlarmEventCause::Commented);
    EXPECT_EQ(told[1].cause, AlarmEventCause::Disabled);
    EXPECT_EQ(told[2].cause, AlarmEventCause::Enabled);

    // Enabled, it is judged afresh: back to normal, it asks for nothing more and leaves the list.
    EXPECT_EQ(Rows(list).size(), 1u);

    // A heading sorts (Severity: the most severe first); the selection stays with its alarm.
    temp->SetValueNow(Variant::FromDouble(100));  // HighHigh: severity 800
    quiet->SetValueNow(Variant::FromDouble(90));  // High, 500, the newest
    Refresh(window);
    ASSERT_EQ(Rows(list).size(), 2u);
    EXPECT_EQ(Rows(list)[0][1], L"Plant.Loop.Quiet");
    SelectOnly(window, 1);
    NMLISTVIEW click{};
    click.hdr = {list, IDC_ALARMS_LIST, LVN_COLUMNCLICK};
    click.iSubItem = 3;
    SendMessageW(window, WM_NOTIFY, IDC_ALARMS_LIST, reinterpret_cast<LPARAM>(&click));
    EXPECT_EQ(Rows(list)[0][1], L"Plant.Loop.Temp");
    EXPECT_EQ(Rows(list)[0][2], L"HighHigh");
    EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 0);
    // Still selected after a refresh that moved it, it is acknowledged back to normal and leaves.
    temp->SetValueNow(Variant::FromDouble(20));
    Refresh(window);
    ClickButton(window, IDC_ALARMS_ACK);
    EXPECT_EQ(Rows(list), (Table{{Local(StateOf(quiet).activeTime), L"Plant.Loop.Quiet", L"High", L"500",
                                  L"Plant.Loop.Quiet High", L"No", L"", L""}}));

    // F1 asks for the window's help (no help file beside the tests: a box says so), Esc closes.
    SetFocus(list);
    boxes.texts.clear();
    Key(VK_F1);
    EXPECT_EQ(boxes.texts.size(), 1u);
    Key(VK_ESCAPE);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(AlarmEditorTest, TheTagListShowsEachTagsAlarmStateAndFollowsAnAcknowledgement) {
    AddTag(group, L"Plain");
    AlarmSettings settings = Limits(std::nullopt, 80, std::nullopt, 500);
    settings.needsConfirm = true;
    ToviTag* temp = AlarmedTag(L"Temp", settings);
    ASSERT_TRUE(tree->SelectObject(group));
    int column = -1;
    for (size_t i = 0; i < list->VisibleColumns().size(); ++i) {
        if (list->VisibleColumns()[i].field == kFieldAlarm) column = static_cast<int>(i);
    }
    ASSERT_GE(column, 0) << "the alarm column is shown by default";
    const int tempRow = list->RowTag(0) == temp ? 0 : 1;
    EXPECT_EQ(list->CellText(1 - tempRow, column), L"");
    // Each step as the list shows it at its next refresh; the commands move the alarm, not the tag.
    const struct {
        std::function<void()> step;
        const wchar_t* shown;
    } steps[] = {
        {[] {}, L"Normal"},
        {[&] { temp->SetValueNow(Variant::FromDouble(90)); }, L"High (unack)"},
        {[&] {
             AlarmEvent e;
             temp->GetAlarmSnapshot(e, false);
             doc->GetConfiguration().AlarmCommand(L"Plant.Loop.Temp", AlarmCommandKind::Acknowledge, e.number, L"",
                                                  L"Operator");
         },
         L"High (unconfirmed)"},
        {[&] { temp->SetValueNow(Variant::FromDouble(50)); }, L"Normal (unconfirmed)"},
        {[&] {
             AlarmEvent e;
             temp->GetAlarmSnapshot(e, false);
             doc->GetConfiguration().AlarmCommand(L"Plant.Loop.Temp", AlarmCommandKind::Confirm, e.number, L"",
                                                  L"Operator");
         },
         L"Normal"},
        {[&] {
             doc->GetConfiguration().AlarmCommand(L"Plant.Loop.Temp", AlarmCommandKind::Disable, 0, L"", L"Operator");
         },
         L"Disabled"},
        {[&] { temp->SetAlarmSettings(AlarmSettings{}); }, L""},
    };
    for (const auto& [step, shown] : steps) {
        step();
        list->RefreshChangedRows();
        EXPECT_EQ(list->CellText(tempRow, column), shown);
    }
}

TEST_F(AlarmEditorTest, TheAlarmDialogEnablesWhatTheKindUsesAndOKTakesOnlySettingsThatSuitTheTag) {
    struct Case {
        int kind;
        bool limits, normal, severityHighHigh, message;
    };
    const Case cases[] = {{0, false, false, false, false},
                          {1, true, false, true, true},
                          {2, true, false, true, true},
                          {3, false, true, false, true}};
    AlarmSettings settings = Limits(std::nullopt, 80, std::nullopt, 500);
    AlarmSettingsDialog dialog(settings, VT_R8);
    HWND d = dialog.Create(frame->Handle());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ControlText(d, IDC_ALARM_HIGH), L"80");
    EXPECT_TRUE(ControlEnabled(d, IDC_ALARM_HIGH));
    EXPECT_FALSE(ControlEnabled(d, IDC_ALARM_HIGHHIGH)) << "unchecked: unused";
    for (const Case& c : cases) {
        ChooseComboItem(d, IDC_ALARM_KIND, c.kind);
        EXPECT_EQ(ControlEnabled(d, IDC_ALARM_HIGH_ON), c.limits) << c.kind;
        EXPECT_EQ(ControlEnabled(d, IDC_ALARM_DEADBAND), c.limits) << c.kind;
        EXPECT_EQ(ControlEnabled(d, IDC_ALARM_NORMAL), c.normal) << c.kind;
        EXPECT_EQ(ControlEnabled(d, IDC_ALARM_SEVERITY_HH), c.severityHighHigh) << c.kind;
        EXPECT_EQ(ControlEnabled(d, IDC_ALARM_MESSAGE), c.message) << c.kind;
        EXPECT_EQ(ControlEnabled(d, IDC_ALARM_ENABLED), c.message) << c.kind;
    }

    // Refusals: the field's own message, then CheckAlarmSettings' words; the dialog stays open each time.
    ChooseComboItem(d, IDC_ALARM_KIND, 1);
    ToggleButton(d, IDC_ALARM_HIGHHIGH_ON, true);
    SetControlText(d, IDC_ALARM_HIGHHIGH, L"95.5");
    const struct {
        int id;
        const wchar_t* text;
        std::wstring message;
    } refusals[] = {
        {IDC_ALARM_HIGHHIGH, L"lots", L"Please enter a number."},
        {IDC_ALARM_SEVERITY, L"1001", L"Please enter an integer between 1 and 1000."},
        {IDC_ALARM_HIGHHIGH, L"70", CheckAlarmSettings(Limits(70, 80, std::nullopt, 500), VT_R8)},
    };
    for (const auto& [id, text, message] : refusals) {
        const std::wstring kept = ControlText(d, id);
        SetControlText(d, id, text);
        boxes.texts.clear();
        ClickButton(d, IDOK);
        EXPECT_EQ(boxes.texts, std::vector<std::wstring>{message}) << ToUtf8(text);
        EXPECT_EQ(dialog.Result(), 0) << ToUtf8(text);
        SetControlText(d, id, kept);
    }
    EXPECT_NE(refusals[2].message, L"");
    SetControlText(d, IDC_ALARM_DEADBAND, L"1.5");
    SetControlText(d, IDC_ALARM_MESSAGE, L"Too hot");
    ToggleButton(d, IDC_ALARM_NEEDS_CONFIRM, true);
    ClickButton(d, IDOK);
    EXPECT_EQ(dialog.Result(), IDOK);
    AlarmSettings expected = Limits(95.5, 80, std::nullopt, 500);
    expected.deadband = 1.5;
    expected.message = L"Too hot";
    expected.needsConfirm = true;
    EXPECT_EQ(settings, expected);
}

TEST_F(AlarmEditorTest, TheTagDialogAppliesItsAlarmWithTheTagAndRefusesOneTheNewTypeCannotTake) {
    ToviTag* tag = AddTag(group, L"Mode");
    tag->SetDataType(VT_I4);
    TagPropertiesFields fields;
    fields.name = L"Mode";
    fields.type = VT_I4;
    fields.valueText = L"2";
    std::unique_ptr<Tovi_DlgTag> dialog = std::make_unique<Tovi_DlgTag>(fields);
    HWND d = dialog->Create(frame->Handle());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ControlText(d, IDC_TAG_ALARM_SUMMARY), L"No alarm");
    ASSERT_TRUE(AnswerModalDialog(
        L"Alarm",
        [](HWND box) {
            ChooseComboItem(box, IDC_ALARM_KIND, 3);  // off-normal
            SetControlText(box, IDC_ALARM_NORMAL, L" 3 ");
            ClickButton(box, IDOK);
        },
        [&] { ClickButton(d, IDC_TAG_ALARM); }));
    EXPECT_EQ(ControlText(d, IDC_TAG_ALARM_SUMMARY), L"Off-normal alarm");
    EXPECT_FALSE(fields.alarm.IsAlarmed()) << "nothing is the tag's before OK";

    // The normal value follows a new type.
    ChooseComboItem(d, IDC_TAG_TYPE, Tovi_DlgTag::TypeIndex(VT_R8));
    ClickButton(d, IDOK);
    ASSERT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(fields.alarm.kind, AlarmKind::OffNormal);
    EXPECT_EQ(fields.alarm.normalValue.Type(), VT_R8);
    EXPECT_EQ(V_R8(&fields.alarm.normalValue.Ref()), 3.0);
    tag->ApplyProperties(fields.name, fields);  // as EditTagProperties applies the dialog's OK
    EXPECT_EQ(tag->GetAlarmSettings(), fields.alarm);
    AlarmEvent event;
    ASSERT_TRUE(tag->GetAlarmSnapshot(event, false));
    EXPECT_TRUE(event.state.active) << "judged on the value applied with it: 2 is not 3";

    // A limit alarm on a tag made a string: refused in the model's words, the dialog open.
    fields.alarm = Limits(std::nullopt, 80, std::nullopt, 500);
    dialog = std::make_unique<Tovi_DlgTag>(fields);
    d = dialog->Create(frame->Handle());
    EXPECT_EQ(ControlText(d, IDC_TAG_ALARM_SUMMARY), L"Exclusive limit alarm");
    ChooseComboItem(d, IDC_TAG_TYPE, Tovi_DlgTag::TypeIndex(VT_BSTR));
    boxes.texts.clear();
    ClickButton(d, IDOK);
    EXPECT_EQ(boxes.texts, std::vector<std::wstring>{L"The tag's alarm: " + CheckAlarmSettings(fields.alarm, VT_BSTR)});
    EXPECT_EQ(dialog->Result(), 0);
}
