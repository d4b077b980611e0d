// tovi-opc ack, confirm, comment, enable and disable --ua: one method of a
// condition, called as the standard has it (the condition as the object, the
// type's method), with the condition's latest EventId unless --event names
// one.
#include "UaStack.h"

#include <string>

#include "Commands.h"
#include "Console.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaEventRecord.h"
#include "UaValueText.h"

namespace {
struct Method {
    const wchar_t* command;
    UA_UInt32 method;
    bool takesEvent;  // EventId and comment
    bool needsComment;
    const char* done;
};

const Method kMethods[] = {
    {L"ack", UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKNOWLEDGE, true, false, "acknowledged"},
    {L"confirm", UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRM, true, false, "confirmed"},
    {L"comment", UA_NS0ID_CONDITIONTYPE_ADDCOMMENT, true, true, "commented"},
    {L"enable", UA_NS0ID_CONDITIONTYPE_ENABLE, false, false, "enabled"},
    {L"disable", UA_NS0ID_CONDITIONTYPE_DISABLE, false, false, "disabled"},
};

// The condition's EventId now, from its EventId property.
UA_StatusCode LatestEventId(UA_Client* client, const UA_NodeId& condition, UA_ByteString& eventId) {
    UA_RelativePathElement element;
    UA_RelativePathElement_init(&element);
    element.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
    element.includeSubtypes = true;
    element.targetName = UA_QUALIFIEDNAME(0, const_cast<char*>("EventId"));
    UA_BrowsePath path;
    UA_BrowsePath_init(&path);
    path.startingNode = condition;  // borrowed for the call
    path.relativePath.elements = &element;
    path.relativePath.elementsSize = 1;
    UA_TranslateBrowsePathsToNodeIdsRequest request;
    UA_TranslateBrowsePathsToNodeIdsRequest_init(&request);
    request.browsePaths = &path;
    request.browsePathsSize = 1;
    UA_TranslateBrowsePathsToNodeIdsResponse response =
        UA_Client_Service_translateBrowsePathsToNodeIds(client, request);
    UA_StatusCode status = response.responseHeader.serviceResult;
    if (status == UA_STATUSCODE_GOOD) {
        status = response.resultsSize == 1 ? response.results[0].statusCode : UA_STATUSCODE_BADUNEXPECTEDERROR;
    }
    if (status == UA_STATUSCODE_GOOD && response.results[0].targetsSize == 0) status = UA_STATUSCODE_BADNOMATCH;
    if (status == UA_STATUSCODE_GOOD) {
        UA_Variant value;
        UA_Variant_init(&value);
        status = UA_Client_readValueAttribute(client, response.results[0].targets[0].targetId.nodeId, &value);
        if (status == UA_STATUSCODE_GOOD && !UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_BYTESTRING])) {
            status = UA_STATUSCODE_BADTYPEMISMATCH;
        }
        if (status == UA_STATUSCODE_GOOD) UA_ByteString_copy(static_cast<UA_ByteString*>(value.data), &eventId);
        UA_Variant_clear(&value);
    }
    UA_TranslateBrowsePathsToNodeIdsResponse_clear(&response);
    return status;
}
}  // namespace

int RunUaCondition(const Arguments& args) {
    const Method* method = nullptr;
    for (const Method& known : kMethods) {
        if (args.command == known.command) method = &known;
    }
    if (method == nullptr) return kExitUsage;
    const std::string command = ToUtf8(args.command);
    const size_t most = method->takesEvent ? 2 : 1;
    if (args.words.empty() || args.words.size() > most || (method->needsComment && args.words.size() != 2)) {
        PrintError(command + " takes " + (method->needsComment ? "an ITEM and a COMMENT" : "one ITEM") +
                   (method->takesEvent && !method->needsComment ? " and an optional COMMENT" : "") + " (see tovi-opc " +
                   command + " --help)");
        return kExitUsage;
    }
    if (!args.eventId.empty() && !method->takesEvent) {
        PrintError("--event goes with ack, confirm and comment");
        return kExitUsage;
    }
    UA_ByteString eventId;
    if (!BytesOfHex(args.eventId, eventId)) {
        PrintError("--event takes an EventId in hex, as alarms prints it, not \"" + ToUtf8(args.eventId) + "\"");
        return kExitUsage;
    }
    if (!NodeIdsParseOrReport({args.words[0]})) {
        UA_ByteString_clear(&eventId);
        return kExitUsage;
    }
    const std::string item = ToUtf8(args.words[0]);
    UaConnection connection;
    UaNodeIds condition;
    if (!connection.ConnectOrReport(args) || !connection.ConditionOrReport(args.words[0], condition)) {
        UA_ByteString_clear(&eventId);
        return kExitFailed;
    }
    UA_Client* client = connection.Client();
    if (method->takesEvent && args.eventId.empty()) {
        const UA_StatusCode status = LatestEventId(client, condition[0], eventId);
        if (status != UA_STATUSCODE_GOOD) {
            PrintError(item + ": its latest EventId cannot be read: " + UaResultText(status));
            return kExitFailed;
        }
    }
    const std::string commentText = args.words.size() > 1 ? ToUtf8(args.words[1]) : std::string();
    UA_LocalizedText comment;
    comment.locale = UA_STRING_NULL;
    comment.text = UA_String{commentText.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(commentText.data()))};
    UA_Variant input[2];
    UA_Variant_setScalar(&input[0], &eventId, &UA_TYPES[UA_TYPES_BYTESTRING]);
    UA_Variant_setScalar(&input[1], &comment, &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]);
    size_t outputSize = 0;
    UA_Variant* output = nullptr;
    const UA_StatusCode status = UA_Client_call(client, condition[0], UA_NODEID_NUMERIC(0, method->method),
                                                method->takesEvent ? 2 : 0, input, &outputSize, &output);
    UA_Array_delete(output, outputSize, &UA_TYPES[UA_TYPES_VARIANT]);
    UA_ByteString_clear(&eventId);
    if (status != UA_STATUSCODE_GOOD) {
        PrintLine(item + ": error: " + UaResultText(status));
        return kExitFailed;
    }
    PrintLine(item + ": " + method->done);
    return kExitOk;
}
