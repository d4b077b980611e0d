#pragma once
// "/Serve": the program serves DA and UA without a window and says on
// standard output what it serves and which clients come and go. Ctrl+C (or
// Ctrl+Break, or the console closing) closes it as /Close does.
#include <windows.h>

#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "ClientRow.h"
#include "ConsoleReport.h"

struct UaSessionRow;

class ServeConsole {
public:
    // `frame` is asked to close on Ctrl+C; `daClients` lists the DA clients.
    ServeConsole(HWND frame, std::function<std::vector<ClientRow>()> daClients);
    ~ServeConsole();
    ServeConsole(const ServeConsole&) = delete;
    ServeConsole& operator=(const ServeConsole&) = delete;

    void Line(const std::wstring& text) const { m_console.Line(text); }
    // Any thread.
    void UaSessionChanged(bool opened, const UaSessionRow& session) const;
    // Says which DA clients came and went since the last look (the console's thread).
    void ReportDaClients();

private:
    static BOOL WINAPI OnControl(DWORD event);
    static void OnDaClientGone(const struct ClientSnapshot& client) noexcept;
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);

    ConsoleReport m_console{STD_OUTPUT_HANDLE};
    std::function<std::vector<ClientRow>()> m_daClients;
    std::map<unsigned long long, std::wstring> m_knownDaClients;
    // Clients that went (key and name), from any thread; guarded by the console's gate.
    std::vector<std::pair<unsigned long long, std::wstring>> m_goneDaClients;
    UINT_PTR m_timer = 0;
};
