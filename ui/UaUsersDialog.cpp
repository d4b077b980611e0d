#include "UaUsersDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "EventLog.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "Text.h"
#include "UaSecuritySettings.h"
#include "resource.h"

namespace {
const wchar_t kNewUserNote[] =
    L"A name has 1 to 128 characters and is given exactly as typed here (\"Op\" and \"op\" are two users).";
const wchar_t kChangeUserNote[] = L"Leave the password empty to keep the current one.";

std::wstring RoleText(UaRole role) { return RoleName(role); }

// A user as the event log names one: never with a password.
std::wstring Described(const UaUser& user, bool newPassword) {
    return user.name + L" (" + RoleText(user.role) + (newPassword ? L", new password)" : L")");
}

const UaUser* Find(const std::vector<UaUser>& users, const std::wstring& name) {
    const auto at = std::find_if(users.begin(), users.end(), [&name](const UaUser& user) { return user.name == name; });
    return at != users.end() ? &*at : nullptr;
}
}  // namespace

UaUsersDialog::UaUsersDialog(UaUserStore store)
    : DialogWindow(IDD_UA_USERS), m_before(store), m_store(std::move(store)) {}

INT_PTR UaUsersDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpUaUsers); return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom != m_list) return FALSE;
        if (header->code == LVN_ITEMCHANGED) ShowButtons();
        if (header->code == NM_DBLCLK && !Selected().empty()) OnChange();
        if (header->code == LVN_KEYDOWN && reinterpret_cast<const NMLVKEYDOWN*>(lParam)->wVKey == VK_DELETE &&
            !Selected().empty()) {
            OnRemove();
        }
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpUaUsers); return TRUE;
        case IDC_UA_USERS_ADD: OnAdd(); return TRUE;
        case IDC_UA_USERS_CHANGE: OnChange(); return TRUE;
        case IDC_UA_USERS_REMOVE: OnRemove(); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void UaUsersDialog::OnInitDialog() {
    m_list = Item(IDC_UA_USERS_LIST);
    ListView_SetExtendedListViewStyle(m_list, LVS_EX_FULLROWSELECT);
    RECT client{};
    GetClientRect(m_list, &client);
    const int width = client.right - client.left - GetSystemMetrics(SM_CXVSCROLL);
    const wchar_t* headings[] = {L"Name", L"Role"};
    const int widths[] = {width * 3 / 5, width - width * 3 / 5};
    for (int i = 0; i < 2; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(headings[i]);
        column.cx = widths[i];
        column.iSubItem = i;
        ListView_InsertColumn(m_list, i, &column);
    }
    Fill(std::wstring());
}

void UaUsersDialog::Fill(const std::wstring& selected) {
    ListView_DeleteAllItems(m_list);
    int index = 0, chosen = -1;
    for (const UaUser& user : m_store.Users()) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<wchar_t*>(user.name.c_str());
        ListView_InsertItem(m_list, &item);
        std::wstring role = RoleText(user.role);
        ListView_SetItemText(m_list, index, 1, role.data());
        if (user.name == selected) chosen = index;
        ++index;
    }
    if (chosen < 0 && index > 0) chosen = 0;
    if (chosen >= 0) {
        ListView_SetItemState(m_list, chosen, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_EnsureVisible(m_list, chosen, FALSE);
    }
    ShowButtons();
}

std::wstring UaUsersDialog::Selected() const {
    const int index = ListView_GetNextItem(m_list, -1, LVNI_SELECTED);
    if (index < 0) return std::wstring();
    wchar_t name[512] = {};
    ListView_GetItemText(m_list, index, 0, name, 512);
    return name;
}

void UaUsersDialog::ShowButtons() {
    const bool selected = !Selected().empty();
    Enable(IDC_UA_USERS_CHANGE, selected);
    Enable(IDC_UA_USERS_REMOVE, selected);
}

void UaUsersDialog::OnAdd() {
    std::wstring added;
    UaUserDialog dialog(std::wstring(), UaRole::Read,
                        [this, &added](const std::wstring& name, UaRole role, const std::string& password) {
                            if (m_store.Contains(name))
                                return L"There is a user named \"" + name + L"\" already: select it and click Change.";
                            std::wstring error;
                            if (!m_store.Set(name, role, password, error)) return error;
                            m_newPasswords.insert(name);
                            added = name;
                            return std::wstring();
                        });
    dialog.DoModal(m_hwnd);
    if (!added.empty()) Fill(added);
}

void UaUsersDialog::OnChange() {
    const std::wstring name = Selected();
    const std::vector<UaUser> users = m_store.Users();
    const UaUser* user = Find(users, name);
    if (user == nullptr) return;
    UaUserDialog dialog(name, user->role,
                        [this](const std::wstring& changed, UaRole role, const std::string& password) {
                            std::wstring error;
                            if (password.empty()) {
                                m_store.SetRole(changed, role);
                            } else if (!m_store.Set(changed, role, password, error)) {
                                return error;
                            }
                            if (!password.empty()) m_newPasswords.insert(changed);
                            return std::wstring();
                        });
    dialog.DoModal(m_hwnd);
    Fill(name);
}

void UaUsersDialog::OnRemove() {
    const std::wstring name = Selected();
    if (name.empty()) return;
    const std::wstring question =
        L"Remove the user \"" + name + L"\"?\n\nClients logged in as " + name + L" are disconnected once you click OK.";
    if (AppMessageBox(question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
    m_store.Remove(name);
    m_newPasswords.erase(name);
    Fill(std::wstring());
}

void UaUsersDialog::OnOK() {
    const std::vector<UaUser> before = m_before.Users();
    const std::vector<UaUser> after = m_store.Users();
    std::vector<std::wstring> lines;
    for (const UaUser& user : after) {
        const UaUser* old = Find(before, user.name);
        const bool newPassword = m_newPasswords.count(user.name) != 0;
        if (old == nullptr) {
            lines.push_back(L"OPC UA user added: " + Described(user, false));
        } else if (old->role != user.role || newPassword) {
            lines.push_back(L"OPC UA user changed: " + Described(user, newPassword));
        }
    }
    for (const UaUser& user : before) {
        if (Find(after, user.name) == nullptr) lines.push_back(L"OPC UA user removed: " + user.name);
    }
    if (lines.empty()) {
        End(IDOK);
        return;
    }
    std::wstring error;
    if (!m_store.Save(error)) {
        AppMessageBox(error, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    for (const std::wstring& line : lines) theEventLog << line << EventLog::EndEntry;
    // Every running copy, this one too, takes the users anew.
    CountUaSecurityChange();
    m_saved = true;
    End(IDOK);
}

UaUserDialog::UaUserDialog(std::wstring name, UaRole role, Apply apply)
    : DialogWindow(IDD_UA_USER),
      m_adding(name.empty()),
      m_name(std::move(name)),
      m_role(role),
      m_apply(std::move(apply)) {}

INT_PTR UaUserDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return m_adding ? TRUE : FALSE;  // FALSE: the focus is placed already
    case WM_HELP: ShowHelpTopic(kHelpUaUsers); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpUaUsers); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void UaUserDialog::OnInitDialog() {
    SetWindowTextW(m_hwnd, m_adding ? L"Add OPC UA User" : L"Change OPC UA User");
    SetItemText(IDC_UA_USER_NAME, m_name);
    SendDlgItemMessageW(m_hwnd, IDC_UA_USER_NAME, EM_SETREADONLY, m_adding ? FALSE : TRUE, 0);
    SendDlgItemMessageW(m_hwnd, IDC_UA_USER_NAME, EM_LIMITTEXT, 128, 0);
    const HWND roles = Item(IDC_UA_USER_ROLE);
    for (const UaRole role : {UaRole::Read, UaRole::ReadWrite}) {
        SendMessageW(roles, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(RoleText(role).c_str()));
    }
    SendMessageW(roles, CB_SETCURSEL, m_role == UaRole::ReadWrite ? 1 : 0, 0);
    SetItemText(IDC_UA_USER_NOTE, m_adding ? kNewUserNote : kChangeUserNote);
    // The name when adding, else the role: what there is to choose first.
    if (!m_adding) SetFocus(roles);
}

std::string UaUserDialog::PasswordText(int id) const {
    const HWND field = Item(id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
    std::string utf8 = ToUtf8(text);
    SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    return utf8;
}

void UaUserDialog::OnOK() {
    const std::wstring name = m_adding ? ItemText(IDC_UA_USER_NAME) : m_name;
    if (name.empty()) {
        RefuseField(IDC_UA_USER_NAME, L"Please enter a user name.");
        return;
    }
    std::string password = PasswordText(IDC_UA_USER_PASSWORD);
    std::string confirmed = PasswordText(IDC_UA_USER_CONFIRM);
    const bool same = password == confirmed;
    SecureZeroMemory(confirmed.data(), confirmed.size());
    std::wstring refusal;
    int field = IDC_UA_USER_PASSWORD;
    if (!same) {
        refusal = L"The two passwords differ. Please type the password again in both fields.";
    } else if (m_adding && password.empty()) {
        refusal = L"Please enter a password.";
    } else {
        const UaRole role =
            SendDlgItemMessageW(m_hwnd, IDC_UA_USER_ROLE, CB_GETCURSEL, 0, 0) == 1 ? UaRole::ReadWrite : UaRole::Read;
        refusal = m_apply(name, role, password);
        field = IDC_UA_USER_NAME;
    }
    SecureZeroMemory(password.data(), password.size());
    if (refusal.empty()) {
        End(IDOK);
        return;
    }
    if (field == IDC_UA_USER_PASSWORD) {
        SetItemText(IDC_UA_USER_PASSWORD, std::wstring());
        SetItemText(IDC_UA_USER_CONFIRM, std::wstring());
    }
    RefuseField(field, refusal);
}

bool EditUaUsers(HWND owner, const std::wstring& storePath) {
    UaUserStore store(storePath);
    std::wstring error;
    if (!store.Load(error)) {
        // Saving over a file that could not be read would lose its users.
        AppMessageBox(error + L"\n\nThe users cannot be changed until the file can be read or is removed.",
                      MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    UaUsersDialog dialog(std::move(store));
    return dialog.DoModal(owner) == IDOK && dialog.Saved();
}
