#include "ViewUpdatePoster.h"

std::atomic<bool>* ViewUpdatePoster::PendingOf(Slot& slot, int hint) noexcept {
    switch (hint) {
    case kHintDeviceStatesChanged: return &slot.pending[0];
    case kHintValuesChanged: return &slot.pending[1];
    default: return nullptr;  // not coalesced
    }
}

void ViewUpdatePoster::SetViewWindow(ViewKind view, HWND window) noexcept {
    Slot& slot = SlotOf(view);
    slot.window.store(window);
    for (std::atomic<bool>& pending : slot.pending) pending.store(false);
}

void ViewUpdatePoster::Post(ViewKind view, int hint) noexcept {
    Slot& slot = SlotOf(view);
    HWND window = slot.window.load();
    if (window == nullptr) return;
    std::atomic<bool>* pending = PendingOf(slot, hint);
    if (pending != nullptr && pending->exchange(true)) return;  // the one on its way covers this change
    if (!PostMessageW(window, kViewUpdateMessage, static_cast<WPARAM>(hint), 0) && pending != nullptr) {
        pending->store(false);
    }
}

void ViewUpdatePoster::Arrived(HWND window, int hint) noexcept {
    for (Slot& slot : m_views) {
        if (slot.window.load() != window) continue;
        if (std::atomic<bool>* pending = PendingOf(slot, hint)) pending->store(false);
    }
}
