#pragma once
// Every message box of the program goes through here. The user interface
// shows the real box; tests and a process started by COM (no user to answer)
// install a handler that answers at once, so nothing ever blocks on a dialog.
#include <windows.h>
#include <functional>
#include <string>

// The answer (IDOK, IDYES, ...) for a box with the given text, caption and
// MB_* style bits.
using MessageBoxHandler = std::function<int(const std::wstring& text, const std::wstring& caption, UINT style)>;

// Installs a handler; an empty one restores the real message box.
void SetMessageBoxHandler(MessageBoxHandler handler);
// Shows a box owned by the application's main window (when it has one).
int AppMessageBox(const std::wstring& text, UINT style, const std::wstring& caption = {});
// The window that owns message boxes; null before the main window exists.
void SetMessageBoxOwner(HWND owner) noexcept;
// The answer an unattended process gives: the default button of the style.
int DefaultAnswer(UINT style) noexcept;
