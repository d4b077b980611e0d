#include "ServerProcess.h"

#include <tlhelp32.h>

namespace {
const wchar_t kFrameClass[] = L"ToviExplorerFrame";
const wchar_t kDialogClass[] = L"#32770";

std::wstring LongPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 2);
    return n != 0 && n < MAX_PATH * 2 ? std::wstring(buffer, n) : path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    wchar_t className[64];
    if (owner == search->processId && GetClassNameW(hwnd, className, 64) > 0 &&
        lstrcmpW(className, search->className) == 0) {
        search->found.push_back(hwnd);
    }
    return TRUE;
}

BOOL CALLBACK CollectStaticText(HWND hwnd, LPARAM param) {
    auto* text = reinterpret_cast<std::wstring*>(param);
    wchar_t className[32];
    if (GetClassNameW(hwnd, className, 32) > 0 && lstrcmpiW(className, L"Static") == 0) {
        const std::wstring candidate = WindowCaption(hwnd);
        if (candidate.size() > text->size()) *text = candidate;
    }
    return TRUE;
}
}  // namespace

std::wstring ServerExePath() {
    // The build hands the Linux path; Wine's drive Z: is the Linux root.
    std::wstring path = L"Z:" TOVI_SERVER_EXE;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

ServerProcess::~ServerProcess() { Kill(); }

bool ServerProcess::Start(const std::wstring& arguments) {
    Kill();
    std::wstring command = L"\"" + ServerExePath() + L"\"";
    if (!arguments.empty()) command += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    return CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info_) != FALSE;
}

bool ServerProcess::WaitForExit(DWORD milliseconds, DWORD* exitCode) {
    if (info_.hProcess == nullptr || WaitForSingleObject(info_.hProcess, milliseconds) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    if (exitCode != nullptr) *exitCode = code;
    return true;
}

bool ServerProcess::IsRunning() const {
    return info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

void ServerProcess::Kill() {
    if (info_.hProcess != nullptr) {
        if (IsRunning()) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 10000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
    info_ = {};
}

HWND ServerProcess::WaitForMainWindow(DWORD milliseconds) const {
    HWND window = nullptr;
    WaitFor(milliseconds, [&] {
        for (HWND candidate : ProcessWindows(Id(), kFrameClass)) {
            if (IsWindowVisible(candidate)) window = candidate;
        }
        return window != nullptr || !IsRunning();
    });
    return window;
}

HWND ServerProcess::WaitForMessageBox(DWORD milliseconds) const {
    HWND box = nullptr;
    WaitFor(milliseconds, [&] {
        const std::vector<HWND> boxes = ProcessWindows(Id(), kDialogClass);
        if (!boxes.empty()) box = boxes.front();
        return box != nullptr || !IsRunning();
    });
    return box;
}

std::vector<HWND> ProcessWindows(DWORD processId, const wchar_t* className) {
    WindowSearch search{processId, className, {}};
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowCaption(HWND window) {
    wchar_t buffer[2048];
    const int n = GetWindowTextW(window, buffer, 2048);
    return std::wstring(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

std::wstring MessageBoxText(HWND box) {
    std::wstring text;
    EnumChildWindows(box, &CollectStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

void PressButton(HWND box, int id) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

std::vector<DWORD> RunningServerIds() {
    std::vector<DWORD> ids;
    const std::wstring program = LongPath(ServerExePath());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        wchar_t image[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &size) && SamePath(LongPath(image), program)) {
            ids.push_back(entry.th32ProcessID);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ids;
}

bool WaitUntilNoServerRuns(DWORD milliseconds) {
    return WaitFor(milliseconds, [] { return RunningServerIds().empty(); });
}

void KillRunningServers() {
    for (DWORD id : RunningServerIds()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process == nullptr) continue;
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}
