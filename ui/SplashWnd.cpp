#include "SplashWnd.h"

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
    case WM_NCMBUTTONDOWN:
        return true;
    default:
        return false;
    }
}
}  // namespace

void CSplashWnd::EnableSplashScreen(bool enable) noexcept { g_enabled = enable; }

HWND CSplashWnd::Window() noexcept { return g_splash != nullptr ? g_splash->hwnd_ : nullptr; }

void CSplashWnd::ShowSplashScreen(HWND mainWindow) {
    if (!g_enabled || g_splash != nullptr) return;
    g_enabled = false;  // once
    auto* splash = new CSplashWnd;
    if (!splash->Create(mainWindow)) {
        delete splash;
        return;
    }
    g_splash = splash;
    UpdateWindow(splash->hwnd_);
}

bool CSplashWnd::PreTranslateAppMessage(const MSG* msg) {
    if (g_splash == nullptr || !ClosesSplash(msg->message)) return false;
    g_splash->Hide();
    return true;
}

CSplashWnd::~CSplashWnd() {
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
}

bool CSplashWnd::Create(HWND mainWindow) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    bitmap_ = static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(IDB_SPLASH), IMAGE_BITMAP, 0, 0, 0));
    if (bitmap_ == nullptr) return false;
    BITMAP info{};
    GetObjectW(bitmap_, sizeof(info), &info);
    size_ = {info.bmWidth, info.bmHeight};
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
    const int x = area.left + (area.right - area.left - size_.cx) / 2;
    const int y = area.top + (area.bottom - area.top - size_.cy) / 2;
    mainWindow_ = mainWindow;
    hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kSplashClass, L"", WS_POPUP | WS_VISIBLE, x, y,
                            size_.cx, size_.cy, mainWindow, nullptr, instance, this);
    if (hwnd_ == nullptr) return false;
    SetTimer(hwnd_, kCloseTimer, kShowMs, nullptr);
    return true;
}

void CSplashWnd::Hide() {
    if (g_splash == this) g_splash = nullptr;
    HWND main = mainWindow_;
    if (hwnd_ != nullptr) {
        KillTimer(hwnd_, kCloseTimer);
        HWND window = hwnd_;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        hwnd_ = nullptr;
        DestroyWindow(window);
    }
    if (main != nullptr && IsWindow(main)) RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    delete this;
}

void CSplashWnd::OnPaint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(hwnd_, &paint);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, bitmap_);
    BitBlt(dc, 0, 0, size_.cx, size_.cy, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    EndPaint(hwnd_, &paint);
}

LRESULT CALLBACK CSplashWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<CSplashWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
        switch (message) {
        case WM_PAINT:
            self->OnPaint();
            return 0;
        case WM_TIMER:
            if (wParam == kCloseTimer) {
                self->Hide();
                return 0;
            }
            break;
        case WM_DESTROY:
            // Destroyed with its owner before its time: the object goes too.
            if (self->hwnd_ == hwnd) {
                self->hwnd_ = nullptr;
                SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
                self->mainWindow_ = nullptr;
                self->Hide();
            }
            return 0;
        default:
            break;
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
