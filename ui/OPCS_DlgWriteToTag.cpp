#include "OPCS_DlgWriteToTag.h"

#include <algorithm>
#include <vector>

#include "Help.h"
#include "MessageBoxes.h"
#include "OPCS_Tag.h"
#include "TagTexts.h"
#include "Text.h"
#include "ValueText.h"
#include "resource.h"

namespace {
// Only the user-interface thread opens and closes these.
std::vector<OPCS_DlgWriteToTag*> g_open;
constexpr int kCascadeStep = 20;
}  // namespace

OPCS_DlgWriteToTag::OPCS_DlgWriteToTag(OPCS_Tag* tag) : DialogWindow(IDD_WRITE_TO_TAG), m_tag(tag) {}

OPCS_DlgWriteToTag::~OPCS_DlgWriteToTag() {
    g_open.erase(std::remove(g_open.begin(), g_open.end(), this), g_open.end());
}

OPCS_DlgWriteToTag* OPCS_DlgWriteToTag::Open(OPCS_Tag* tag, HWND owner) {
    if (!OPCS_Tag::IsValidTag(tag)) return nullptr;
    auto* dialog = new OPCS_DlgWriteToTag(tag);
    const size_t before = g_open.size();
    g_open.push_back(dialog);
    if (dialog->Create(owner) == nullptr) {
        delete dialog;  // never had a window: nothing else will delete it
        return nullptr;
    }
    // Each further dialog a little lower and to the right, so none hides another.
    RECT place{};
    GetWindowRect(dialog->Handle(), &place);
    const int offset = static_cast<int>(before % 8) * kCascadeStep;
    SetWindowPos(dialog->Handle(), nullptr, place.left + offset, place.top + offset, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(dialog->Handle(), SW_SHOW);
    return dialog;
}

std::vector<HWND> OPCS_DlgWriteToTag::OpenWindows() {
    std::vector<HWND> windows;
    for (OPCS_DlgWriteToTag* dialog : g_open) {
        if (dialog->Handle() != nullptr) windows.push_back(dialog->Handle());
    }
    return windows;
}

bool OPCS_DlgWriteToTag::PreTranslate(MSG* msg) {
    for (OPCS_DlgWriteToTag* dialog : g_open) {
        HWND window = dialog->Handle();
        if (window != nullptr && (msg->hwnd == window || IsChild(window, msg->hwnd))) {
            return IsDialogMessageW(window, msg) != FALSE;
        }
    }
    return false;
}

void OPCS_DlgWriteToTag::OnDestroyed() { delete this; }

INT_PTR OPCS_DlgWriteToTag::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpWriteTagDialog); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnApply(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpWriteTagDialog); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void OPCS_DlgWriteToTag::OnInitDialog() {
    m_itemId = m_tag->GetItemID();
    SetItemText(IDC_WRITE_TAG_NAME, m_tag->GetName());
    SetItemText(IDC_WRITE_CURRENT_VALUE, m_tag->GetValueText());
    SetItemText(IDC_WRITE_TYPE_NAME, DataTypeName(m_tag->GetDataType()));
    SetItemText(IDC_WRITE_NEW_VALUE, L"");
}

bool OPCS_DlgWriteToTag::TagStillThere() const {
    // The address alone could by now be another tag's.
    return OPCS_Tag::IsValidTag(m_tag) && m_tag->GetItemID() == m_itemId;
}

void OPCS_DlgWriteToTag::OnApply() {
    const std::wstring text = ItemText(IDC_WRITE_NEW_VALUE);
    // A tag deleted while the dialog was open is not written: the dialog just ends.
    if (TagStillThere()) {
        std::optional<Variant> value = ParseValueText(m_tag->GetDataType(), text);
        if (!value) {
            AppMessageBox(LoadResString(IDS_WRITE_BAD_INPUT), MB_OK | MB_ICONEXCLAMATION);
        } else {
            HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            const bool written = m_tag->WriteFromClient(*value);
            SetCursor(previous);
            if (!written) AppMessageBox(LoadResString(IDS_WRITE_FAILED), MB_OK | MB_ICONEXCLAMATION);
        }
    }
    End(IDOK);
}
