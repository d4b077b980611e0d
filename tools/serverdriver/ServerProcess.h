#pragma once
// Drives the real program from outside: starts it with arguments, finds its
// windows and message boxes, answers them, and waits for its end. Every wait
// is bounded.
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "WaitFor.h"

// Windows path of the program under test.
std::wstring ServerExePath();

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Start(const std::wstring& arguments);
    // True with the exit code when the process ended within the time.
    bool WaitForExit(DWORD milliseconds, DWORD* exitCode = nullptr);
    bool IsRunning() const;
    void Kill();
    DWORD Id() const noexcept { return m_info.dwProcessId; }

    // Its visible main window, once start-up has finished.
    HWND WaitForMainWindow(DWORD milliseconds) const;
    // A message box it shows.
    HWND WaitForMessageBox(DWORD milliseconds) const;

private:
    PROCESS_INFORMATION m_info{};
};

// The text and caption of a message box, and pressing one of its buttons.
std::wstring MessageBoxText(HWND box);
std::wstring WindowCaption(HWND window);
void PressButton(HWND box, int id);
// Top-level windows of a process with the given class name.
std::vector<HWND> ProcessWindows(DWORD processId, const wchar_t* className);

// Closes a handle to an ended process in a way that keeps its id from any
// later process of this run. Wine's COM derives an apartment's address from
// its process id, and this process's connections cached for a dead server
// would be used, and fail, for a new one that was given the same id.
// The handle needs PROCESS_QUERY_LIMITED_INFORMATION, for the id.
void RetireProcessHandle(HANDLE process);
// Holds every running instance of the program in the same way; a client
// calls it for servers that COM started.
void HoldRunningServerIds();

// Every running instance of the program, whoever started it.
std::vector<DWORD> RunningServerIds();
bool WaitUntilNoServerRuns(DWORD milliseconds);
// Ends a server: closed by its window if it can be, killed if it will not go.
void EndServer(DWORD processId, HANDLE process);
void KillRunningServers();

// Starts the client worker (its Linux path) in `mode`, waits (bounded) until it says it has
// subscribed, runs `meanwhile`, then kills it if it still runs: a client that dies with a
// live subscription. False (with the worker's exit code in *why) when it never subscribed.
bool KillWorkerOnceSubscribed(const char* worker, const wchar_t* mode, DWORD milliseconds, std::string* why,
                              const std::function<void(HANDLE process)>& meanwhile = {});
// Runs the client worker (its Linux path) with `arguments` to its end; false
// when it did not end within the time (it is killed then, and *exitCode is 98)
// or did not start (*exitCode is then the Win32 error).
bool RunWorker(const char* worker, const wchar_t* arguments, DWORD milliseconds, DWORD* exitCode);
