#pragma once
// The node store of the UA server, with the conditions' nodes made on demand:
// a condition of the standard types is a tree of some thirty nodes (its
// states, their ids, times and texts, its limits), and ten thousand of them
// kept as nodes would cost tens of megabytes and seconds at start. Here a
// condition is one record; a request for any node of it (a browse, a read,
// an event's select clause, a method's object) builds that node from the
// record and frees it when released. Every other node is the stack's own
// store's. The references between a condition's tag, the folders above it and
// the Server object (HasCondition, HasEventSource, HasNotifier) are not kept
// in those nodes either: added one by one, ten thousand of them cost some
// 4 kB each. A browse that asks for them gets a copy of the node with them.
// A historized tag's reference to its history's configuration
// (HasHistoricalConfiguration) is made the same way.
#include "UaLibrary.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "AlarmCondition.h"

// One condition as its nodes and events show it: the state of its latest event.
struct UaCondition {
    std::string itemId;  // the tag's item ID (UTF-8): the condition's NodeId string
    AlarmEvent latest;
    std::string message;  // UTF-8 of latest.state.message
    std::string comment;  // UTF-8 of latest.state.comment
    std::string user;     // UTF-8 of latest.state.clientUserId
    UA_ByteString eventId{0, nullptr};
    UA_DateTime receiveTime = 0;
    bool linked = false;  // the folders above the tag are notifiers
    UaCondition() = default;
    UaCondition(const UaCondition&) = delete;
    UaCondition& operator=(const UaCondition&) = delete;
    ~UaCondition() { UA_ByteString_clear(&eventId); }
};

class UaConditionStore {
public:
    UaConditionStore() = default;
    ~UaConditionStore() = default;
    UaConditionStore(const UaConditionStore&) = delete;
    UaConditionStore& operator=(const UaConditionStore&) = delete;

    // Wraps the configuration's store (the stack's default); the configuration
    // then owns this wrapper's hooks, which point here: this store outlives it.
    void Install(UA_ServerConfig& config);
    // The namespace of the conditions' nodes; none is served before.
    void SetNamespace(UA_UInt16 ns) noexcept { m_namespace = ns; }
    UA_UInt16 Namespace() const noexcept { return m_namespace; }

    // A condition's record changed or went: nodes made of it before are not
    // served again (a node still held stays valid until released).
    void Changed() noexcept { ++m_generation; }

    UaCondition* Find(const std::string& itemId);
    UaCondition& Add(const std::string& itemId);
    void Remove(const std::string& itemId);
    std::unordered_map<std::string, std::unique_ptr<UaCondition>>& Conditions() noexcept { return m_conditions; }
    // The condition's NodeId; borrows the record's string.
    UA_NodeId NodeIdOf(const UaCondition& condition) const;
    UA_NodeId TagNodeIdOf(const UaCondition& condition, UA_UInt16 tagNamespace) const;
    void SetTagNamespace(UA_UInt16 ns) noexcept { m_tagNamespace = ns; }

    // The history configuration a tag's node refers to, if any (asked on
    // the server's thread when a browse wants that reference).
    using HistoryLinks = std::function<std::optional<UA_NodeId>(const std::string& itemId)>;
    void SetHistoryLinks(HistoryLinks links) { m_historyLinks = std::move(links); }

    // The standard type of a kind of alarm.
    static UA_UInt32 TypeOf(AlarmKind kind) noexcept;

private:
    UA_Node* Make(const UA_NodeId& nodeId);
    // Make, through the cache of the nodes made since the last change: an
    // event's select clauses ask the same few nodes for each monitored item.
    const UA_Node* Get(const UA_NodeId& nodeId);
    void Release(const UA_Node* node);
    struct Made {
        UA_Node* node = nullptr;
        std::uint64_t generation = 0;
        int holds = 0;
        bool cached = true;
    };
    void Uncache(std::unordered_map<std::string, Made*>::iterator entry);
    // Whether a get for `references` may need synthesized ones: only a
    // selective get does (a browse); a whole node is got to be edited.
    bool MayLink(const UA_ReferenceTypeSet& references) {
        if (std::memcmp(&references, &UA_REFERENCETYPESET_ALL, sizeof references) == 0) return false;
        if (m_historyLinks && HistoryConfigurationIndex() >= 0 &&
            UA_ReferenceTypeSet_contains(&references, static_cast<UA_Byte>(m_hasHistory))) {
            return true;
        }
        if (m_conditions.empty()) return false;
        if (m_hasCondition < 0) HasConditionIndex();  // the alarm types are there once conditions are
        return (m_hasCondition >= 0 &&
                UA_ReferenceTypeSet_contains(&references, static_cast<UA_Byte>(m_hasCondition))) ||
               UA_ReferenceTypeSet_contains(&references, UA_REFERENCETYPEINDEX_HASEVENTSOURCE) ||
               UA_ReferenceTypeSet_contains(&references, UA_REFERENCETYPEINDEX_HASNOTIFIER);
    }
    bool Ours(const UA_NodeId& nodeId) const noexcept {
        return m_namespace != 0 && nodeId.namespaceIndex == m_namespace;
    }
    UA_Byte HasConditionIndex();
    int HistoryConfigurationIndex();
    // The index of a reference type of namespace zero, or -1 while it is not there.
    int ReferenceIndexOf(UA_UInt32 type);

    // What a folder leads to: its alarmed tags and its folders holding some.
    struct FolderLinks {
        std::vector<const UaCondition*> sources;
        std::vector<std::string> folders;
    };
    // Built when first asked after a condition came or went.
    const FolderLinks* FolderLinksOf(const std::string& folder);
    // `inner` as a browse of `references` in `directions` sees it: itself,
    // or a copy with only those references and the synthesized ones added.
    const UA_Node* WithLinks(const UA_Node* inner, UA_ReferenceTypeSet references, UA_BrowseDirection directions);

    static void Clear(void* context);
    static UA_Node* NewNode(void* context, UA_NodeClass nodeClass);
    static void DeleteNode(void* context, UA_Node* node);
    static const UA_Node* GetNode(void* context, const UA_NodeId* nodeId, UA_UInt32 attributes,
                                  UA_ReferenceTypeSet references, UA_BrowseDirection directions);
    static const UA_Node* GetNodeFromPtr(void* context, UA_NodePointer pointer, UA_UInt32 attributes,
                                         UA_ReferenceTypeSet references, UA_BrowseDirection directions);
    static void ReleaseNode(void* context, const UA_Node* node);
    static UA_StatusCode GetNodeCopy(void* context, const UA_NodeId* nodeId, UA_Node** out);
    static UA_StatusCode InsertNode(void* context, UA_Node* node, UA_NodeId* added);
    static UA_StatusCode ReplaceNode(void* context, UA_Node* node);
    static UA_StatusCode RemoveNode(void* context, const UA_NodeId* nodeId);
    static const UA_NodeId* GetReferenceTypeId(void* context, UA_Byte index);
    static void Iterate(void* context, UA_NodestoreVisitor visitor, void* visitorContext);

    UA_Nodestore m_inner{};
    UA_UInt16 m_namespace = 0;
    UA_UInt16 m_tagNamespace = 0;
    int m_hasCondition = -1;  // the HasCondition reference type's index, once known
    int m_hasHistory = -1;    // HasHistoricalConfiguration's
    HistoryLinks m_historyLinks;
    std::unordered_map<std::string, std::unique_ptr<UaCondition>> m_conditions;
    std::uint64_t m_generation = 1;
    std::uint64_t m_shape = 1;  // moves when a condition comes or goes
    std::uint64_t m_foldersShape = 0;
    std::unordered_map<std::string, FolderLinks> m_folders;  // by the folder's item ID; "" holds the devices
    std::unordered_set<const UA_Node*> m_linked;             // copies with synthesized references, until released
    std::unordered_map<std::string, Made*> m_cache;          // by NodeId string
    std::unordered_map<const UA_Node*, std::unique_ptr<Made>> m_made;  // every made node not yet freed
};
