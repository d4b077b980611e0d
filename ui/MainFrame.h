#pragma once
// The program's main window.
#include <windows.h>

class CMainFrame {
public:
    CMainFrame() = default;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Creates the window with the application title; false when it cannot.
    bool Create(HINSTANCE instance, int showCommand);
    HWND Handle() const noexcept { return hwnd_; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
};
