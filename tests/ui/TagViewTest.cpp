#include "UiFixture.h"

#include <algorithm>
#include <functional>
#include <map>

#include "DialogDriver.h"
#include "FindTagsDialog.h"
#include "OpcConstants.h"

namespace {
class TagViewTest : public UiFixture {
protected:
    void SetUp() override {
        UiFixture::SetUp();
        device = AddDevice(L"Plant");
        group = AddGroup(device, L"Loop");
    }
    void ClickHeading(int displayIndex) {
        NMLISTVIEW click{};
        click.hdr.hwndFrom = ListControl();
        click.hdr.code = LVN_COLUMNCLICK;
        click.iItem = -1;
        click.iSubItem = displayIndex;
        SendMessageW(list->Handle(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&click));
    }
    int DisplayIndexOf(ColumnField field) const {
        const auto& columns = list->VisibleColumns();
        for (size_t i = 0; i < columns.size(); ++i)
            if (columns[i].field == field) return static_cast<int>(i);
        return -1;
    }
    ToviDevice* device = nullptr;
    ToviTagGroup* group = nullptr;
};
}  // namespace

TEST_F(TagViewTest, DescriptionHeadingSortsByDescriptionAndASecondClickReverses) {
    AddTag(group, L"T1", L"beta");
    AddTag(group, L"T2", L"Gamma");
    AddTag(group, L"T3", L"alpha");
    AddTag(group, L"T4", L"Beta");
    ASSERT_TRUE(tree->SelectObject(group));
    // The default layout hides Id (which holds the stored flag): the list starts by Name.
    ASSERT_EQ(DisplayIndexOf(kFieldId), -1);
    EXPECT_EQ(RowNames(), (std::vector<std::wstring>{L"T1", L"T2", L"T3", L"T4"}));

    ClickHeading(DisplayIndexOf(kFieldDescription));
    // Without regard to case, equal keys keep the group's order.
    EXPECT_EQ(RowNames(), (std::vector<std::wstring>{L"T3", L"T1", L"T4", L"T2"}));
    ClickHeading(DisplayIndexOf(kFieldDescription));
    EXPECT_EQ(RowNames(), (std::vector<std::wstring>{L"T2", L"T1", L"T4", L"T3"}));

    // The flags live in the settings: a reload sorts the same way.
    int flagged = 0;
    for (const ColumnInfo& column : theSettings.GetColumns()) {
        if (column.sortColumn) {
            ++flagged;
            EXPECT_EQ(column.field, static_cast<std::uint32_t>(kFieldDescription));
            EXPECT_FALSE(column.sortAscending);
        }
    }
    EXPECT_EQ(flagged, 1);
    list->Reload();
    EXPECT_EQ(RowNames(), (std::vector<std::wstring>{L"T2", L"T1", L"T4", L"T3"}));
}

TEST_F(TagViewTest, ValuesRefreshInPlaceAndVolatileCellsStayEmptyWhileTheDeviceIsIdle) {
    ToviTag* tag = AddTag(group, L"Level", L"Tank level");
    tag->SetVolatile(true);
    tag->SetAccessMode(0);
    ASSERT_TRUE(tree->SelectObject(group));
    const int value = DisplayIndexOf(kFieldValue);
    const int quality = DisplayIndexOf(kFieldQuality);
    tag->SetValueNow(Variant::FromDouble(1.5));
    list->RefreshChangedRows();
    // Volatile and the device not polling: only the configured attributes show.
    EXPECT_EQ(list->CellText(0, value), L"");
    EXPECT_EQ(list->CellText(0, quality), L"");
    EXPECT_EQ(list->CellText(0, DisplayIndexOf(kFieldName)), L"Level");
    EXPECT_EQ(list->CellText(0, DisplayIndexOf(kFieldDescription)), L"Tank level");
    EXPECT_EQ(list->CellText(0, DisplayIndexOf(kFieldMode)), L"Read Only");

    device->RequestPollStart(kPollOperator);
    // A polling run begins by clearing volatile values: write only after that.
    for (int i = 0; i < 500 && device->GetPollState() != kPollWaiting; ++i) Pump(10);
    ASSERT_EQ(device->GetPollState(), kPollWaiting);
    SelectRows({0});
    tag->SetValueNow(Variant::FromDouble(2.5));
    Pump(700);                                     // the list's own timer
    EXPECT_EQ(list->CellText(0, value), L"2.5 ");  // the tag's own text of a double
    EXPECT_EQ(list->CellText(0, quality), L"Good");
    // Refreshed, not reloaded: the selection is still there.
    EXPECT_EQ(list->SelectedRows(), std::vector<int>{0});

    tag->SetValueNow(Variant::FromDouble(3.25));
    doc->Poster().Post(ViewKind::TagList, kHintValuesChanged);
    Pump(20);
    EXPECT_EQ(list->CellText(0, value), L"3.25 ");
    // A quality forced on the group reaches the row at the next refresh, marked.
    group->ForceQuality(OPC_QUALITY_COMM_FAILURE);
    list->RefreshChangedRows();
    EXPECT_EQ(list->CellText(0, quality), L"Forced: Bad (Comm Failure)");
    EXPECT_EQ(list->CellText(0, value), L"?");
    device->RequestPollStop(kPollOperator);
}

TEST_F(TagViewTest, DeletingTheTwoLastRowsSelectsTheNewLastAndReferencedTagsStay) {
    for (int i = 1; i <= 5; ++i) AddTag(group, L"Tag" + std::to_wstring(i));
    ASSERT_TRUE(tree->SelectObject(group));
    SetFocus(ListControl());
    ASSERT_EQ(frame->ActiveView(), static_cast<CViewWindow*>(list));

    SelectRows({3, 4});
    EXPECT_TRUE(frame->QueryCommandState(ID_EDIT_DELETE).enabled);
    Command(ID_EDIT_DELETE);
    EXPECT_EQ(RowNames(), (std::vector<std::wstring>{L"Tag1", L"Tag2", L"Tag3"}));
    EXPECT_EQ(list->SelectedRows(), std::vector<int>{2});
    EXPECT_TRUE(doc->IsModified());

    OPCS_Tag* used = list->RowTag(1);
    used->AddClientReference();
    used->AddClientReference();
    SelectRows({1});
    frame->OnIdle();
    EXPECT_EQ(frame->PaneText(ID_PANE_CLIENTS), L"Number of Clients:  2");
    SelectRows({0, 1});
    EXPECT_FALSE(frame->QueryCommandState(ID_EDIT_DELETE).enabled);
    Key(VK_DELETE);  // the list's key: a tag that clients use is silently kept
    Pump(20);
    EXPECT_EQ(RowNames(), (std::vector<std::wstring>{L"Tag2", L"Tag3"}));
    EXPECT_TRUE(boxes.texts.empty());
    used->ReleaseClientReference();
    used->ReleaseClientReference();
}

TEST_F(TagViewTest, AHundredThousandTagsFillAtOnce) {
    std::vector<OPCS_Tag*> tags;
    for (int i = 0; i < 100000; ++i) {
        auto* tag = new ToviTag;
        tag->Rename(L"T" + std::to_wstring(i));
        ASSERT_TRUE(group->AddTag(tag));
    }
    ASSERT_TRUE(tree->SelectObject(group));
    EXPECT_EQ(list->RowCount(), 100000);
    EXPECT_EQ(ListView_GetItemCount(ListControl()), 100000);
    // Sorted by name without regard to case: T0, T1, T10, T100, ...
    EXPECT_EQ(list->RowTag(2)->GetName(), L"T10");
    EXPECT_EQ(list->CellText(99999, 0), L"T99999");
}

TEST_F(TagViewTest, EveryHeadingSortsAsAnIndependentStableSortAndKeepsTheSelection) {
    for (ColumnInfo& column : theSettings.GetColumns()) column.visible = true;
    list->BuildColumns();
    struct Shape {
        const wchar_t *name, *description;
        WORD quality;
        DWORD seconds;  // the timestamp
        DWORD mode;
        bool history;
        double alarmValue;  // < 0: no alarm
    };
    const Shape shapes[] = {
        {L"beta", L"pump", OPC_QUALITY_GOOD, 30, 1, false, -1},
        {L"Alpha", L"Pump", OPC_QUALITY_BAD, 10, 0, true, 90},
        {L"gamma", L"valve", OPC_QUALITY_UNCERTAIN, 20, 1, false, 50},
        {L"ALPHA2", L"", OPC_QUALITY_GOOD, 10, 0, true, -1},
        {L"delta", L"pump", OPC_QUALITY_COMM_FAILURE, 40, 0, false, 95},
        {L"Beta1", L"Valve", OPC_QUALITY_BAD, 5, 1, false, -1},
    };
    std::vector<OPCS_Tag*> order;  // the group's order
    for (const Shape& shape : shapes) {
        ToviTag* tag = AddTag(group, shape.name, shape.description);
        tag->SetVolatile(false);  // every cell shown while the device is idle
        tag->SetAccessMode(shape.mode);
        tag->SetHistorize(shape.history);
        if (shape.alarmValue >= 0) {
            AlarmSettings alarm;
            alarm.kind = AlarmKind::ExclusiveLimit;
            alarm.high = 80;
            ASSERT_TRUE(tag->SetAlarmSettings(alarm));
        }
        const FILETIME time{shape.seconds * 10000000u, 0x01D00000};
        tag->SetValue(Variant::FromDouble(shape.alarmValue), shape.quality, time);
        order.push_back(tag);
    }
    // More rows than a small-range sort handles by insertion, most keys equal: only a stable sort keeps their order.
    for (int i = 0; i < 40; ++i) {
        auto* tag = new ToviTag;
        tag->Rename(L"Row" + std::to_wstring(i));
        tag->SetDescription(i % 3 == 0 ? L"Pump" : L"valve");
        tag->SetVolatile(false);
        ASSERT_TRUE(group->AddTag(tag));
        order.push_back(tag);
    }
    ASSERT_TRUE(tree->SelectObject(group));
    std::map<OPCS_Tag*, std::wstring> alarmText;
    for (int row = 0; row < list->RowCount(); ++row) {
        alarmText[list->RowTag(row)] = list->CellText(row, DisplayIndexOf(kFieldAlarm));
    }
    // The keys, taken here and not from the list: -1, 0 or 1.
    const auto noCase = [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) - CSTR_EQUAL;
    };
    const auto sign = [](auto a, auto b) { return a < b ? -1 : (b < a ? 1 : 0); };
    const std::map<ColumnField, std::function<int(OPCS_Tag*, OPCS_Tag*)>> compare = {
        {kFieldName, [&](OPCS_Tag* a, OPCS_Tag* b) { return noCase(a->GetName(), b->GetName()); }},
        {kFieldValue, [](OPCS_Tag*, OPCS_Tag*) { return 0; }},
        {kFieldQuality, [&](OPCS_Tag* a, OPCS_Tag* b) { return sign(a->GetQuality(), b->GetQuality()); }},
        {kFieldLastUpdated,
         [](OPCS_Tag* a, OPCS_Tag* b) {
             const FILETIME x = a->GetTimestamp(), y = b->GetTimestamp();
             return static_cast<int>(CompareFileTime(&x, &y));
         }},
        {kFieldMode, [&](OPCS_Tag* a, OPCS_Tag* b) { return sign(a->GetAccessMode(), b->GetAccessMode()); }},
        {kFieldId,
         [&](OPCS_Tag* a, OPCS_Tag* b) {
             return sign(static_cast<LONG>(a->GetReserved()), static_cast<LONG>(b->GetReserved()));
         }},
        {kFieldDescription, [&](OPCS_Tag* a, OPCS_Tag* b) { return noCase(a->GetDescription(), b->GetDescription()); }},
        {kFieldAlarm, [&](OPCS_Tag* a, OPCS_Tag* b) { return sign(alarmText[a], alarmText[b]); }},
        {kFieldHistory, [&](OPCS_Tag* a, OPCS_Tag* b) { return sign(a->IsHistorized(), b->IsHistorized()); }},
    };
    const auto rows = [this] {
        std::vector<OPCS_Tag*> tags;
        for (int i = 0; i < list->RowCount(); ++i) tags.push_back(list->RowTag(i));
        return tags;
    };
    std::vector<OPCS_Tag*> expected = rows();
    SelectRows({1, 4});
    std::vector<OPCS_Tag*> selected = list->SelectedTags();
    std::sort(selected.begin(), selected.end());
    std::map<std::uint32_t, bool> ascending;
    std::uint32_t sortField = kFieldName;  // the default layout's
    for (const ColumnInfo& column : list->VisibleColumns()) {
        ascending[column.field] = column.sortAscending;
        if (column.sortColumn) sortField = column.field;
    }
    // Each heading twice: a new sort column keeps its stored direction, a second click reverses it.
    for (int click = 0; click < 2 * static_cast<int>(list->VisibleColumns().size()); ++click) {
        const int displayIndex = click / 2;
        const auto field = static_cast<ColumnField>(list->VisibleColumns()[static_cast<size_t>(displayIndex)].field);
        if (field == sortField) ascending[field] = !ascending[field];
        sortField = field;
        const bool up = ascending[field];
        std::stable_sort(expected.begin(), expected.end(), [&](OPCS_Tag* a, OPCS_Tag* b) {
            const int c = compare.at(field)(a, b);
            return up ? c < 0 : c > 0;
        });
        ClickHeading(displayIndex);
        EXPECT_EQ(rows(), expected) << "field " << field << (up ? " ascending" : " descending");
        std::vector<OPCS_Tag*> stillSelected = list->SelectedTags();
        std::sort(stillSelected.begin(), stillSelected.end());
        EXPECT_EQ(stillSelected, selected) << "field " << field;
    }
    EXPECT_NE(expected, order);  // the data did get reordered
}

TEST_F(TagViewTest, FindNextWalksTheTreeFromTheSelectionAndWrapsOnce) {
    ToviTag* fic = AddTag(group, L"FIC101", L"Feed flow");
    AddTag(group, L"TIC200", L"Reactor temperature");
    ToviTagGroup* inner = AddGroup(group, L"Inner");
    for (int i = 0; i < 300; ++i) {  // the hit below them is scrolled into view
        auto* filler = new ToviTag;
        filler->Rename(L"Filler" + std::to_wstring(i));
        ASSERT_TRUE(inner->AddTag(filler));
    }
    ToviTag* pump = AddTag(inner, L"PumpSpeed", L"feed PUMP speed");
    ToviDevice* utility = AddDevice(L"Utility");
    ToviTagGroup* air = AddGroup(utility, L"Air");
    ToviTag* compressor = AddTag(air, L"Compressor", L"Air Compressor Load");
    ASSERT_TRUE(tree->SelectObject(group));  // no tag selected: from the group's first tag

    // Ctrl+Shift+F opens Find; Ctrl+F stays Force Poll.
    Key('F', true);
    EXPECT_EQ(FindTagsDialog::OpenWindow(), nullptr);
    BYTE keys[256] = {};
    keys[VK_CONTROL] = keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    MSG msg{GetFocus(), WM_KEYDOWN, 'F', 1, 0, {}};
    EXPECT_TRUE(frame->PreTranslateMessage(&msg));
    keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    HWND dialog = FindTagsDialog::OpenWindow();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(ButtonChecked(dialog, IDC_FIND_ITEM_IDS));
    EXPECT_TRUE(ButtonChecked(dialog, IDC_FIND_DESCRIPTIONS));
    EXPECT_FALSE(ButtonChecked(dialog, IDC_FIND_MATCH_CASE));
    EXPECT_FALSE(ControlEnabled(dialog, IDOK));  // nothing to find yet
    HMENU edit = GetSubMenu(GetMenu(frame->Handle()), 1);
    wchar_t item[64] = {};
    GetMenuStringW(edit, ID_EDIT_FIND, item, 64, MF_BYCOMMAND);
    EXPECT_STREQ(item, L"&Find...\tCtrl+Shift+F");

    struct Press {
        const wchar_t* text;
        bool ids, descriptions, matchCase;
        OPCS_Tag* found;  // null: not found, the selection stays
        OPCS_TagGroup* shownGroup;
    };
    const Press presses[] = {
        {L"fic", true, false, false, fic, group},
        {L"feed", true, true, false, pump, inner},  // a nested group is selected in the tree
        {L"feed", true, true, false, fic, group},   // past the end, from the top again
        {L"Feed", true, true, true, fic, group},    // the current tag is the last one tried
        {L"feed", false, true, true, pump, inner},
        {L"utility.AIR.comp", true, false, false, compressor, air},  // the whole item ID, device included
        {L"Air Compressor", true, false, false, nullptr, air},       // a description, searched by ID only
        {L"air compressor", false, true, false, compressor, air},
        {L"air compressor", false, true, true, nullptr, air},
    };
    size_t boxCount = 0;
    for (const Press& p : presses) {
        SCOPED_TRACE(testing::Message() << "\"" << p.text << "\" ids " << p.ids << " descriptions " << p.descriptions
                                        << " case " << p.matchCase);
        SetControlText(dialog, IDC_FIND_TEXT, p.text);
        ToggleButton(dialog, IDC_FIND_ITEM_IDS, p.ids);
        ToggleButton(dialog, IDC_FIND_DESCRIPTIONS, p.descriptions);
        ToggleButton(dialog, IDC_FIND_MATCH_CASE, p.matchCase);
        ClickButton(dialog, IDOK);
        if (p.found == nullptr) {
            ASSERT_EQ(boxes.texts.size(), ++boxCount);
            EXPECT_EQ(boxes.texts.back(), std::wstring(L"Cannot find \"") + p.text + L"\".");
            EXPECT_EQ(boxes.styles.back() & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
        } else {
            EXPECT_EQ(list->SelectedTags(), std::vector<OPCS_Tag*>{p.found});
            const int row = list->SelectedRows().empty() ? -1 : list->SelectedRows().front();
            EXPECT_EQ(ListView_GetNextItem(ListControl(), -1, LVNI_FOCUSED), row);
            const int top = ListView_GetTopIndex(ListControl());
            EXPECT_TRUE(row >= top && row < top + std::max(1, ListView_GetCountPerPage(ListControl())))
                << row << " top " << top << " per page " << ListView_GetCountPerPage(ListControl());
        }
        EXPECT_EQ(boxes.texts.size(), boxCount);
        EXPECT_EQ(tree->SelectedGroup(), p.shownGroup);
    }
    ClickButton(dialog, IDCANCEL);
    EXPECT_EQ(FindTagsDialog::OpenWindow(), nullptr);
}
