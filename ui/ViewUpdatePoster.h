#pragma once
// Update requests that worker threads post to the two views' windows (a
// polling device's state changed). At most one request per view and kind is
// on its way at a time: a burst of changes costs a window one message.
#include <windows.h>
#include <atomic>

#include "Configuration.h"

// The hints of the posted requests (see DocumentHint for the others).
enum ViewHint : int {
    kHintDeviceStatesChanged = 5,
    kHintValuesChanged = 8,
};

enum class ViewKind { DeviceTree, TagList };

// Message a view receives for a posted update request: wParam is the hint.
constexpr UINT kViewUpdateMessage = WM_APP + 8;

class ViewUpdatePoster final : public ConfigurationWatcher {
public:
    void SetViewWindow(ViewKind view, HWND window) noexcept;
    // Posts a request to the view's window; nothing when it has none, or
    // when a request of that hint is still on its way.
    void Post(ViewKind view, int hint) noexcept;
    // Told by the view as it takes a request, before it acts on it, so that a
    // change after that point posts anew.
    void Arrived(HWND window, int hint) noexcept;

    void DeviceStatesChanged() noexcept override { Post(ViewKind::DeviceTree, kHintDeviceStatesChanged); }

private:
    struct Slot {
        std::atomic<HWND> window{nullptr};
        std::atomic<bool> pending[2]{};
    };
    Slot& SlotOf(ViewKind view) noexcept { return m_views[view == ViewKind::DeviceTree ? 0 : 1]; }
    static std::atomic<bool>* PendingOf(Slot& slot, int hint) noexcept;

    Slot m_views[2];
};
