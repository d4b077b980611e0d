// The history benchmark's floor: the bare stack with its own in-memory history
// (the library's default database, gathering and memory backend) serving one
// historized Double variable, named as the program names the benchmark's tag
// (folder H, variable H.T0, string NodeIds). Clients fill it with
// HistoryUpdate and read it back; None security, loopback only. Runs until
// Ctrl+C or its process is ended.
//
//   history_floor_server.exe --port 48481 [--samples N]   (N: room the backend makes at once)
#include "FloorBasics.h"

#include <open62541/plugin/historydata/history_data_backend_memory.h>
#include <open62541/plugin/historydata/history_data_gathering_default.h>
#include <open62541/plugin/historydata/history_database_default.h>
#include <open62541/plugin/log.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "UaCommon.h"

namespace {
constexpr const char* kNamespaceUri = "urn:Zelkor:ToviExplorer:HistoryBenchFloor";
// The same page bound as the program's endpoint.
constexpr size_t kMaxValuesPerResponse = 10000;

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
    UA_ServerConfig config;
    if (ConfigureFloor(config, port) != UA_STATUSCODE_GOOD) return 1;
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
    UA_StatusCode status =
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
    if (status != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "building the address space failed: %s\n", UA_StatusCode_name(status));
        UA_Server_delete(server);
        return 1;
    }
    const std::string banner = std::string("History floor at opc.tcp://localhost:")
                                   .append(std::to_string(port))
                                   .append("/ (namespace ")
                                   .append(kNamespaceUri)
                                   .append(")");
    return RunFloor(server, port, banner.c_str());
}
