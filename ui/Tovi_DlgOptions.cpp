#include "Tovi_DlgOptions.h"

#include <commctrl.h>
#include <commdlg.h>
#include <cstdint>
#include <cwchar>

#include "EventLog.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "Text.h"
#include "UaSecuritySettings.h"
#include "UaUsersDialog.h"
#include "resource.h"

namespace {
constexpr std::uint32_t kBytesPerMegabyte = 1048576;
constexpr unsigned kSpinLow = 1;
constexpr unsigned kSpinHigh = 1000;
// The largest size whose bytes fit the setting's 32 bits.
constexpr unsigned kMaxMegabytes = 0xFFFFFFFFu / kBytesPerMegabyte;

// What each of the OPC UA endpoint's doors opens, said before it is opened.
const wchar_t kRemoteWarning[] =
    L"Computers that reach this one on the network will be able to connect to the OPC UA endpoint.\n\n"
    L"They must sign and encrypt, present a certificate you trust (Certificates...) and log in as one of the users "
    L"(Users...), unless you also allow unsecured connections or anonymous clients. Let the port in through the "
    L"firewall for them.\n\nAccept clients from other computers?";
const wchar_t kUnsecuredWarning[] =
    L"With security None, what clients read and write crosses the network in the clear: anybody on the way can "
    L"read it and change it, and the server cannot tell who a client is.\n\nAllow unsecured connections?";
const wchar_t kAnonymousWarning[] =
    L"Anybody who reaches the port gets in without a user name or a trusted certificate, with the role chosen for "
    L"anonymous clients: Read lets them read every tag, Read/Write lets them change every tag.\n\n"
    L"Allow anonymous clients?";
}  // namespace

bool CanWriteFile(const std::wstring& path) {
    if (path.empty()) return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    CloseHandle(file);
    if (created) DeleteFileW(path.c_str());
    return true;
}

Tovi_DlgOptions::Tovi_DlgOptions() : DialogWindow(IDD_OPTIONS) {}

Tovi_DlgOptions::HistoryFields Tovi_DlgOptions::CheckHistoryFields(const std::wstring& hours,
                                                                   const std::wstring& megabytes, bool wide) {
    HistoryFields fields;
    if (!ParseUnsignedField(hours, fields.hours) || fields.hours < 1 || fields.hours > kHistoryHoursMax) {
        fields.refused = IDC_OPTIONS_HISTORY_SPAN;
        fields.message = FormatText(L"Please enter a history span between 1 and %u hours.", kHistoryHoursMax);
        return fields;
    }
    const unsigned most = wide ? kHistoryMegabytesMax64 : kHistoryMegabytesMax32;
    if (!ParseUnsignedField(megabytes, fields.megabytes) || fields.megabytes < kHistoryMegabytesMin ||
        fields.megabytes > most) {
        fields.refused = IDC_OPTIONS_HISTORY_MEMORY;
        fields.message =
            FormatText(L"Please enter a history memory limit between %u and %u MB.", kHistoryMegabytesMin, most);
    }
    return fields;
}

INT_PTR Tovi_DlgOptions::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpOptionsDialog); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpOptionsDialog); return TRUE;
        case IDC_OPTIONS_BROWSE: OnBrowse(); return TRUE;
        case IDC_OPTIONS_LOG_RESET: theEventLog.Reset(); return TRUE;
        case IDC_OPTIONS_UA_REMOTE: ConfirmDoor(IDC_OPTIONS_UA_REMOTE, kRemoteWarning); return TRUE;
        case IDC_OPTIONS_UA_UNSECURED: ConfirmDoor(IDC_OPTIONS_UA_UNSECURED, kUnsecuredWarning); return TRUE;
        case IDC_OPTIONS_UA_ANONYMOUS: ConfirmDoor(IDC_OPTIONS_UA_ANONYMOUS, kAnonymousWarning); return TRUE;
        case IDC_OPTIONS_UA_ENABLED: ShowUaSecurity(); return TRUE;
        case IDC_OPTIONS_UA_USERS: EditUaUsers(m_hwnd); return TRUE;
        case IDC_OPTIONS_UA_CERTIFICATES:
            ShowUaCertificates(m_hwnd, m_certificatesSetup ? m_certificatesSetup() : UaCertificatesSetup{});
            return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void Tovi_DlgOptions::OnInitDialog() {
    SendDlgItemMessageW(m_hwnd, IDC_OPTIONS_LOG_SIZE_SPIN, UDM_SETRANGE32, kSpinLow, kSpinHigh);
    SetChecked(IDC_OPTIONS_LOG_ENABLED, theSettings.IsEventLogEnabled());
    SetItemText(IDC_OPTIONS_LOG_SIZE, FormatText(L"%u", theSettings.GetEventLogFileSize() / kBytesPerMegabyte));
    SetItemText(IDC_OPTIONS_LOG_FILE, theSettings.GetEventLogFile());
    SetItemText(IDC_OPTIONS_CONFIG_FILE, theSettings.GetLastUsedFile());
    SetChecked(IDC_OPTIONS_FAULT_CONTROL, theSettings.IsFaultControlAllowed());
    SetChecked(IDC_OPTIONS_QUALITY_WRITES, theSettings.AreClientQualityWritesAllowed());
    SetChecked(IDC_OPTIONS_DA3, theSettings.IsDa3Offered());
    SetChecked(IDC_OPTIONS_UA_ENABLED, theSettings.IsUaEndpointEnabled());
    SetItemText(IDC_OPTIONS_UA_PORT, std::to_wstring(theSettings.GetUaPort()));
    SetItemText(IDC_OPTIONS_HISTORY_SPAN, std::to_wstring(theSettings.GetHistoryHours()));
    SetItemText(IDC_OPTIONS_HISTORY_MEMORY, std::to_wstring(theSettings.GetHistoryMegabytes()));
    m_uaSecurity = LoadUaSecuritySettings();
    SetChecked(IDC_OPTIONS_UA_REMOTE, m_uaSecurity.remote);
    SetChecked(IDC_OPTIONS_UA_UNSECURED, m_uaSecurity.allowUnsecured);
    SetChecked(IDC_OPTIONS_UA_ANONYMOUS, m_uaSecurity.allowAnonymous);
    const HWND roles = GetDlgItem(m_hwnd, IDC_OPTIONS_UA_ANON_ROLE);
    for (const UaRole role : {UaRole::Read, UaRole::ReadWrite}) {
        SendMessageW(roles, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(RoleName(role).c_str()));
    }
    SendMessageW(roles, CB_SETCURSEL, m_uaSecurity.AnonymousRole() == UaRole::ReadWrite ? 1 : 0, 0);
    ShowUaSecurity();
}

UaSecuritySettings Tovi_DlgOptions::ChosenUaSecurity() const {
    UaSecuritySettings chosen = m_uaSecurity;
    chosen.remote = IsChecked(IDC_OPTIONS_UA_REMOTE);
    chosen.allowUnsecured = IsChecked(IDC_OPTIONS_UA_UNSECURED);
    chosen.allowAnonymous = IsChecked(IDC_OPTIONS_UA_ANONYMOUS);
    const LRESULT pick = SendDlgItemMessageW(m_hwnd, IDC_OPTIONS_UA_ANON_ROLE, CB_GETCURSEL, 0, 0);
    const UaRole role = pick == 1 ? UaRole::ReadWrite : UaRole::Read;
    // A role left as the mode's own follows the mode; one the user changed stays.
    chosen.anonymousRole.reset();
    if (role != chosen.AnonymousRole()) chosen.anonymousRole = role;
    return chosen;
}

void Tovi_DlgOptions::ConfirmDoor(int checkBox, const wchar_t* warning) {
    if (IsChecked(checkBox) &&
        AppMessageBox(warning, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2, std::wstring()) != IDYES) {
        SetChecked(checkBox, false);
    }
    ShowUaSecurity();
}

void Tovi_DlgOptions::ShowUaSecurity() {
    const bool serving = IsChecked(IDC_OPTIONS_UA_ENABLED);
    const UaSecuritySettings chosen = ChosenUaSecurity();
    EnableWindow(GetDlgItem(m_hwnd, IDC_OPTIONS_UA_REMOTE), serving);
    EnableWindow(GetDlgItem(m_hwnd, IDC_OPTIONS_UA_UNSECURED), serving && chosen.remote);
    EnableWindow(GetDlgItem(m_hwnd, IDC_OPTIONS_UA_ANONYMOUS), serving && chosen.remote);
    EnableWindow(GetDlgItem(m_hwnd, IDC_OPTIONS_UA_ANON_ROLE), serving && chosen.AnonymousAccepted());
    std::wstring note;
    if (!chosen.remote) {
        note =
            L"Clients on this computer only: the endpoint listens on the loopback address; None and anonymous "
            L"clients are let in.";
    } else {
        note = std::wstring(L"Clients from other computers: ") +
               (chosen.NoneOffered() ? L"unsecured connections allowed" : L"signed and encrypted only") + L", " +
               (chosen.AnonymousAccepted() ? L"anonymous clients let in." : L"a user or a trusted certificate.");
    }
    SetItemText(IDC_OPTIONS_UA_NOTE, note);
}

void Tovi_DlgOptions::OnBrowse() {
    const std::wstring chosen = ChooseLogFile(ItemText(IDC_OPTIONS_LOG_FILE));
    if (!chosen.empty()) SetItemText(IDC_OPTIONS_LOG_FILE, chosen);
}

std::wstring Tovi_DlgOptions::ChooseLogFile(const std::wstring& start) {
    if (m_chooser) return m_chooser(start);
    // "Text Files (*.txt)|*.txt||": bars separate the parts, the last two end the list.
    std::wstring filter = LoadResString(IDS_LOG_FILE_FILTER);
    for (wchar_t& c : filter) {
        if (c == L'|') c = L'\0';
    }
    std::wstring extension = LoadResString(IDS_LOG_FILE_EXTENSION);
    if (!extension.empty() && extension[0] == L'.') extension.erase(0, 1);
    const std::wstring title = LoadResString(IDS_LOG_FILE_TITLE);
    std::wstring path(32768, L'\0');
    lstrcpynW(path.data(), start.c_str(), static_cast<int>(path.size()));
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hwnd;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrTitle = title.c_str();
    ofn.lpstrDefExt = extension.c_str();
    ofn.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) return {};
    path.resize(wcslen(path.c_str()));
    return path;
}

void Tovi_DlgOptions::OnOK() {
    unsigned megabytes = 0;
    if (!ParseUnsignedField(ItemText(IDC_OPTIONS_LOG_SIZE), megabytes)) {
        RefuseField(IDC_OPTIONS_LOG_SIZE, kEnterPositiveInteger);
        return;
    }
    // The setting holds bytes in 32 bits: a larger size would wrap round to a small one.
    if (megabytes > kMaxMegabytes) {
        RefuseField(IDC_OPTIONS_LOG_SIZE, EnterIntegerBetween(0, kMaxMegabytes));
        return;
    }
    unsigned uaPort = 0;
    if (!ParseUnsignedField(ItemText(IDC_OPTIONS_UA_PORT), uaPort) || uaPort < 1 || uaPort > 65535) {
        RefuseField(IDC_OPTIONS_UA_PORT, EnterIntegerBetween(1, 65535));
        return;
    }
    const HistoryFields history =
        CheckHistoryFields(ItemText(IDC_OPTIONS_HISTORY_SPAN), ItemText(IDC_OPTIONS_HISTORY_MEMORY));
    if (history.refused != 0) {
        RefuseField(history.refused, history.message);
        return;
    }
    const std::wstring logFile = ItemText(IDC_OPTIONS_LOG_FILE);
    const bool renamed = !EqualsNoCase(logFile, theSettings.GetEventLogFile());
    if (renamed) {
        // A name the next start could not open would leave the program without a log, silently.
        if (!CanWriteFile(logFile)) {
            RefuseField(IDC_OPTIONS_LOG_FILE,
                        FormatText(L"The event log file \"%ls\" cannot be written.", logFile.c_str()));
            return;
        }
        AppMessageBox(LoadResString(IDS_LOG_NAME_RESTART), MB_OK | MB_ICONEXCLAMATION);
    }
    theSettings.SetEventLogFile(logFile);
    theSettings.SetEventLogFileSize(megabytes * kBytesPerMegabyte);
    theSettings.SetEventLogEnabled(IsChecked(IDC_OPTIONS_LOG_ENABLED));
    theSettings.SetFaultControlAllowed(IsChecked(IDC_OPTIONS_FAULT_CONTROL));
    theSettings.SetClientQualityWritesAllowed(IsChecked(IDC_OPTIONS_QUALITY_WRITES));
    theSettings.SetDa3Offered(IsChecked(IDC_OPTIONS_DA3));
    theSettings.SetUaEndpointEnabled(IsChecked(IDC_OPTIONS_UA_ENABLED));
    theSettings.SetUaPort(uaPort);
    theSettings.SetHistoryHours(history.hours);
    theSettings.SetHistoryMegabytes(history.megabytes);
    theSettings.Save();
    const UaSecuritySettings chosen = ChosenUaSecurity();
    if (!(chosen == LoadUaSecuritySettings())) SaveUaSecuritySettings(chosen);
    End(IDOK);
}
