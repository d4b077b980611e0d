#pragma once
// The real program as the benchmark's OPC server: started on a configuration
// file as an operator starts it, reached through COM by its CLSID, closed at
// the end as a user closes it.
#include <windows.h>
#include <memory>
#include <string>

#include "ItemTarget.h"
#include "OpcClient.h"
#include "ServerProcess.h"

class ServerSession {
public:
    ServerSession() = default;
    ~ServerSession() { End(); }
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Starts the program on the file and connects within the time; "" or why not.
    std::string Start(const std::wstring& configPath, DWORD milliseconds);
    // A new active group with a long update rate (no scan during the run),
    // as a target; null with the reason in `error`.
    std::unique_ptr<ItemTarget> AddGroup(std::string* error);
    DWORD ProcessId() const { return process_.Id(); }
    // Lets go of the server and closes the program.
    void End();

private:
    ServerProcess process_;
    ComPtr<IOPCServer> server_;
};

// "0x80004001" and the like.
std::string HresultText(HRESULT hr);
