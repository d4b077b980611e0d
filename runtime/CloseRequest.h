#pragma once
// How another process (the uninstaller, an update) asks a running copy of the
// program to close: it finds the main window by its class and sends it the
// registered close-request message. The window answers kCloseRequestAccepted
// and closes once its own message loop is free again: no exit question, its
// clients are told, the configuration and settings are saved. A window that
// answers anything else is an older version that knows only WM_CLOSE.
#include <windows.h>

inline constexpr wchar_t kMainFrameClass[] = L"ToviExplorerFrame";
inline constexpr LRESULT kCloseRequestAccepted = 0x546F7669;

inline UINT CloseRequestMessage() noexcept {
    static const UINT message = RegisterWindowMessageW(L"Tovi Explorer: close on request");
    return message;
}
