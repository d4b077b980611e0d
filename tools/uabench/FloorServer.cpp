// The UA benchmark's floor: the bare stack serving the benchmark's tags as
// stored Double variables, laid out and named as the program serves them
// (folders Dev and Dev.G<n>, variables Dev.G<n>.T<k> with string NodeIds,
// values with a source timestamp). None security, loopback only, the
// library's defaults but for the two settings the program changes too: a
// quiet logger and 50,000 notifications per publish. No product code but the
// shared UA helpers (ua/UaCommon), which stand on the stack alone. Runs until
// Ctrl+C or its process is ended.
//
//   ua_floor_server.exe --port 48461 --tags 100000 [--per-group 1000] [--big 0] [--heap-primer-mb 32]
//
// --big adds a folder Dev.Big of that many more variables, Dev.Big.B<n>.
//
// --heap-primer-mb leaves that much committed free space in the C heap once
// the nodes are made. Wine's heap gives the committed pages at the end of a
// heap back to the system whenever they come free, so a compact heap like
// the floor's commits, zeroes and releases about 3 MB for every Read of
// 10,000 values, twice the CPU of the library's own work; the program's heap,
// which loading its configuration left with free space inside, does not.
// With the primer both meet the same allocator.
#include "FloorBasics.h"

#include <open62541/server_config_default.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "UaCommon.h"

namespace {
constexpr const char* kNamespaceUri = "urn:Zelkor:ToviExplorer:UaBenchFloor";
// The program's own setting: a period of 10,000 changing items fits in one publish.
constexpr UA_UInt32 kNotificationsPerPublish = 50000;

bool AddFolder(UA_Server* server, UA_UInt16 ns, const std::string& id, const std::string& name,
               const UA_NodeId& parent) {
    UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
    attributes.displayName = BorrowedLocalizedText(name);
    return UA_Server_addObjectNode(server, StringNodeId(ns, id), parent, UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
                                   UA_QualifiedName{ns, BorrowedString(name)},
                                   UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE), attributes, nullptr,
                                   nullptr) == UA_STATUSCODE_GOOD;
}

// A Double variable holding 0 with a source timestamp, as the program's tags
// carry one. Only a dynamic variable keeps a written source timestamp; a
// static one answers every Read with the current time instead.
bool AddTag(UA_Server* server, UA_UInt16 ns, const std::string& id, const std::string& name, const UA_NodeId& parent,
            UA_DateTime stamp) {
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    UA_Double zero = 0;
    UA_Variant_setScalar(&attributes.value, &zero, &UA_TYPES[UA_TYPES_DOUBLE]);
    attributes.displayName = BorrowedLocalizedText(name);
    attributes.dataType = UA_TYPES[UA_TYPES_DOUBLE].typeId;
    attributes.valueRank = UA_VALUERANK_SCALAR;
    attributes.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
    attributes.userAccessLevel = attributes.accessLevel;
    attributes.minimumSamplingInterval = 0;  // as the program's tags
    const UA_NodeId nodeId = StringNodeId(ns, id);
    if (UA_Server_addVariableNode(server, nodeId, parent, UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
                                  UA_QualifiedName{ns, BorrowedString(name)},
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attributes, nullptr,
                                  nullptr) != UA_STATUSCODE_GOOD) {
        return false;
    }
    UA_Server_setVariableNodeDynamic(server, nodeId, true);
    UA_DataValue value;
    UA_DataValue_init(&value);
    UA_Variant_setScalar(&value.value, &zero, &UA_TYPES[UA_TYPES_DOUBLE]);
    value.hasValue = true;
    value.sourceTimestamp = stamp;
    value.hasSourceTimestamp = true;
    return UA_Server_writeDataValue(server, nodeId, value) == UA_STATUSCODE_GOOD;
}

// Allocates `megabytes` in blocks, keeps a small block after them and frees
// the rest: the free space lies inside the heap, where it stays committed.
void PrimeHeap(long megabytes) {
    constexpr size_t kBlock = 128 * 1024;
    std::vector<void*> blocks;
    for (long i = 0; i < megabytes * 8; ++i) blocks.push_back(std::malloc(kBlock));
    static void* const pin = std::malloc(16);
    (void)pin;
    for (void* block : blocks) std::free(block);
}

int Usage() {
    std::fprintf(stderr, "usage: ua_floor_server --port PORT --tags N [--per-group N] [--heap-primer-mb N]\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    long port = 0, tags = -1, perGroup = 1000, primer = 0, big = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (name == "--port") {
            port = value;
        } else if (name == "--tags") {
            tags = value;
        } else if (name == "--per-group") {
            perGroup = value;
        } else if (name == "--big") {
            big = value;
        } else if (name == "--heap-primer-mb") {
            primer = value;
        } else {
            return Usage();
        }
    }
    if (argc % 2 != 1 || port <= 0 || port > 65535 || tags < 0 || perGroup <= 0 || primer < 0 || primer > 1024 ||
        big < 0) {
        return Usage();
    }
    UA_ServerConfig config;
    // Set up as the program sets up its endpoint, less the secure policies.
    if (ConfigureFloor(config, port) != UA_STATUSCODE_GOOD) return 1;
    config.maxNotificationsPerPublish = kNotificationsPerPublish;
    UA_Server* server = UA_Server_newWithConfig(&config);
    if (server == nullptr) {
        std::fprintf(stderr, "out of memory\n");
        return 1;
    }

    const UA_UInt16 ns = UA_Server_addNamespace(server, kNamespaceUri);
    const std::string device = "Dev";
    bool built = AddFolder(server, ns, device, device, UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER));
    std::string groupId;
    const UA_DateTime stamp = UA_DateTime_now();
    for (long k = 0; built && k < tags; ++k) {
        if (k % perGroup == 0) {
            const std::string groupName = "G" + std::to_string(k / perGroup);
            groupId = device + "." + groupName;
            built = AddFolder(server, ns, groupId, groupName, StringNodeId(ns, device));
        }
        const std::string name = "T" + std::to_string(k);
        built = built && AddTag(server, ns, groupId + "." + name, name, StringNodeId(ns, groupId), stamp);
    }
    if (built && big > 0) {
        const std::string bigId = device + ".Big";
        built = AddFolder(server, ns, bigId, "Big", StringNodeId(ns, device));
        for (long k = 0; built && k < big; ++k) {
            const std::string name = "B" + std::to_string(k);
            built = AddTag(server, ns, bigId + "." + name, name, StringNodeId(ns, bigId), stamp);
        }
    }
    if (!built) {
        std::fprintf(stderr, "building the address space failed\n");
        UA_Server_delete(server);
        return 1;
    }

    PrimeHeap(primer);
    const std::string banner = std::string("Floor serving ")
                                   .append(std::to_string(tags))
                                   .append(" tags at opc.tcp://localhost:")
                                   .append(std::to_string(port))
                                   .append("/ (namespace ")
                                   .append(kNamespaceUri)
                                   .append(")");
    return RunFloor(server, port, banner.c_str());
}
