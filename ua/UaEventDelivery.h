#pragma once
// Condition events to the monitored items that ask for them, through the UA
// stack's internals: the stack's public API sends an event to every notifier
// above its source, but cannot answer a ConditionRefresh on one subscription
// only, nor fill in the ConditionId field of its own accord. Every function
// runs on the server's thread; the caller need not hold the server's lock.
#include <open62541/server.h>

#ifdef __cplusplus
extern "C" {
#endif

// Hands the event whose fields are the children of `eventNode` to the event
// monitored items of every notifier above `source` and of the Server object.
// Select clauses asking a condition's ConditionId get `conditionId` (none
// when null).
UA_StatusCode ToviUa_DeliverEvent(UA_Server* server, const UA_NodeId* eventNode, const UA_NodeId* source,
                                  const UA_NodeId* conditionId);

// One event monitored item of a subscription, as ToviUa_ForEachEventItem
// passes it on; valid for the duration of that call only.
typedef struct ToviUa_EventItem ToviUa_EventItem;
typedef void (*ToviUa_EventItemVisitor)(void* context, ToviUa_EventItem* item, const UA_NodeId* notifier);

// Visits the event monitored items of the session's subscription, or only
// the one item when `monitoredItemId` is not 0. Bad_SubscriptionIdInvalid or
// Bad_MonitoredItemIdInvalid when there is no such subscription or item.
UA_StatusCode ToviUa_ForEachEventItem(UA_Server* server, const UA_NodeId* sessionId, UA_UInt32 subscriptionId,
                                      UA_UInt32 monitoredItemId, ToviUa_EventItemVisitor visitor, void* context);

// The event to one item (inside ToviUa_ForEachEventItem's visitor).
UA_StatusCode ToviUa_DeliverEventTo(UA_Server* server, ToviUa_EventItem* item, const UA_NodeId* eventNode,
                                    const UA_NodeId* conditionId);

// True when an event of `source` reaches a monitored item on `notifier`.
UA_Boolean ToviUa_IsEventSourceUnder(UA_Server* server, const UA_NodeId* source, const UA_NodeId* notifier);

#ifdef __cplusplus
}
#endif
