#include "CAboutDlg.h"

#include "ProgramPaths.h"
#include "Text.h"
#include "VersionInfo.h"
#include "resource.h"

CAboutDlg::CAboutDlg() : DialogWindow(IDD_ABOUTBOX) {}

std::wstring CAboutDlg::VersionLine() {
    std::wstring version;
    GetProductVersion(GetModulePath(), version);
    return FormatText(L"%ls Version %ls", LoadResString(IDS_APP_TITLE).c_str(), version.c_str());
}

INT_PTR CAboutDlg::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: SetItemText(IDC_ABOUT_VERSION, VersionLine()); return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            End(LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}
