// Soak: one client connecting and disconnecting in a loop, as a client that
// polls a server's status does. Starts the real server by hand (so that it
// stays up between connections), then repeats CoCreateInstance, GetStatus and
// Release with a pause between connections, and reports whether every
// connection came back. A connection that does not come back within the
// stall limit ends the run with exit code 2: the server hung.
//
// connection_soak.exe "<server exe>" [connections=20000] [pause ms=20] [stall limit s=120]
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "OpcDa.h"
#include "ServerIds.h"

namespace {
std::atomic<unsigned long> g_done{0};
std::atomic<unsigned long> g_failed{0};
std::atomic<HRESULT> g_lastFailure{S_OK};
std::atomic<bool> g_finished{false};
// Connections answered by another server process than the first one (its
// start time differs): COM started a new server instead of reaching ours.
std::atomic<unsigned long> g_otherProcess{0};
FILETIME g_firstStart{};

void Loop(unsigned long connections, DWORD pauseMs) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (unsigned long i = 0; i < connections; ++i) {
        IOPCServer* server = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_ToviExplorerServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                      reinterpret_cast<void**>(&server));
        if (SUCCEEDED(hr)) {
            OPCSERVERSTATUS* status = nullptr;
            hr = server->GetStatus(&status);
            if (status != nullptr) {
                if (i == 0) g_firstStart = status->ftStartTime;
                if (CompareFileTime(&g_firstStart, &status->ftStartTime) != 0) g_otherProcess.fetch_add(1);
                CoTaskMemFree(status->szVendorInfo);
                CoTaskMemFree(status);
            }
            server->Release();
        }
        if (FAILED(hr)) {
            g_failed.fetch_add(1);
            g_lastFailure.store(hr);
        }
        g_done.fetch_add(1);
        if (pauseMs != 0) Sleep(pauseMs);
    }
    CoUninitialize();
    g_finished.store(true);
}

BOOL CALLBACK CloseWindowsOf(HWND window, LPARAM processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId) && IsWindowVisible(window)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

// Waits until the server answers a first connection.
bool WaitUntilServing(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (GetTickCount64() < deadline) {
        IUnknown* probe = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_ToviExplorerServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                       reinterpret_cast<void**>(&probe)))) {
            probe->Release();
            return true;
        }
        Sleep(250);
    }
    return false;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: connection_soak <server exe> [connections] [pause ms] [stall limit s]\n");
        return 1;
    }
    const std::wstring exe = argv[1];
    const unsigned long connections = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 20000;
    const DWORD pauseMs = argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 20;
    const DWORD stallSeconds = argc > 4 ? std::wcstoul(argv[4], nullptr, 10) : 120;

    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    PROCESS_INFORMATION server{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &server)) {
        std::fprintf(stderr, "cannot start the server: error %lu\n", GetLastError());
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (!WaitUntilServing(60000)) {
        std::fprintf(stderr, "the server does not serve\n");
        TerminateProcess(server.hProcess, 1);
        return 1;
    }

    const ULONGLONG start = GetTickCount64();
    std::thread(Loop, connections, pauseMs).detach();
    unsigned long seen = 0;
    ULONGLONG lastProgress = start;
    int result = 0;
    while (!g_finished.load()) {
        Sleep(500);
        const unsigned long done = g_done.load();
        const ULONGLONG now = GetTickCount64();
        if (done != seen) {
            if (done / 500 != seen / 500) {
                std::printf("%lu connections, %lu failed, %lu by another process, %.1f s\n", done, g_failed.load(),
                            g_otherProcess.load(), (now - start) / 1000.0);
                std::fflush(stdout);
            }
            seen = done;
            lastProgress = now;
        } else if (now - lastProgress > stallSeconds * 1000ull) {
            std::printf("HUNG: connection %lu has not come back after %lu s\n", done + 1, stallSeconds);
            result = 2;
            break;
        }
    }
    const double seconds = (GetTickCount64() - start) / 1000.0;
    std::printf("%lu of %lu connections in %.1f s (%.1f per second), %lu failed (last 0x%08lX)\n", g_done.load(),
                connections, seconds, g_done.load() / seconds, g_failed.load(),
                static_cast<unsigned long>(g_lastFailure.load()));
    const bool serverAlive = WaitForSingleObject(server.hProcess, 0) == WAIT_TIMEOUT;
    std::printf("%lu answered by another server process; the server started here is %s\n", g_otherProcess.load(),
                serverAlive ? "still running" : "gone");
    if (result == 0 && (g_failed.load() != 0 || g_otherProcess.load() != 0 || !serverAlive)) result = 3;
    std::fflush(stdout);

    EnumWindows(CloseWindowsOf, static_cast<LPARAM>(server.dwProcessId));
    if (WaitForSingleObject(server.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(server.hProcess, 1);
    }
    CloseHandle(server.hThread);
    CloseHandle(server.hProcess);
    // A hung connection thread cannot be joined: end the process as it stands.
    ExitProcess(static_cast<UINT>(result));
}
