#include "UaSecurityWatch.h"

#include "OPCS_Registry.h"
#include "RegIO.h"
#include "UaSecuritySettings.h"

UaSecurityWatch::~UaSecurityWatch() { Stop(); }

bool UaSecurityWatch::Start(std::function<void()> changed, const std::wstring& keyPath) {
    Stop();
    m_keyPath = keyPath.empty() ? SettingsKeyPath() : keyPath;
    const std::vector<std::wstring> parts = RegIO::SplitKeyPath(m_keyPath);
    if (parts.size() < 2) return false;
    std::wstring below;
    for (size_t i = 1; i < parts.size(); ++i) below += (i > 1 ? L"\\" : L"") + parts[i];
    if (RegCreateKeyExW(RegIO::RootFromName(parts[0]), below.c_str(), 0, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE,
                        nullptr, &m_key, nullptr) != ERROR_SUCCESS) {
        m_key = nullptr;
        return false;
    }
    m_changed = std::move(changed);
    m_revision = UaSecurityRevision(m_keyPath);
    m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_watching = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_stop == nullptr || m_watching == nullptr || !m_thread.Start([this] { return Watch(); })) {
        Stop();
        return false;
    }
    // A change made once Start has returned is heard.
    const HANDLE waits[] = {m_watching, m_thread.Handle()};
    return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

void UaSecurityWatch::Stop() {
    if (m_stop != nullptr) SetEvent(m_stop);
    m_thread.Join();
    for (HANDLE* handle : {&m_stop, &m_watching}) {
        if (*handle != nullptr) CloseHandle(*handle);
        *handle = nullptr;
    }
    if (m_key != nullptr) RegCloseKey(m_key);
    m_key = nullptr;
}

unsigned UaSecurityWatch::Watch() {
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (changed == nullptr) return 1;
    // Every other value of the key changes too (window place, columns): only
    // a moved revision is news.
    while (RegNotifyChangeKeyValue(m_key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) == ERROR_SUCCESS) {
        SetEvent(m_watching);
        // Read once the key is watched again: a change made while the last
        // one was handled is caught here, a later one wakes the wait.
        const std::uint32_t revision = UaSecurityRevision(m_keyPath);
        if (revision != m_revision) {
            m_revision = revision;
            if (m_changed) m_changed();
        }
        const HANDLE waits[] = {m_stop, changed};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
    }
    CloseHandle(changed);
    return 0;
}
