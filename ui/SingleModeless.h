#pragma once
// A modeless window of which at most one is open (the clients window, the
// replay's progress): Open brings the open one forward or makes it, it takes
// its own keys and F1, and it deletes itself when it closes. Only the
// user-interface thread opens and closes it.
#include "DialogWindow.h"
#include "Help.h"

template <class Derived>
class SingleModeless : public DialogWindow {
public:
    static HWND OpenWindow() { return s_open != nullptr ? s_open->Handle() : nullptr; }
    // Gives a message for the open window to it (keyboard navigation, F1); true when taken.
    static bool PreTranslate(MSG* msg) {
        HWND window = OpenWindow();
        if (window == nullptr || (msg->hwnd != window && !IsChild(window, msg->hwnd))) return false;
        // The main window's F1 would open its own topic.
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_F1) {
            ShowHelpTopic(Derived::kHelpTopic);
            return true;
        }
        return IsDialogMessageW(window, msg) != FALSE;
    }

protected:
    using DialogWindow::DialogWindow;
    ~SingleModeless() override {
        if (s_open == this) s_open = nullptr;
    }
    void OnDestroyed() override { delete this; }

    // The open window, brought forward; null when none is open.
    static Derived* BringForward() {
        if (s_open == nullptr || s_open->Handle() == nullptr) return nullptr;
        if (IsIconic(s_open->Handle())) ShowWindow(s_open->Handle(), SW_RESTORE);
        SetActiveWindow(s_open->Handle());
        return static_cast<Derived*>(s_open);
    }
    // Makes and shows a new one; null (and it is deleted) when it cannot be made.
    static Derived* Show(Derived* made, HWND owner) {
        if (made->Create(owner) == nullptr) {
            delete made;  // never had a window: nothing else will delete it
            return nullptr;
        }
        s_open = made;
        ShowWindow(made->Handle(), SW_SHOW);
        return made;
    }

private:
    static inline SingleModeless* s_open = nullptr;
};
