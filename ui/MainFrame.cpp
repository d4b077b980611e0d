#include "MainFrame.h"

#include "ClientObjects.h"
#include "Document.h"
#include "EventLog.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "Text.h"
#include "resource.h"

namespace {
const wchar_t kFrameClass[] = L"ToviExplorerFrame";
const wchar_t kExitQuestion[] = L"OPC Clients are currently connected to this server, Exit anyway?";
constexpr UINT kForcedExitCode = 1;
}  // namespace

CMainFrame::~CMainFrame() {
    if (hwnd_ != nullptr) {
        DestroyWindow(hwnd_);
    }
}

bool CMainFrame::Create(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CMainFrame::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kFrameClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    const std::wstring title = LoadResString(IDS_APP_TITLE);
    hwnd_ = CreateWindowExW(0, kFrameClass, title.c_str(), WS_OVERLAPPEDWINDOW,
                            CW_USEDEFAULT, CW_USEDEFAULT, 800, 560,
                            nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) {
        return false;
    }
    SetClientObjectWindow(hwnd_);
    SetMessageBoxOwner(hwnd_);
    return true;
}

void CMainFrame::Show(int showCommand) {
    if (hwnd_ != nullptr) {
        ShowWindow(hwnd_, showCommand);
        UpdateWindow(hwnd_);
    }
}

LRESULT CALLBACK CMainFrame::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<CMainFrame*>(cs->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<CMainFrame*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CMainFrame::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kClientObjectMessage:
        OnClientObjectMessage(wParam);
        return 0;
    case WM_COMMAND:
        if (commandHandler_ && commandHandler_(LOWORD(wParam))) {
            return 0;
        }
        break;
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_DESTROY:
        // From here on nothing is posted to this window and no box is owned by it.
        if (ClientObjectWindow() == hwnd_) SetClientObjectWindow(nullptr);
        SetMessageBoxOwner(nullptr);
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        HWND hwnd = hwnd_;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        hwnd_ = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void CMainFrame::OnClientObjectMessage(WPARAM wParam) {
    const long count = ApplyClientObjectMessage(wParam);
    if (wParam != kClientObjectMore && count == 0 && endWithLastClient_) {
        endWithLastClient_ = false;  // once: the window is on its way out
        DestroyWindow(hwnd_);
    }
}

void CMainFrame::OnClose() {
    if (OPCS_Doc* document = OPCS_Doc::Get()) {
        document->Save();
    }
    theSettings.Save();
    if (AreClientsConnected()) {
        if (AppMessageBox(kExitQuestion, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) {
            return;
        }
        theEventLog << L"Forcing termination of server while clients connected" << EventLog::EndEntry;
        if (forcedExitHandler_) forcedExitHandler_();
        // At once: client calls may be running on other threads, and nothing
        // of the normal exit may wait for them.
        TerminateProcess(GetCurrentProcess(), kForcedExitCode);
    }
    DestroyWindow(hwnd_);
}
