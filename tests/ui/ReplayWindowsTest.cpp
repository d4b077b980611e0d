#include <filesystem>
#include <fstream>

#include "DialogDriver.h"
#include "ReplayProgressWindow.h"
#include "TempFolder.h"
#include "UiFixture.h"
#include "ValueReplay.h"

namespace {
class ReplayWindowsTest : public UiFixture {
protected:
    std::wstring Write(const std::wstring& name, const std::string& rows) {
        const std::wstring path = folder.File(name);
        std::ofstream(std::filesystem::path(path), std::ios::binary) << rows;
        return path;
    }
    TempFolder folder;
};
}  // namespace

TEST_F(ReplayWindowsTest, DialogRefusesBadInputThenStartsAndTheWindowStopsOrClosesWithTheReplay) {
    ToviTag* level = AddTag(AddDevice(L"Plant"), L"Level");
    ValueReplay& replay = doc->GetConfiguration().Replay();
    // The second row an hour on: it plays until stopped.
    const std::wstring hour =
        Write(L"hour.csv", "2026-12-07T10:00:00Z,Plant.Level,1\n2026-12-07T11:00:00Z,Plant.Level,2\n");
    const std::wstring bad = Write(L"bad.csv", "2026-12-07T10:00:00Z,Plant.Nope,1\n");
    ASSERT_NE(GetMenuState(GetMenu(frame->Handle()), ID_FILE_REPLAY, MF_BYCOMMAND), static_cast<UINT>(-1));
    ASSERT_TRUE(AnswerModalDialog(
        L"Replay Values",
        [&](HWND dialog) {
            SetControlText(dialog, IDC_REPLAY_FILE, hour);
            SetControlText(dialog, IDC_REPLAY_SPEED, L"0");
            ClickButton(dialog, IDOK);
            SetControlText(dialog, IDC_REPLAY_SPEED, L"2");
            SetControlText(dialog, IDC_REPLAY_FILE, bad);
            ClickButton(dialog, IDOK);
            EXPECT_FALSE(replay.IsPlaying());
            SetControlText(dialog, IDC_REPLAY_FILE, hour);
            ClickButton(dialog, IDOK);
        },
        [&] { Command(ID_FILE_REPLAY); }));
    ASSERT_EQ(2u, boxes.texts.size());
    EXPECT_NE(std::wstring::npos, boxes.texts[0].find(L"Please enter a positive number"));
    EXPECT_NE(std::wstring::npos, boxes.texts[1].find(L"line 1: unknown item ID \"Plant.Nope\""));
    ASSERT_TRUE(replay.IsPlaying());
    HWND window = ReplayProgressWindow::OpenWindow();
    ASSERT_NE(nullptr, window);
    Pump(ReplayProgressWindow::kRefreshMs + 300);
    EXPECT_EQ(L"Row 1 of 2", ControlText(window, IDC_REPLAY_ROWS));
    // Asked again while it plays, the menu brings the same window forward; Esc stops it.
    Command(ID_FILE_REPLAY);
    EXPECT_EQ(window, ReplayProgressWindow::OpenWindow());
    SetFocus(GetDlgItem(window, IDCANCEL));
    Key(VK_ESCAPE);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(replay.IsPlaying());
    EXPECT_DOUBLE_EQ(1, V_R8(level->GetValue().Get()));

    // A replay that ends by itself closes its window.
    ASSERT_TRUE(replay.Start(hour, ReplayOptions{1e6, false}).Passed());
    window = ReplayProgressWindow::Open(frame->Handle(), replay)->Handle();
    Pump(3 * ReplayProgressWindow::kRefreshMs);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_DOUBLE_EQ(2, V_R8(level->GetValue().Get()));
    EXPECT_EQ(2u, boxes.texts.size());
}
