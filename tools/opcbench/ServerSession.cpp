#include "ServerSession.h"

#include <cstdio>

#include "OpcClient.h"
#include "ServerProcess.h"

namespace {
constexpr DWORD kUpdateRateMs = 3600000;
}

std::string HresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

ServerSession::ServerSession() : m_process(std::make_unique<ServerProcess>()) {}

ServerSession::~ServerSession() { End(); }

DWORD ServerSession::ProcessId() const { return m_process->Id(); }

std::string ServerSession::Start(const std::wstring& configPath, DWORD milliseconds, const std::wstring& switches) {
    // Another instance would take the class registration and the clients.
    KillRunningServers();
    if (!m_process->Start(L"\"" + configPath + L"\"" + (switches.empty() ? L"" : L" " + switches))) {
        return "the program could not be started (error " + std::to_string(GetLastError()) + ")";
    }
    // The class object is registered after the configuration is loaded: until
    // then a connection finds nothing (or starts another instance), so wait
    // for the main window first.
    if (m_process->WaitForMainWindow(milliseconds) == nullptr) {
        return m_process->IsRunning() ? "the program showed no main window in time" : "the program ended at start";
    }
    HRESULT hr = E_FAIL;
    const bool connected = WaitFor(milliseconds, [&] {
        hr = ConnectServer(m_server);
        return SUCCEEDED(hr) || !m_process->IsRunning();
    });
    if (!connected || FAILED(hr)) {
        return "no connection to the OPC server (" + HresultText(hr) +
               "); is it registered in this prefix with its proxy/stub DLL?";
    }
    OPCSERVERSTATUS* status = nullptr;
    hr = m_server->GetStatus(&status);
    const bool running = SUCCEEDED(hr) && status != nullptr && status->dwServerState == OPC_STATUS_RUNNING;
    if (status != nullptr) CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return running ? std::string() : "the server does not report itself running (" + HresultText(hr) + ")";
}

std::unique_ptr<ItemTarget> AddBenchGroup(IOPCServer* server, bool active, std::string* error) {
    OPCHANDLE group = 0;
    DWORD revisedRate = 0;
    ComPtr<IOPCItemMgt> items;
    HRESULT hr = server->AddGroup(L"Bench", active ? TRUE : FALSE, kUpdateRateMs, 1, nullptr, nullptr, 0, &group,
                                  &revisedRate, IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.GetAddressOf()));
    if (FAILED(hr) || !items) {
        *error = "AddGroup gives " + HresultText(hr);
        return nullptr;
    }
    ComPtr<IOPCSyncIO> io;
    hr = items.As(&io);
    if (FAILED(hr)) {
        *error = "the group gives no IOPCSyncIO (" + HresultText(hr) + ")";
        return nullptr;
    }
    return std::make_unique<OpcGroupTarget>(items.Get(), io.Get());
}

void ServerSession::End() {
    m_server.Reset();
    m_process->Kill();
}
