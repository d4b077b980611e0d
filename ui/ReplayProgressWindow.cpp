#include "ReplayProgressWindow.h"

#include <commctrl.h>

#include "Help.h"
#include "ReplayDialog.h"
#include "ValueReplay.h"
#include "resource.h"

namespace {
constexpr UINT_PTR kRefreshTimer = 1;
constexpr int kBarSteps = 1000;
}  // namespace

ReplayProgressWindow::ReplayProgressWindow(ValueReplay& replay)
    : SingleModeless(IDD_REPLAY_PROGRESS), m_replay(replay) {}

ReplayProgressWindow* ReplayProgressWindow::Open(HWND owner, ValueReplay& replay) {
    if (ReplayProgressWindow* open = BringForward()) return open;
    return Show(new ReplayProgressWindow(replay), owner);
}

INT_PTR ReplayProgressWindow::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetItemText(IDC_REPLAY_FILE_NAME, m_replay.FileName());
        SendDlgItemMessageW(m_hwnd, IDC_REPLAY_BAR, PBM_SETRANGE32, 0, kBarSteps);
        ShowProgress(m_replay.Progress());  // a replay already ended closes at the first tick
        SetTimer(m_hwnd, kRefreshTimer, kRefreshMs, nullptr);
        return TRUE;
    case WM_TIMER: Refresh(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpReplayValues); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDCANCEL:
            m_replay.Stop();
            End(IDCANCEL);
            return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpReplayValues); return TRUE;
        default: return FALSE;
        }
    case WM_DESTROY: KillTimer(m_hwnd, kRefreshTimer); return FALSE;
    default: return FALSE;
    }
}

void ReplayProgressWindow::Refresh() {
    const ReplayProgress progress = m_replay.Progress();
    if (!progress.playing) {
        End(IDOK);
        return;
    }
    ShowProgress(progress);
}

void ReplayProgressWindow::ShowProgress(const ReplayProgress& progress) {
    const std::uint64_t shown = progress.rowsPlayed < progress.rowsInFile ? progress.rowsPlayed : progress.rowsInFile;
    std::wstring text =
        L"Row " + ReplayDialog::CountText(shown) + L" of " + ReplayDialog::CountText(progress.rowsInFile);
    if (progress.loopsCompleted > 0) text += L" (loop " + ReplayDialog::CountText(progress.loopsCompleted + 1) + L")";
    SetItemText(IDC_REPLAY_ROWS, text);
    const auto bar = progress.rowsInFile > 0 ? static_cast<int>(shown * kBarSteps / progress.rowsInFile) : 0;
    SendDlgItemMessageW(m_hwnd, IDC_REPLAY_BAR, PBM_SETPOS, static_cast<WPARAM>(bar), 0);
}
