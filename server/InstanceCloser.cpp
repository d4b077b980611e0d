#include "InstanceCloser.h"

#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CloseRequest.h"

namespace {
constexpr DWORD kAnswerMs = 5000;        // a window that takes longer to answer is hung
constexpr DWORD kTerminationMs = 10000;  // a terminated process is gone well within this
constexpr UINT kTerminatedCode = 1;      // as a forced exit of its own

struct Instance {
    DWORD id = 0;
    HWND window = nullptr;     // null: found by its program file only
    HANDLE process = nullptr;  // null: it may not be opened
};

std::wstring ImagePath(HANDLE process) {
    wchar_t buffer[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return {};
    wchar_t longForm[MAX_PATH * 2];
    const DWORD n = GetLongPathNameW(buffer, longForm, MAX_PATH * 2);
    return n != 0 && n < MAX_PATH * 2 ? std::wstring(longForm, n) : std::wstring(buffer, size);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

Instance* Find(std::vector<Instance>& instances, DWORD id) {
    const auto at = std::find_if(instances.begin(), instances.end(), [id](const Instance& i) { return i.id == id; });
    return at != instances.end() ? &*at : nullptr;
}

BOOL CALLBACK CollectFrame(HWND hwnd, LPARAM param) {
    auto* instances = reinterpret_cast<std::vector<Instance>*>(param);
    wchar_t className[64];
    DWORD id = 0;
    GetWindowThreadProcessId(hwnd, &id);
    if (id == GetCurrentProcessId() || GetClassNameW(hwnd, className, 64) == 0 ||
        lstrcmpW(className, kMainFrameClass) != 0 || Find(*instances, id) != nullptr) {
        return TRUE;
    }
    instances->push_back({id, hwnd, nullptr});
    return TRUE;
}

// Copies of this program file without a window: starting up, or in their exit.
void CollectWindowless(std::vector<Instance>& instances) {
    const std::wstring self = ImagePath(GetCurrentProcess());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        const DWORD id = entry.th32ProcessID;
        if (id == GetCurrentProcessId() || Find(instances, id) != nullptr) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process == nullptr) continue;
        if (SamePath(ImagePath(process), self)) instances.push_back({id, nullptr, nullptr});
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

void Ask(const Instance& instance) {
    if (instance.window == nullptr) return;
    const UINT request = CloseRequestMessage();
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(instance.window, request, 0, 0, SMTO_ABORTIFHUNG, kAnswerMs, &answer) == 0) {
        // Hung for now: it closes when it comes back, or is ended below.
        PostMessageW(instance.window, request, 0, 0);
    } else if (static_cast<LRESULT>(answer) != kCloseRequestAccepted) {
        // An older version: closed as its user would close it.
        PostMessageW(instance.window, WM_CLOSE, 0, 0);
    }
}

bool Running(const Instance& instance) {
    if (instance.process != nullptr) return WaitForSingleObject(instance.process, 0) == WAIT_TIMEOUT;
    // Without a handle only a window can show that it went.
    return instance.window == nullptr || IsWindow(instance.window);
}
}  // namespace

CloseResult CloseRunningInstances(DWORD waitMs) {
    std::vector<Instance> instances;
    EnumWindows(&CollectFrame, reinterpret_cast<LPARAM>(&instances));
    CollectWindowless(instances);
    for (Instance& instance : instances) {
        instance.process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, instance.id);
    }
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (const Instance& instance : instances) Ask(instance);
    for (;;) {
        const bool anyRunning =
            std::any_of(instances.begin(), instances.end(), [](const Instance& i) { return Running(i); });
        if (!anyRunning || GetTickCount64() >= deadline) break;
        Sleep(50);
    }
    CloseResult result = CloseResult::Ended;
    for (Instance& instance : instances) {
        if (Running(instance)) {
            if (instance.process != nullptr && TerminateProcess(instance.process, kTerminatedCode) &&
                WaitForSingleObject(instance.process, kTerminationMs) == WAIT_OBJECT_0) {
                if (result == CloseResult::Ended) result = CloseResult::EndedByForce;
            } else {
                result = CloseResult::StillRunning;
            }
        }
        if (instance.process != nullptr) CloseHandle(instance.process);
    }
    return result;
}
