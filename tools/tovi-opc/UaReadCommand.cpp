// tovi-opc read --ua: one read of the items' values, with both timestamps.
#include "UaStack.h"

#include <vector>

#include "Commands.h"
#include "Console.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaValueText.h"

int RunUaRead(const Arguments& args) {
    if (args.words.empty()) {
        PrintError("read needs at least one item ID (see tovi-opc read --help)");
        return kExitUsage;
    }
    if (!NodeIdsParseOrReport(args.words)) return kExitUsage;
    UaConnection connection;
    UaNodeIds nodes;
    if (!connection.ConnectOrReport(args) || !connection.NodesOrReport(args.words, nodes)) return kExitFailed;
    std::vector<UA_ReadValueId> reads(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        UA_ReadValueId_init(&reads[i]);
        reads[i].nodeId = nodes[i];  // borrowed for the call
        reads[i].attributeId = UA_ATTRIBUTEID_VALUE;
    }
    UA_ReadRequest request;
    UA_ReadRequest_init(&request);
    request.nodesToRead = reads.data();
    request.nodesToReadSize = reads.size();
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
    UA_ReadResponse response = UA_Client_Service_read(connection.Client(), request);
    UA_StatusCode status = response.responseHeader.serviceResult;
    if (status == UA_STATUSCODE_GOOD && response.resultsSize != reads.size()) status = UA_STATUSCODE_BADUNEXPECTEDERROR;
    if (status != UA_STATUSCODE_GOOD) {
        UA_ReadResponse_clear(&response);
        PrintError("the read failed: " + UaResultText(status));
        return kExitFailed;
    }
    bool allGood = true;
    for (size_t i = 0; i < reads.size(); ++i) {
        const std::string id = ToUtf8(args.words[i]);
        const UA_DataValue& value = response.results[i];
        if (IsUaError(value)) {
            PrintLine(id + ": error: " + UaResultText(value.status));
            allGood = false;
        } else {
            PrintLine(FormatUaRecord(WatchFormat::Text, id, value));
        }
    }
    UA_ReadResponse_clear(&response);
    return allGood ? kExitOk : kExitFailed;
}
