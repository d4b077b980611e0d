#include "ClientObjects.h"

#include <atomic>

namespace {
std::atomic<HWND> g_window{nullptr};
std::atomic<long> g_count{0};
}  // namespace

void SetClientObjectWindow(HWND window) noexcept { g_window.store(window); }
HWND ClientObjectWindow() noexcept { return g_window.load(); }

void PostClientObjectMessage(bool oneMore) noexcept {
    if (HWND window = g_window.load()) {
        PostMessageW(window, kClientObjectMessage, oneMore ? kClientObjectMore : kClientObjectFewer, 0);
    }
}

long ApplyClientObjectMessage(WPARAM wParam) noexcept {
    if (wParam == kClientObjectMore) {
        return ++g_count;
    }
    // Any other value is one fewer; never below zero, whatever a misbehaving
    // sequence posts.
    long current = g_count.load();
    while (current > 0 && !g_count.compare_exchange_weak(current, current - 1)) {
    }
    return g_count.load();
}

bool AreClientsConnected() noexcept { return g_count.load() != 0; }
long ClientObjectCount() noexcept { return g_count.load(); }
