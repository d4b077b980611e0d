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
    hwnd_ = CreateWindowW(kRecorderClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetClientObjectWindow(hwnd_);
}

ClientMessageRecorder::~ClientMessageRecorder() {
    SetClientObjectWindow(nullptr);
    DestroyWindow(hwnd_);
}

LRESULT CALLBACK ClientMessageRecorder::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kClientObjectMessage) {
        auto* self = reinterpret_cast<ClientMessageRecorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr) self->seen_.push_back(wParam);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

const std::vector<WPARAM>& ClientMessageRecorder::Pump(size_t expected, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, hwnd_, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        if (seen_.size() >= expected || GetTickCount64() >= deadline) {
            return seen_;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_POSTMESSAGE);
    }
}
