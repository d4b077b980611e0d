#include "InProcessServer.h"

#include "MessageBoxes.h"
#include "OPCServer.h"

InProcessServer::InProcessServer() {
    // Nobody is there to answer a message box.
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
}

InProcessServer::~InProcessServer() {
    server_.Reset();
    SetMessageBoxHandler({});
}

std::string InProcessServer::Open(const std::wstring& configPath) {
    if (!configuration_.Load(configPath, {}).loaded) return "the configuration cannot be opened";
    auto* object = new (std::nothrow) OPCServer(configuration_);
    if (object == nullptr) return "no memory for the server object";
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&server_)))) {
        delete object;
        return "the server object gives no IOPCServer";
    }
    return {};
}
