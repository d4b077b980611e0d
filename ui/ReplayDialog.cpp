#include "ReplayDialog.h"

#include "Help.h"
#include "MessageBoxes.h"
#include "ValueText.h"
#include "resource.h"

namespace {
// What the dialog showed last, offered again while the program runs.
struct LastChoice {
    std::wstring file;
    std::wstring speed = L"1";
    bool loop = false;
} g_last;

constexpr size_t kShownErrors = 15;
}  // namespace

std::wstring ReplayDialog::CountText(std::uint64_t count) {
    const std::wstring digits = std::to_wstring(count);
    wchar_t separator[8] = L",";
    GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STHOUSAND, separator, 8);
    NUMBERFMTW format{0, 0, 3, const_cast<wchar_t*>(L"."), separator, 1};
    wchar_t text[64];
    if (GetNumberFormatEx(LOCALE_NAME_USER_DEFAULT, 0, digits.c_str(), &format, text, 64) == 0) return digits;
    return text;
}

ReplayDialog::ReplayDialog(ValueReplay& replay, std::function<std::wstring(HWND owner)> chooseFile)
    : DialogWindow(IDD_REPLAY), m_replay(replay), m_chooseFile(std::move(chooseFile)) {}

std::wstring ReplayDialog::RefusalText(const std::wstring& path, const ReplayCheck& check) {
    std::wstring text = L"Nothing is replayed from " + path + L":\n\n";
    for (size_t i = 0; i < check.errors.size() && i < kShownErrors; ++i) text += check.errors[i] + L"\n";
    const size_t more = check.errors.size() > kShownErrors ? check.errors.size() - kShownErrors : 0;
    if (more + check.moreErrors > 0) text += L"... and " + std::to_wstring(more + check.moreErrors) + L" more.";
    return text;
}

std::wstring ReplayDialog::LoadedText(const std::wstring& path, const ReplayLoad& load) {
    std::wstring text =
        std::wstring(L"Loaded ").append(CountText(load.values)).append(load.values == 1 ? L" value" : L" values");
    text.append(L" of ").append(CountText(load.tags)).append(load.tags == 1 ? L" tag" : L" tags");
    text.append(L" into their history from ").append(path).append(L".");
    if (load.notKept > 0) {
        text.append(L"\nThe history had no room for ").append(CountText(load.notKept));
        text.append(load.notKept == 1 ? L" row" : L" rows").append(L" (the first on line ");
        text.append(CountText(load.firstNotKeptLine)).append(L"): too old by now, or past its memory bound.");
    }
    return text;
}

INT_PTR ReplayDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpReplayValues); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_REPLAY_BROWSE: OnBrowse(); return TRUE;
        case IDOK: OnOk(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpReplayValues); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void ReplayDialog::OnInitDialog() {
    SetItemText(IDC_REPLAY_FILE, g_last.file);
    SetItemText(IDC_REPLAY_SPEED, g_last.speed);
    SetChecked(IDC_REPLAY_LOOP, g_last.loop);
}

void ReplayDialog::OnBrowse() {
    const std::wstring path = m_chooseFile ? m_chooseFile(m_hwnd) : std::wstring();
    if (!path.empty()) SetItemText(IDC_REPLAY_FILE, path);
}

void ReplayDialog::OnOk() {
    const std::wstring path = ItemText(IDC_REPLAY_FILE);
    if (path.empty()) {
        RefuseField(IDC_REPLAY_FILE, L"Please choose the CSV file of recorded values.");
        return;
    }
    ReplayOptions options;
    const std::wstring speed = ItemText(IDC_REPLAY_SPEED);
    if (!ParseWholeNumber(speed, options.speed) || !(options.speed > 0)) {
        RefuseField(IDC_REPLAY_SPEED,
                    L"Please enter a positive number: 1 plays at the recorded pace, 2 twice as fast.");
        return;
    }
    options.loop = IsChecked(IDC_REPLAY_LOOP);
    g_last = {path, speed, options.loop};
    // The check reads the whole file once: a large one takes a moment.
    const HCURSOR cursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    const ReplayCheck check = m_replay.Start(path, options);
    SetCursor(cursor);
    if (!check.Passed()) {
        RefuseField(IDC_REPLAY_FILE, RefusalText(path, check));
        return;
    }
    End(IDOK);
}
