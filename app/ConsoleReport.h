#pragma once
// The program has no console of its own: it writes to the standard handle it
// was given, or else to the console of the command prompt that started it.
#include <windows.h>

#include <string>

class ConsoleReport {
public:
    explicit ConsoleReport(DWORD standardHandle = STD_ERROR_HANDLE);
    ~ConsoleReport();
    ConsoleReport(const ConsoleReport&) = delete;
    ConsoleReport& operator=(const ConsoleReport&) = delete;

    // One line, whole; any thread.
    void Line(const std::wstring& text) const;

private:
    HANDLE m_handle = nullptr;
    bool m_owned = false;
};
