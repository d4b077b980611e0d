#include <gtest/gtest.h>

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Help.h"
#include "ProgramPaths.h"
#include "TempFolder.h"
#include "Thread.h"

namespace {

struct SeenBox {
    std::wstring caption;
    std::wstring text;
};

BOOL CALLBACK IgnoreWindow(HWND, LPARAM) { return TRUE; }

BOOL CALLBACK CollectDialog(HWND window, LPARAM context) {
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    if (std::wstring(cls) == L"#32770" && IsWindowVisible(window)) {
        reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    }
    return TRUE;
}

// Reads texts without a message to the busy thread.
BOOL CALLBACK CollectStaticText(HWND child, LPARAM context) {
    wchar_t cls[32] = {};
    wchar_t text[512] = {};
    GetClassNameW(child, cls, 32);
    InternalGetWindowText(child, text, 512);
    if (_wcsicmp(cls, L"Static") == 0 && text[0] != 0) {
        *reinterpret_cast<std::wstring*>(context) += text;
    }
    return TRUE;
}

// Runs the action on its own thread and answers every message box it shows
// with OK, returning what the boxes said.
std::vector<SeenBox> AnswerMessageBoxes(std::function<void()> action) {
    std::vector<SeenBox> seen;
    // One-time set-up of the window system and of the help viewer happens
    // here first: done by both threads at once it can deadlock under Wine.
    EnumThreadWindows(GetCurrentThreadId(), IgnoreWindow, 0);
    LoadLibraryW(L"hhctrl.ocx");
    Thread worker;
    if (!worker.Start([&] { action(); return 0u; })) {
        ADD_FAILURE() << "no thread";
        return seen;
    }
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (WaitForSingleObject(worker.Handle(), 20) == WAIT_TIMEOUT && GetTickCount64() < deadline) {
        std::vector<HWND> boxes;
        EnumThreadWindows(worker.Id(), CollectDialog, reinterpret_cast<LPARAM>(&boxes));
        for (HWND box : boxes) {
            SeenBox entry;
            wchar_t caption[256] = {};
            InternalGetWindowText(box, caption, 256);
            entry.caption = caption;
            EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&entry.text));
            seen.push_back(entry);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            // Gone before the next look, so that a later box is never taken for
            // this one (window handles are reused).
            while (IsWindow(box) && GetTickCount64() < deadline) Sleep(5);
        }
    }
    if (!worker.Join(5000)) {
        ADD_FAILURE() << "a message box was left open";
        TerminateThread(worker.Handle(), 1);
    }
    return seen;
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(HelpTest, TheHelpFileLivesNextToTheProgram) {
    EXPECT_EQ(GetProgramDirectory() + L"ToviExplorer.chm", GetHelpFilePath());
}

TEST(HelpTest, AMissingHelpFileIsLoggedAndExplainedOncePerRequest) {
    ASSERT_FALSE(FileExists(GetHelpFilePath())) << "the test needs the help file to be absent";
    TempFolder folder;
    const std::wstring logFile = folder.File(L"log.txt");
    ASSERT_TRUE(theEventLog.Open(logFile));
    const auto boxes = AnswerMessageBoxes([] {
        ShowHelp(HH_HELP_CONTEXT, kHelpTagList);
        ShowHelp(HH_HELP_CONTEXT, kHelpMainFrame);
    });
    theEventLog.Close();

    const std::string log = ReadFileBytes(logFile);
    const std::wstring path = GetHelpFilePath();
    const std::string entry = "\r\nUnable to find help file: " + std::string(path.begin(), path.end()) + " \r\n\r\n";
    ASSERT_EQ(2u, boxes.size());
    for (const auto& box : boxes) EXPECT_EQ(L"Tovi Explorer", box.caption);
    if (IsHtmlHelpInstalled()) {
        EXPECT_EQ(L"Unable to find the help file", boxes[0].text);
        EXPECT_EQ(L"Unable to find the help file", boxes[1].text);
        EXPECT_EQ(2u, CountOf(log, entry)) << log;
    } else {
        EXPECT_EQ(L"HTML Help is not installed!!", boxes[0].text);
        EXPECT_EQ(0u, CountOf(log, "Unable to find help file:"));
    }
}
