// The history benchmark's floor: the bare stack with its own in-memory history
// (the library's default database, gathering and memory backend) serving one
// historized Double variable, named as the program names the benchmark's tag
// (folder H, variable H.T0, string NodeIds). Clients fill it with
// HistoryUpdate and read it back; None security, loopback only. Runs until
// Ctrl+C or its process is ended.
//
//   history_floor_server.exe --port 48481 [--samples N]   (N: room the backend makes at once)
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// naptypes.h (through iphlpapi.h) defines this as a macro; the stack's
// structures have a member of that name.
#undef maxStringLength

#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/plugin/historydata/history_data_backend_memory.h>
#include <open62541/plugin/historydata/history_data_gathering_default.h>
#include <open62541/plugin/historydata/history_database_default.h>
#include <open62541/plugin/log.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "UaCommon.h"

namespace {
constexpr const char* kNamespaceUri = "urn:Zelkor:ToviExplorer:HistoryBenchFloor";
// The same page bound as the program's endpoint.
constexpr size_t kMaxValuesPerResponse = 10000;

std::atomic<bool> theStop{false};

BOOL WINAPI OnControl(DWORD) {
    theStop = true;
    return TRUE;
}

int Usage() {
    std::fprintf(stderr, "usage: history_floor_server --port PORT [--samples N]\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    long port = 0, samples = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (name == "--port") {
            port = value;
        } else if (name == "--samples") {
            samples = value;
        } else {
            return Usage();
        }
    }
    if (argc % 2 != 1 || port <= 0 || port > 65535 || samples <= 0) return Usage();
    SetConsoleCtrlHandler(&OnControl, TRUE);

    UA_ServerConfig config;
    std::memset(&config, 0, sizeof config);
    config.logging = &QuietUaLogger();
    UA_StatusCode status = UA_ServerConfig_setBasics_withPort(&config, static_cast<UA_UInt16>(port));
    if (status == UA_STATUSCODE_GOOD) {
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
        return 1;
    }
    UA_HistoryDataGathering gathering = UA_HistoryDataGathering_Default(1);
    config.historyDatabase = UA_HistoryDatabase_default(gathering);
    config.accessHistoryDataCapability = true;
    config.insertDataCapability = true;
    config.replaceDataCapability = true;
    config.maxReturnDataValues = kMaxValuesPerResponse;
    UA_Server* server = UA_Server_newWithConfig(&config);
    if (server == nullptr) {
        std::fprintf(stderr, "out of memory\n");
        return 1;
    }

    const UA_UInt16 ns = UA_Server_addNamespace(server, kNamespaceUri);
    // The NodeIds borrow these.
    const std::string folderId = "H", tagId = "H.T0";
    UA_ObjectAttributes folder = UA_ObjectAttributes_default;
    folder.displayName = BorrowedLocalizedText("H");
    status =
        UA_Server_addObjectNode(server, StringNodeId(ns, folderId), UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
                                UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES), UA_QualifiedName{ns, BorrowedString("H")},
                                UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE), folder, nullptr, nullptr);
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    UA_Double zero = 0;
    UA_Variant_setScalar(&attributes.value, &zero, &UA_TYPES[UA_TYPES_DOUBLE]);
    attributes.displayName = BorrowedLocalizedText("T0");
    attributes.dataType = UA_TYPES[UA_TYPES_DOUBLE].typeId;
    attributes.valueRank = UA_VALUERANK_SCALAR;
    attributes.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE | UA_ACCESSLEVELMASK_HISTORYREAD |
                             UA_ACCESSLEVELMASK_HISTORYWRITE;
    attributes.userAccessLevel = attributes.accessLevel;
    attributes.historizing = true;
    const UA_NodeId tag = StringNodeId(ns, tagId);
    if (status == UA_STATUSCODE_GOOD) {
        status = UA_Server_addVariableNode(
            server, tag, StringNodeId(ns, folderId), UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
            UA_QualifiedName{ns, BorrowedString("T0")}, UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes,
            nullptr, nullptr);
    }
    UA_HistorizingNodeIdSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.historizingBackend = UA_HistoryDataBackend_Memory(1, static_cast<size_t>(samples));
    settings.maxHistoryDataResponseSize = kMaxValuesPerResponse;
    settings.historizingUpdateStrategy = UA_HISTORIZINGUPDATESTRATEGY_USER;
    if (status == UA_STATUSCODE_GOOD) status = gathering.registerNodeId(server, gathering.context, &tag, settings);
    if (status == UA_STATUSCODE_GOOD) status = UA_Server_run_startup(server);
    if (status != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "cannot serve on port %ld: %s\n", port, UA_StatusCode_name(status));
        UA_Server_delete(server);
        return 1;
    }
    std::printf("History floor at opc.tcp://localhost:%ld/ (namespace %s)\n", port, kNamespaceUri);
    std::fflush(stdout);
    while (!theStop.load()) UA_Server_run_iterate(server, true);
    UA_Server_run_shutdown(server);
    UA_Server_delete(server);
    return 0;
}
