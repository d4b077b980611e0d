#include "ClassObjectThread.h"

#include <objbase.h>

#include "InterfaceAnchors.h"
#include "ServerModule.h"

namespace {
// Registration talks to the COM service; a start-up never waits longer than this.
constexpr DWORD kRegistrationWaitMs = 30000;
}  // namespace

bool ClassObjectThread::Start(ServerModule& module) {
    if (m_thread.IsRunning()) {
        return false;
    }
    m_run.store(true);
    m_result.store(E_PENDING);
    if (!m_thread.Start([this, &module] { return Run(module); })) {
        return false;
    }
    m_ready.Wait(kRegistrationWaitMs);
    return true;
}

unsigned ClassObjectThread::Run(ServerModule& module) {
    MSG msg;
    // The message queue exists before anyone is told the thread is ready, so
    // that the quit message can always be posted.
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(joined)) {
        m_result.store(joined);
        m_ready.Set();
        return static_cast<unsigned>(joined);
    }
    InterfaceAnchors anchors;
    anchors.Hold();
    m_result.store(module.RegisterClassObject());
    m_ready.Set();
    while (m_run.load()) {
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
    if (!m_thread.IsRunning()) {
        return;
    }
    m_run.store(false);
    const DWORD id = m_thread.Id();
    const ULONGLONG deadline = milliseconds == INFINITE ? ~0ull : GetTickCount64() + milliseconds;
    while (!PostThreadMessageW(id, WM_QUIT, 0, 0) && GetTickCount64() < deadline) {
        if (WaitForSingleObject(m_thread.Handle(), 50) != WAIT_TIMEOUT) {
            break;  // ended already, or cannot be waited for
        }
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = milliseconds == INFINITE ? INFINITE : static_cast<DWORD>(now < deadline ? deadline - now : 0);
    if (m_thread.Join(left)) {
        return;
    }
    if (WaitForSingleObject(m_thread.Handle(), 0) == WAIT_FAILED) {
        TerminateThread(m_thread.Handle(), 1);
        m_thread.Join(INFINITE);
    }
}
