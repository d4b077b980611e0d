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

// The count as the objects come and go, ahead of the messages: what decides
// whether a process that ends with its last client may end.
long LiveClientObjects() noexcept;
// The class factory's entry: false (nothing counted) once the process is
// closed to clients. Until EndAdmission the caller's object-to-be counts as
// live, so that closing cannot pass it by.
bool AdmitClientObject() noexcept;
void EndAdmission() noexcept;
// The last client is gone: closes the process to new client objects; false
// (and open as before) when one came in meanwhile and is to be served.
bool CloseToClients() noexcept;
void ReopenToClients() noexcept;
