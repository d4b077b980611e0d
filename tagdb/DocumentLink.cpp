#include "DocumentLink.h"

#include <atomic>

namespace {
std::atomic<DocumentLink*> g_document{nullptr};
std::atomic<HWND> g_deviceTree{nullptr};
std::atomic<HWND> g_tagList{nullptr};

std::atomic<HWND>& ViewSlot(ViewKind view) {
    return view == ViewKind::DeviceTree ? g_deviceTree : g_tagList;
}
}  // namespace

void SetTheDocument(DocumentLink* document) noexcept { g_document.store(document); }

DocumentLink* TheDocument() noexcept { return g_document.load(); }

void MarkConfigurationModified() noexcept {
    if (DocumentLink* document = g_document.load()) {
        document->SetModifiedFlag(true);
    }
}

void SetViewWindow(ViewKind view, HWND window) noexcept { ViewSlot(view).store(window); }

void PostViewUpdate(ViewKind view, int hint) noexcept {
    if (HWND window = ViewSlot(view).load()) {
        PostMessageW(window, kViewUpdateMessage, static_cast<WPARAM>(hint), 0);
    }
}
