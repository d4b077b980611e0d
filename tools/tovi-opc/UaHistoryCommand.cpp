// tovi-opc history --ua: the items' recorded values between two times, an
// aggregate of them per interval, or their values at given times; every
// page the server gives, one line per value in the watch's formats.
#include "UaStack.h"

#include <cwctype>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "RecordFormat.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaHistoryTime.h"
#include "UaValueText.h"

namespace {
bool SameName(const UA_String& name, const std::wstring& wanted) {
    const std::wstring text = FromUtf8(std::string(reinterpret_cast<const char*>(name.data), name.length));
    if (text.size() != wanted.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::towlower(text[i]) != std::towlower(wanted[i])) return false;
    }
    return true;
}

// The server's aggregate function of that name (any case), from the list it
// offers; false after telling the user which there are.
bool AggregateOrReport(UA_Client* client, const std::wstring& name, UA_NodeId& out) {
    UA_BrowseDescription description;
    UA_BrowseDescription_init(&description);
    description.nodeId = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERCAPABILITIES_AGGREGATEFUNCTIONS);
    description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
    description.resultMask = UA_BROWSERESULTMASK_BROWSENAME;
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.nodesToBrowse = &description;
    request.nodesToBrowseSize = 1;
    UA_BrowseResponse response = UA_Client_Service_browse(client, request);
    std::string known;
    bool found = false;
    if (response.responseHeader.serviceResult == UA_STATUSCODE_GOOD && response.resultsSize == 1) {
        for (size_t i = 0; i < response.results[0].referencesSize && !found; ++i) {
            const UA_ReferenceDescription& reference = response.results[0].references[i];
            const UA_String& browseName = reference.browseName.name;
            if (SameName(browseName, name)) {
                found = UA_NodeId_copy(&reference.nodeId.nodeId, &out) == UA_STATUSCODE_GOOD;
            } else {
                known.append(known.empty() ? "" : ", ")
                    .append(reinterpret_cast<const char*>(browseName.data), browseName.length);
            }
        }
    }
    UA_BrowseResponse_clear(&response);
    if (!found) {
        PrintError(std::string("the server has no aggregate ")
                       .append(ToUtf8(name))
                       .append(known.empty() ? "" : ": it has ")
                       .append(known));
    }
    return found;
}

// Every page of one node's history; false when the server answered an error.
bool ReadPages(UA_Client* client, const UA_ExtensionObject& details, const UA_NodeId& node, const std::string& id,
               WatchFormat format) {
    UA_ByteString point = UA_BYTESTRING_NULL;
    bool good = true;
    do {
        UA_HistoryReadValueId what;
        UA_HistoryReadValueId_init(&what);
        what.nodeId = node;
        what.continuationPoint = point;
        UA_HistoryReadRequest request;
        UA_HistoryReadRequest_init(&request);
        request.historyReadDetails = details;
        request.timestampsToReturn = UA_TIMESTAMPSTORETURN_SOURCE;
        request.nodesToRead = &what;
        request.nodesToReadSize = 1;
        UA_HistoryReadResponse response = UA_Client_Service_historyRead(client, request);
        UA_ByteString_clear(&point);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD)
            status = response.resultsSize == 1 ? response.results[0].statusCode : UA_STATUSCODE_BADUNEXPECTEDERROR;
        if (UA_StatusCode_isBad(status)) {
            PrintLine(id + ": error: " + UaResultText(status));
            good = false;
        } else {
            const UA_ExtensionObject& data = response.results[0].historyData;
            if (data.content.decoded.type == &UA_TYPES[UA_TYPES_HISTORYDATA]) {
                const auto* values = static_cast<const UA_HistoryData*>(data.content.decoded.data);
                for (size_t i = 0; i < values->dataValuesSize; ++i)
                    PrintLine(FormatUaRecord(format, id, values->dataValues[i]));
            }
            UA_ByteString_copy(&response.results[0].continuationPoint, &point);
        }
        UA_HistoryReadResponse_clear(&response);
    } while (point.length > 0);
    return good;
}
}  // namespace

int RunUaHistory(const Arguments& args) {
    if (args.words.empty()) {
        PrintError("history needs at least one item ID (see tovi-opc history --help)");
        return kExitUsage;
    }
    const UA_DateTime now = UA_DateTime_now();
    std::vector<UA_DateTime> at;
    UA_DateTime from = 0, to = 0;
    if (!args.atTimes.empty()) {
        if (!args.from.empty() || !args.to.empty() || !args.aggregate.empty()) {
            PrintError("--at goes without --from, --to and --aggregate");
            return kExitUsage;
        }
        if (!ParseHistoryTimes(args.atTimes, now, at)) {
            PrintError(std::string("--at takes times separated by commas (2026-03-01T08:00:00Z, now, -1h), not \"")
                           .append(ToUtf8(args.atTimes))
                           .append("\""));
            return kExitUsage;
        }
    } else if (!ParseHistoryTime(args.from, now, from) || !ParseHistoryTime(args.to, now, to)) {
        PrintError("history needs --from and --to, each a time (2026-03-01T08:00:00Z, now, -1h) or --at TIMES");
        return kExitUsage;
    }
    if (!NodeIdsParseOrReport(args.words)) return kExitUsage;
    UaConnection connection;
    UaNodeIds nodes;
    if (!connection.ConnectOrReport(args) || !connection.NodesOrReport(args.words, nodes)) return kExitFailed;

    UA_ExtensionObject details;
    UA_ExtensionObject_init(&details);
    UA_ReadRawModifiedDetails raw;
    UA_ReadProcessedDetails processed;
    UA_ReadAtTimeDetails atTime;
    UA_NodeId aggregate = UA_NODEID_NULL;
    if (!at.empty()) {
        UA_ReadAtTimeDetails_init(&atTime);
        atTime.reqTimes = at.data();
        atTime.reqTimesSize = at.size();
        atTime.useSimpleBounds = true;
        UA_ExtensionObject_setValue(&details, &atTime, &UA_TYPES[UA_TYPES_READATTIMEDETAILS]);
    } else if (!args.aggregate.empty()) {
        if (!AggregateOrReport(connection.Client(), args.aggregate, aggregate)) return kExitFailed;
        UA_ReadProcessedDetails_init(&processed);
        processed.startTime = from;
        processed.endTime = to;
        processed.processingInterval = args.intervalMs;
        processed.aggregateType = &aggregate;
        processed.aggregateTypeSize = 1;
        processed.aggregateConfiguration.useServerCapabilitiesDefaults = true;
        UA_ExtensionObject_setValue(&details, &processed, &UA_TYPES[UA_TYPES_READPROCESSEDDETAILS]);
    } else {
        UA_ReadRawModifiedDetails_init(&raw);
        raw.startTime = from;
        raw.endTime = to;
        UA_ExtensionObject_setValue(&details, &raw, &UA_TYPES[UA_TYPES_READRAWMODIFIEDDETAILS]);
    }
    if (args.format == WatchFormat::Csv) PrintLine(RecordHeader(WatchFormat::Csv));
    bool allGood = true;
    for (size_t i = 0; i < nodes.size(); ++i)
        allGood = ReadPages(connection.Client(), details, nodes[i], ToUtf8(args.words[i]), args.format) && allGood;
    UA_NodeId_clear(&aggregate);
    return allGood ? kExitOk : kExitFailed;
}
