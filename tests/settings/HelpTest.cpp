#include <gtest/gtest.h>

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Help.h"
#include "ProgramPaths.h"
#include "TempFolder.h"
#include "MessageBoxes.h"

namespace {

struct SeenBox {
    std::wstring caption;
    std::wstring text;
};

// Runs the action with every message box answered at once by the program's
// message box seam, returning what the boxes said.
std::vector<SeenBox> AnswerMessageBoxes(const std::function<void()>& action) {
    std::vector<SeenBox> seen;
    SetMessageBoxHandler([&seen](const std::wstring& text, const std::wstring& caption, UINT style) {
        seen.push_back({caption, text});
        return DefaultAnswer(style);
    });
    action();
    SetMessageBoxHandler({});
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
