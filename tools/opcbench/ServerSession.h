#pragma once
// The real program as the benchmark's OPC server: started on a configuration
// file as an operator starts it, reached through COM by its CLSID, closed at
// the end as a user closes it.
#include <windows.h>
#include <memory>
#include <string>

#include "ItemTarget.h"

class ServerProcess;

class ServerSession {
public:
    ServerSession();
    ~ServerSession();
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Starts the program on the file (with more of its switches, if given)
    // and connects within the time; "" or why not.
    std::string Start(const std::wstring& configPath, DWORD milliseconds, const std::wstring& switches = {});
    IOPCServer* Server() const { return m_server.Get(); }
    DWORD ProcessId() const;
    // Lets go of the server and closes the program.
    void End();

private:
    std::unique_ptr<ServerProcess> m_process;
    Microsoft::WRL::ComPtr<IOPCServer> m_server;
};

// A new group with a long update rate (no scan during the run) on the
// server, as a target; null with the reason in `error`. Items added to an
// active group are activated (each asks its device to poll).
std::unique_ptr<ItemTarget> AddBenchGroup(IOPCServer* server, bool active, std::string* error);

// "0x80004001" and the like.
std::string HresultText(HRESULT hr);
