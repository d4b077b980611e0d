#pragma once
// One subscription of one session with an event monitored item on the Server
// object, and the events it received with the moment each arrived.
#include "UaHeaders.h"

#include <functional>
#include <string>
#include <vector>

struct SeenEvent {
    UA_UInt32 type = 0;  // the EventType's number (namespace 0)
    std::string source;  // SourceName: the tag's item ID
    UA_DateTime time = 0;
    bool active = false;
    double arrivalMs = 0;        // NowMs()
    UA_DateTime arrivalUtc = 0;  // the same moment on the events' clock
};

inline constexpr UA_UInt32 kRefreshStartType = UA_NS0ID_REFRESHSTARTEVENTTYPE;
inline constexpr UA_UInt32 kRefreshEndType = UA_NS0ID_REFRESHENDEVENTTYPE;

class EventWatch {
public:
    EventWatch() = default;
    ~EventWatch();
    EventWatch(const EventWatch&) = delete;
    EventWatch& operator=(const EventWatch&) = delete;

    // Subscribes on `client` (publishing every `publishingMs`), with room for
    // `queueSize` events between two publishes. Throws when refused.
    void Start(UA_Client* client, double publishingMs, UA_UInt32 queueSize);
    // A data monitored item (sampling 0) of a tag in the same subscription;
    // its changes go to `onChange` with their arrival.
    void AddDataItem(const UA_NodeId& tag, std::function<void(const UA_DataValue&, double arrivalMs)> onChange);
    void Stop();

    UA_UInt32 SubscriptionId() const { return m_subscription; }
    std::vector<SeenEvent>& Events() { return m_events; }
    // Called with each event as it arrives, besides keeping it.
    std::function<void(const SeenEvent&)> onEvent;

private:
    static void OnEvent(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId, void* monContext,
                        size_t count, UA_Variant* fields);
    static void OnData(UA_Client* client, UA_UInt32 subId, void* subContext, UA_UInt32 monId, void* monContext,
                       UA_DataValue* value);

    UA_Client* m_client = nullptr;
    UA_UInt32 m_subscription = 0;
    std::vector<SeenEvent> m_events;
    std::function<void(const UA_DataValue&, double)> m_onData;
};
