#include "FindTagsDialog.h"

#include "Help.h"
#include "MessageBoxes.h"
#include "resource.h"

FindTagsDialog::FindTagsDialog(TagFinder finder) : SingleModeless(IDD_FIND), m_finder(std::move(finder)) {}

FindTagsDialog* FindTagsDialog::Open(HWND owner, TagFinder finder) {
    if (FindTagsDialog* open = BringForward()) {
        open->m_finder = std::move(finder);
        open->FocusText();
        return open;
    }
    return Show(new FindTagsDialog(std::move(finder)), owner);
}

INT_PTR FindTagsDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpTopic); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnFindNext(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpTopic); return TRUE;
        case IDC_FIND_TEXT:
            if (HIWORD(wParam) == EN_CHANGE) UpdateFindNext();
            return TRUE;
        case IDC_FIND_ITEM_IDS:
        case IDC_FIND_DESCRIPTIONS: UpdateFindNext(); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void FindTagsDialog::OnInitDialog() {
    SetChecked(IDC_FIND_ITEM_IDS, true);
    SetChecked(IDC_FIND_DESCRIPTIONS, true);
    UpdateFindNext();
}

TagQuery FindTagsDialog::Query() const {
    return TagQuery{ItemText(IDC_FIND_TEXT), IsChecked(IDC_FIND_ITEM_IDS), IsChecked(IDC_FIND_DESCRIPTIONS),
                    IsChecked(IDC_FIND_MATCH_CASE)};
}

void FindTagsDialog::UpdateFindNext() {
    const TagQuery query = Query();
    Enable(IDOK, !query.text.empty() && (query.itemIds || query.descriptions));
}

void FindTagsDialog::FocusText() const {
    SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_FIND_TEXT)), TRUE);
}

void FindTagsDialog::OnFindNext() {
    const TagQuery query = Query();
    if (query.text.empty() || (!query.itemIds && !query.descriptions) || !m_finder) return;
    if (!m_finder(query)) {
        AppMessageBox(std::wstring(L"Cannot find \"").append(query.text).append(L"\"."), MB_OK | MB_ICONINFORMATION);
        FocusText();
    }
}
