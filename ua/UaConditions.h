#pragma once
// The alarmed tags as OPC UA conditions: one condition per alarmed tag, of the
// standard type of its alarm, reached from the tag's variable by HasCondition,
// its events sent to the notifiers above the tag and to the Server object; the
// condition methods (Acknowledge, Confirm, AddComment, Enable, Disable,
// ConditionRefresh, ConditionRefresh2) act on the configuration's alarms.
// Every member but AlarmRaised runs on the endpoint's server thread.
#include "UaLibrary.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "AlarmCondition.h"
#include "UaConditionStore.h"

class Configuration;

inline constexpr char kAlarmsNamespaceUri[] = "urn:Zelkor:ToviExplorer:Alarms";

class UaConditions : public AlarmObserver {
public:
    explicit UaConditions(Configuration& configuration);
    ~UaConditions() override;
    UaConditions(const UaConditions&) = delete;
    UaConditions& operator=(const UaConditions&) = delete;

    // Before the server is made: the node store that serves the conditions'
    // nodes from their records instead of keeping a tree of nodes for each.
    void InstallNodeStore(UA_ServerConfig& config);
    // Which history configuration a tag's node refers to (the node store makes the reference).
    void SetHistoryLinks(UaConditionStore::HistoryLinks links) { m_store.SetHistoryLinks(std::move(links)); }
    // Once the server has started and the tags' nodes are there.
    void Build(UA_Server* server, UA_UInt16 tagNamespace);
    // Sends the events raised since the last call; links new conditions to
    // their tags' nodes (which the address space may have added meanwhile).
    void Pump();
    // Stops listening to the configuration (before the server goes).
    void Detach();
    // Nodes came or went: the folders above the conditions become notifiers again.
    void TagNodesChanged() noexcept;
    bool Pending();

    // AlarmObserver: only queues.
    void AlarmRaised(const AlarmEvent& event) noexcept override;

    // The EventId of an event number, and back (0: not one of this process's).
    static void EventIdOf(std::uint64_t number, UA_ByteString& out);
    static std::uint64_t EventNumberOf(const UA_ByteString& eventId);

private:
    void Deliver(UaCondition& condition);
    void Apply(const AlarmEvent& event);
    // Makes the folders above the condition's tag notifiers.
    void Link(UaCondition& condition);
    void Refresh(const UA_NodeId& sessionId, UA_UInt32 subscriptionId, UA_UInt32 monitoredItemId,
                 UA_StatusCode& result);
    UA_StatusCode Command(const UA_NodeId* sessionId, void* sessionContext, const UA_NodeId* objectId,
                          AlarmCommandKind kind, size_t inputSize, const UA_Variant* input);
    static UA_StatusCode OnMethod(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                                  const UA_NodeId* methodId, void* methodContext, const UA_NodeId* objectId,
                                  void* objectContext, size_t inputSize, const UA_Variant* input, size_t outputSize,
                                  UA_Variant* output);

    Configuration& m_configuration;
    UA_Server* m_server = nullptr;
    UA_UInt16 m_tagNamespace = 0;
    UaConditionStore m_store;  // owns the records the nodes are made of
    UA_NodeId m_refreshStart = UA_NODEID_NULL, m_refreshEnd = UA_NODEID_NULL;
    bool m_relink = false;
    std::unordered_set<std::string> m_notifiers;  // folders made notifiers, by item ID
    bool m_attached = false;

    std::mutex m_queueLock;  // leaf lock: guards m_queue only
    std::vector<AlarmEvent> m_queue;
};
