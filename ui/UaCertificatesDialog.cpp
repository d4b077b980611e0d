#include "UaCertificatesDialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <cryptuiapi.h>
#include <wincrypt.h>

#include <cwchar>
#include <utility>

#include "DateTimeText.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "Text.h"
#include "resource.h"

namespace {
struct Column {
    const wchar_t* title;
    int width;
};
constexpr Column kColumns[] = {
    {L"Subject", 190}, {L"Application URI", 190}, {L"Valid from", 80}, {L"Valid to", 80}, {L"Thumbprint", 290}};

std::wstring LocalText(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME time{};
    if (utc.dwHighDateTime == 0 && utc.dwLowDateTime == 0) return std::wstring();
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return std::wstring();
    return FormatDateTime(time);
}

// The local day alone, as the lists show it.
std::wstring LocalDay(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME time{};
    if (utc.dwHighDateTime == 0 && utc.dwLowDateTime == 0) return std::wstring();
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return std::wstring();
    wchar_t text[64] = {};
    return GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, text, 64) > 0 ? text : L"";
}

std::wstring Joined(const std::vector<std::wstring>& list) {
    std::wstring text;
    for (const std::wstring& item : list) text += (text.empty() ? L"" : L", ") + item;
    return text;
}

void SetUpList(HWND list) {
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    for (size_t i = 0; i < std::size(kColumns); ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(kColumns[i].title);
        column.cx = kColumns[i].width;
        ListView_InsertColumn(list, static_cast<int>(i), &column);
    }
}

void FillList(HWND list, const std::vector<UaCertificateRow>& rows) {
    ListView_DeleteAllItems(list);
    for (size_t i = 0; i < rows.size(); ++i) {
        const UaCertificateRow& row = rows[i];
        std::wstring cells[] = {row.problem.empty() ? row.subject : row.problem + L": " + row.file, row.applicationUri,
                                LocalDay(row.validFrom), LocalDay(row.validTo), row.thumbprint};
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = cells[0].data();
        ListView_InsertItem(list, &item);
        for (int c = 1; c < static_cast<int>(std::size(cells)); ++c) {
            ListView_SetItemText(list, static_cast<int>(i), c, cells[c].data());
        }
    }
}

int SelectedIndex(HWND list) { return ListView_GetNextItem(list, -1, LVNI_SELECTED); }

// The filter text of a file dialog: pairs of a title and a pattern, each ending in NUL.
std::wstring Filter(std::initializer_list<const wchar_t*> parts) {
    std::wstring filter;
    for (const wchar_t* part : parts) filter.append(part).push_back(L'\0');
    return filter;
}
}  // namespace

UaCertificatesDialog::UaCertificatesDialog(UaCertificatesSetup setup)
    : DialogWindow(IDD_UA_CERTIFICATES), m_setup(std::move(setup)), m_store(m_setup.pkiFolder) {}

INT_PTR UaCertificatesDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpUaCertificates); return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        const bool trusted = header->idFrom == IDC_UACERT_TRUSTED, rejected = header->idFrom == IDC_UACERT_REJECTED;
        if (!trusted && !rejected) return FALSE;
        if (header->code == LVN_ITEMCHANGED) {
            const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
            // One selection in the two lists: the row the buttons act on.
            if ((change->uNewState & LVIS_SELECTED) && !(change->uOldState & LVIS_SELECTED)) {
                HWND other = Item(trusted ? IDC_UACERT_REJECTED : IDC_UACERT_TRUSTED);
                ListView_SetItemState(other, -1, 0, LVIS_SELECTED);
            }
            Enablings();
        } else if (header->code == NM_DBLCLK) {
            if (const UaCertificateRow* row = Selected(); row != nullptr) OnView(*row);
        }
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpUaCertificates); return TRUE;
        case IDC_UACERT_TRUST: OnTrust(); return TRUE;
        case IDC_UACERT_REJECT: OnReject(); return TRUE;
        case IDC_UACERT_DELETE: OnDelete(); return TRUE;
        case IDC_UACERT_IMPORT: OnImport(); return TRUE;
        case IDC_UACERT_VIEW: OnView(m_own); return TRUE;
        case IDC_UACERT_EXPORT: OnExport(); return TRUE;
        case IDC_UACERT_RENEW: OnRenew(); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void UaCertificatesDialog::OnInitDialog() {
    SetUpList(Item(IDC_UACERT_TRUSTED));
    SetUpList(Item(IDC_UACERT_REJECTED));
    SetItemText(IDC_UACERT_FOLDER, L"Folder: " + m_store.Folder());
    std::wstring error;
    if (!m_store.Prepare(error)) Report(error);
    Fill();
    FillOwn();
}

void UaCertificatesDialog::Fill() {
    m_trusted = m_store.Trusted();
    m_rejected = m_store.Rejected();
    FillList(Item(IDC_UACERT_TRUSTED), m_trusted);
    FillList(Item(IDC_UACERT_REJECTED), m_rejected);
    Enablings();
}

void UaCertificatesDialog::FillOwn() {
    const bool present = m_store.OwnCertificate(m_own);
    SetItemText(IDC_UACERT_OWN_SUBJECT, present ? m_own.subject : L"(none yet: the endpoint makes one when it starts)");
    std::vector<std::wstring> names;
    if (present && !m_own.applicationUri.empty()) names.push_back(m_own.applicationUri);
    names.insert(names.end(), m_own.names.begin(), m_own.names.end());
    SetItemText(IDC_UACERT_OWN_NAMES, Joined(names));
    SetItemText(IDC_UACERT_OWN_THUMBPRINT, m_own.thumbprint);
    SetItemText(IDC_UACERT_OWN_VALIDITY,
                present ? LocalText(m_own.validFrom) + L" to " + LocalText(m_own.validTo) : std::wstring());
    const std::vector<std::wstring> missing = present && !m_setup.serverNames.empty()
                                                  ? MissingNames(m_own, m_setup.serverNames)
                                                  : std::vector<std::wstring>();
    SetItemText(IDC_UACERT_OWN_WARNING,
                missing.empty() ? std::wstring()
                                : L"It does not name this computer as " + Joined(missing) +
                                      L": clients that connect by those names may refuse it. Renew makes one that "
                                      L"does; clients must then trust the new one.");
    Enable(IDC_UACERT_VIEW, present);
    Enable(IDC_UACERT_EXPORT, present);
    Enable(IDC_UACERT_RENEW, present);
}

const UaCertificateRow* UaCertificatesDialog::Selected(bool* rejected) const {
    const int trustedIndex = SelectedIndex(Item(IDC_UACERT_TRUSTED));
    const int rejectedIndex = SelectedIndex(Item(IDC_UACERT_REJECTED));
    if (rejected != nullptr) *rejected = rejectedIndex >= 0;
    if (rejectedIndex >= 0 && static_cast<size_t>(rejectedIndex) < m_rejected.size()) return &m_rejected[rejectedIndex];
    if (trustedIndex >= 0 && static_cast<size_t>(trustedIndex) < m_trusted.size()) return &m_trusted[trustedIndex];
    return nullptr;
}

void UaCertificatesDialog::Enablings() {
    bool rejected = false;
    const UaCertificateRow* row = Selected(&rejected);
    Enable(IDC_UACERT_TRUST, row != nullptr && rejected && row->problem.empty());
    Enable(IDC_UACERT_REJECT, row != nullptr && !rejected && row->problem.empty());
    Enable(IDC_UACERT_DELETE, row != nullptr);
}

void UaCertificatesDialog::OnTrust() {
    bool rejected = false;
    const UaCertificateRow* row = Selected(&rejected);
    if (row == nullptr || !rejected) return;
    std::wstring error;
    if (!m_store.Trust(*row, error)) Report(error);
    Changed();
}

void UaCertificatesDialog::OnReject() {
    bool rejected = false;
    const UaCertificateRow* row = Selected(&rejected);
    if (row == nullptr || rejected) return;
    std::wstring error;
    if (!m_store.Reject(*row, error)) Report(error);
    Changed();
}

void UaCertificatesDialog::OnDelete() {
    const UaCertificateRow* row = Selected();
    if (row == nullptr) return;
    const std::wstring what = row->problem.empty() ? row->subject : row->file;
    if (AppMessageBox(L"Delete the certificate \"" + what + L"\"?", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    std::wstring error;
    if (!m_store.Delete(*row, error)) Report(error);
    Changed();
}

void UaCertificatesDialog::OnImport() {
    const std::wstring path = ChooseOpen();
    if (path.empty()) return;
    std::wstring error;
    if (!m_store.TrustFile(path, error)) {
        Report(L"\"" + path + L"\" was not trusted. " + error);
        return;
    }
    Changed();
}

void UaCertificatesDialog::OnView(const UaCertificateRow& row) {
    std::string der;
    std::wstring reason;
    HANDLE file = CreateFileW(row.file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        std::string bytes(65536, '\0');
        DWORD got = 0;
        if (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) bytes.resize(got);
        CloseHandle(file);
        CertificateDer(bytes, der, reason);
    }
    PCCERT_CONTEXT context =
        der.empty() ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                   static_cast<DWORD>(der.size()));
    // Found at run time: not every toolchain ships an import library for the viewer.
    using ViewContext = BOOL(WINAPI*)(DWORD, const void*, HWND, LPCWSTR, DWORD, void*);
    const HMODULE viewer = LoadLibraryW(L"cryptui.dll");
    const auto view =
        viewer != nullptr
            ? reinterpret_cast<ViewContext>(reinterpret_cast<void*>(GetProcAddress(viewer, "CryptUIDlgViewContext")))
            : nullptr;
    const bool shown = context != nullptr && view != nullptr &&
                       view(CERT_STORE_CERTIFICATE_CONTEXT, context, m_hwnd, row.subject.c_str(), 0, nullptr);
    if (viewer != nullptr) FreeLibrary(viewer);
    if (context != nullptr) CertFreeCertificateContext(context);
    if (shown) return;
    // Without the platform's viewer, the facts in words.
    AppMessageBox(L"Subject: " + row.subject + L"\nApplication URI: " + row.applicationUri + L"\nNames: " +
                      Joined(row.names) + L"\nThumbprint (SHA-1): " + row.thumbprint + L"\nValid from: " +
                      LocalText(row.validFrom) + L"\nValid to: " + LocalText(row.validTo) + L"\nKey: RSA " +
                      std::to_wstring(row.keyBits) + L" bits\nFile: " + row.file,
                  MB_OK | MB_ICONINFORMATION, L"Certificate");
}

void UaCertificatesDialog::OnExport() {
    bool pem = false;
    const std::wstring path = ChooseSave(pem);
    if (path.empty()) return;
    std::wstring error;
    if (!m_store.ExportOwn(path, pem, error)) Report(error);
}

void UaCertificatesDialog::OnRenew() {
    if (AppMessageBox(L"Make a new certificate for this server? Clients that trusted the current one must trust the "
                      L"new one before they can connect again.",
                      MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    std::wstring error;
    if (!m_store.DiscardOwn(error)) {
        Report(error);
        return;
    }
    CountUaSecurityChange(m_setup.settingsKey);
    if (m_setup.renewed) m_setup.renewed();
    FillOwn();
}

void UaCertificatesDialog::Changed() {
    CountUaSecurityChange(m_setup.settingsKey);
    Fill();
}

void UaCertificatesDialog::Report(const std::wstring& error) const { AppMessageBox(error, MB_OK | MB_ICONEXCLAMATION); }

std::wstring UaCertificatesDialog::ChooseOpen() {
    if (m_openChooser) return m_openChooser();
    const std::wstring filter =
        Filter({L"Certificates (*.der, *.cer, *.crt, *.pem)", L"*.der;*.cer;*.crt;*.pem", L"All files (*.*)", L"*.*"});
    std::wstring path(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hwnd;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrTitle = L"Trust a Client Certificate";
    ofn.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) return {};
    path.resize(wcslen(path.c_str()));
    return path;
}

std::wstring UaCertificatesDialog::ChooseSave(bool& pem) {
    if (m_saveChooser) return m_saveChooser(pem);
    const std::wstring filter = Filter({L"DER certificate (*.der)", L"*.der", L"PEM certificate (*.pem)", L"*.pem"});
    std::wstring path(32768, L'\0');
    lstrcpynW(path.data(), L"ToviExplorer.der", static_cast<int>(path.size()));
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hwnd;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrTitle = L"Export the Server Certificate";
    ofn.lpstrDefExt = L"der";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (!GetSaveFileNameW(&ofn)) return {};
    path.resize(wcslen(path.c_str()));
    // The file type chosen decides, unless the name says otherwise.
    const size_t dot = path.rfind(L'.');
    const std::wstring extension = dot == std::wstring::npos ? std::wstring() : path.substr(dot);
    pem = EqualsNoCase(extension, L".pem") || (ofn.nFilterIndex == 2 && !EqualsNoCase(extension, L".der"));
    return path;
}

void ShowUaCertificates(HWND owner, UaCertificatesSetup setup) {
    UaCertificatesDialog dialog(std::move(setup));
    dialog.DoModal(owner);
}
