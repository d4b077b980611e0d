#include "ServeConsole.h"

#include <atomic>
#include <map>

#include "EventLog.h"
#include "UaEndpoint.h"

namespace {
// The console's control handler has no context of its own.
std::atomic<HWND> theServedFrame{nullptr};
std::atomic<ServeConsole*> theServeConsole{nullptr};
constexpr UINT kClientCheckMs = 200;

std::wstring DaClientName(const ClientRow& row) {
    return row.clientName.empty() ? std::wstring(L"(unnamed)") : row.clientName;
}

// One DA client as long as it stays: when it came (its name may come later).
unsigned long long DaClientKey(const ClientRow& row) {
    return (static_cast<unsigned long long>(row.connectedSince.dwHighDateTime) << 32) |
           row.connectedSince.dwLowDateTime;
}
}  // namespace

ServeConsole::ServeConsole(HWND frame, std::function<std::vector<ClientRow>()> daClients)
    : m_daClients(std::move(daClients)) {
    theServedFrame = frame;
    theServeConsole = this;
    SetConsoleCtrlHandler(&ServeConsole::OnControl, TRUE);
    m_timer = SetTimer(nullptr, 0, kClientCheckMs, &ServeConsole::OnTimer);
}

ServeConsole::~ServeConsole() {
    if (m_timer != 0) KillTimer(nullptr, m_timer);
    SetConsoleCtrlHandler(&ServeConsole::OnControl, FALSE);
    theServeConsole = nullptr;
    theServedFrame = nullptr;
}

void ServeConsole::UaSessionChanged(bool opened, const UaSessionRow& row) const {
    const std::wstring client = row.client.empty() ? std::wstring(L"(unnamed)") : row.client;
    Line(opened ? L"OPC UA session opened: " + client + L" (" + row.policy + L", " + row.mode + L", " + row.user + L")"
                : L"OPC UA session closed: " + client);
}

BOOL WINAPI ServeConsole::OnControl(DWORD event) {
    const HWND frame = theServedFrame.load();
    if (frame == nullptr) return FALSE;
    if (ServeConsole* console = theServeConsole.load()) {
        console->Line(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? L"Closing (Ctrl+C)." : L"Closing.");
    }
    PostMessageW(frame, WM_CLOSE, 0, 0);
    return TRUE;
}

void CALLBACK ServeConsole::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (ServeConsole* console = theServeConsole.load()) console->ReportDaClients();
}

void ServeConsole::ReportDaClients() {
    std::map<unsigned long long, std::wstring> now;
    for (const ClientRow& row : m_daClients()) {
        const unsigned long long key = DaClientKey(row);
        auto known = m_knownDaClients.find(key);
        if (known != m_knownDaClients.end()) {
            now.emplace(key, known->second);
            continue;
        }
        now.emplace(key, DaClientName(row));
        Line(L"OPC DA client connected: " + DaClientName(row));
        theEventLog << L"OPC DA client connected:" << DaClientName(row) << EventLog::EndEntry;
    }
    for (const auto& [key, name] : m_knownDaClients) {
        if (now.count(key) != 0) continue;
        Line(L"OPC DA client disconnected: " + name);
        theEventLog << L"OPC DA client disconnected:" << name << EventLog::EndEntry;
    }
    m_knownDaClients = std::move(now);
}
