// The trend window over the tag list's selection, its keys, the History
// column, the tag dialog's Historize box and the history limits in Options.
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "Configuration.h"
#include "DialogDriver.h"
#include "HistorySeries.h"
#include "HistoryStore.h"
#include "Text.h"
#include "Tovi_DlgOptions.h"
#include "TrendWindow.h"
#include "UiFixture.h"

namespace {
constexpr HistoryTime kS = kHistoryTicksPerSecond;
constexpr HistoryQuality kGood = 0xC0;

class TrendWindowTest : public UiFixture {
protected:
    void TearDown() override {
        while (!TrendWindow::OpenWindows().empty()) DestroyWindow(TrendWindow::OpenWindows().back()->Handle());
        UiFixture::TearDown();
    }
    void ChartKey(TrendWindow* window, UINT key) {
        SendDlgItemMessageW(window->Handle(), IDC_TREND_CHART, WM_KEYDOWN, key, 1);
    }
};
}  // namespace

// Trend takes the selection: one window per use, each with its own tags, a
// tag without history named so; the keys scroll, follow now and zoom
// between ten seconds and the store's span.
TEST_F(TrendWindowTest, OpensOnTheSelectionAndItsKeysScrollAndZoomWithinBounds) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* level = AddTag(device, L"Level");
    ToviTag* flag = AddTag(device, L"Flag");
    level->SetHistorize(true);
    ASSERT_TRUE(tree->SelectObject(device));
    SelectRows({});
    EXPECT_FALSE(frame->QueryCommandState(ID_VIEW_TREND).enabled);
    SelectRows({0, 1});
    ASSERT_TRUE(frame->QueryCommandState(ID_VIEW_TREND).enabled);
    Command(ID_VIEW_TREND);
    SelectRows({list->RowTag(0) == flag ? 0 : 1});
    Command(ID_VIEW_TREND);
    ASSERT_EQ(TrendWindow::OpenWindows().size(), 2u);
    TrendWindow* both = TrendWindow::OpenWindows()[0];
    std::vector<std::wstring> legend = both->LegendTexts();
    std::sort(legend.begin(), legend.end());
    EXPECT_EQ(legend, (std::vector<std::wstring>{L"Plant.Flag (not historized)", L"Plant.Level"}));
    EXPECT_EQ(TrendWindow::OpenWindows()[1]->LegendTexts(), std::vector<std::wstring>{L"Plant.Flag (not historized)"});

    // An hour of history to scroll over.
    HistoryStore& store = doc->GetConfiguration().History();
    const HistoryTime hourAgo = store.Now() - 3600 * kS;
    level->History()->Record({hourAgo, 1.5, {}, kGood});
    EXPECT_TRUE(both->FollowsNow());
    EXPECT_EQ(both->VisibleSpan(), TrendWindow::kInitialSpan);
    ChartKey(both, VK_LEFT);
    EXPECT_FALSE(both->FollowsNow());
    ChartKey(both, VK_RIGHT);
    EXPECT_TRUE(both->FollowsNow()) << "scrolled up to now it follows now again";
    ChartKey(both, VK_PRIOR);
    EXPECT_FALSE(both->FollowsNow());
    const HistoryTime back = both->VisibleEnd();
    EXPECT_LE(back, store.Now() - TrendWindow::kInitialSpan);
    ChartKey(both, VK_SUBTRACT);  // scrolled back, a zoom keeps the middle
    EXPECT_EQ(both->VisibleSpan(), 10 * 60 * kS);
    EXPECT_FALSE(both->FollowsNow());
    EXPECT_EQ(both->VisibleEnd(), back + 150 * kS);
    ChartKey(both, VK_HOME);
    EXPECT_EQ(both->VisibleEnd(), hourAgo + 10 * 60 * kS);
    for (int i = 0; i < 20; ++i) ChartKey(both, VK_LEFT);
    EXPECT_EQ(both->VisibleEnd(), hourAgo + 10 * 60 * kS) << "nothing to see before the oldest sample";
    ChartKey(both, VK_END);
    EXPECT_TRUE(both->FollowsNow());
    for (int i = 0; i < 30; ++i) ChartKey(both, VK_ADD);
    EXPECT_EQ(both->VisibleSpan(), TrendWindow::kShortestSpan);
    for (int i = 0; i < 30; ++i) ChartKey(both, VK_OEM_MINUS);
    EXPECT_EQ(both->VisibleSpan(), doc->GetConfiguration().History().Limits().spanTicks);
    EXPECT_TRUE(both->FollowsNow());

    // A tag switched to history joins the window that shows it.
    flag->SetHistorize(true);
    Pump(2 * TrendWindow::kRedrawMs);
    EXPECT_EQ(TrendWindow::OpenWindows()[1]->LegendTexts(), std::vector<std::wstring>{L"Plant.Flag"});
}

// The History column says which tags keep one; the tag dialog's box carries
// the setting to the tag and back.
TEST_F(TrendWindowTest, HistoryColumnAndTheTagDialogsBoxFollowTheTag) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* tag = AddTag(device, L"Level");
    ASSERT_TRUE(tree->SelectObject(device));
    int column = -1;
    for (size_t i = 0; i < list->VisibleColumns().size(); ++i) {
        if (list->VisibleColumns()[i].field == kFieldHistory) column = static_cast<int>(i);
    }
    ASSERT_GE(column, 0) << "shown by default";
    EXPECT_EQ(list->VisibleColumns()[column].name, L"History");
    EXPECT_EQ(list->CellText(0, column), L"");

    for (const bool on : {true, false}) {
        const bool answered = AnswerModalDialog(
            L"Tag Properties",
            [on](HWND d) {
                EXPECT_EQ(ButtonChecked(d, IDC_TAG_HISTORIZE), !on);
                ToggleButton(d, IDC_TAG_HISTORIZE, on);
                ClickButton(d, IDOK);
            },
            [&] {
                SelectRows({0});
                SetFocus(ListControl());  // the tag list's Properties
                Command(ID_EDIT_PROPERTIES);
            });
        ASSERT_TRUE(answered);
        EXPECT_EQ(tag->IsHistorized(), on);
        EXPECT_EQ(tag->History() != nullptr, on);
        EXPECT_EQ(list->CellText(0, column), on ? L"Yes" : L"");
    }
}

// The limits are checked at OK with a message naming the range, stored, and
// applied to the running store.
TEST_F(TrendWindowTest, OptionsCheckTheHistoryLimitsAndApplyThemAtOnce) {
    struct Row {
        const wchar_t* hours;
        const wchar_t* megabytes;
        bool wide;
        int refused;
    };
    const Row rows[] = {
        {L"1", L"16", true, 0},
        {L"8760", L"65536", true, 0},
        {L" 24 ", L"1536", false, 0},
        {L"0", L"1024", true, IDC_OPTIONS_HISTORY_SPAN},
        {L"8761", L"1024", true, IDC_OPTIONS_HISTORY_SPAN},
        {L"", L"1024", true, IDC_OPTIONS_HISTORY_SPAN},
        {L"2h", L"1024", true, IDC_OPTIONS_HISTORY_SPAN},
        {L"24", L"15", true, IDC_OPTIONS_HISTORY_MEMORY},
        {L"24", L"65537", true, IDC_OPTIONS_HISTORY_MEMORY},
        {L"24", L"1537", false, IDC_OPTIONS_HISTORY_MEMORY},
        {L"24", L"-1", true, IDC_OPTIONS_HISTORY_MEMORY},
    };
    for (const Row& row : rows) {
        const auto checked = Tovi_DlgOptions::CheckHistoryFields(row.hours, row.megabytes, row.wide);
        EXPECT_EQ(checked.refused, row.refused) << ToUtf8(row.hours) << " " << ToUtf8(row.megabytes);
        if (row.refused == 0) {
            EXPECT_EQ(checked.hours, std::wcstoul(row.hours, nullptr, 10));
            EXPECT_EQ(checked.megabytes, std::wcstoul(row.megabytes, nullptr, 10));
        }
    }
    EXPECT_EQ(Tovi_DlgOptions::CheckHistoryFields(L"0", L"16").message,
              L"Please enter a history span between 1 and 8760 hours.");
    EXPECT_EQ(Tovi_DlgOptions::CheckHistoryFields(L"1", L"9", false).message,
              L"Please enter a history memory limit between 16 and 1536 MB.");

    // Refused in the dialog, then taken and applied to the running store.
    const bool answered = AnswerModalDialog(
        L"Program Options",
        [this](HWND d) {
            SetControlText(d, IDC_OPTIONS_HISTORY_SPAN, L"9000");
            ClickButton(d, IDOK);
            EXPECT_EQ(boxes.texts, std::vector<std::wstring>{L"Please enter a history span between 1 and 8760 hours."});
            EXPECT_EQ(GetFocus(), GetDlgItem(d, IDC_OPTIONS_HISTORY_SPAN));
            SetControlText(d, IDC_OPTIONS_HISTORY_SPAN, L"2");
            SetControlText(d, IDC_OPTIONS_HISTORY_MEMORY, L"64");
            ClickButton(d, IDOK);
        },
        [this] { Command(ID_FILE_OPTIONS); });
    ASSERT_TRUE(answered);
    const HistoryLimits limits = doc->GetConfiguration().History().Limits();
    EXPECT_EQ(limits.spanTicks, 2 * 3600 * kS);
    EXPECT_EQ(limits.memoryBytes, 64ull << 20);
    theSettings.SetDefaults();
    theSettings.Save();
}
