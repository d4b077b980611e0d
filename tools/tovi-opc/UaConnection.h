#pragma once
// One command's session with an OPC UA server: connected with the security
// the command line asks for, the tags' namespace looked up once, and ITEM
// arguments turned into nodes.
#include "UaStack.h"

#include <string>
#include <vector>

#include "Arguments.h"

inline constexpr char kTagsNamespaceUri[] = "urn:Zelkor:ToviExplorer:Tags";
inline constexpr char kAlarmsNamespaceUri[] = "urn:Zelkor:ToviExplorer:Alarms";

// NodeIds the list owns.
class UaNodeIds {
public:
    UaNodeIds() = default;
    ~UaNodeIds();
    UaNodeIds(const UaNodeIds&) = delete;
    UaNodeIds& operator=(const UaNodeIds&) = delete;

    // Takes `id` over.
    void Adopt(UA_NodeId id);
    const UA_NodeId& operator[](size_t i) const { return m_ids[i]; }
    size_t size() const noexcept { return m_ids.size(); }

private:
    std::vector<UA_NodeId> m_ids;
};

class UaConnection {
public:
    UaConnection() = default;
    ~UaConnection();
    UaConnection(const UaConnection&) = delete;
    UaConnection& operator=(const UaConnection&) = delete;

    // Connects to args.uaUrl as the arguments say; false after telling the
    // user why.
    bool ConnectOrReport(const Arguments& args);
    UA_Client* Client() const noexcept { return m_client; }
    // The node of each ITEM: a NodeId written out as it is, else the tag's
    // node in the tags' namespace. False after telling the user why.
    bool NodesOrReport(const std::vector<std::wstring>& items, UaNodeIds& nodes);
    // The index of the tags' namespace on this server; `quiet`: without
    // telling the user when there is none.
    bool TagNamespaceOrReport(UA_UInt16& index, bool quiet = false);
    // The node of a condition: a NodeId written out as it is, else the
    // alarm of the tag ITEM in the alarms' namespace. False after telling the
    // user why.
    bool ConditionOrReport(const std::wstring& item, UaNodeIds& nodes);
    // Good while the session stands, else what ended it.
    UA_StatusCode Health() const;

private:
    // The index of namespace `uri`; false when the server has none or the
    // array cannot be read (told unless `quiet`).
    bool NamespaceOrReport(const char* uri, UA_UInt16& index, bool quiet);

    UA_Client* m_client = nullptr;
    bool m_namespaceKnown = false;
    UA_UInt16 m_namespace = 0;
};

// One attribute of every node in one Read: Good with a result per node in
// `response` (the caller clears it), else why not (`response` cleared).
UA_StatusCode ReadEach(UA_Client* client, const UaNodeIds& nodes, UA_UInt32 attribute, UA_TimestampsToReturn timestamps,
                       UA_ReadResponse& response);

// Whether an ITEM is a NodeId written out ("ns=2;s=Plant.Flow", "i=2258")
// rather than an item ID.
bool IsNodeIdText(const std::wstring& item);
// Items written as NodeIds that do not parse, told to the user; false then.
bool NodeIdsParseOrReport(const std::vector<std::wstring>& items);
// A NodeId as an ITEM names it: the item ID for a tag's node, else
// "i=2258", "ns=1;s=Name".
std::string ItemOfNode(const UA_NodeId& node, UA_UInt16 tagNamespace);
