// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaConditions.h"

#include <cstring>
#include <random>

#include "Configuration.h"
#include "Text.h"
#include "UaAccessControl.h"
#include "UaAlarmTypes.h"
#include "UaCommon.h"
#include "UaEventDelivery.h"

namespace {
// A comment longer than this is refused rather than kept and sent with every
// event of the condition.
constexpr size_t kLongestComment = 4096;

// The first half of every EventId: this process's, so that an EventId of an
// earlier run of the program is unknown rather than taken for another event.
std::uint64_t ProcessTag() {
    static const std::uint64_t tag = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ GetCurrentProcessId();
    }();
    return tag;
}

UA_StatusCode StatusOf(AlarmCommandResult result) {
    switch (result) {
    case AlarmCommandResult::Done: return UA_STATUSCODE_GOOD;
    case AlarmCommandResult::EventIdUnknown: return UA_STATUSCODE_BADEVENTIDUNKNOWN;
    case AlarmCommandResult::AlreadyAcked: return UA_STATUSCODE_BADCONDITIONBRANCHALREADYACKED;
    case AlarmCommandResult::AlreadyConfirmed: return UA_STATUSCODE_BADCONDITIONBRANCHALREADYCONFIRMED;
    case AlarmCommandResult::Disabled: return UA_STATUSCODE_BADCONDITIONDISABLED;
    case AlarmCommandResult::AlreadyEnabled: return UA_STATUSCODE_BADCONDITIONALREADYENABLED;
    case AlarmCommandResult::AlreadyDisabled: return UA_STATUSCODE_BADCONDITIONALREADYDISABLED;
    case AlarmCommandResult::NotAlarmed: break;
    }
    return UA_STATUSCODE_BADNODEIDUNKNOWN;
}

std::string Utf8Of(const UA_String& text) { return std::string(reinterpret_cast<const char*>(text.data), text.length); }

void WriteProperty(UA_Server* server, const UA_NodeId& node, const char* name, const void* value, int type) {
    UA_Server_writeObjectProperty_scalar(server, node, UA_QUALIFIEDNAME(0, const_cast<char*>(name)), value,
                                         &UA_TYPES[type]);
}

// Starts and ends a refresh: events of the Server object.
UA_NodeId MakeRefreshEvent(UA_Server* server, UA_UInt32 type, const char* message) {
    UA_Server_writeIsAbstract(server, UA_NODEID_NUMERIC(0, type), false);
    UA_NodeId event = UA_NODEID_NULL;
    if (UA_Server_createEvent(server, UA_NODEID_NUMERIC(0, type), &event) != UA_STATUSCODE_GOOD) return UA_NODEID_NULL;
    const UA_NodeId source = UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER);
    WriteProperty(server, event, "SourceNode", &source, UA_TYPES_NODEID);
    const UA_String sourceName = UA_STRING(const_cast<char*>("Server"));
    WriteProperty(server, event, "SourceName", &sourceName, UA_TYPES_STRING);
    const UA_UInt16 severity = 1;
    WriteProperty(server, event, "Severity", &severity, UA_TYPES_UINT16);
    const UA_LocalizedText text = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(message));
    WriteProperty(server, event, "Message", &text, UA_TYPES_LOCALIZEDTEXT);
    return event;
}

void StampEvent(UA_Server* server, const UA_NodeId& event) {
    const UA_DateTime now = UA_DateTime_now();
    WriteProperty(server, event, "Time", &now, UA_TYPES_DATETIME);
    WriteProperty(server, event, "ReceiveTime", &now, UA_TYPES_DATETIME);
    static std::uint64_t refreshes = 0;
    UA_ByteString id;
    UaConditions::EventIdOf(++refreshes | (1ULL << 63), id);  // never one of a condition's
    WriteProperty(server, event, "EventId", &id, UA_TYPES_BYTESTRING);
    UA_ByteString_clear(&id);
}

constexpr struct {
    UA_UInt32 id;
    int command;  // an AlarmCommandKind, or -1 and -2 for the refreshes
} kMethods[] = {
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKNOWLEDGE, static_cast<int>(AlarmCommandKind::Acknowledge)},
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRM, static_cast<int>(AlarmCommandKind::Confirm)},
    {UA_NS0ID_CONDITIONTYPE_ADDCOMMENT, static_cast<int>(AlarmCommandKind::AddComment)},
    {UA_NS0ID_CONDITIONTYPE_ENABLE, static_cast<int>(AlarmCommandKind::Enable)},
    {UA_NS0ID_CONDITIONTYPE_DISABLE, static_cast<int>(AlarmCommandKind::Disable)},
    {UA_NS0ID_CONDITIONTYPE_CONDITIONREFRESH, -1},
    {UA_NS0ID_CONDITIONTYPE_CONDITIONREFRESH2, -2},
};
}  // namespace

UaConditions::UaConditions(Configuration& configuration) : m_configuration(configuration) {}

UaConditions::~UaConditions() { Detach(); }

void UaConditions::EventIdOf(std::uint64_t number, UA_ByteString& out) {
    UA_ByteString_allocBuffer(&out, 16);
    const std::uint64_t tag = ProcessTag();
    std::memcpy(out.data, &tag, 8);
    std::memcpy(out.data + 8, &number, 8);
}

std::uint64_t UaConditions::EventNumberOf(const UA_ByteString& eventId) {
    if (eventId.length != 16 || eventId.data == nullptr) return 0;
    std::uint64_t tag = 0, number = 0;
    std::memcpy(&tag, eventId.data, 8);
    std::memcpy(&number, eventId.data + 8, 8);
    return tag == ProcessTag() ? number : 0;
}

void UaConditions::InstallNodeStore(UA_ServerConfig& config) { m_store.Install(config); }

void UaConditions::Build(UA_Server* server, UA_UInt16 tagNamespace) {
    m_server = server;
    m_tagNamespace = tagNamespace;
    m_store.Conditions().clear();
    m_notifiers.clear();
    m_store.SetNamespace(UA_Server_addNamespace(server, kAlarmsNamespaceUri));
    m_store.SetTagNamespace(tagNamespace);
    AddAlarmTypes(server);
    for (const auto& method : kMethods) {
        const UA_NodeId id = UA_NODEID_NUMERIC(0, method.id);
        UA_Server_setMethodNodeCallback(server, id, &OnMethod);
        UA_Server_setNodeContext(server, id, this);
    }
    m_refreshStart = MakeRefreshEvent(server, UA_NS0ID_REFRESHSTARTEVENTTYPE, "ConditionRefresh started");
    m_refreshEnd = MakeRefreshEvent(server, UA_NS0ID_REFRESHENDEVENTTYPE, "ConditionRefresh ended");
    // Listening first: an event raised meanwhile is newer than the snapshot's
    // state and replaces it; an older one is passed over.
    m_configuration.SetAlarmObserver(this);
    m_attached = true;
    for (const AlarmEvent& event : m_configuration.AlarmSnapshot(false)) Apply(event);
    m_relink = true;
}

void UaConditions::Detach() {
    if (!m_attached) return;
    m_configuration.SetAlarmObserver(nullptr);
    m_attached = false;
}

void UaConditions::AlarmRaised(const AlarmEvent& event) noexcept {
    try {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_queue.push_back(event);
    } catch (...) {
        // Out of memory: the event is lost, the state comes with the next.
    }
}

void UaConditions::TagNodesChanged() noexcept {
    // A folder made anew is no notifier yet.
    m_notifiers.clear();
    for (auto& [id, condition] : m_store.Conditions()) condition->linked = false;
    m_relink = true;
}

bool UaConditions::Pending() {
    std::lock_guard<std::mutex> guard(m_queueLock);
    return !m_queue.empty();
}

void UaConditions::Pump() {
    if (m_server == nullptr) return;
    std::vector<AlarmEvent> events;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        events.swap(m_queue);
    }
    for (const AlarmEvent& event : events) {
        const std::string itemId = ToUtf8(event.itemId);
        UaCondition* known = m_store.Find(itemId);
        if (known != nullptr && event.number <= known->latest.number) continue;  // the snapshot was newer
        Apply(event);
        UaCondition* condition = m_store.Find(itemId);
        if (condition == nullptr) continue;
        Deliver(*condition);
        if (event.cause == AlarmEventCause::Removed) {
            m_store.Remove(itemId);
            m_store.Changed();
        }
    }
    if (m_relink) {
        m_relink = false;
        for (auto& [id, condition] : m_store.Conditions()) {
            if (!condition->linked) Link(*condition);
        }
    }
}

void UaConditions::Apply(const AlarmEvent& event) {
    m_store.Changed();
    UaCondition& condition = m_store.Add(ToUtf8(event.itemId));
    condition.latest = event;
    condition.message = ToUtf8(event.state.message);
    condition.comment = ToUtf8(event.state.comment);
    condition.user = ToUtf8(event.state.clientUserId);
    UA_ByteString_clear(&condition.eventId);
    EventIdOf(event.number, condition.eventId);
    condition.receiveTime = UA_DateTime_now();
    if (!condition.linked) m_relink = true;
}

void UaConditions::Deliver(UaCondition& condition) {
    const UA_NodeId node = m_store.NodeIdOf(condition);
    const UA_NodeId tag = m_store.TagNodeIdOf(condition, m_tagNamespace);
    ToviUa_DeliverEvent(m_server, &node, &tag, &node);
}

void UaConditions::Link(UaCondition& condition) {
    // The references to and from the condition are the node store's; the
    // folders above its tag become notifiers, each once.
    const std::string& id = condition.itemId;
    for (size_t dot = id.rfind('.'); dot != std::string::npos && dot > 0; dot = id.rfind('.', dot - 1)) {
        std::string folder = id.substr(0, dot);
        if (m_notifiers.count(folder) != 0) break;  // and those above it
        const UA_StatusCode status = UA_Server_writeEventNotifier(m_server, StringNodeId(m_tagNamespace, folder),
                                                                  UA_EVENTNOTIFIER_SUBSCRIBE_TO_EVENT);
        if (status != UA_STATUSCODE_GOOD) return;  // not there yet: tried again when the nodes change
        m_notifiers.insert(std::move(folder));
    }
    condition.linked = true;
}

namespace {
struct RefreshVisit {
    UaConditions* self;
    UA_Server* server;
    UaConditionStore* store;
    UA_UInt16 tagNamespace;
    UA_NodeId start, end;
};
}  // namespace

void UaConditions::Refresh(const UA_NodeId& sessionId, UA_UInt32 subscriptionId, UA_UInt32 monitoredItemId,
                           UA_StatusCode& result) {
    Pump();  // what was raised before the call is part of the state sent
    RefreshVisit visit{this, m_server, &m_store, m_tagNamespace, m_refreshStart, m_refreshEnd};
    result = ToviUa_ForEachEventItem(
        m_server, &sessionId, subscriptionId, monitoredItemId,
        [](void* context, ToviUa_EventItem* item, const UA_NodeId* notifier) {
            auto& v = *static_cast<RefreshVisit*>(context);
            StampEvent(v.server, v.start);
            ToviUa_DeliverEventTo(v.server, item, &v.start, nullptr);
            for (auto& [id, condition] : v.store->Conditions()) {
                if (!condition->latest.state.retain) continue;
                const UA_NodeId tag = v.store->TagNodeIdOf(*condition, v.tagNamespace);
                if (!ToviUa_IsEventSourceUnder(v.server, &tag, notifier)) continue;
                const UA_NodeId node = v.store->NodeIdOf(*condition);
                ToviUa_DeliverEventTo(v.server, item, &node, &node);
            }
            StampEvent(v.server, v.end);
            ToviUa_DeliverEventTo(v.server, item, &v.end, nullptr);
        },
        &visit);
}

UA_StatusCode UaConditions::Command(const UA_NodeId* sessionId, void* sessionContext, const UA_NodeId* objectId,
                                    AlarmCommandKind kind, size_t inputSize, const UA_Variant* input) {
    (void)sessionId;
    if (objectId->namespaceIndex != m_store.Namespace() || objectId->identifierType != UA_NODEIDTYPE_STRING) {
        return UA_STATUSCODE_BADNODEIDINVALID;
    }
    const std::string itemId = Utf8Of(objectId->identifier.string);
    if (m_store.Find(itemId) == nullptr) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    const std::optional<UaSessionIdentity> identity = UaAccessControl::IdentityOf(sessionContext);
    if (!identity || identity->role != UaRole::ReadWrite) return UA_STATUSCODE_BADUSERACCESSDENIED;
    std::uint64_t number = 0;
    std::wstring comment;
    const bool withEvent = kind == AlarmCommandKind::Acknowledge || kind == AlarmCommandKind::Confirm ||
                           kind == AlarmCommandKind::AddComment;
    if (withEvent) {
        // The stack has checked the count and types against the arguments.
        if (inputSize < 2) return UA_STATUSCODE_BADARGUMENTSMISSING;
        if (!UA_Variant_hasScalarType(&input[0], &UA_TYPES[UA_TYPES_BYTESTRING]) ||
            !UA_Variant_hasScalarType(&input[1], &UA_TYPES[UA_TYPES_LOCALIZEDTEXT])) {
            return UA_STATUSCODE_BADINVALIDARGUMENT;
        }
        const auto* eventId = static_cast<const UA_ByteString*>(input[0].data);
        const auto* text = static_cast<const UA_LocalizedText*>(input[1].data);
        if (text->text.length > kLongestComment) return UA_STATUSCODE_BADINVALIDARGUMENT;
        number = EventNumberOf(*eventId);
        if (number == 0) return UA_STATUSCODE_BADEVENTIDUNKNOWN;
        comment = FromUtf8(Utf8Of(text->text));
    }
    const AlarmCommandResult result =
        m_configuration.AlarmCommand(FromUtf8(itemId), kind, number, comment, identity->user);
    Pump();  // the client sees its event right after the answer
    return StatusOf(result);
}

UA_StatusCode UaConditions::OnMethod(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                                     const UA_NodeId* methodId, void* methodContext, const UA_NodeId* objectId,
                                     void* objectContext, size_t inputSize, const UA_Variant* input, size_t outputSize,
                                     UA_Variant* output) {
    (void)server;
    (void)objectContext;
    (void)outputSize;
    (void)output;
    auto* self = static_cast<UaConditions*>(methodContext);
    if (self == nullptr || methodId->namespaceIndex != 0 || methodId->identifierType != UA_NODEIDTYPE_NUMERIC) {
        return UA_STATUSCODE_BADMETHODINVALID;
    }
    for (const auto& method : kMethods) {
        if (method.id != methodId->identifier.numeric) continue;
        if (method.command >= 0) {
            return self->Command(sessionId, sessionContext, objectId, static_cast<AlarmCommandKind>(method.command),
                                 inputSize, input);
        }
        if (inputSize < static_cast<size_t>(-method.command)) return UA_STATUSCODE_BADARGUMENTSMISSING;
        // IntegerIds, which the stack may have retyped from the UInt32 sent.
        for (size_t i = 0; i < static_cast<size_t>(-method.command); ++i) {
            if (!UA_Variant_isScalar(&input[i]) || input[i].type == nullptr ||
                input[i].type->typeKind != UA_DATATYPEKIND_UINT32) {
                return UA_STATUSCODE_BADINVALIDARGUMENT;
            }
        }
        const UA_UInt32 subscription = *static_cast<const UA_UInt32*>(input[0].data);
        const UA_UInt32 item = method.command == -2 ? *static_cast<const UA_UInt32*>(input[1].data) : 0;
        if (method.command == -2 && item == 0) return UA_STATUSCODE_BADMONITOREDITEMIDINVALID;
        UA_StatusCode result = UA_STATUSCODE_GOOD;
        self->Refresh(*sessionId, subscription, item, result);
        return result;
    }
    return UA_STATUSCODE_BADMETHODINVALID;
}
