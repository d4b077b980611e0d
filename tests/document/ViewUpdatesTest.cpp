// Update requests of worker threads reach a view's window coalesced.
#include <gtest/gtest.h>

#include "Configuration.h"
#include "ToviDevice.h"
#include "ViewUpdatePoster.h"

TEST(ViewUpdatesTest, StateIndicatorPostsToTheDeviceTreeOneRequestAtATime) {
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    ViewUpdatePoster poster;
    Configuration configuration;
    configuration.SetWatcher(&poster);
    poster.SetViewWindow(ViewKind::DeviceTree, window);
    ToviDevice device;
    device.SetConfiguration(&configuration);
    device.SetStateIndicator(true);  // unchanged: nothing posted
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, window, kViewUpdateMessage, kViewUpdateMessage, PM_REMOVE));
    // Changes while a request is on its way are covered by it; once the view
    // has taken it, the next change posts anew.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 50; ++i) device.SetStateIndicator(i % 2 == 0);
        ASSERT_TRUE(PeekMessageW(&msg, window, kViewUpdateMessage, kViewUpdateMessage, PM_REMOVE));
        EXPECT_EQ(static_cast<WPARAM>(kHintDeviceStatesChanged), msg.wParam);
        EXPECT_FALSE(PeekMessageW(&msg, window, kViewUpdateMessage, kViewUpdateMessage, PM_REMOVE));
        poster.Arrived(window, kHintDeviceStatesChanged);
    }
    device.SetConfiguration(nullptr);
    DestroyWindow(window);
}
