#include "ClassObjectThread.h"

#include <objbase.h>

#include "InterfaceAnchors.h"
#include "ServerModule.h"

namespace {
// Registration talks to the COM service; a start-up never waits longer than this.
constexpr DWORD kRegistrationWaitMs = 30000;
}  // namespace

bool ClassObjectThread::Start(ServerModule& module) {
    if (thread_.IsRunning()) {
        return false;
    }
    run_.store(true);
    result_.store(E_PENDING);
    if (!thread_.Start([this, &module] { return Run(module); })) {
        return false;
    }
    ready_.Wait(kRegistrationWaitMs);
    return true;
}

unsigned ClassObjectThread::Run(ServerModule& module) {
    MSG msg;
    // The message queue exists before anyone is told the thread is ready, so
    // that the quit message can always be posted.
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(joined)) {
        result_.store(joined);
        ready_.Set();
        return static_cast<unsigned>(joined);
    }
    InterfaceAnchors anchors;
    anchors.Hold();
    result_.store(module.RegisterClassObject());
    ready_.Set();
    while (run_.load()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    module.RevokeClassObject();
    anchors.Release();
    CoUninitialize();
    return 0;
}

void ClassObjectThread::Stop(DWORD milliseconds) noexcept {
    if (!thread_.IsRunning()) {
        return;
    }
    run_.store(false);
    const DWORD id = thread_.Id();
    const ULONGLONG deadline = milliseconds == INFINITE ? ~0ull : GetTickCount64() + milliseconds;
    while (!PostThreadMessageW(id, WM_QUIT, 0, 0) && GetTickCount64() < deadline) {
        if (WaitForSingleObject(thread_.Handle(), 50) != WAIT_TIMEOUT) {
            break;  // ended already, or cannot be waited for
        }
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = milliseconds == INFINITE ? INFINITE : static_cast<DWORD>(now < deadline ? deadline - now : 0);
    if (thread_.Join(left)) {
        return;
    }
    if (WaitForSingleObject(thread_.Handle(), 0) == WAIT_FAILED) {
        TerminateThread(thread_.Handle(), 1);
        thread_.Join(INFINITE);
    }
}
