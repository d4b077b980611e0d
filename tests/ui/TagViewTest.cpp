#include "UiFixture.h"

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
