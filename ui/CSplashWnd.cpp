#include "CSplashWnd.h"

#include "resource.h"

namespace {
const wchar_t kSplashClass[] = L"ToviExplorerSplash";
bool g_enabled = false;
CSplashWnd* g_splash = nullptr;

bool ClosesSplash(UINT message) {
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_NCLBUTTONDOWN:
    case WM_NCRBUTTONDOWN:
    case WM_NCMBUTTONDOWN: return true;
    default: return false;
    }
}
}  // namespace

void CSplashWnd::EnableSplashScreen(bool enable) noexcept { g_enabled = enable; }

HWND CSplashWnd::Window() noexcept { return g_splash != nullptr ? g_splash->m_hwnd : nullptr; }

void CSplashWnd::ShowSplashScreen(HWND mainWindow) {
    if (!g_enabled || g_splash != nullptr) return;
    g_enabled = false;  // once
    auto* splash = new CSplashWnd;
    if (!splash->Create(mainWindow)) {
        delete splash;
        return;
    }
    g_splash = splash;
    UpdateWindow(splash->m_hwnd);
}

bool CSplashWnd::PreTranslateAppMessage(const MSG* msg) {
    if (g_splash == nullptr || !ClosesSplash(msg->message)) return false;
    g_splash->Hide();
    return true;
}

CSplashWnd::~CSplashWnd() {
    if (m_bitmap != nullptr) DeleteObject(m_bitmap);
}

bool CSplashWnd::Create(HWND mainWindow) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    m_bitmap = static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(IDB_SPLASH), IMAGE_BITMAP, 0, 0, 0));
    if (m_bitmap == nullptr) return false;
    BITMAP info{};
    GetObjectW(m_bitmap, sizeof(info), &info);
    m_size = {info.bmWidth, info.bmHeight};
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CSplashWnd::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kSplashClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    // Centred on the work area of the main window's monitor.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (GetMonitorInfoW(MonitorFromWindow(mainWindow, MONITOR_DEFAULTTOPRIMARY), &monitor)) area = monitor.rcWork;
    const int x = area.left + (area.right - area.left - m_size.cx) / 2;
    const int y = area.top + (area.bottom - area.top - m_size.cy) / 2;
    m_mainWindow = mainWindow;
    m_hwnd = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kSplashClass, L"", WS_POPUP | WS_VISIBLE, x, y,
                             m_size.cx, m_size.cy, mainWindow, nullptr, instance, this);
    if (m_hwnd == nullptr) return false;
    SetTimer(m_hwnd, kCloseTimer, kShowMs, nullptr);
    return true;
}

void CSplashWnd::Hide() {
    if (g_splash == this) g_splash = nullptr;
    HWND main = m_mainWindow;
    if (m_hwnd != nullptr) {
        KillTimer(m_hwnd, kCloseTimer);
        HWND window = m_hwnd;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        m_hwnd = nullptr;
        DestroyWindow(window);
    }
    if (main != nullptr && IsWindow(main))
        RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    delete this;
}

void CSplashWnd::OnPaint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(m_hwnd, &paint);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, m_bitmap);
    BitBlt(dc, 0, 0, m_size.cx, m_size.cy, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    EndPaint(m_hwnd, &paint);
}

LRESULT CALLBACK CSplashWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<CSplashWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
        switch (message) {
        case WM_PAINT: self->OnPaint(); return 0;
        case WM_TIMER:
            if (wParam == kCloseTimer) {
                self->Hide();
                return 0;
            }
            break;
        case WM_DESTROY:
            // Destroyed with its owner before its time: the object goes too.
            if (self->m_hwnd == hwnd) {
                self->m_hwnd = nullptr;
                SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
                self->m_mainWindow = nullptr;
                self->Hide();
            }
            return 0;
        default: break;
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
