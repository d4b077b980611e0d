#include <filesystem>

#include "UiFixture.h"
#include "WholeFile.h"

namespace {
const wchar_t kExitQuestion[] = L"OPC Clients are currently connected to this server, Exit anyway?";

RECT WindowRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

using MainFrameUiTest = UiFixture;
}  // namespace

TEST_F(MainFrameUiTest, ASavedPlaceIsRestoredOnlyWhenEveryEdgeIsAboveZero) {
    theSettings.SetLastWindowLocation(RECT{0, 40, 520, 440});
    CreateFrame();
    EXPECT_NE(WindowRect(frame->Handle()).right - WindowRect(frame->Handle()).left, 520);

    theSettings.SetLastWindowLocation(RECT{30, 40, 550, 440});
    theSettings.SetSplitterPosition(0.3);
    CreateFrame();
    const RECT placed = WindowRect(frame->Handle());
    EXPECT_EQ(placed.left, 30);
    EXPECT_EQ(placed.right, 550);
    EXPECT_EQ(placed.bottom, 440);
    // The left pane takes the saved fraction of the client width.
    RECT client{};
    GetClientRect(frame->Handle(), &client);
    EXPECT_EQ(frame->SplitterLeft(), static_cast<int>(client.right * 0.3));
    const RECT left = WindowRect(tree->Handle());
    EXPECT_EQ(left.right - left.left, frame->SplitterLeft());
}

TEST_F(MainFrameUiTest, NoToTheExitQuestionKeepsRunningAfterEverythingWasSaved) {
    const std::wstring file = temp.File(L"ui-close-test.tvf");
    doc->SetPathName(file);
    AddDevice(L"Plant");
    theSettings.SetLastWindowLocation(RECT{});
    theSettings.SetSplitterPosition(0.5);
    ApplyClientObjectMessage(kClientObjectMore);
    boxes.answer = IDNO;

    SendMessageW(frame->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(boxes.texts, std::vector<std::wstring>{kExitQuestion});
    EXPECT_TRUE(IsWindow(frame->Handle()));
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_FALSE(doc->IsModified());
    const RECT stored = theSettings.GetLastWindowLocation();
    EXPECT_EQ(stored.left, WindowRect(frame->Handle()).left);
    EXPECT_EQ(stored.right, WindowRect(frame->Handle()).right);
    const RECT left = WindowRect(tree->Handle());
    const RECT right = WindowRect(list->Handle());
    const double expected = double(left.right - left.left) / ((left.right - left.left) + (right.right - right.left));
    EXPECT_DOUBLE_EQ(theSettings.GetSplitterPosition(), std::clamp(expected, 0.1, 0.9));

    // Open, Save As and New are disabled while the client is there.
    EXPECT_FALSE(frame->QueryCommandState(ID_FILE_NEW).enabled);
    EXPECT_FALSE(frame->QueryCommandState(ID_FILE_OPEN).enabled);
    bool asked = false;
    frame->SetFileChooser([&asked](bool) {
        asked = true;
        return std::wstring();
    });
    Command(ID_FILE_SAVE_AS);
    Command(ID_FILE_OPEN);
    EXPECT_FALSE(asked);
    EXPECT_EQ(boxes.texts.size(), 1u);

    ApplyClientObjectMessage(kClientObjectFewer);
    DeleteFileW(file.c_str());
    SendMessageW(frame->Handle(), WM_CLOSE, 0, 0);  // nothing changed: saved all the same
    EXPECT_FALSE(IsWindow(frame->Handle()));
    EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(MainFrameUiTest, SaveAsAndOpenMoveTheLastUsedFile) {
    const std::wstring copy = temp.File(L"ui-save-as-test.tvf");
    doc->SetPathName(temp.File(L"ui-original-test.tvf"));
    AddDevice(L"Boiler");
    frame->SetFileChooser([&copy](bool save) { return save ? copy : std::wstring(); });
    Command(ID_FILE_SAVE_AS);
    EXPECT_EQ(doc->GetPathName(), copy);
    EXPECT_EQ(theSettings.GetLastUsedFile(), copy);

    doc->SetPathName(temp.File(L"ui-other-test.tvf"));
    theSettings.SetLastUsedFile(L"");
    Command(ID_EDIT_DELETE);  // the only device goes
    ASSERT_EQ(doc->DeviceCount(), 0);
    frame->SetFileChooser([&copy](bool save) { return save ? std::wstring() : copy; });
    Command(ID_FILE_OPEN);
    EXPECT_EQ(doc->DeviceCount(), 1);
    EXPECT_EQ(doc->GetPathName(), copy);
    EXPECT_EQ(theSettings.GetLastUsedFile(), copy);
    EXPECT_EQ(TreeView_GetCount(TreeControl()), 1u);
}

TEST_F(MainFrameUiTest, TagFilesGoThroughTheChosenFileAndTheOutcomeIsTold) {
    const std::wstring csv = temp.File(L"ui-tags-test.csv");
    ToviDevice* plant = AddDevice(L"Plant");
    AddTag(plant, L"Speed", L"motor, \"A\"");
    frame->SetFileChooser([&csv](bool) { return csv; });
    Command(ID_FILE_EXPORT_TAGS);  // the file's columns and quoting are the CSV tests'
    std::vector<BYTE> bytes;
    DWORD error = 0;
    ASSERT_TRUE(ReadWholeFile(csv, bytes, error));
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("Plant.Speed,"), std::string::npos);

    const std::string good = "ItemID,Type,Value\r\nPlant.Speed,Integer,5\r\nPlant.Pump.Flow,Float,2.5\r\n";
    ASSERT_TRUE(WriteFileReplacing(csv, std::vector<BYTE>(good.begin(), good.end()), error));
    Command(ID_FILE_IMPORT_TAGS);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts.back(), L"Tags imported from " + csv + L": 1 added, 1 updated.");
    EXPECT_TRUE(doc->IsModified());
    EXPECT_EQ(TreeView_GetCount(TreeControl()), 2u) << "the new group is in the tree";
    ASSERT_NE(doc->FindTag(L"Plant.Pump.Flow"), nullptr);

    const std::string bad = "ItemID,Type,Value\r\nPlant.Speed,Integer,x\r\nPlant.Other,Float,1\r\nA.B,Nope,1\r\n";
    ASSERT_TRUE(WriteFileReplacing(csv, std::vector<BYTE>(bad.begin(), bad.end()), error));
    Command(ID_FILE_IMPORT_TAGS);
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts.back().rfind(L"Nothing was imported from " + csv, 0), 0u);
    EXPECT_EQ(doc->FindTag(L"Plant.Other"), nullptr);
    EXPECT_EQ(doc->DeviceCount(), 1);

    // With a client connected only the export is offered.
    ApplyClientObjectMessage(kClientObjectMore);
    EXPECT_FALSE(frame->QueryCommandState(ID_FILE_IMPORT_TAGS).enabled);
    EXPECT_TRUE(frame->QueryCommandState(ID_FILE_EXPORT_TAGS).enabled);
    ApplyClientObjectMessage(kClientObjectFewer);
}

TEST_F(MainFrameUiTest, MenusShowTheRoutedStatesAndPanesFollowTheSelection) {
    ToviDevice* device = AddDevice(L"Plant");
    HMENU edit = GetSubMenu(GetMenu(frame->Handle()), 1);
    SendMessageW(frame->Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(edit), 1);
    // The tree has the focus: Delete and Properties are its, Write To Tag nobody's yet.
    EXPECT_EQ(GetMenuState(edit, ID_EDIT_DELETE, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_NE(GetMenuState(edit, ID_WRITE_TO_TAG, MF_BYCOMMAND) & MF_GRAYED, 0u);

    Key(VK_F6);  // to the tag list: nothing selected there
    EXPECT_EQ(frame->ActiveView(), static_cast<CViewWindow*>(list));
    SendMessageW(frame->Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(edit), 1);
    EXPECT_NE(GetMenuState(edit, ID_EDIT_DELETE, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_NE(GetMenuState(edit, ID_EDIT_PROPERTIES, MF_BYCOMMAND) & MF_GRAYED, 0u);

    frame->OnIdle();
    EXPECT_EQ(frame->PaneText(ID_PANE_TIME).rfind(L"Time: ", 0), 0u);
    EXPECT_GT(frame->PaneText(ID_PANE_TIME).size(), 10u);
    EXPECT_EQ(frame->PaneText(ID_PANE_LAST_POLL), L" ");
    EXPECT_EQ(frame->PaneText(ID_PANE_NEXT_POLL), L"");
    device->RequestPollStart(kPollOperator);
    frame->OnIdle();
    EXPECT_GT(frame->PaneText(ID_PANE_LAST_POLL).size(), 5u);
    EXPECT_GT(frame->PaneText(ID_PANE_NEXT_POLL).size(), 5u);
    device->RequestPollStop(kPollOperator);
    // The toolbar's Delete follows the same route as the menu.
    EXPECT_FALSE(SendMessageW(frame->ToolBar(), TB_ISBUTTONENABLED, ID_EDIT_DELETE, 0));
    Key(VK_F6);
    frame->OnIdle();
    EXPECT_TRUE(SendMessageW(frame->ToolBar(), TB_ISBUTTONENABLED, ID_EDIT_DELETE, 0));

    Command(ID_TOOLBAR_DOCK_LEFT);
    EXPECT_EQ(frame->ToolbarSide(), DockSide::Left);
    const RECT bar = WindowRect(frame->ToolBar());
    const RECT pane = WindowRect(tree->Handle());
    EXPECT_LE(bar.right, pane.left);
    EXPECT_TRUE(frame->QueryCommandState(ID_TOOLBAR_DOCK_LEFT).checked);
}
