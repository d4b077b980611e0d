#include "CViewWindow.h"

#include <commctrl.h>

#include "ViewUpdatePoster.h"

namespace {
const wchar_t kViewClass[] = L"ToviExplorerView";
}

CViewWindow::~CViewWindow() { DestroyView(); }

void CViewWindow::DestroyView() {
    if (m_hwnd != nullptr) DestroyWindow(m_hwnd);
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
    if (m_hwnd == nullptr) return false;
    m_control = CreateControl(m_hwnd);
    return m_control != nullptr;
}

void CViewWindow::TrackPopup(UINT menuId) {
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(menuId));
    if (menu == nullptr) return;
    POINT at{};
    GetCursorPos(&at);
    HWND owner = GetAncestor(m_hwnd, GA_ROOT);
    // The owner fills the enabled and checked states (WM_INITMENUPOPUP) and gets the command.
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, owner, nullptr);
    DestroyMenu(menu);
}

LRESULT CALLBACK CViewWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<CViewWindow*>(cs->lpCreateParams)->m_hwnd = hwnd;
    }
    auto* self = reinterpret_cast<CViewWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CViewWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        if (m_control != nullptr) MoveWindow(m_control, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_SETFOCUS:
        if (m_control != nullptr) SetFocus(m_control);
        return 0;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->hwndFrom == m_control && header->code == NM_SETFOCUS && m_activated) m_activated(this);
        return OnNotify(header);
    }
    case WM_COMMAND:  // the view's own requests, such as Delete after a key
        if (lParam == 0 && OnCommand(LOWORD(wParam))) return 0;
        break;
    case WM_TIMER: OnTimer(wParam); return 0;
    case kViewUpdateMessage:
        m_doc.Poster().Arrived(m_hwnd, static_cast<int>(wParam));
        OnPostedUpdate(static_cast<int>(wParam));
        return 0;
    case WM_NCDESTROY: {
        HWND hwnd = m_hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        m_hwnd = nullptr;
        m_control = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default: break;
    }
    return DefWindowProcW(m_hwnd, message, wParam, lParam);
}
