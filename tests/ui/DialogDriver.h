#pragma once
// Drives dialogs by messages: clicks, texts, combo choices, and a modal
// dialog of this thread answered from inside its own loop.
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>

inline void ClickButton(HWND dialog, int id) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// A check box or radio button clicked by the user: its state changes, then the dialog hears of it.
inline void ToggleButton(HWND dialog, int id, bool on) {
    CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED);
    ClickButton(dialog, id);
}

inline void ChooseRadio(HWND dialog, int first, int last, int chosen) {
    CheckRadioButton(dialog, first, last, chosen);
    ClickButton(dialog, chosen);
}

inline void ChooseComboItem(HWND dialog, int id, int index) {
    SendDlgItemMessageW(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

inline int ComboSelection(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

inline std::wstring ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

inline void SetControlText(HWND dialog, int id, const std::wstring& text) { SetDlgItemTextW(dialog, id, text.c_str()); }

inline bool ControlEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

inline bool ButtonChecked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

namespace dialog_driver {
struct ModalAnswer {
    const wchar_t* caption;
    const std::function<void(HWND)>* drive;
    bool driven = false;
    HWND found = nullptr;
};
inline ModalAnswer* g_answer = nullptr;

inline BOOL CALLBACK FindDialog(HWND window, LPARAM) {
    wchar_t title[128] = {}, kind[16] = {};
    GetClassNameW(window, kind, 16);
    GetWindowTextW(window, title, 128);
    if (std::wstring(kind) == L"#32770" && std::wstring(title) == g_answer->caption && IsWindowEnabled(window)) {
        g_answer->found = window;
        return FALSE;
    }
    return TRUE;
}

inline void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_answer == nullptr || g_answer->driven) return;
    EnumThreadWindows(GetCurrentThreadId(), &FindDialog, 0);
    if (g_answer->found == nullptr) return;
    g_answer->driven = true;
    (*g_answer->drive)(g_answer->found);
}
}  // namespace dialog_driver

// Runs open() (which shows a modal dialog of this thread) and, once a dialog
// with this caption is up, calls drive() with it from inside its loop.
// drive() must end the dialog; false when no dialog ever came.
inline bool AnswerModalDialog(const wchar_t* caption, const std::function<void(HWND)>& drive,
                              const std::function<void()>& open) {
    dialog_driver::ModalAnswer answer{caption, &drive};
    dialog_driver::g_answer = &answer;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, &dialog_driver::OnTimer);
    open();
    KillTimer(nullptr, timer);
    dialog_driver::g_answer = nullptr;
    return answer.driven;
}
