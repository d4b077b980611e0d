#pragma once
// Hears of changes to the OPC UA endpoint's security made outside this
// process (the command line, another copy's dialogs): the revision counted
// in the settings key moves. The handler runs on the watch's own thread.
#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>

#include "Thread.h"

class UaSecurityWatch {
public:
    UaSecurityWatch() = default;
    ~UaSecurityWatch();
    UaSecurityWatch(const UaSecurityWatch&) = delete;
    UaSecurityWatch& operator=(const UaSecurityWatch&) = delete;

    // Watches the key (the program's settings key when empty); false when it
    // cannot be opened.
    bool Start(std::function<void()> changed, const std::wstring& keyPath = std::wstring());
    void Stop();

private:
    unsigned Watch();

    Thread m_thread;
    HKEY m_key = nullptr;
    HANDLE m_stop = nullptr;
    HANDLE m_watching = nullptr;  // set once the key is watched
    std::wstring m_keyPath;
    std::uint32_t m_revision = 0;
    std::function<void()> m_changed;
};
