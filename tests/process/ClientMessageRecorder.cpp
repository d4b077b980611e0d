#include "ClientMessageRecorder.h"

#include "ClientObjects.h"

namespace {
const wchar_t kRecorderClass[] = L"ToviClientMessageRecorder";
}

ClientMessageRecorder::ClientMessageRecorder() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &ClientMessageRecorder::WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kRecorderClass;
    RegisterClassW(&wc);
    m_hwnd = CreateWindowW(kRecorderClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetClientObjectWindow(m_hwnd);
}

ClientMessageRecorder::~ClientMessageRecorder() {
    SetClientObjectWindow(nullptr);
    DestroyWindow(m_hwnd);
}

LRESULT CALLBACK ClientMessageRecorder::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kClientObjectMessage) {
        auto* self = reinterpret_cast<ClientMessageRecorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr) self->m_seen.push_back(wParam);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

const std::vector<WPARAM>& ClientMessageRecorder::Pump(size_t expected, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, m_hwnd, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        if (m_seen.size() >= expected || GetTickCount64() >= deadline) {
            return m_seen;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_POSTMESSAGE);
    }
}
