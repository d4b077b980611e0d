// tovi-opc browse --ua: the folders and variables below the Objects folder
// (the tags' namespace only) or below a folder, in the DA browse's shapes.
#include "UaStack.h"

#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "Text.h"
#include "UaConnection.h"
#include "UaValueText.h"

namespace {
// A server whose folders organise each other would otherwise never end.
constexpr int kMaxDepth = 64;

struct Child {
    UA_NodeId node;
    std::string name;
    bool folder;
};

class UaWalker {
public:
    UaWalker(UA_Client* client, UA_UInt16 tagNamespace, bool flat)
        : m_client(client), m_namespace(tagNamespace), m_flat(flat) {}

    // Prints what lies below `node`; the first failure.
    UA_StatusCode Walk(const UA_NodeId& node, int depth, bool tagsOnly) {
        std::vector<Child> children;
        UA_StatusCode status = Children(node, children);
        if (status != UA_STATUSCODE_GOOD) return status;
        const std::string indent(static_cast<size_t>(depth) * 2, ' ');
        // Items first, then the folders with what they hold, as the DA browse prints them.
        for (const Child& child : children) {
            if (child.folder || (tagsOnly && child.node.namespaceIndex != m_namespace)) continue;
            PrintLine(m_flat ? ItemOfNode(child.node, m_namespace) : indent + child.name);
        }
        for (const Child& child : children) {
            if (!child.folder || (tagsOnly && child.node.namespaceIndex != m_namespace)) continue;
            if (!m_flat) PrintLine(indent + child.name + "/");
            const std::string key = ItemOfNode(child.node, 0xFFFF);
            if (depth + 1 >= kMaxDepth || !m_path.insert(key).second) continue;
            status = Walk(child.node, depth + 1, false);
            m_path.erase(key);
            if (status != UA_STATUSCODE_GOOD) break;
        }
        for (Child& child : children) UA_NodeId_clear(&child.node);
        return status;
    }

private:
    // The objects and variables that `node` holds, in the server's order.
    UA_StatusCode Children(const UA_NodeId& node, std::vector<Child>& children) {
        UA_BrowseDescription description;
        UA_BrowseDescription_init(&description);
        description.nodeId = node;
        description.browseDirection = UA_BROWSEDIRECTION_FORWARD;
        description.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
        description.includeSubtypes = true;
        description.nodeClassMask = UA_NODECLASS_OBJECT | UA_NODECLASS_VARIABLE;
        description.resultMask = UA_BROWSERESULTMASK_BROWSENAME | UA_BROWSERESULTMASK_NODECLASS;
        UA_BrowseRequest request;
        UA_BrowseRequest_init(&request);
        request.nodesToBrowse = &description;
        request.nodesToBrowseSize = 1;
        UA_BrowseResponse response = UA_Client_Service_browse(m_client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        UA_ByteString next = UA_BYTESTRING_NULL;
        if (status == UA_STATUSCODE_GOOD)
            status = response.resultsSize == 1 ? Take(response.results[0], children, next)
                                               : UA_STATUSCODE_BADUNEXPECTEDERROR;
        UA_BrowseResponse_clear(&response);
        // The rest of a long list comes in further pieces.
        while (status == UA_STATUSCODE_GOOD && next.length > 0) {
            UA_BrowseNextRequest more;
            UA_BrowseNextRequest_init(&more);
            more.continuationPoints = &next;
            more.continuationPointsSize = 1;
            UA_BrowseNextResponse answer = UA_Client_Service_browseNext(m_client, more);
            UA_ByteString_clear(&next);
            status = answer.responseHeader.serviceResult;
            if (status == UA_STATUSCODE_GOOD)
                status = answer.resultsSize == 1 ? Take(answer.results[0], children, next)
                                                 : UA_STATUSCODE_BADUNEXPECTEDERROR;
            UA_BrowseNextResponse_clear(&answer);
        }
        UA_ByteString_clear(&next);
        if (status != UA_STATUSCODE_GOOD) {
            for (Child& child : children) UA_NodeId_clear(&child.node);
            children.clear();
        }
        // A node reached by two hierarchical references (a folder organises a
        // tag and is also the notifier of its alarm's events) is one child.
        std::set<std::string> seen;
        std::vector<Child> unique;
        for (Child& child : children) {
            if (seen.insert(ItemOfNode(child.node, 0xFFFF)).second) {
                unique.push_back(std::move(child));
            } else {
                UA_NodeId_clear(&child.node);
            }
        }
        children.swap(unique);
        return status;
    }

    static UA_StatusCode Take(const UA_BrowseResult& result, std::vector<Child>& children, UA_ByteString& next) {
        if (result.statusCode != UA_STATUSCODE_GOOD) return result.statusCode;
        for (size_t i = 0; i < result.referencesSize; ++i) {
            const UA_ReferenceDescription& reference = result.references[i];
            // A node on another server has no attributes here.
            if (reference.nodeId.serverIndex != 0) continue;
            Child child{UA_NODEID_NULL,
                        std::string(reinterpret_cast<const char*>(reference.browseName.name.data),
                                    reference.browseName.name.length),
                        reference.nodeClass == UA_NODECLASS_OBJECT};
            UA_NodeId_copy(&reference.nodeId.nodeId, &child.node);
            children.push_back(std::move(child));
        }
        return UA_ByteString_copy(&result.continuationPoint, &next);
    }

    UA_Client* m_client;
    UA_UInt16 m_namespace;
    bool m_flat;
    std::set<std::string> m_path;  // the folders being walked, to stop at a loop
};
}  // namespace

int RunUaBrowse(const Arguments& args) {
    // BRANCH names lead down one level each; a folder's NodeId is their path.
    std::wstring path;
    for (const std::wstring& word : args.words) path += (path.empty() ? L"" : L".") + word;
    if (!path.empty() && !NodeIdsParseOrReport({path})) return kExitUsage;
    UaConnection connection;
    if (!connection.ConnectOrReport(args)) return kExitFailed;
    // Below the Objects folder only the tags are shown, not the server's own
    // objects; below a NodeId given outright the tags need not be there.
    UA_UInt16 tagNamespace = 0xFFFF;
    if (!connection.TagNamespaceOrReport(tagNamespace, IsNodeIdText(path)) && !IsNodeIdText(path)) return kExitFailed;
    UaNodeIds start;
    if (path.empty()) {
        start.Adopt(UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER));
    } else {
        if (!connection.NodesOrReport({path}, start)) return kExitFailed;
        UA_NodeClass nodeClass = UA_NODECLASS_UNSPECIFIED;
        const UA_StatusCode status = UA_Client_readNodeClassAttribute(connection.Client(), start[0], &nodeClass);
        if (status != UA_STATUSCODE_GOOD || nodeClass != UA_NODECLASS_OBJECT) {
            PrintError("no branch \"" + ToUtf8(path) +
                       "\" there: " + (status != UA_STATUSCODE_GOOD ? UaResultText(status) : "it is no folder"));
            return kExitFailed;
        }
    }
    const UA_StatusCode status = UaWalker(connection.Client(), tagNamespace, args.flat).Walk(start[0], 0, path.empty());
    if (status != UA_STATUSCODE_GOOD) {
        PrintError("browsing failed: " + UaResultText(status));
        return kExitFailed;
    }
    return kExitOk;
}
