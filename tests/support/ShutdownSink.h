#pragma once
// A client's IOPCShutdown sink: records each reason it is given, or holds the
// call until the test lets it go. It lives on the test's stack; its count
// shows who still holds it.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ComObject.h"
#include "OpcDa.h"

class ShutdownSink final : public ComHeld<IOPCShutdown> {
public:
    explicit ShutdownSink(bool hang) : ComHeld(1), m_hang(hang) {}
    ~ShutdownSink() { CloseHandle(m_gate); }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        if (m_hang) WaitForSingleObject(m_gate, INFINITE);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reasons.push_back(reason != nullptr ? reason : L"<null>");
        return S_OK;
    }
    void LetGo() { SetEvent(m_gate); }
    std::vector<std::wstring> Reasons() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reasons;
    }

private:
    const bool m_hang;
    HANDLE m_gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex m_mutex;
    std::vector<std::wstring> m_reasons;
};
