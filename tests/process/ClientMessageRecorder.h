#pragma once
// A hidden window that stands in for the main window: it takes the
// client-object messages and records their first parameters in order.
#include <windows.h>
#include <vector>

class ClientMessageRecorder {
public:
    ClientMessageRecorder();
    ~ClientMessageRecorder();
    ClientMessageRecorder(const ClientMessageRecorder&) = delete;
    ClientMessageRecorder& operator=(const ClientMessageRecorder&) = delete;

    // Takes what is queued for the window; waits up to the time for at least
    // 'expected' messages in all.
    const std::vector<WPARAM>& Pump(size_t expected = 0, DWORD milliseconds = 0);
    const std::vector<WPARAM>& Seen() const noexcept { return m_seen; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_hwnd = nullptr;
    std::vector<WPARAM> m_seen;
};
