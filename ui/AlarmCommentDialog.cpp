#include "AlarmCommentDialog.h"

#include <utility>

#include "resource.h"

AlarmCommentDialog::AlarmCommentDialog(std::wstring items, std::wstring& comment)
    : DialogWindow(IDD_ALARM_COMMENT), m_items(std::move(items)), m_comment(comment) {}

INT_PTR AlarmCommentDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetItemText(IDC_ALARM_COMMENT_ITEMS, m_items);
        SetItemText(IDC_ALARM_COMMENT_TEXT, m_comment);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: {
            std::wstring text = ItemText(IDC_ALARM_COMMENT_TEXT);
            if (text.find_first_not_of(L" \t") == std::wstring::npos) {
                RefuseField(IDC_ALARM_COMMENT_TEXT, L"Please enter a comment.");
                return TRUE;
            }
            m_comment = std::move(text);
            End(IDOK);
            return TRUE;
        }
        case IDCANCEL: End(IDCANCEL); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}
