#include "ForceQualityDialog.h"

#include "ForcedQuality.h"
#include "Help.h"
#include "TagTexts.h"
#include "resource.h"

ForceQualityDialog::ForceQualityDialog(std::wstring item, int current)
    : DialogWindow(IDD_FORCE_QUALITY), m_item(std::move(item)), m_chosen(current) {}

INT_PTR ForceQualityDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpForceQualityDialog); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpForceQualityDialog); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void ForceQualityDialog::OnInitDialog() {
    SetItemText(IDC_FORCE_ITEM, m_item);
    HWND list = Item(IDC_FORCE_QUALITY);
    // Each entry carries its quality; "Not forced" carries kNotForced.
    const auto add = [list](const std::wstring& text, int quality) {
        const LRESULT at = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(at), static_cast<LPARAM>(quality));
    };
    add(L"Not forced", kNotForced);
    for (WORD quality : ForcibleQualities()) add(QualityText(quality), quality);
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        if (static_cast<int>(SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)) == m_chosen) {
            SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
        }
    }
}

void ForceQualityDialog::OnOK() {
    HWND list = Item(IDC_FORCE_QUALITY);
    const LRESULT selected = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR) {
        m_chosen = static_cast<int>(SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0));
    }
    End(IDOK);
}
