#pragma once
// The count of live COM objects handed out to clients (servers, groups,
// enumerators, class-factory locks). Creating and destroying threads post the
// client-object message to the main window; the main window applies it on
// the user-interface thread, so the count itself needs no lock of its own.
#include <windows.h>

constexpr UINT kClientObjectMessage = WM_USER + 50;  // 1074
constexpr WPARAM kClientObjectMore = 0;
constexpr WPARAM kClientObjectFewer = 1;

// The window the message goes to; null before it exists and after it is gone.
void SetClientObjectWindow(HWND window) noexcept;
HWND ClientObjectWindow() noexcept;
// Posts one more (true) or one fewer (false); nothing when there is no window.
void PostClientObjectMessage(bool oneMore) noexcept;
// Applied by the main window for each message (0 one more, any other value
// one fewer); gives the new count.
long ApplyClientObjectMessage(WPARAM wParam) noexcept;
// True while any client object lives.
bool AreClientsConnected() noexcept;
long ClientObjectCount() noexcept;
