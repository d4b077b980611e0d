#include "InProcessServer.h"

#include "MessageBoxes.h"
#include "OPCServer.h"

InProcessServer::InProcessServer() {
    // Nobody is there to answer a message box.
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
}

InProcessServer::~InProcessServer() {
    m_server.Reset();
    SetMessageBoxHandler({});
}

std::string InProcessServer::Open(const std::wstring& configPath) {
    if (!m_configuration.Load(configPath, {}).loaded) return "the configuration cannot be opened";
    auto* object = new (std::nothrow) OPCServer(m_configuration);
    if (object == nullptr) return "no memory for the server object";
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&m_server)))) {
        delete object;
        return "the server object gives no IOPCServer";
    }
    return {};
}
