#include "DialogDriver.h"
#include "OPCS_DlgColumns.h"
#include "UiFixture.h"

namespace {
const wchar_t kRange[] = L"Please enter an integer between 10 and 5000.";
const wchar_t kPositive[] = L"Please enter a positive integer.";

class DlgColumnsTest : public UiFixture {
protected:
    void SetUp() override {
        UiFixture::SetUp();
        dialog = std::make_unique<OPCS_DlgColumns>(list);
        ASSERT_NE(dialog->Create(frame->Handle()), nullptr);
        columns = GetDlgItem(dialog->Handle(), IDC_COLUMN_LIST);
    }
    void TearDown() override {
        dialog.reset();
        UiFixture::TearDown();
    }
    void Click(int id) {
        ClickButton(dialog->Handle(), id);
        Pump(0);
    }
    void Select(std::initializer_list<int> items) {
        ListView_SetItemState(columns, -1, 0, LVIS_SELECTED);
        for (int item : items) ListView_SetItemState(columns, item, LVIS_SELECTED, LVIS_SELECTED);
        Pump(0);  // the dialog takes the selection once the list is done
    }
    void SetWidth(const wchar_t* text) { SetControlText(dialog->Handle(), IDC_COLUMN_WIDTH, text); }
    std::wstring Width() { return ControlText(dialog->Handle(), IDC_COLUMN_WIDTH); }
    std::wstring ItemText(int item) {
        wchar_t text[64] = {};
        ListView_GetItemText(columns, item, 0, text, 64);
        return text;
    }
    bool Open() const { return dialog->Handle() != nullptr; }
    const ColumnInfo& Setting(ColumnField field) {
        for (const ColumnInfo& c : theSettings.GetColumns())
            if (c.field == field) return c;
        return theSettings.GetColumns()[0];
    }

    std::unique_ptr<OPCS_DlgColumns> dialog;
    HWND columns = nullptr;
};
}  // namespace

TEST_F(DlgColumnsTest, WidthsOutsideTenToFiveThousandAreRefused) {
    EXPECT_EQ(ItemText(0), L"Name");
    EXPECT_EQ(Width(), L"165");
    EXPECT_FALSE(ListView_GetCheckState(columns, 5));  // Id is hidden
    SetWidth(L"9");
    Click(IDOK);
    SetWidth(L"5001");
    Click(IDOK);
    EXPECT_EQ(boxes.texts, (std::vector<std::wstring>{kRange, kRange}));
    ASSERT_TRUE(Open());

    // Name (165) and Value (80) together: no common width, and OK wants one.
    SetWidth(L"200");
    Select({0, 1});
    EXPECT_EQ(Width(), L"");
    Click(IDOK);
    EXPECT_EQ(boxes.texts.back(), kPositive);
    ASSERT_TRUE(Open());
    SetWidth(L"120");
    Click(IDOK);
    EXPECT_FALSE(Open());
    EXPECT_EQ(dialog->Result(), IDOK);
    EXPECT_EQ(Setting(kFieldName).width, 120u);
    EXPECT_EQ(Setting(kFieldValue).width, 120u);
    EXPECT_EQ(Setting(kFieldQuality).width, 65u);
    EXPECT_EQ(ListView_GetColumnWidth(ListControl(), 0), 120);
}

TEST_F(DlgColumnsTest, TheFirstColumnMovesUpToTheBottomAndAnEmptyRenameKeepsTheHeading) {
    Select({0});
    Click(IDC_COLUMN_UP);
    EXPECT_EQ(ItemText(8), L"Name");
    EXPECT_EQ(ItemText(0), L"Value");
    Click(IDC_COLUMN_UP);  // the moved item stays selected: one place up
    EXPECT_EQ(ItemText(7), L"Name");
    EXPECT_EQ(ItemText(8), L"Description");

    Select({1});  // Quality
    Click(IDC_COLUMN_RENAME);
    HWND edit = ListView_GetEditControl(columns);
    ASSERT_NE(edit, nullptr);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog->Handle(), IDC_COLUMN_RENAME)));
    SetWindowTextW(edit, L"");
    Click(IDC_COLUMN_DOWN);  // finishes the rename first
    EXPECT_EQ(ItemText(2), L"Quality");

    Select({0});  // Value
    Click(IDC_COLUMN_RENAME);
    edit = ListView_GetEditControl(columns);
    ASSERT_NE(edit, nullptr);
    SetWindowTextW(edit, L"Reading");
    SetWidth(L"90");
    Click(IDOK);
    ASSERT_FALSE(Open());
    EXPECT_EQ(Setting(kFieldValue).name, L"Reading");
    EXPECT_EQ(Setting(kFieldValue).width, 90u);
    EXPECT_EQ(Setting(kFieldQuality).name, L"Quality");
    EXPECT_EQ(Setting(kFieldName).position, 7u);
    // The list's headings follow at once; Id stays hidden.
    const auto& visible = list->VisibleColumns();
    ASSERT_EQ(visible.size(), 8u);
    EXPECT_EQ(visible[0].name, L"Reading");
    EXPECT_EQ(visible[6].field, static_cast<std::uint32_t>(kFieldName));
}

TEST_F(DlgColumnsTest, ResetWritesTheDefaultsAtOnceAndCancelKeepsThem) {
    Select({2});
    ListView_SetCheckState(columns, 5, TRUE);
    theSettings.GetColumns()[2].width = 300;  // as another edit left them
    Click(IDC_COLUMN_RESET);
    EXPECT_EQ(Setting(kFieldQuality).width, 65u);
    EXPECT_FALSE(ListView_GetCheckState(columns, 5));
    EXPECT_EQ(Width(), L"165");
    Click(IDCANCEL);
    EXPECT_FALSE(Open());
    EXPECT_EQ(dialog->Result(), IDCANCEL);
    EXPECT_EQ(Setting(kFieldQuality).width, 65u);
}
