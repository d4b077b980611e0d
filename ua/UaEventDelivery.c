// Written in C against the stack's internal headers of the very build it
// links with (scripts/ua-deps.sh installs them beside the public ones).
#include "UaEventDelivery.h"

#include "ua_server_internal.h"
#include "ua_subscription.h"

struct ToviUa_EventItem {
    UA_MonitoredItem* item;
};

static const UA_NodeId kServerObject = {0, UA_NODEIDTYPE_NUMERIC, {UA_NS0ID_SERVER}};
static const UA_NodeId kConditionType = {0, UA_NODEIDTYPE_NUMERIC, {UA_NS0ID_CONDITIONTYPE}};

// The references an event travels up by: the tree of folders the tags hang
// in, whose folders are the notifiers. HasEventSource and HasNotifier lead to
// no other notifier here, and the node store makes them only for a browse
// that asks (at the price of a copy of each node on the way).
static UA_StatusCode EmitReferences(UA_Server* server, UA_ReferenceTypeSet* set) {
    static const UA_UInt32 roots[] = {UA_NS0ID_ORGANIZES, UA_NS0ID_HASCOMPONENT};
    UA_ReferenceTypeSet_init(set);
    for (size_t i = 0; i < sizeof(roots) / sizeof(roots[0]); i++) {
        UA_NodeId root = UA_NODEID_NUMERIC(0, roots[i]);
        UA_ReferenceTypeSet one;
        UA_StatusCode status = referenceTypeIndices(server, &root, &one, true);
        if (status != UA_STATUSCODE_GOOD) return status;
        *set = UA_ReferenceTypeSet_union(*set, one);
    }
    return UA_STATUSCODE_GOOD;
}

static UA_Boolean IsConditionIdClause(const UA_SimpleAttributeOperand* clause) {
    return clause->browsePathSize == 0 && clause->attributeId == UA_ATTRIBUTEID_NODEID &&
           UA_NodeId_equal(&clause->typeDefinitionId, &kConditionType);
}

static UA_StatusCode AddEvent(UA_Server* server, UA_MonitoredItem* item, const UA_NodeId* eventNode,
                              const UA_NodeId* conditionId) {
    if (item->itemToMonitor.attributeId != UA_ATTRIBUTEID_EVENTNOTIFIER || !item->subscription)
        return UA_STATUSCODE_GOOD;
    if (item->parameters.filter.content.decoded.type != &UA_TYPES[UA_TYPES_EVENTFILTER])
        return UA_STATUSCODE_BADFILTERNOTALLOWED;
    UA_EventFilter* filter = (UA_EventFilter*)item->parameters.filter.content.decoded.data;
    UA_Notification* notification = UA_Notification_new();
    if (!notification) return UA_STATUSCODE_BADOUTOFMEMORY;
    UA_EventFilterResult result;
    UA_EventFilterResult_init(&result);
    UA_StatusCode status =
        filterEvent(server, item->subscription->session, eventNode, filter, &notification->data.event, &result);
    UA_EventFilterResult_clear(&result);
    if (status != UA_STATUSCODE_GOOD) {
        UA_Notification_delete(notification);
        return status == UA_STATUSCODE_BADNOMATCH ? UA_STATUSCODE_GOOD : status;
    }
    if (conditionId) {
        for (size_t i = 0; i < filter->selectClausesSize && i < notification->data.event.eventFieldsSize; i++) {
            if (!IsConditionIdClause(&filter->selectClauses[i])) continue;
            UA_Variant_clear(&notification->data.event.eventFields[i]);
            UA_Variant_setScalarCopy(&notification->data.event.eventFields[i], conditionId, &UA_TYPES[UA_TYPES_NODEID]);
        }
    }
    notification->data.event.clientHandle = item->parameters.clientHandle;
    notification->mon = item;
    UA_Notification_enqueueAndTrigger(server, notification);
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode ToviUa_DeliverEvent(UA_Server* server, const UA_NodeId* eventNode, const UA_NodeId* source,
                                  const UA_NodeId* conditionId) {
    lockServer(server);
    UA_ReferenceTypeSet references;
    UA_StatusCode status = EmitReferences(server, &references);
    UA_ExpandedNodeId* notifiers = NULL;
    size_t notifierCount = 0;
    if (status == UA_STATUSCODE_GOOD) {
        const UA_NodeId starts[2] = {*source, kServerObject};
        status = browseRecursive(server, 2, starts, UA_BROWSEDIRECTION_INVERSE, &references, UA_NODECLASS_UNSPECIFIED,
                                 true, &notifierCount, &notifiers);
    }
    for (size_t i = 0; status == UA_STATUSCODE_GOOD && i < notifierCount; i++) {
        const UA_Node* node = UA_NODESTORE_GET(server, &notifiers[i].nodeId);
        if (!node) continue;
        if (node->head.nodeClass == UA_NODECLASS_OBJECT) {
            for (UA_MonitoredItem* item = node->head.monitoredItems; item; item = item->sampling.nodeListNext)
                AddEvent(server, item, eventNode, conditionId);  // one item's failure spares the others
        }
        UA_NODESTORE_RELEASE(server, node);
    }
    UA_Array_delete(notifiers, notifierCount, &UA_TYPES[UA_TYPES_EXPANDEDNODEID]);
    unlockServer(server);
    return status;
}

UA_StatusCode ToviUa_ForEachEventItem(UA_Server* server, const UA_NodeId* sessionId, UA_UInt32 subscriptionId,
                                      UA_UInt32 monitoredItemId, ToviUa_EventItemVisitor visitor, void* context) {
    lockServer(server);
    UA_Session* session = getSessionById(server, sessionId);
    UA_Subscription* subscription = session ? UA_Session_getSubscriptionById(session, subscriptionId) : NULL;
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    if (!subscription) {
        status = UA_STATUSCODE_BADSUBSCRIPTIONIDINVALID;
    } else if (monitoredItemId != 0) {
        UA_MonitoredItem* item = UA_Subscription_getMonitoredItem(subscription, monitoredItemId);
        if (!item) {
            status = UA_STATUSCODE_BADMONITOREDITEMIDINVALID;
        } else if (item->itemToMonitor.attributeId == UA_ATTRIBUTEID_EVENTNOTIFIER) {
            ToviUa_EventItem one = {item};
            visitor(context, &one, &item->itemToMonitor.nodeId);
        }
    } else {
        // Data change items stand beside the event items; they are passed over.
        UA_MonitoredItem* item;
        LIST_FOREACH(item, &subscription->monitoredItems, listEntry) {
            if (item->itemToMonitor.attributeId != UA_ATTRIBUTEID_EVENTNOTIFIER) continue;
            ToviUa_EventItem one = {item};
            visitor(context, &one, &item->itemToMonitor.nodeId);
        }
    }
    unlockServer(server);
    return status;
}

UA_StatusCode ToviUa_DeliverEventTo(UA_Server* server, ToviUa_EventItem* item, const UA_NodeId* eventNode,
                                    const UA_NodeId* conditionId) {
    lockServer(server);
    UA_StatusCode status = AddEvent(server, item->item, eventNode, conditionId);
    unlockServer(server);
    return status;
}

UA_Boolean ToviUa_IsEventSourceUnder(UA_Server* server, const UA_NodeId* source, const UA_NodeId* notifier) {
    if (UA_NodeId_equal(notifier, &kServerObject) || UA_NodeId_equal(notifier, source)) return true;
    lockServer(server);
    UA_ReferenceTypeSet references;
    UA_Boolean under = EmitReferences(server, &references) == UA_STATUSCODE_GOOD &&
                       isNodeInTree(server, source, notifier, &references);
    unlockServer(server);
    return under;
}
