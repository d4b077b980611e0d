#include "Help.h"

#include "EventLog.h"
#include "ProgramPaths.h"
#include "RegIO.h"
#include "MessageBoxes.h"
#include "Text.h"
#include "resource.h"

namespace {

using HtmlHelpAFunction = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);

// The viewer is loaded when help is first asked for, so the program starts
// (and runs) without it.
HtmlHelpAFunction HtmlHelpEntry() {
    static const HtmlHelpAFunction entry = []() -> HtmlHelpAFunction {
        const HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
        return viewer != nullptr ? reinterpret_cast<HtmlHelpAFunction>(GetProcAddress(viewer, "HtmlHelpA")) : nullptr;
    }();
    return entry;
}

void ShowHelpMessage(UINT textId, UINT icon) { AppMessageBox(LoadResString(textId), MB_OK | icon); }

}  // namespace

std::wstring GetHelpFilePath() {
    static const std::wstring path = GetProgramDirectory() + L"ToviExplorer.chm";
    return path;
}

bool IsHtmlHelpInstalled() {
    static const bool installed = [] {
        RegIO registry;
        return registry.Open(L"HKEY_CLASSES_ROOT\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}", true);
    }();
    return installed;
}

void ShowHelp(UINT command, DWORD_PTR data) {
    const HtmlHelpAFunction htmlHelp = IsHtmlHelpInstalled() ? HtmlHelpEntry() : nullptr;
    if (htmlHelp == nullptr) {
        ShowHelpMessage(IDS_HTMLHELP_MISSING, MB_ICONEXCLAMATION);
        return;
    }
    const std::wstring path = GetHelpFilePath();
    if (!FileExists(path)) {
        theEventLog << L"Unable to find help file:" << path << EventLog::EndEntry;
        ShowHelpMessage(IDS_HELP_FILE_MISSING, MB_ICONINFORMATION);
        return;
    }
    htmlHelp(nullptr, ToAnsi(path).c_str(), command, data);
}
