#pragma once
// The program's main window. It is also the window to which the OPC objects
// report client objects coming and going.
#include <windows.h>
#include <functional>

class CMainFrame {
public:
    CMainFrame() = default;
    ~CMainFrame();
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Creates the window, hidden, with the application title; false when it cannot.
    bool Create(HINSTANCE instance);
    void Show(int showCommand);
    HWND Handle() const noexcept { return hwnd_; }

    // A process started by COM ends when its last client object goes: the
    // window then destroys itself, which ends the message loop.
    void SetEndWithLastClient(bool end) noexcept { endWithLastClient_ = end; }
    // Runs just before a forced exit ends the process (bounded work only).
    void SetForcedExitHandler(std::function<void()> handler) { forcedExitHandler_ = std::move(handler); }
    // Commands the window does not handle itself go here (true: handled).
    void SetCommandHandler(std::function<bool(UINT command)> handler) { commandHandler_ = std::move(handler); }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnClientObjectMessage(WPARAM wParam);
    void OnClose();

    HWND hwnd_ = nullptr;
    bool endWithLastClient_ = false;
    std::function<bool(UINT)> commandHandler_;
    std::function<void()> forcedExitHandler_;
};
