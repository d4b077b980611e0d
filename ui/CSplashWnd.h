#pragma once
// The start-up picture: a borderless window the size of the splash bitmap,
// centred, closed after 1.5 s or by the first key press or mouse button
// anywhere in the program, which it swallows.
#include <windows.h>

class CSplashWnd {
public:
    static constexpr UINT_PTR kCloseTimer = 1;
    static constexpr UINT kShowMs = 1500;

    // The program decides once at start-up whether there is a splash (not when COM starts it).
    static void EnableSplashScreen(bool enable) noexcept;
    // Shows it over the main window if enabled and not yet shown in this enabling.
    static void ShowSplashScreen(HWND mainWindow);
    // Offered every message of the application's loop: the first key or
    // button press closes the splash and is consumed (true).
    static bool PreTranslateAppMessage(const MSG* msg);
    // The splash window while it is shown, else null.
    static HWND Window() noexcept;

private:
    CSplashWnd() = default;
    ~CSplashWnd();
    bool Create(HWND mainWindow);
    void Hide();
    void OnPaint();
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hwnd = nullptr;
    HWND m_mainWindow = nullptr;
    HBITMAP m_bitmap = nullptr;
    SIZE m_size{};
};
