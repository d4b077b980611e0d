// tovi-opc write --ua: each ITEM=VALUE converted to the node's DataType and
// written in one write.
#include "UaStack.h"

#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaValueText.h"

namespace {
// Where ITEM ends in ITEM=VALUE: the "=" signs of a NodeId are its own.
size_t ValueSeparator(const std::wstring& word) {
    size_t from = 0;
    if (word.rfind(L"ns=", 0) == 0) {
        const size_t semicolon = word.find(L';');
        from = semicolon == std::wstring::npos ? semicolon : word.find(L'=', semicolon);
        if (from == std::wstring::npos) return from;
        ++from;
    } else if (word.rfind(L"i=", 0) == 0) {
        from = 2;
    }
    return word.find(L'=', from);
}

// The nodes' DataType attributes: per node its type (null where the server
// names no concrete one) or why none was read.
bool ReadDataTypes(UA_Client* client, const UaNodeIds& nodes, std::vector<const UA_DataType*>& types,
                   std::vector<UA_StatusCode>& results) {
    UA_ReadResponse response;
    const UA_StatusCode status =
        ReadEach(client, nodes, UA_ATTRIBUTEID_DATATYPE, UA_TIMESTAMPSTORETURN_NEITHER, response);
    if (status != UA_STATUSCODE_GOOD) {
        PrintError("the data types cannot be read: " + UaResultText(status));
        return false;
    }
    types.assign(nodes.size(), nullptr);
    results.assign(nodes.size(), UA_STATUSCODE_GOOD);
    for (size_t i = 0; i < nodes.size(); ++i) {
        const UA_DataValue& value = response.results[i];
        if (value.hasStatus && value.status != UA_STATUSCODE_GOOD) {
            results[i] = value.status;
        } else if (UA_Variant_hasScalarType(&value.value, &UA_TYPES[UA_TYPES_NODEID])) {
            types[i] = UA_findDataType(static_cast<const UA_NodeId*>(value.value.data));
        } else {
            results[i] = UA_STATUSCODE_BADTYPEMISMATCH;
        }
    }
    UA_ReadResponse_clear(&response);
    return true;
}
}  // namespace

int RunUaWrite(const Arguments& args) {
    if (args.words.empty()) {
        PrintError("write needs at least one ITEM=VALUE (see tovi-opc write --help)");
        return kExitUsage;
    }
    std::vector<std::wstring> ids, texts;
    for (const std::wstring& word : args.words) {
        const size_t equals = ValueSeparator(word);
        if (equals == std::wstring::npos || equals == 0) {
            std::string message(1, '"');
            message += ToUtf8(word);
            message += "\" is not ITEM=VALUE";
            PrintError(message);
            return kExitUsage;
        }
        ids.push_back(word.substr(0, equals));
        texts.push_back(word.substr(equals + 1));
    }
    if (!NodeIdsParseOrReport(ids)) return kExitUsage;
    UaConnection connection;
    UaNodeIds nodes;
    if (!connection.ConnectOrReport(args) || !connection.NodesOrReport(ids, nodes)) return kExitFailed;
    std::vector<const UA_DataType*> types;
    std::vector<UA_StatusCode> typeResults;
    if (!ReadDataTypes(connection.Client(), nodes, types, typeResults)) return kExitFailed;

    // What each item comes to before the write: its own failure, or a place in it.
    std::vector<std::string> outcome(ids.size());
    std::vector<size_t> written;
    std::vector<UA_WriteValue> writes;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (typeResults[i] != UA_STATUSCODE_GOOD) {
            outcome[i] = "error: " + UaResultText(typeResults[i]);
            continue;
        }
        UA_WriteValue write;
        UA_WriteValue_init(&write);
        const UA_StatusCode converted = TextToUaValue(texts[i], types[i], write.value.value);
        if (converted != UA_STATUSCODE_GOOD) {
            outcome[i] = "error: \"" + ToUtf8(texts[i]) + "\" cannot be converted to " +
                         UaTypeName(types[i] != nullptr ? types[i] : &UA_TYPES[UA_TYPES_STRING]) + ": " +
                         UaResultText(converted);
            continue;
        }
        // The value alone: the server keeps the status and stamps the time.
        write.value.hasValue = true;
        write.nodeId = nodes[i];  // borrowed for the call
        write.attributeId = UA_ATTRIBUTEID_VALUE;
        written.push_back(i);
        writes.push_back(write);
    }
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    if (!writes.empty()) {
        UA_WriteRequest request;
        UA_WriteRequest_init(&request);
        request.nodesToWrite = writes.data();
        request.nodesToWriteSize = writes.size();
        UA_WriteResponse response = UA_Client_Service_write(connection.Client(), request);
        status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize != writes.size()) {
            status = UA_STATUSCODE_BADUNEXPECTEDERROR;
        }
        for (size_t k = 0; status == UA_STATUSCODE_GOOD && k < written.size(); ++k) {
            const UA_StatusCode result = response.results[k];
            outcome[written[k]] = result == UA_STATUSCODE_GOOD   ? "written"
                                  : !UA_StatusCode_isBad(result) ? "written, " + UaResultText(result)
                                                                 : "error: " + UaResultText(result);
        }
        UA_WriteResponse_clear(&response);
        for (UA_WriteValue& write : writes) UA_Variant_clear(&write.value.value);
    }
    if (status != UA_STATUSCODE_GOOD) {
        PrintError("the write failed: " + UaResultText(status));
        return kExitFailed;
    }
    bool allGood = true;
    for (size_t i = 0; i < ids.size(); ++i) {
        allGood = allGood && outcome[i].rfind("written", 0) == 0;
        PrintLine(ToUtf8(ids[i]) + " = " + ToUtf8(texts[i]) + ": " + outcome[i]);
    }
    return allGood ? kExitOk : kExitFailed;
}
