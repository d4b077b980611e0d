#pragma once
// The server's own objects in this process on a real configuration: the same
// calls without any marshalling, which shows what the server itself costs.
#include <memory>
#include <string>

#include "Configuration.h"
#include "ItemTarget.h"

class InProcessServer {
public:
    InProcessServer();
    ~InProcessServer();
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    // Opens the configuration and makes a server object as the class factory
    // does; "" or why not.
    std::string Open(const std::wstring& configPath);
    IOPCServer* Server() const { return m_server.Get(); }

private:
    Configuration m_configuration;
    Microsoft::WRL::ComPtr<IOPCServer> m_server;
};
