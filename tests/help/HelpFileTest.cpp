// The compiled help file as the build makes it: every topic number the program
// asks for opens a page in the viewer, and no other number does.
#include <gtest/gtest.h>

#include <windows.h>
#include <htmlhelp.h>
#include <objbase.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Help.h"
#include "RecordedBoxes.h"
#include "ProgramPaths.h"
#include "Text.h"

namespace {

// The viewer belongs to a window thread, as in the program: in the
// multithreaded apartment the test runner joins, it opens nothing.
void OnWindowThread(const std::function<void()>& work) {
    std::thread thread([&work] {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        work();
        HtmlHelpA(nullptr, nullptr, HH_CLOSE_ALL, 0);
        if (SUCCEEDED(hr)) CoUninitialize();
    });
    thread.join();
}

}  // namespace

TEST(HelpFileTest, TheViewerOpensEveryTopicAndNoOther) {
    ASSERT_TRUE(FileExists(GetHelpFilePath())) << "the build puts the help file beside the program";
    ASSERT_TRUE(IsHtmlHelpInstalled());
    const std::string file = ToAnsi(GetHelpFilePath());
    DWORD unused = 0;
    for (const HelpContext context : kHelpContexts) unused = std::max<DWORD>(unused, context + 1);
    std::vector<DWORD> missed;
    HWND unmapped = nullptr;
    OnWindowThread([&] {
        for (const HelpContext context : kHelpContexts) {
            if (HtmlHelpA(nullptr, file.c_str(), HH_HELP_CONTEXT, context) == nullptr) missed.push_back(context);
        }
        unmapped = HtmlHelpA(nullptr, file.c_str(), HH_HELP_CONTEXT, unused);
    });
    EXPECT_TRUE(missed.empty()) << "first topic not opened: " << (missed.empty() ? 0 : missed.front());
    EXPECT_EQ(nullptr, unmapped) << "a topic without a page must open nothing";
}

TEST(HelpFileTest, ShowHelpOpensTheViewerWithoutAMessage) {
    RecordedBoxes boxes;
    bool viewerShown = false;
    OnWindowThread([&] {
        ShowHelpTopic(kHelpWriteTagDialog);
        viewerShown = FindWindowW(L"HH Parent", nullptr) != nullptr;
    });
    EXPECT_TRUE(boxes.texts.empty()) << (boxes.texts.empty() ? std::wstring() : boxes.texts.front()).c_str();
    EXPECT_TRUE(viewerShown);
}
