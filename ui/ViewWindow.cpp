#include "ViewWindow.h"

#include <commctrl.h>

#include "ViewUpdates.h"

namespace {
const wchar_t kViewClass[] = L"ToviExplorerView";
}

CViewWindow::~CViewWindow() { DestroyView(); }

void CViewWindow::DestroyView() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

bool CViewWindow::Create(HWND parent, UINT id) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CViewWindow::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kViewClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0, parent,
                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), instance, this);
    if (hwnd_ == nullptr) return false;
    control_ = CreateControl(hwnd_);
    return control_ != nullptr;
}

void CViewWindow::TrackPopup(UINT menuId) {
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(menuId));
    if (menu == nullptr) return;
    POINT at{};
    GetCursorPos(&at);
    HWND owner = GetAncestor(hwnd_, GA_ROOT);
    // The owner fills the enabled and checked states (WM_INITMENUPOPUP) and gets the command.
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, owner, nullptr);
    DestroyMenu(menu);
}

LRESULT CALLBACK CViewWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<CViewWindow*>(cs->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<CViewWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CViewWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        if (control_ != nullptr) MoveWindow(control_, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_SETFOCUS:
        if (control_ != nullptr) SetFocus(control_);
        return 0;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->hwndFrom == control_ && header->code == NM_SETFOCUS && activated_) activated_(this);
        return OnNotify(header);
    }
    case WM_COMMAND:  // the view's own requests, such as Delete after a key
        if (lParam == 0 && OnCommand(LOWORD(wParam))) return 0;
        break;
    case WM_TIMER:
        OnTimer(wParam);
        return 0;
    case kViewUpdateMessage:
        doc_.Poster().Arrived(hwnd_, static_cast<int>(wParam));
        OnPostedUpdate(static_cast<int>(wParam));
        return 0;
    case WM_NCDESTROY: {
        HWND hwnd = hwnd_;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        hwnd_ = nullptr;
        control_ = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}
