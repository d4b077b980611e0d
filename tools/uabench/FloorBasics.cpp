#include "FloorBasics.h"

#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/server_config_default.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "UaCommon.h"

namespace {
std::atomic<bool> theStop{false};

BOOL WINAPI OnControl(DWORD) {
    theStop = true;
    return TRUE;
}
}  // namespace

UA_StatusCode ConfigureFloor(UA_ServerConfig& config, long port) {
    std::memset(&config, 0, sizeof config);
    config.logging = &QuietUaLogger();
    UA_StatusCode status = UA_ServerConfig_setBasics_withPort(&config, static_cast<UA_UInt16>(port));
    if (status == UA_STATUSCODE_GOOD) {
        // Loopback only, as the program listens.
        UA_Array_delete(config.serverUrls, config.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
        config.serverUrls = nullptr;
        config.serverUrlsSize = 0;
        const std::string url = "opc.tcp://localhost:" + std::to_string(port);
        UA_String listen = BorrowedString(url);
        status = UA_Array_copy(&listen, 1, reinterpret_cast<void**>(&config.serverUrls), &UA_TYPES[UA_TYPES_STRING]);
        if (status == UA_STATUSCODE_GOOD) config.serverUrlsSize = 1;
    }
    if (status == UA_STATUSCODE_GOOD) status = UA_ServerConfig_addSecurityPolicyNone(&config, nullptr);
    if (status == UA_STATUSCODE_GOOD) status = UA_AccessControl_default(&config, true, nullptr, 0, nullptr);
    if (status == UA_STATUSCODE_GOOD) status = UA_ServerConfig_addAllEndpoints(&config);
    if (status != UA_STATUSCODE_GOOD) {
        UA_ServerConfig_clean(&config);
        std::fprintf(stderr, "configuration failed: %s\n", UA_StatusCode_name(status));
    }
    return status;
}

int RunFloor(UA_Server* server, long port, const char* banner) {
    SetConsoleCtrlHandler(&OnControl, TRUE);
    const UA_StatusCode status = UA_Server_run_startup(server);
    if (status != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "cannot listen on port %ld: %s\n", port, UA_StatusCode_name(status));
        UA_Server_delete(server);
        return 1;
    }
    std::printf("%s\n", banner);
    std::fflush(stdout);
    while (!theStop.load()) UA_Server_run_iterate(server, true);
    UA_Server_run_shutdown(server);
    UA_Server_delete(server);
    return 0;
}
