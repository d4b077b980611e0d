#include <gtest/gtest.h>

#include <windows.h>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Help.h"
#include "ProgramPaths.h"
#include "TempFolder.h"
#include "RecordedBoxes.h"

namespace {

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(HelpTest, AMissingHelpFileIsLoggedAndExplainedOncePerRequest) {
    ASSERT_FALSE(FileExists(GetHelpFilePath())) << "the test needs the help file to be absent";
    TempFolder folder;
    const std::wstring logFile = folder.File(L"log.txt");
    ASSERT_TRUE(theEventLog.Open(logFile));
    RecordedBoxes boxes;
    ShowHelp(HH_HELP_CONTEXT, kHelpTagList);
    ShowHelp(HH_HELP_CONTEXT, kHelpMainFrame);
    theEventLog.Close();

    const std::string log = ReadFileBytes(logFile);
    const std::wstring path = GetHelpFilePath();
    const std::string entry = "\r\nUnable to find help file: " + std::string(path.begin(), path.end()) + " \r\n\r\n";
    ASSERT_EQ(2u, boxes.texts.size());
    EXPECT_EQ(boxes.captions, (std::vector<std::wstring>(2, L"Tovi Explorer")));
    if (IsHtmlHelpInstalled()) {
        EXPECT_EQ(boxes.texts, (std::vector<std::wstring>(2, L"Unable to find the help file")));
        EXPECT_EQ(2u, CountOf(log, entry)) << log;
    } else {
        EXPECT_EQ(L"HTML Help is not installed!!", boxes.texts[0]);
        EXPECT_EQ(0u, CountOf(log, "Unable to find help file:"));
    }
}
