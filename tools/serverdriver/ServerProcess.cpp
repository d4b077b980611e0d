#include "ServerProcess.h"

#include <tlhelp32.h>

#include <cstring>
#include <mutex>
#include <set>

#include "ServerUnderTest.h"

namespace {
const wchar_t kFrameClass[] = L"ToviExplorerFrame";
const wchar_t kDialogClass[] = L"#32770";

std::wstring LongPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 2);
    return n != 0 && n < MAX_PATH * 2 ? std::wstring(buffer, n) : path;
}

// Wine now and then refuses a process creation while it is busy (seen most
// right after killed processes); a try a moment later goes through.
bool CreateProcessPatiently(std::wstring command, PROCESS_INFORMATION& info) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            return true;
        }
        const DWORD error = GetLastError();
        Sleep(250 * (attempt + 1));
        SetLastError(error);
    }
    return false;
}

std::mutex heldIdsLock;
std::set<DWORD> heldIds;  // their handles stay open until this process ends

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
    return CreateProcessPatiently(command, m_info);
}

bool ServerProcess::WaitForExit(DWORD milliseconds, DWORD* exitCode) {
    if (m_info.hProcess == nullptr || WaitForSingleObject(m_info.hProcess, milliseconds) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_info.hProcess, &code);
    if (exitCode != nullptr) *exitCode = code;
    return true;
}

bool ServerProcess::IsRunning() const {
    return m_info.hProcess != nullptr && WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

void ServerProcess::Kill() {
    if (m_info.hProcess != nullptr) {
        if (IsRunning()) EndServer(m_info.dwProcessId, m_info.hProcess);
        RetireProcessHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
    }
    m_info = {};
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
        // A box counts once it is shown with its caption set.
        for (HWND candidate : ProcessWindows(Id(), kDialogClass)) {
            if (IsWindowVisible(candidate) && !WindowCaption(candidate).empty()) box = candidate;
        }
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

void EndServer(DWORD processId, HANDLE process) {
    // Closed the way a user closes it, answering the exit question with Yes:
    // a process that is killed leaves its class registration behind in
    // Wine's COM service, and later clients would be sent to it.
    for (HWND frame : ProcessWindows(processId, kFrameClass)) PostMessageW(frame, WM_CLOSE, 0, 0);
    const bool ended = WaitFor(10000, [&] {
        for (HWND box : ProcessWindows(processId, kDialogClass)) {
            if (IsWindowVisible(box)) {
                PressButton(box, IDYES);
                PressButton(box, IDOK);
            }
        }
        return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
    });
    if (!ended) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 10000);
    }
}

void KillRunningServers() {
    for (DWORD id : RunningServerIds()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process == nullptr) continue;
        EndServer(id, process);
        RetireProcessHandle(process);
    }
}

void RetireProcessHandle(HANDLE process) {
    const DWORD id = GetProcessId(process);
    std::lock_guard<std::mutex> lock(heldIdsLock);
    if (id == 0 || !heldIds.insert(id).second) CloseHandle(process);
}

void HoldRunningServerIds() {
    for (DWORD id : RunningServerIds()) {
        if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)) {
            RetireProcessHandle(process);
        }
    }
}

namespace {
bool StartWorker(const char* worker, const wchar_t* arguments, PROCESS_INFORMATION& info) {
    std::wstring command = L"\"Z:" + std::wstring(worker, worker + strlen(worker)) + L"\" ";
    for (wchar_t& c : command) {
        if (c == L'/') c = L'\\';
    }
    command += arguments;
    if (!CreateProcessPatiently(command, info)) return false;
    CloseHandle(info.hThread);
    return true;
}
}  // namespace

bool RunWorker(const char* worker, const wchar_t* arguments, DWORD milliseconds, DWORD* exitCode) {
    PROCESS_INFORMATION info{};
    *exitCode = 99;
    if (!StartWorker(worker, arguments, info)) {
        *exitCode = GetLastError();
        return false;
    }
    const bool ended = WaitForSingleObject(info.hProcess, milliseconds) == WAIT_OBJECT_0;
    if (ended) {
        GetExitCodeProcess(info.hProcess, exitCode);
    } else {
        *exitCode = 98;
        TerminateProcess(info.hProcess, 98);
        WaitForSingleObject(info.hProcess, milliseconds);
    }
    RetireProcessHandle(info.hProcess);
    return ended;
}

bool KillWorkerOnceSubscribed(const char* worker, const wchar_t* mode, DWORD milliseconds, std::string* why,
                              const std::function<void(HANDLE process)>& meanwhile) {
    HANDLE subscribed = CreateEventW(nullptr, TRUE, FALSE, L"ToviWorkerSubscribed");
    PROCESS_INFORMATION info{};
    if (!StartWorker(worker, mode, info)) {
        CloseHandle(subscribed);
        *why = "the worker did not start";
        return false;
    }
    const bool ready = WaitForSingleObject(subscribed, milliseconds) == WAIT_OBJECT_0;
    if (ready && meanwhile) meanwhile(info.hProcess);
    DWORD workerCode = 0;
    GetExitCodeProcess(info.hProcess, &workerCode);
    TerminateProcess(info.hProcess, 9);
    WaitForSingleObject(info.hProcess, milliseconds);
    RetireProcessHandle(info.hProcess);
    CloseHandle(subscribed);
    if (!ready) *why = "the worker did not subscribe: " + std::to_string(workerCode);
    return ready;
}
