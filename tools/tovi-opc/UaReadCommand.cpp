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
    UA_ReadResponse response;
    const UA_StatusCode status =
        ReadEach(connection.Client(), nodes, UA_ATTRIBUTEID_VALUE, UA_TIMESTAMPSTORETURN_BOTH, response);
    if (status != UA_STATUSCODE_GOOD) {
        PrintError("the read failed: " + UaResultText(status));
        return kExitFailed;
    }
    bool allGood = true;
    for (size_t i = 0; i < nodes.size(); ++i) {
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
