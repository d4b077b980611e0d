#include "OPCS_DlgColumns.h"

#include <commctrl.h>
#include <algorithm>
#include <cwctype>

#include "OPCS_Doc.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "CTagView.h"
#include "Text.h"
#include "resource.h"

namespace {
// Selection changes come one item at a time; they are taken together once the list is done.
constexpr UINT kSelectionChanged = WM_APP + 1;

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return text;
}
}  // namespace

OPCS_DlgColumns::OPCS_DlgColumns(CTagView* tagView) : DialogWindow(IDD_COLUMNS), m_tagView(tagView) {}

INT_PTR OPCS_DlgColumns::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case kSelectionChanged:
        m_selectionPending = false;
        OnSelectionChanged();
        return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpColumnsDialog); return TRUE;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->hwndFrom != m_list) return FALSE;
        if (header->code == LVN_ITEMCHANGED) {
            const auto* change = reinterpret_cast<NMLISTVIEW*>(lParam);
            if ((change->uChanged & LVIF_STATE) && ((change->uOldState ^ change->uNewState) & LVIS_SELECTED) &&
                !m_selectionPending) {
                m_selectionPending = true;
                PostMessageW(m_hwnd, kSelectionChanged, 0, 0);
            }
        } else if (header->code == LVN_BEGINLABELEDITW) {
            m_renaming = true;
            EnableWindow(GetDlgItem(m_hwnd, IDC_COLUMN_RENAME), FALSE);
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, FALSE);
            return TRUE;
        } else if (header->code == LVN_ENDLABELEDITW) {
            const auto* edit = reinterpret_cast<NMLVDISPINFOW*>(lParam);
            const bool accept = m_renaming && edit->item.pszText != nullptr && edit->item.pszText[0] != L'\0';
            m_renaming = false;
            EnableWindow(GetDlgItem(m_hwnd, IDC_COLUMN_RENAME), SelectedItems().size() == 1);
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, accept ? TRUE : FALSE);
            return TRUE;
        }
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case IDC_COLUMN_UP: Move(true); return TRUE;
        case IDC_COLUMN_DOWN: Move(false); return TRUE;
        case IDC_COLUMN_RENAME: StartRename(); return TRUE;
        case IDC_COLUMN_RESET: OnReset(); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpColumnsDialog); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void OPCS_DlgColumns::OnInitDialog() {
    m_list = GetDlgItem(m_hwnd, IDC_COLUMN_LIST);
    ListView_SetExtendedListViewStyle(m_list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    RECT client{};
    GetClientRect(m_list, &client);
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    column.cx = client.right - GetSystemMetrics(SM_CXVSCROLL);
    ListView_InsertColumn(m_list, 0, &column);
    const ColumnArray& columns = theSettings.GetColumns();
    for (const ColumnInfo& c : columns) {
        if (c.field < kColumnCount) m_widths[c.field] = c.width;
    }
    FillList(columns);
}

void OPCS_DlgColumns::FillList(const ColumnArray& columns) {
    m_moving = true;
    ListView_DeleteAllItems(m_list);
    for (size_t i = 0; i < columns.size(); ++i) {
        InsertItem(static_cast<int>(i), columns[i].name, columns[i].field, columns[i].visible, i == 0);
    }
    m_moving = false;
    m_selection = SelectedFields();
    ShowCommonWidth();
}

void OPCS_DlgColumns::InsertItem(int index, const std::wstring& text, std::uint32_t field, bool checked,
                                 bool selected) {
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = index;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    item.lParam = static_cast<LPARAM>(field);
    const int at = ListView_InsertItem(m_list, &item);
    ListView_SetCheckState(m_list, at, checked ? TRUE : FALSE);
    if (selected) ListView_SetItemState(m_list, at, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

std::vector<int> OPCS_DlgColumns::SelectedItems() const {
    std::vector<int> items;
    for (int i = ListView_GetNextItem(m_list, -1, LVNI_SELECTED); i >= 0;
         i = ListView_GetNextItem(m_list, i, LVNI_SELECTED)) {
        items.push_back(i);
    }
    return items;
}

std::uint32_t OPCS_DlgColumns::FieldOf(int index) const {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    ListView_GetItem(m_list, &item);
    return static_cast<std::uint32_t>(item.lParam);
}

std::vector<std::uint32_t> OPCS_DlgColumns::SelectedFields() const {
    std::vector<std::uint32_t> fields;
    for (int item : SelectedItems()) fields.push_back(FieldOf(item));
    return fields;
}

bool OPCS_DlgColumns::ReadWidth(bool emptyIsError, std::uint32_t& width, bool& empty) {
    const std::wstring text = WindowText(GetDlgItem(m_hwnd, IDC_COLUMN_WIDTH));
    empty = text.find_first_not_of(L" \t") == std::wstring::npos;
    if (empty && !emptyIsError) return true;
    if (!ParseUnsignedField(text, width)) {
        AppMessageBox(kEnterPositiveInteger, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    if (width < kMinWidth || width > kMaxWidth) {
        AppMessageBox(FormatText(L"Please enter an integer between %u and %u.", kMinWidth, kMaxWidth),
                      MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    return true;
}

void OPCS_DlgColumns::ApplyWidthTo(const std::vector<std::uint32_t>& fields) {
    std::uint32_t width = 0;
    bool empty = false;
    if (!ReadWidth(false, width, empty) || empty) return;
    for (std::uint32_t field : fields) {
        if (field < kColumnCount) m_widths[field] = width;
    }
}

void OPCS_DlgColumns::ShowCommonWidth() {
    const std::vector<std::uint32_t> fields = SelectedFields();
    std::wstring text;
    if (!fields.empty() && std::all_of(fields.begin(), fields.end(), [&](std::uint32_t f) {
            return f < kColumnCount && m_widths[f] == m_widths[fields[0]];
        })) {
        text = FormatText(L"%u", m_widths[fields[0]]);
    }
    SetDlgItemTextW(m_hwnd, IDC_COLUMN_WIDTH, text.c_str());
    EnableWindow(GetDlgItem(m_hwnd, IDC_COLUMN_RENAME), fields.size() == 1 && !m_renaming);
}

void OPCS_DlgColumns::OnSelectionChanged() {
    if (m_renaming) FinishRename();
    std::vector<std::uint32_t> now = SelectedFields();
    std::vector<std::uint32_t> sortedNow = now, sortedBefore = m_selection;
    std::sort(sortedNow.begin(), sortedNow.end());
    std::sort(sortedBefore.begin(), sortedBefore.end());
    if (m_moving || sortedNow == sortedBefore) return;
    ApplyWidthTo(m_selection);
    m_selection = std::move(now);
    ShowCommonWidth();
}

void OPCS_DlgColumns::Move(bool up) {
    FinishRename();
    std::vector<int> items = SelectedItems();
    if (!up) std::reverse(items.begin(), items.end());
    const int count = ListView_GetItemCount(m_list);
    m_moving = true;
    for (int index : items) {
        wchar_t text[256] = {};
        ListView_GetItemText(m_list, index, 0, text, 256);
        const std::uint32_t field = FieldOf(index);
        const bool checked = ListView_GetCheckState(m_list, index) != FALSE;
        const bool wraps = up ? index == 0 : index == count - 1;
        const int target = wraps ? (up ? count - 1 : 0) : (up ? index - 1 : index + 1);
        ListView_DeleteItem(m_list, index);
        InsertItem(target, text, field, checked, true);
        // An item that went round ends the click.
        if (wraps) break;
    }
    m_moving = false;
}

void OPCS_DlgColumns::StartRename() {
    const std::vector<int> items = SelectedItems();
    if (items.size() != 1) return;
    SetFocus(m_list);
    ListView_EditLabel(m_list, items[0]);
}

void OPCS_DlgColumns::FinishRename() {
    if (!m_renaming) return;
    HWND edit = ListView_GetEditControl(m_list);
    const std::wstring text = edit != nullptr ? WindowText(edit) : std::wstring();
    const int item = ListView_GetNextItem(m_list, -1, LVNI_FOCUSED);
    m_renaming = false;  // the end notification of the cancel below changes nothing
    SendMessageW(m_list, LVM_CANCELEDITLABEL, 0, 0);
    if (!text.empty() && item >= 0) ListView_SetItemText(m_list, item, 0, const_cast<wchar_t*>(text.c_str()));
    EnableWindow(GetDlgItem(m_hwnd, IDC_COLUMN_RENAME), SelectedItems().size() == 1);
}

void OPCS_DlgColumns::OnReset() {
    FinishRename();
    theSettings.ResetColumns();
    // The working widths stay: OK applies the ones from before the reset.
    FillList(theSettings.GetColumns());
    SetDlgItemTextW(m_hwnd, IDC_COLUMN_WIDTH, FormatText(L"%u", m_widths[FieldOf(0)]).c_str());
}

void OPCS_DlgColumns::OnOK() {
    FinishRename();
    std::uint32_t width = 0;
    bool empty = false;
    if (!ReadWidth(true, width, empty)) return;
    for (std::uint32_t field : SelectedFields()) {
        if (field < kColumnCount) m_widths[field] = width;
    }
    ColumnArray& columns = theSettings.GetColumns();
    const int count = ListView_GetItemCount(m_list);
    for (int i = 0; i < count; ++i) {
        const std::uint32_t field = FieldOf(i);
        for (ColumnInfo& column : columns) {
            if (column.field != field) continue;
            wchar_t text[256] = {};
            ListView_GetItemText(m_list, i, 0, text, 256);
            column.position = static_cast<std::uint32_t>(i);
            column.visible = ListView_GetCheckState(m_list, i) != FALSE;
            column.width = m_widths[field];
            if (text[0] != L'\0') column.name = text;
        }
    }
    if (m_tagView != nullptr) {
        m_tagView->BuildColumns();
        m_tagView->Document().UpdateAllViews(nullptr, kHintDataChanged);
    }
    End(IDOK);
}
