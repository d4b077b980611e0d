#include <windows.h>
#include <objbase.h>

#include "MainFrame.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    if (FAILED(OleInitialize(nullptr))) {
        return 1;
    }
    int exitCode = 1;
    {
        CMainFrame frame;
        if (frame.Create(instance, showCommand)) {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            exitCode = static_cast<int>(msg.wParam);
        }
    }
    OleUninitialize();
    return exitCode;
}
