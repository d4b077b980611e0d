#include "ConsoleReport.h"

#include "Text.h"

ConsoleReport::ConsoleReport(DWORD standardHandle) {
    m_handle = GetStdHandle(standardHandle);
    if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE) {
        if (AttachConsole(ATTACH_PARENT_PROCESS)) {
            m_handle = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            m_owned = m_handle != INVALID_HANDLE_VALUE;
        }
    }
}

ConsoleReport::~ConsoleReport() {
    if (m_owned) CloseHandle(m_handle);
}

void ConsoleReport::Line(const std::wstring& text) const {
    if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE) return;
    const std::wstring line = text + L"\r\n";
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(m_handle, &mode)) {
        WriteConsoleW(m_handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } else {
        const std::string bytes = ToUtf8(line);
        WriteFile(m_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}
