// Holds one hidden window for as long as the test prefix runs, so that Wine's
// desktop process stays up between test processes instead of starting (and
// lingering on the test runner's pipes) for each of them. Ended by wineserver -k.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    HWND window =
        CreateWindowExW(0, L"STATIC", L"DesktopKeeper", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    return 0;
}
