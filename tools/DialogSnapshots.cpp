// Opens every dialog of the editor side by side, draws each into a bitmap
// file (PrintWindow) in the folder given on the command line, and keeps them
// on the screen for a few seconds so that the real display can be captured.
// Run by hand under Wine with an X display, never as a test.
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "AboutDlg.h"
#include "DlgGroup.h"
#include "DlgOptions.h"
#include "DlgTag.h"
#include "DlgWriteToTag.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "SplashWnd.h"
#include "ToviDevice.h"
#include "ToviTag.h"

namespace {
bool SaveWindowBitmap(HWND window, const std::wstring& path) {
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    PatBlt(dc, 0, 0, width, height, WHITENESS);
    PrintWindow(window, dc, 0);
    GdiFlush();
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0, 0,
                          sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    info.bmiHeader.biSizeImage = size;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    bool ok = out != INVALID_HANDLE_VALUE;
    DWORD written = 0;
    ok = ok && WriteFile(out, &file, sizeof(file), &written, nullptr) &&
         WriteFile(out, &info.bmiHeader, sizeof(info.bmiHeader), &written, nullptr) &&
         WriteFile(out, bits, size, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    DeleteObject(bitmap);
    return ok;
}

void Pump(DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(10);
    }
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring folder = argc > 1 ? std::wstring(argv[1]) + L"\\" : std::wstring();
    const DWORD showMs = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 4000;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    theSettings.SetDefaults();
    theSettings.SetLastUsedFile(L"C:\\Tovi\\Sample.tvf");

    ToviDevice device;
    device.Rename(L"Plant");
    auto* tag = new ToviTag;
    tag->Rename(L"Level");
    device.AddTag(tag);
    tag->SetValueNow(Variant::FromDouble(42.5));

    TagPropertiesFields tagFields;
    tagFields.name = L"Level";
    tagFields.description = L"Tank level";
    tagFields.valueText = L"42.5";
    tagFields.readWrite = true;
    tagFields.limitValues = true;
    tagFields.maximum = 100;
    tagFields.deadband = 0.5;
    GroupPropertiesFields groupFields{L"Plant", true, true, 1, 5400};

    Tovi_DlgTag tagDialog(tagFields);
    Tovi_DlgGroup groupDialog(groupFields);
    Tovi_DlgOptions options;
    CAboutDlg about;
    struct Shot {
        HWND window;
        const wchar_t* name;
    };
    std::vector<Shot> shots = {{tagDialog.Create(nullptr), L"tag.bmp"},
                               {groupDialog.Create(nullptr), L"group.bmp"},
                               {options.Create(nullptr), L"options.bmp"},
                               {about.Create(nullptr), L"about.bmp"}};
    OPCS_DlgWriteToTag* write = OPCS_DlgWriteToTag::Open(tag, nullptr);
    if (write != nullptr) shots.push_back({write->Handle(), L"write.bmp"});
    // Side by side from the top left, wrapping at the screen's width.
    int x = 10, y = 10, rowHeight = 0;
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    for (const Shot& shot : shots) {
        if (shot.window == nullptr) continue;
        RECT r{};
        GetWindowRect(shot.window, &r);
        if (x + (r.right - r.left) > screenWidth) {
            x = 10;
            y += rowHeight + 10;
            rowHeight = 0;
        }
        SetWindowPos(shot.window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ShowWindow(shot.window, SW_SHOWNOACTIVATE);
        x += r.right - r.left + 10;
        rowHeight = std::max<int>(rowHeight, r.bottom - r.top);
    }
    Pump(500);
    int failures = 0;
    for (const Shot& shot : shots) {
        if (shot.window == nullptr || !SaveWindowBitmap(shot.window, folder + shot.name)) ++failures;
    }
    Pump(showMs);
    if (write != nullptr && write->Handle() != nullptr) DestroyWindow(write->Handle());
    // The splash last, alone.
    CSplashWnd::EnableSplashScreen(true);
    CSplashWnd::ShowSplashScreen(nullptr);
    Pump(300);
    if (HWND splash = CSplashWnd::Window()) {
        if (!SaveWindowBitmap(splash, folder + L"splash.bmp")) ++failures;
    }
    Pump(1500);
    return failures;
}
