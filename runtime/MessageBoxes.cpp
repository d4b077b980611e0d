#include "MessageBoxes.h"

#include <atomic>
#include <mutex>

#include "Text.h"

namespace {
std::mutex g_lock;
MessageBoxHandler g_handler;
std::atomic<HWND> g_owner{nullptr};
constexpr UINT kAppTitleId = 57344;
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handler = std::move(handler);
}

void SetMessageBoxOwner(HWND owner) noexcept { g_owner.store(owner); }

int AppMessageBox(const std::wstring& text, UINT style, const std::wstring& caption) {
    MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handler = g_handler;
    }
    const std::wstring title = caption.empty() ? LoadResString(kAppTitleId) : caption;
    if (handler) {
        return handler(text, title, style);
    }
    return MessageBoxW(g_owner.load(), text.c_str(), title.c_str(), style);
}

int DefaultAnswer(UINT style) noexcept {
    const UINT buttons = style & MB_TYPEMASK;
    const UINT defaultIndex = (style & MB_DEFMASK) >> 8;
    switch (buttons) {
    case MB_OKCANCEL: return defaultIndex == 1 ? IDCANCEL : IDOK;
    case MB_YESNO: return defaultIndex == 1 ? IDNO : IDYES;
    case MB_YESNOCANCEL: return defaultIndex == 1 ? IDNO : defaultIndex == 2 ? IDCANCEL : IDYES;
    case MB_RETRYCANCEL: return defaultIndex == 1 ? IDCANCEL : IDRETRY;
    case MB_ABORTRETRYIGNORE: return defaultIndex == 1 ? IDRETRY : defaultIndex == 2 ? IDIGNORE : IDABORT;
    default: return IDOK;
    }
}
