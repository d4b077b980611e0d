#pragma once
// "Replaying Values": a modeless window with the replay's progress ("Row
// 1,234 of 50,000 (loop 2)") and a Stop button (Esc too). It closes itself
// when the replay ends, however it ends. One at a time; it deletes itself.
#include "DialogWindow.h"

class ValueReplay;
struct ReplayProgress;

class ReplayProgressWindow : public DialogWindow {
public:
    static constexpr UINT kRefreshMs = 200;

    // Shows the window, or brings the open one forward; null when it cannot be made.
    static ReplayProgressWindow* Open(HWND owner, ValueReplay& replay);
    static HWND OpenWindow();
    // Gives a message for the open window to it (keyboard navigation, F1); true when taken.
    static bool PreTranslate(MSG* msg);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnDestroyed() override;

private:
    explicit ReplayProgressWindow(ValueReplay& replay);
    ~ReplayProgressWindow() override;
    void Refresh();
    void ShowProgress(const ReplayProgress& progress);

    ValueReplay& m_replay;
};
