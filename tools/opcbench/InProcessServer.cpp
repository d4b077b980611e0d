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
    if (!doc_.OnOpenDocument(configPath)) return "the document cannot open the configuration";
    auto* object = new (std::nothrow) OPCServer();
    if (object == nullptr) return "no memory for the server object";
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&server_)))) {
        delete object;
        return "the server object gives no IOPCServer";
    }
    return {};
}
