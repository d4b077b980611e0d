#include "ClientObjects.h"

#include <atomic>

namespace {
std::atomic<HWND> g_window{nullptr};
std::atomic<long> g_count{0};
std::atomic<long> g_live{0};
std::atomic<bool> g_closed{false};
}  // namespace

void SetClientObjectWindow(HWND window) noexcept { g_window.store(window); }
HWND ClientObjectWindow() noexcept { return g_window.load(); }

void PostClientObjectMessage(bool oneMore) noexcept {
    if (oneMore) {
        g_live.fetch_add(1);
    } else {
        // Never below zero, as the message count.
        long current = g_live.load();
        while (current > 0 && !g_live.compare_exchange_weak(current, current - 1)) {}
    }
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
    while (current > 0 && !g_count.compare_exchange_weak(current, current - 1)) {}
    return g_count.load();
}

bool AreClientsConnected() noexcept { return g_count.load() != 0; }
long ClientObjectCount() noexcept { return g_count.load(); }

long LiveClientObjects() noexcept { return g_live.load(); }

// Admission and closing are each one store then one load, both sequentially
// consistent: of a client coming in and the process closing at once, at least
// one sees the other.
bool AdmitClientObject() noexcept {
    g_live.fetch_add(1);
    if (g_closed.load()) {
        g_live.fetch_sub(1);
        return false;
    }
    return true;
}

void EndAdmission() noexcept { g_live.fetch_sub(1); }

bool CloseToClients() noexcept {
    g_closed.store(true);
    if (g_live.load() > 0) {
        g_closed.store(false);
        return false;
    }
    return true;
}

void ReopenToClients() noexcept { g_closed.store(false); }
