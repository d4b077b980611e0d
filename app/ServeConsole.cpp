#include "ServeConsole.h"

#include <atomic>
#include <map>
#include <mutex>

#include "ClientSnapshot.h"
#include "EventLog.h"
#include "UaEndpoint.h"

namespace {
// The console's control handler has no context of its own.
std::atomic<HWND> theServedFrame{nullptr};
std::atomic<ServeConsole*> theServeConsole{nullptr};
// Held while a departing DA client is queued and while the console goes.
std::mutex theGoneGate;
constexpr UINT kClientCheckMs = 200;

std::wstring DaClientName(const std::wstring& name) { return name.empty() ? std::wstring(L"(unnamed)") : name; }

// One DA client as long as it stays: when it came (its name may come later).
unsigned long long DaClientKey(const FILETIME& connectedSince) {
    return (static_cast<unsigned long long>(connectedSince.dwHighDateTime) << 32) | connectedSince.dwLowDateTime;
}
}  // namespace

ServeConsole::ServeConsole(HWND frame, std::function<std::vector<ClientRow>()> daClients)
    : m_daClients(std::move(daClients)) {
    theServedFrame = frame;
    theServeConsole = this;
    SetConsoleCtrlHandler(&ServeConsole::OnControl, TRUE);
    m_timer = SetTimer(nullptr, 0, kClientCheckMs, &ServeConsole::OnTimer);
    SetClientGoneObserver(&ServeConsole::OnDaClientGone);
}

ServeConsole::~ServeConsole() {
    SetClientGoneObserver(nullptr);
    if (m_timer != 0) KillTimer(nullptr, m_timer);
    SetConsoleCtrlHandler(&ServeConsole::OnControl, FALSE);
    {
        std::lock_guard<std::mutex> guard(theGoneGate);
        theServeConsole = nullptr;
    }
    theServedFrame = nullptr;
}

void ServeConsole::OnDaClientGone(const ClientSnapshot& client) noexcept {
    std::lock_guard<std::mutex> guard(theGoneGate);
    ServeConsole* console = theServeConsole.load();
    if (console == nullptr) return;
    try {
        console->m_goneDaClients.emplace_back(DaClientKey(client.connectedSince), DaClientName(client.clientName));
    } catch (...) {
        // Out of memory: this departure goes unreported.
    }
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
    // Departures first, from the servers themselves: a client that came and
    // went between two looks at the list is reported all the same.
    std::vector<std::pair<unsigned long long, std::wstring>> gone;
    {
        std::lock_guard<std::mutex> guard(theGoneGate);
        gone.swap(m_goneDaClients);
    }
    auto say = [this](bool connected, const std::wstring& name) {
        const wchar_t* what = connected ? L"OPC DA client connected:" : L"OPC DA client disconnected:";
        Line(std::wstring(what) + L" " + name);
        theEventLog << what << name << EventLog::EndEntry;
    };
    for (const ClientRow& row : m_daClients()) {
        if (m_knownDaClients.emplace(DaClientKey(row.connectedSince), DaClientName(row.clientName)).second) {
            say(true, DaClientName(row.clientName));
        }
    }
    for (const auto& [key, name] : gone) {
        auto known = m_knownDaClients.find(key);
        if (known == m_knownDaClients.end()) {
            say(true, name);
        } else {
            m_knownDaClients.erase(known);
        }
        say(false, name);
    }
}
