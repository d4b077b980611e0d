#pragma once
// "Replaying Values": a modeless window with the replay's progress ("Row
// 1,234 of 50,000 (loop 2)") and a Stop button (Esc too). It closes itself
// when the replay ends, however it ends. One at a time; it deletes itself.
#include "SingleModeless.h"

class ValueReplay;
struct ReplayProgress;

class ReplayProgressWindow : public SingleModeless<ReplayProgressWindow> {
public:
    static constexpr UINT kRefreshMs = 200;
    static constexpr HelpContext kHelpTopic = kHelpReplayValues;

    // Shows the window, or brings the open one forward; null when it cannot be made.
    static ReplayProgressWindow* Open(HWND owner, ValueReplay& replay);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    explicit ReplayProgressWindow(ValueReplay& replay);
    void Refresh();
    void ShowProgress(const ReplayProgress& progress);

    ValueReplay& m_replay;
};
