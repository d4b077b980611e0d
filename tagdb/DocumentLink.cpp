#include "DocumentLink.h"

#include <atomic>

namespace {
std::atomic<DocumentLink*> g_document{nullptr};

// A view's window and, per hint, whether a request is already on its way: a
// client writing 10,000 tags then costs the window one message, not 10,000.
struct ViewSlot {
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> pending[2]{};
};
ViewSlot g_views[2];

ViewSlot& SlotOf(ViewKind view) { return g_views[view == ViewKind::DeviceTree ? 0 : 1]; }

std::atomic<bool>* PendingOf(ViewSlot& slot, int hint) {
    switch (hint) {
    case kHintDeviceStatesChanged: return &slot.pending[0];
    case kHintValuesChanged: return &slot.pending[1];
    default: return nullptr;  // not coalesced
    }
}
}  // namespace

void SetTheDocument(DocumentLink* document) noexcept { g_document.store(document); }

DocumentLink* TheDocument() noexcept { return g_document.load(); }

void MarkConfigurationModified() noexcept {
    if (DocumentLink* document = g_document.load()) {
        document->SetModifiedFlag(true);
    }
}

void SetViewWindow(ViewKind view, HWND window) noexcept {
    ViewSlot& slot = SlotOf(view);
    slot.window.store(window);
    for (std::atomic<bool>& pending : slot.pending) pending.store(false);
}

void PostViewUpdate(ViewKind view, int hint) noexcept {
    ViewSlot& slot = SlotOf(view);
    HWND window = slot.window.load();
    if (window == nullptr) return;
    std::atomic<bool>* pending = PendingOf(slot, hint);
    if (pending != nullptr && pending->exchange(true)) return;  // the one on its way covers this change
    if (!PostMessageW(window, kViewUpdateMessage, static_cast<WPARAM>(hint), 0) && pending != nullptr) {
        pending->store(false);
    }
}

void ViewUpdateArrived(HWND window, int hint) noexcept {
    for (ViewSlot& slot : g_views) {
        if (slot.window.load() != window) continue;
        if (std::atomic<bool>* pending = PendingOf(slot, hint)) pending->store(false);
    }
}
