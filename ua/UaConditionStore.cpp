// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaConditionStore.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

#include "Text.h"
#include "UaCommon.h"
#include "UaHistoryNodes.h"
#include "UaMapping.h"

namespace {
enum class Field {
    EventId,
    EventType,
    SourceNode,
    SourceName,
    Time,
    ReceiveTime,
    Message,
    Severity,
    ConditionClassId,
    ConditionClassName,
    ConditionName,
    BranchId,
    Retain,
    EnabledState,
    EnabledStateId,
    EnabledStateTransitionTime,
    Quality,
    QualitySourceTimestamp,
    LastSeverity,
    LastSeveritySourceTimestamp,
    Comment,
    CommentSourceTimestamp,
    ClientUserId,
    AckedState,
    AckedStateId,
    AckedStateTransitionTime,
    ConfirmedState,
    ConfirmedStateId,
    ConfirmedStateTransitionTime,
    ActiveState,
    ActiveStateId,
    ActiveStateTransitionTime,
    ActiveStateEffectiveDisplayName,
    InputNode,
    SuppressedOrShelved,
    HighHighLimit,
    HighLimit,
    LowLimit,
    LowLowLimit,
    LimitState,
    LimitStateCurrentState,
    LimitStateCurrentStateId,
    HighHighState,
    HighHighStateId,
    HighState,
    HighStateId,
    LowState,
    LowStateId,
    LowLowState,
    LowLowStateId,
    NormalState,
    NormalValue,
};

// Which conditions have a field.
enum Presence : unsigned {
    kAll = 0,
    kLimits = 1,        // limit alarms
    kExclusive = 2,     // exclusive limit alarms
    kNonExclusive = 4,  // non-exclusive limit alarms
    kOffNormal = 8,
    kHidden = 16,  // no reference leads to it (the normal value the NormalState names)
};

struct FieldRow {
    Field field;
    const char* path;  // below the condition, '/' between names
    int parent;        // index of the parent row, -1: the condition
    UA_UInt32 reference;
    UA_UInt32 typeDefinition;
    UA_UInt32 dataType;  // 0: an object
    unsigned presence;
    std::optional<double> AlarmSettings::*limit = nullptr;  // present only when this limit is set
};

using S = AlarmSettings;
constexpr UA_UInt32 kProp = UA_NS0ID_HASPROPERTY, kComp = UA_NS0ID_HASCOMPONENT;
constexpr UA_UInt32 kPropType = UA_NS0ID_PROPERTYTYPE, kTwoState = UA_NS0ID_TWOSTATEVARIABLETYPE,
                    kCondVar = UA_NS0ID_CONDITIONVARIABLETYPE;

// Parents before their children. The indexes in `parent` count from 0.
const FieldRow kFields[] = {
    /* 0*/ {Field::EventId, "EventId", -1, kProp, kPropType, UA_NS0ID_BYTESTRING, kAll},
    /* 1*/ {Field::EventType, "EventType", -1, kProp, kPropType, UA_NS0ID_NODEID, kAll},
    /* 2*/ {Field::SourceNode, "SourceNode", -1, kProp, kPropType, UA_NS0ID_NODEID, kAll},
    /* 3*/ {Field::SourceName, "SourceName", -1, kProp, kPropType, UA_NS0ID_STRING, kAll},
    /* 4*/ {Field::Time, "Time", -1, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /* 5*/ {Field::ReceiveTime, "ReceiveTime", -1, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /* 6*/ {Field::Message, "Message", -1, kProp, kPropType, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /* 7*/ {Field::Severity, "Severity", -1, kProp, kPropType, UA_NS0ID_UINT16, kAll},
    /* 8*/ {Field::ConditionClassId, "ConditionClassId", -1, kProp, kPropType, UA_NS0ID_NODEID, kAll},
    /* 9*/ {Field::ConditionClassName, "ConditionClassName", -1, kProp, kPropType, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*10*/ {Field::ConditionName, "ConditionName", -1, kProp, kPropType, UA_NS0ID_STRING, kAll},
    /*11*/ {Field::BranchId, "BranchId", -1, kProp, kPropType, UA_NS0ID_NODEID, kAll},
    /*12*/ {Field::Retain, "Retain", -1, kProp, kPropType, UA_NS0ID_BOOLEAN, kAll},
    /*13*/ {Field::EnabledState, "EnabledState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*14*/ {Field::EnabledStateId, "EnabledState/Id", 13, kProp, kPropType, UA_NS0ID_BOOLEAN, kAll},
    /*15*/
    {Field::EnabledStateTransitionTime, "EnabledState/TransitionTime", 13, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /*16*/ {Field::Quality, "Quality", -1, kComp, kCondVar, UA_NS0ID_STATUSCODE, kAll},
    /*17*/ {Field::QualitySourceTimestamp, "Quality/SourceTimestamp", 16, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /*18*/ {Field::LastSeverity, "LastSeverity", -1, kComp, kCondVar, UA_NS0ID_UINT16, kAll},
    /*19*/
    {Field::LastSeveritySourceTimestamp, "LastSeverity/SourceTimestamp", 18, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /*20*/ {Field::Comment, "Comment", -1, kComp, kCondVar, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*21*/ {Field::CommentSourceTimestamp, "Comment/SourceTimestamp", 20, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /*22*/ {Field::ClientUserId, "ClientUserId", -1, kProp, kPropType, UA_NS0ID_STRING, kAll},
    /*23*/ {Field::AckedState, "AckedState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*24*/ {Field::AckedStateId, "AckedState/Id", 23, kProp, kPropType, UA_NS0ID_BOOLEAN, kAll},
    /*25*/ {Field::AckedStateTransitionTime, "AckedState/TransitionTime", 23, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /*26*/ {Field::ConfirmedState, "ConfirmedState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*27*/ {Field::ConfirmedStateId, "ConfirmedState/Id", 26, kProp, kPropType, UA_NS0ID_BOOLEAN, kAll},
    /*28*/
    {Field::ConfirmedStateTransitionTime, "ConfirmedState/TransitionTime", 26, kProp, kPropType, UA_NS0ID_UTCTIME,
     kAll},
    /*29*/ {Field::ActiveState, "ActiveState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*30*/ {Field::ActiveStateId, "ActiveState/Id", 29, kProp, kPropType, UA_NS0ID_BOOLEAN, kAll},
    /*31*/
    {Field::ActiveStateTransitionTime, "ActiveState/TransitionTime", 29, kProp, kPropType, UA_NS0ID_UTCTIME, kAll},
    /*32*/
    {Field::ActiveStateEffectiveDisplayName, "ActiveState/EffectiveDisplayName", 29, kProp, kPropType,
     UA_NS0ID_LOCALIZEDTEXT, kAll},
    /*33*/ {Field::InputNode, "InputNode", -1, kProp, kPropType, UA_NS0ID_NODEID, kAll},
    /*34*/ {Field::SuppressedOrShelved, "SuppressedOrShelved", -1, kProp, kPropType, UA_NS0ID_BOOLEAN, kAll},
    /*35*/ {Field::HighHighLimit, "HighHighLimit", -1, kProp, kPropType, UA_NS0ID_DOUBLE, kLimits, &S::highHigh},
    /*36*/ {Field::HighLimit, "HighLimit", -1, kProp, kPropType, UA_NS0ID_DOUBLE, kLimits, &S::high},
    /*37*/ {Field::LowLimit, "LowLimit", -1, kProp, kPropType, UA_NS0ID_DOUBLE, kLimits, &S::low},
    /*38*/ {Field::LowLowLimit, "LowLowLimit", -1, kProp, kPropType, UA_NS0ID_DOUBLE, kLimits, &S::lowLow},
    /*39*/ {Field::LimitState, "LimitState", -1, kComp, UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, 0, kExclusive},
    /*40*/
    {Field::LimitStateCurrentState, "LimitState/CurrentState", 39, kComp, UA_NS0ID_FINITESTATEVARIABLETYPE,
     UA_NS0ID_LOCALIZEDTEXT, kExclusive},
    /*41*/
    {Field::LimitStateCurrentStateId, "LimitState/CurrentState/Id", 40, kProp, kPropType, UA_NS0ID_NODEID, kExclusive},
    /*42*/
    {Field::HighHighState, "HighHighState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kNonExclusive, &S::highHigh},
    /*43*/
    {Field::HighHighStateId, "HighHighState/Id", 42, kProp, kPropType, UA_NS0ID_BOOLEAN, kNonExclusive, &S::highHigh},
    /*44*/ {Field::HighState, "HighState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kNonExclusive, &S::high},
    /*45*/ {Field::HighStateId, "HighState/Id", 44, kProp, kPropType, UA_NS0ID_BOOLEAN, kNonExclusive, &S::high},
    /*46*/ {Field::LowState, "LowState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kNonExclusive, &S::low},
    /*47*/ {Field::LowStateId, "LowState/Id", 46, kProp, kPropType, UA_NS0ID_BOOLEAN, kNonExclusive, &S::low},
    /*48*/ {Field::LowLowState, "LowLowState", -1, kComp, kTwoState, UA_NS0ID_LOCALIZEDTEXT, kNonExclusive, &S::lowLow},
    /*49*/ {Field::LowLowStateId, "LowLowState/Id", 48, kProp, kPropType, UA_NS0ID_BOOLEAN, kNonExclusive, &S::lowLow},
    /*50*/ {Field::NormalState, "NormalState", -1, kProp, kPropType, UA_NS0ID_NODEID, kOffNormal},
    /*51*/
    {Field::NormalValue, "NormalValue", -1, kProp, UA_NS0ID_BASEDATAVARIABLETYPE, UA_NS0ID_BASEDATATYPE,
     kOffNormal | kHidden},
};
constexpr int kFieldCount = static_cast<int>(std::size(kFields));

// The methods a condition answers, as components of it: a client may call
// them on the condition with the type's method NodeId.
constexpr struct {
    UA_UInt32 id;
    const char* name;
} kMethods[] = {
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKNOWLEDGE, "Acknowledge"},
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRM, "Confirm"},
    {UA_NS0ID_CONDITIONTYPE_ADDCOMMENT, "AddComment"},
    {UA_NS0ID_CONDITIONTYPE_ENABLE, "Enable"},
    {UA_NS0ID_CONDITIONTYPE_DISABLE, "Disable"},
};

bool Present(const FieldRow& row, const UaCondition& condition) {
    const AlarmKind kind = condition.latest.settings.kind;
    const bool limitKind = kind == AlarmKind::ExclusiveLimit || kind == AlarmKind::NonExclusiveLimit;
    if ((row.presence & kLimits) && !limitKind) return false;
    if ((row.presence & kExclusive) && kind != AlarmKind::ExclusiveLimit) return false;
    if ((row.presence & kNonExclusive) && kind != AlarmKind::NonExclusiveLimit) return false;
    if ((row.presence & kOffNormal) && kind != AlarmKind::OffNormal) return false;
    if (row.limit != nullptr && !(condition.latest.settings.*row.limit).has_value()) return false;
    return true;
}

std::string_view LastName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? std::string_view(slash + 1) : std::string_view(path);
}

UA_DateTime ToDateTime(const FILETIME& time) {
    // Both count 100 ns; a FILETIME starts in 1601, as UA_DateTime does.
    return static_cast<UA_DateTime>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

void SetText(UA_Variant& out, std::string_view text) {
    UA_LocalizedText value;
    value.locale = UA_STRING(const_cast<char*>(""));
    value.text = BorrowedString(text);
    UA_Variant_setScalarCopy(&out, &value, &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]);
}

template <typename T>
void SetScalar(UA_Variant& out, T value, int type) {
    UA_Variant_setScalarCopy(&out, &value, &UA_TYPES[type]);
}

void SetNodeId(UA_Variant& out, const UA_NodeId& id) {
    UA_Variant_setScalarCopy(&out, &id, &UA_TYPES[UA_TYPES_NODEID]);
}

std::string StateText(const AlarmConditionState& state) {
    return ToUtf8(AlarmStateName(state.kind, state.limits, state.active));
}

UA_UInt32 LimitStateId(unsigned limits) {
    if (limits & kLimitHighHigh) return UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_HIGHHIGH;
    if (limits & kLimitHigh) return UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_HIGH;
    if (limits & kLimitLowLow) return UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_LOWLOW;
    if (limits & kLimitLow) return UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_LOW;
    return 0;
}

// The value of a field as the condition's latest event has it.
void Value(Field field, const UaCondition& c, UA_UInt16 ns, UA_UInt16 tagNs, UA_Variant& out) {
    const AlarmConditionState& s = c.latest.state;
    const AlarmSettings& settings = c.latest.settings;
    const UA_NodeId tag = StringNodeId(tagNs, c.itemId);
    auto limitState = [&](unsigned bit) { return (s.limits & bit) != 0; };
    switch (field) {
    case Field::EventId: UA_Variant_setScalarCopy(&out, &c.eventId, &UA_TYPES[UA_TYPES_BYTESTRING]); break;
    case Field::EventType: SetNodeId(out, UA_NODEID_NUMERIC(0, UaConditionStore::TypeOf(settings.kind))); break;
    case Field::SourceNode:
    case Field::InputNode: SetNodeId(out, tag); break;
    case Field::SourceName: {
        const UA_String name = BorrowedString(c.itemId);
        UA_Variant_setScalarCopy(&out, &name, &UA_TYPES[UA_TYPES_STRING]);
        break;
    }
    case Field::Time: SetScalar(out, ToDateTime(c.latest.time), UA_TYPES_DATETIME); break;
    case Field::ReceiveTime: SetScalar(out, c.receiveTime, UA_TYPES_DATETIME); break;
    case Field::Message: SetText(out, c.message); break;
    case Field::Severity: SetScalar<UA_UInt16>(out, s.severity, UA_TYPES_UINT16); break;
    case Field::ConditionClassId: SetNodeId(out, UA_NODEID_NUMERIC(0, UA_NS0ID_PROCESSCONDITIONCLASSTYPE)); break;
    case Field::ConditionClassName: SetText(out, "Process"); break;
    case Field::ConditionName: {
        const UA_String name = UA_STRING(const_cast<char*>("Alarm"));
        UA_Variant_setScalarCopy(&out, &name, &UA_TYPES[UA_TYPES_STRING]);
        break;
    }
    case Field::BranchId: SetNodeId(out, UA_NODEID_NULL); break;
    case Field::Retain: SetScalar<UA_Boolean>(out, s.retain, UA_TYPES_BOOLEAN); break;
    case Field::EnabledState: SetText(out, s.enabled ? "Enabled" : "Disabled"); break;
    case Field::EnabledStateId: SetScalar<UA_Boolean>(out, s.enabled, UA_TYPES_BOOLEAN); break;
    case Field::EnabledStateTransitionTime: SetScalar(out, ToDateTime(s.enabledTime), UA_TYPES_DATETIME); break;
    case Field::Quality: SetScalar<UA_StatusCode>(out, StatusOfQuality(s.quality), UA_TYPES_STATUSCODE); break;
    case Field::QualitySourceTimestamp: SetScalar(out, ToDateTime(s.sourceTime), UA_TYPES_DATETIME); break;
    case Field::LastSeverity: SetScalar<UA_UInt16>(out, s.lastSeverity, UA_TYPES_UINT16); break;
    case Field::LastSeveritySourceTimestamp: SetScalar(out, ToDateTime(c.latest.time), UA_TYPES_DATETIME); break;
    case Field::Comment: SetText(out, c.comment); break;
    case Field::CommentSourceTimestamp: SetScalar(out, ToDateTime(s.commentTime), UA_TYPES_DATETIME); break;
    case Field::ClientUserId: {
        const UA_String user = BorrowedString(c.user);
        UA_Variant_setScalarCopy(&out, &user, &UA_TYPES[UA_TYPES_STRING]);
        break;
    }
    case Field::AckedState: SetText(out, s.acked ? "Acknowledged" : "Unacknowledged"); break;
    case Field::AckedStateId: SetScalar<UA_Boolean>(out, s.acked, UA_TYPES_BOOLEAN); break;
    case Field::AckedStateTransitionTime: SetScalar(out, ToDateTime(s.ackedTime), UA_TYPES_DATETIME); break;
    case Field::ConfirmedState: SetText(out, s.confirmed ? "Confirmed" : "Unconfirmed"); break;
    case Field::ConfirmedStateId: SetScalar<UA_Boolean>(out, s.confirmed, UA_TYPES_BOOLEAN); break;
    case Field::ConfirmedStateTransitionTime: SetScalar(out, ToDateTime(s.confirmedTime), UA_TYPES_DATETIME); break;
    case Field::ActiveState: SetText(out, s.active ? "Active" : "Inactive"); break;
    case Field::ActiveStateId: SetScalar<UA_Boolean>(out, s.active, UA_TYPES_BOOLEAN); break;
    case Field::ActiveStateTransitionTime: SetScalar(out, ToDateTime(s.activeTime), UA_TYPES_DATETIME); break;
    case Field::ActiveStateEffectiveDisplayName:
        SetText(out, s.active ? "Active " + StateText(s) : std::string("Inactive"));
        break;
    case Field::SuppressedOrShelved: SetScalar<UA_Boolean>(out, false, UA_TYPES_BOOLEAN); break;
    case Field::HighHighLimit: SetScalar(out, settings.highHigh.value_or(0), UA_TYPES_DOUBLE); break;
    case Field::HighLimit: SetScalar(out, settings.high.value_or(0), UA_TYPES_DOUBLE); break;
    case Field::LowLimit: SetScalar(out, settings.low.value_or(0), UA_TYPES_DOUBLE); break;
    case Field::LowLowLimit: SetScalar(out, settings.lowLow.value_or(0), UA_TYPES_DOUBLE); break;
    case Field::LimitState: break;
    case Field::LimitStateCurrentState: SetText(out, s.active ? StateText(s) : std::string()); break;
    case Field::LimitStateCurrentStateId: {
        const UA_UInt32 id = s.active ? LimitStateId(s.limits) : 0;
        SetNodeId(out, id ? UA_NODEID_NUMERIC(0, id) : UA_NODEID_NULL);
        break;
    }
    case Field::HighHighState: SetText(out, limitState(kLimitHighHigh) ? "HighHigh" : ""); break;
    case Field::HighHighStateId: SetScalar<UA_Boolean>(out, limitState(kLimitHighHigh), UA_TYPES_BOOLEAN); break;
    case Field::HighState: SetText(out, limitState(kLimitHigh) ? "High" : ""); break;
    case Field::HighStateId: SetScalar<UA_Boolean>(out, limitState(kLimitHigh), UA_TYPES_BOOLEAN); break;
    case Field::LowState: SetText(out, limitState(kLimitLow) ? "Low" : ""); break;
    case Field::LowStateId: SetScalar<UA_Boolean>(out, limitState(kLimitLow), UA_TYPES_BOOLEAN); break;
    case Field::LowLowState: SetText(out, limitState(kLimitLowLow) ? "LowLow" : ""); break;
    case Field::LowLowStateId: SetScalar<UA_Boolean>(out, limitState(kLimitLowLow), UA_TYPES_BOOLEAN); break;
    case Field::NormalState: {
        const std::string id = c.itemId + "/NormalValue";
        SetNodeId(out, StringNodeId(ns, id));  // copied before `id` goes
        break;
    }
    case Field::NormalValue: ToUaVariant(settings.normalValue.Ref(), out); break;
    }
}

// Splits "ITEM/PATH" into the condition and the field's row; row -1: the
// condition itself. Item IDs may hold '/': each split is tried.
struct Target {
    UaCondition* condition = nullptr;
    int row = -1;
};
}  // namespace

UA_UInt32 UaConditionStore::TypeOf(AlarmKind kind) noexcept {
    switch (kind) {
    case AlarmKind::ExclusiveLimit: return UA_NS0ID_EXCLUSIVELIMITALARMTYPE;
    case AlarmKind::NonExclusiveLimit: return UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE;
    case AlarmKind::OffNormal: return UA_NS0ID_OFFNORMALALARMTYPE;
    case AlarmKind::None: break;
    }
    return UA_NS0ID_ALARMCONDITIONTYPE;
}

void UaConditionStore::Install(UA_ServerConfig& config) {
    m_inner = config.nodestore;
    UA_Nodestore& ns = config.nodestore;
    ns.context = this;
    ns.clear = &Clear;
    ns.newNode = &NewNode;
    ns.deleteNode = &DeleteNode;
    ns.getNode = &GetNode;
    ns.getNodeFromPtr = &GetNodeFromPtr;
    ns.releaseNode = &ReleaseNode;
    ns.getNodeCopy = &GetNodeCopy;
    ns.insertNode = &InsertNode;
    ns.replaceNode = &ReplaceNode;
    ns.removeNode = &RemoveNode;
    ns.getReferenceTypeId = &GetReferenceTypeId;
    ns.iterate = &Iterate;
}

UaCondition* UaConditionStore::Find(const std::string& itemId) {
    auto found = m_conditions.find(itemId);
    return found == m_conditions.end() ? nullptr : found->second.get();
}

UaCondition& UaConditionStore::Add(const std::string& itemId) {
    auto& slot = m_conditions[itemId];
    if (!slot) {
        slot = std::make_unique<UaCondition>();
        slot->itemId = itemId;
        ++m_shape;
    }
    return *slot;
}

void UaConditionStore::Remove(const std::string& itemId) {
    if (m_conditions.erase(itemId) != 0) ++m_shape;
}

UA_NodeId UaConditionStore::NodeIdOf(const UaCondition& condition) const {
    return StringNodeId(m_namespace, condition.itemId);
}

UA_NodeId UaConditionStore::TagNodeIdOf(const UaCondition& condition, UA_UInt16 tagNamespace) const {
    return StringNodeId(tagNamespace, condition.itemId);
}

int UaConditionStore::ReferenceIndexOf(UA_UInt32 type) {
    const UA_NodeId id = UA_NODEID_NUMERIC(0, type);
    const UA_Node* node = m_inner.getNode(m_inner.context, &id, UA_NODEATTRIBUTESMASK_NONE, UA_REFERENCETYPESET_NONE,
                                          UA_BROWSEDIRECTION_INVALID);
    if (node == nullptr) return -1;
    const int index =
        node->head.nodeClass == UA_NODECLASS_REFERENCETYPE ? node->referenceTypeNode.referenceTypeIndex : -1;
    m_inner.releaseNode(m_inner.context, node);
    return index;
}

UA_Byte UaConditionStore::HasConditionIndex() {
    if (m_hasCondition < 0) m_hasCondition = ReferenceIndexOf(UA_NS0ID_HASCONDITION);
    // Not added yet: a harmless stand-in.
    return m_hasCondition < 0 ? UA_REFERENCETYPEINDEX_HASCOMPONENT : static_cast<UA_Byte>(m_hasCondition);
}

int UaConditionStore::HistoryConfigurationIndex() {
    if (m_hasHistory < 0) m_hasHistory = ReferenceIndexOf(UA_NS0ID_HASHISTORICALCONFIGURATION);
    return m_hasHistory;
}

namespace {
UA_Byte IndexOfReference(UA_UInt32 reference) {
    switch (reference) {
    case UA_NS0ID_HASPROPERTY: return UA_REFERENCETYPEINDEX_HASPROPERTY;
    case UA_NS0ID_HASCOMPONENT: return UA_REFERENCETYPEINDEX_HASCOMPONENT;
    default: return UA_REFERENCETYPEINDEX_HASTYPEDEFINITION;
    }
}

void AddReference(UA_Node* node, UA_Byte index, bool forward, const UA_NodeId& target, std::string_view name,
                  UA_UInt16 nameNs) {
    UA_QualifiedName browseName;
    browseName.namespaceIndex = nameNs;
    browseName.name = BorrowedString(name);
    const UA_ExpandedNodeId expanded = {target, UA_STRING_NULL, 0};
    UA_Node_addReference(node, index, forward, &expanded, UA_QualifiedName_hash(&browseName));
}
}  // namespace

namespace {
// Enough for a refresh's worth of nodes to stay made between its monitored items.
constexpr size_t kMostCachedNodes = 65536;
}  // namespace

const UA_Node* UaConditionStore::Get(const UA_NodeId& nodeId) {
    if (nodeId.identifierType != UA_NODEIDTYPE_STRING) return nullptr;
    std::string key(reinterpret_cast<const char*>(nodeId.identifier.string.data), nodeId.identifier.string.length);
    auto hit = m_cache.find(key);
    if (hit != m_cache.end()) {
        if (hit->second->generation == m_generation) {
            ++hit->second->holds;
            return hit->second->node;
        }
        Uncache(hit);
    }
    UA_Node* node = Make(nodeId);
    if (node == nullptr) return nullptr;
    if (m_cache.size() >= kMostCachedNodes) {
        while (!m_cache.empty()) Uncache(m_cache.begin());
    }
    auto made = std::make_unique<Made>();
    made->node = node;
    made->generation = m_generation;
    made->holds = 1;
    m_cache.emplace(std::move(key), made.get());
    m_made.emplace(node, std::move(made));
    return node;
}

void UaConditionStore::Uncache(std::unordered_map<std::string, Made*>::iterator entry) {
    Made* made = entry->second;
    m_cache.erase(entry);
    made->cached = false;
    if (made->holds == 0) {
        m_inner.deleteNode(m_inner.context, made->node);
        m_made.erase(made->node);
    }
}

void UaConditionStore::Release(const UA_Node* node) {
    auto found = m_made.find(node);
    if (found == m_made.end()) return;
    Made& made = *found->second;
    if (--made.holds == 0 && !made.cached) {
        // A made node was never inserted: it goes as a node that failed to insert does.
        m_inner.deleteNode(m_inner.context, made.node);
        m_made.erase(found);
    }
}

UA_Node* UaConditionStore::Make(const UA_NodeId& nodeId) {
    if (nodeId.identifierType != UA_NODEIDTYPE_STRING) return nullptr;
    const std::string id(reinterpret_cast<const char*>(nodeId.identifier.string.data), nodeId.identifier.string.length);
    Target target;
    if (UaCondition* whole = Find(id)) {
        target.condition = whole;
    } else {
        for (size_t slash = id.find('/'); slash != std::string::npos && !target.condition;
             slash = id.find('/', slash + 1)) {
            UaCondition* condition = Find(id.substr(0, slash));
            if (condition == nullptr) continue;
            const std::string_view path(id.c_str() + slash + 1);
            for (int row = 0; row < kFieldCount; ++row) {
                if (path == kFields[row].path && Present(kFields[row], *condition)) {
                    target = {condition, row};
                    break;
                }
            }
        }
    }
    if (target.condition == nullptr) return nullptr;
    const UaCondition& c = *target.condition;
    const FieldRow* row = target.row >= 0 ? &kFields[target.row] : nullptr;
    const bool object = row == nullptr || row->dataType == 0;
    UA_Node* node = m_inner.newNode(m_inner.context, object ? UA_NODECLASS_OBJECT : UA_NODECLASS_VARIABLE);
    if (node == nullptr) return nullptr;
    UA_NodeId_copy(&nodeId, &node->head.nodeId);
    const std::string name = row ? std::string(LastName(row->path)) : std::string("Alarm");
    const UA_UInt16 nameNs = row ? 0 : m_namespace;
    node->head.browseName.namespaceIndex = nameNs;
    const UA_String browseName = BorrowedString(name);
    UA_String_copy(&browseName, &node->head.browseName.name);
    const std::string display = row ? name : c.itemId + " Alarm";
    const UA_LocalizedText displayName = BorrowedLocalizedText(display);
    if (object) {
        UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
        attributes.displayName = displayName;
        UA_Node_setAttributes(node, &attributes, &UA_TYPES[UA_TYPES_OBJECTATTRIBUTES]);
    } else {
        UA_VariableAttributes attributes = UA_VariableAttributes_default;
        attributes.displayName = displayName;
        attributes.dataType = UA_NODEID_NUMERIC(0, row->dataType);
        attributes.valueRank = UA_VALUERANK_SCALAR;
        attributes.accessLevel = UA_ACCESSLEVELMASK_READ;
        // Sampled, not reported on writes: nothing writes these nodes.
        attributes.minimumSamplingInterval = 100;
        Value(row->field, c, m_namespace, m_tagNamespace, attributes.value);
        if (row->field == Field::NormalValue && attributes.value.type != nullptr) {
            attributes.dataType = attributes.value.type->typeId;
        }
        UA_Node_setAttributes(node, &attributes, &UA_TYPES[UA_TYPES_VARIABLEATTRIBUTES]);
        UA_Variant_clear(&attributes.value);
    }
    const UA_NodeId conditionId = NodeIdOf(c);

    // The type, then the parent, then the children.
    const UA_UInt32 typeDefinition = row ? row->typeDefinition : TypeOf(c.latest.settings.kind);
    AddReference(node, UA_REFERENCETYPEINDEX_HASTYPEDEFINITION, true, UA_NODEID_NUMERIC(0, typeDefinition), "", 0);
    if (row == nullptr) {
        AddReference(node, HasConditionIndex(), false, TagNodeIdOf(c, m_tagNamespace), c.itemId, m_tagNamespace);
        for (const auto& method : kMethods) {
            AddReference(node, UA_REFERENCETYPEINDEX_HASCOMPONENT, true, UA_NODEID_NUMERIC(0, method.id), method.name,
                         0);
        }
    } else if (!(row->presence & kHidden)) {
        if (row->parent < 0) {
            AddReference(node, IndexOfReference(row->reference), false, conditionId, "Alarm", m_namespace);
        } else {
            const std::string parentId = c.itemId + "/" + kFields[row->parent].path;
            AddReference(node, IndexOfReference(row->reference), false, StringNodeId(m_namespace, parentId),
                         LastName(kFields[row->parent].path), 0);
        }
    }
    for (int child = 0; child < kFieldCount; ++child) {
        const FieldRow& candidate = kFields[child];
        if (candidate.parent != target.row || (candidate.presence & kHidden) || !Present(candidate, c)) continue;
        const std::string childId = c.itemId + "/" + candidate.path;
        AddReference(node, IndexOfReference(candidate.reference), true, StringNodeId(m_namespace, childId),
                     LastName(candidate.path), 0);
    }

    return node;
}

namespace {
// The item ID above `itemId`, or empty at the top (a device).
std::string_view ParentOf(std::string_view itemId) {
    const size_t dot = itemId.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : itemId.substr(0, dot);
}

std::string_view TailOf(std::string_view itemId) {
    const size_t dot = itemId.rfind('.');
    return dot == std::string_view::npos ? itemId : itemId.substr(dot + 1);
}

bool Wanted(const UA_ReferenceTypeSet& references, UA_BrowseDirection directions, UA_Byte index, bool forward) {
    if (!UA_ReferenceTypeSet_contains(&references, index)) return false;
    return forward ? directions != UA_BROWSEDIRECTION_INVERSE : directions != UA_BROWSEDIRECTION_FORWARD;
}

// A shallow copy of a node takes exactly its class's size: the store holds no more.
size_t SizeOf(UA_NodeClass nodeClass) {
    switch (nodeClass) {
    case UA_NODECLASS_OBJECT: return sizeof(UA_ObjectNode);
    case UA_NODECLASS_VARIABLE: return sizeof(UA_VariableNode);
    case UA_NODECLASS_METHOD: return sizeof(UA_MethodNode);
    case UA_NODECLASS_OBJECTTYPE: return sizeof(UA_ObjectTypeNode);
    case UA_NODECLASS_VARIABLETYPE: return sizeof(UA_VariableTypeNode);
    case UA_NODECLASS_REFERENCETYPE: return sizeof(UA_ReferenceTypeNode);
    case UA_NODECLASS_DATATYPE: return sizeof(UA_DataTypeNode);
    case UA_NODECLASS_VIEW: return sizeof(UA_ViewNode);
    default: return 0;
    }
}

struct Link {
    UA_Byte index;
    bool forward;
    UA_NodeId target;  // borrows its string
    std::string_view name;
    UA_UInt16 nameNs;
};
}  // namespace

const UaConditionStore::FolderLinks* UaConditionStore::FolderLinksOf(const std::string& folder) {
    if (m_foldersShape != m_shape) {
        m_folders.clear();
        for (const auto& [id, condition] : m_conditions) {
            std::string_view child = ParentOf(id);
            if (child.empty()) continue;
            m_folders[std::string(child)].sources.push_back(condition.get());
            // Each folder above lists the one below it once.
            for (;;) {
                const std::string_view parent = ParentOf(child);
                std::vector<std::string>& folders = m_folders[std::string(parent)].folders;
                if (std::find(folders.begin(), folders.end(), child) != folders.end()) break;
                folders.emplace_back(child);
                if (parent.empty()) break;
                child = parent;
            }
        }
        m_foldersShape = m_shape;
    }
    const auto found = m_folders.find(folder);
    return found == m_folders.end() ? nullptr : &found->second;
}

const UA_Node* UaConditionStore::WithLinks(const UA_Node* inner, UA_ReferenceTypeSet references,
                                           UA_BrowseDirection directions) {
    const UA_NodeId& id = inner->head.nodeId;
    // The links borrow their targets' strings: this one lives to the end.
    std::string itemId;
    std::vector<Link> links;
    auto add = [&](UA_Byte index, bool forward, UA_UInt16 ns, std::string_view target, std::string_view name) {
        if (!Wanted(references, directions, index, forward)) return;
        UA_NodeId node;
        node.namespaceIndex = ns;
        node.identifierType = UA_NODEIDTYPE_STRING;
        node.identifier.string = BorrowedString(target);
        links.push_back({index, forward, node, name, m_tagNamespace});
    };
    if (id.namespaceIndex == 0 && id.identifierType == UA_NODEIDTYPE_NUMERIC &&
        id.identifier.numeric == UA_NS0ID_SERVER) {
        if (const FolderLinks* top = FolderLinksOf(std::string())) {
            for (const std::string& device : top->folders) {
                add(UA_REFERENCETYPEINDEX_HASNOTIFIER, true, m_tagNamespace, device, device);
            }
        }
    } else if (id.namespaceIndex == m_tagNamespace && id.identifierType == UA_NODEIDTYPE_STRING) {
        itemId.assign(reinterpret_cast<const char*>(id.identifier.string.data), id.identifier.string.length);
        const std::string_view parent = ParentOf(itemId);
        const int history = m_historyLinks ? HistoryConfigurationIndex() : -1;
        if (history >= 0 && Wanted(references, directions, static_cast<UA_Byte>(history), true)) {
            if (const std::optional<UA_NodeId> configuration = m_historyLinks(itemId)) {
                links.push_back({static_cast<UA_Byte>(history), true, *configuration, kHistoryConfigurationName, 0});
            }
        }
        if (UaCondition* condition = Find(itemId)) {
            if (Wanted(references, directions, HasConditionIndex(), true)) {
                links.push_back({HasConditionIndex(), true, NodeIdOf(*condition), "Alarm", m_namespace});
            }
            if (!parent.empty())
                add(UA_REFERENCETYPEINDEX_HASEVENTSOURCE, false, m_tagNamespace, parent, TailOf(parent));
        }
        if (const FolderLinks* folder = itemId.empty() ? nullptr : FolderLinksOf(itemId)) {
            for (const UaCondition* source : folder->sources) {
                add(UA_REFERENCETYPEINDEX_HASEVENTSOURCE, true, m_tagNamespace, source->itemId, TailOf(source->itemId));
            }
            for (const std::string& child : folder->folders) {
                add(UA_REFERENCETYPEINDEX_HASNOTIFIER, true, m_tagNamespace, child, TailOf(child));
            }
            if (!parent.empty()) {
                add(UA_REFERENCETYPEINDEX_HASNOTIFIER, false, m_tagNamespace, parent, TailOf(parent));
            } else if (Wanted(references, directions, UA_REFERENCETYPEINDEX_HASNOTIFIER, false)) {
                links.push_back(
                    {UA_REFERENCETYPEINDEX_HASNOTIFIER, false, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER), "Server", 0});
            }
        }
    }
    const size_t size = SizeOf(inner->head.nodeClass);
    if (links.empty() || size == 0) return inner;

    // The copy takes only the references asked for: a folder of many tags is
    // not copied whole for the few it leads to.
    alignas(UA_Node) unsigned char shallowBytes[sizeof(UA_Node)];
    std::memcpy(shallowBytes, inner, size);
    auto* shallow = reinterpret_cast<UA_Node*>(shallowBytes);
    std::vector<UA_NodeReferenceKind> kept;
    for (size_t i = 0; i < inner->head.referencesSize; ++i) {
        const UA_NodeReferenceKind& kind = inner->head.references[i];
        if (Wanted(references, directions, kind.referenceTypeIndex, !kind.isInverse)) kept.push_back(kind);
    }
    shallow->head.references = kept.data();
    shallow->head.referencesSize = kept.size();
    UA_Node* copy = m_inner.newNode(m_inner.context, inner->head.nodeClass);
    if (copy == nullptr) return inner;
    if (UA_Node_copy(shallow, copy) != UA_STATUSCODE_GOOD) {
        m_inner.deleteNode(m_inner.context, copy);
        return inner;
    }
    for (const Link& link : links) AddReference(copy, link.index, link.forward, link.target, link.name, link.nameNs);
    m_inner.releaseNode(m_inner.context, inner);
    m_linked.insert(copy);
    return copy;
}

void UaConditionStore::Clear(void* context) {
    auto* self = static_cast<UaConditionStore*>(context);
    for (const UA_Node* node : self->m_linked)
        self->m_inner.deleteNode(self->m_inner.context, const_cast<UA_Node*>(node));
    self->m_linked.clear();
    for (auto& [node, made] : self->m_made) self->m_inner.deleteNode(self->m_inner.context, made->node);
    self->m_made.clear();
    self->m_cache.clear();
    if (self->m_inner.clear) self->m_inner.clear(self->m_inner.context);
}

UA_Node* UaConditionStore::NewNode(void* context, UA_NodeClass nodeClass) {
    auto* self = static_cast<UaConditionStore*>(context);
    return self->m_inner.newNode(self->m_inner.context, nodeClass);
}

void UaConditionStore::DeleteNode(void* context, UA_Node* node) {
    auto* self = static_cast<UaConditionStore*>(context);
    self->m_inner.deleteNode(self->m_inner.context, node);
}

const UA_Node* UaConditionStore::GetNode(void* context, const UA_NodeId* nodeId, UA_UInt32 attributes,
                                         UA_ReferenceTypeSet references, UA_BrowseDirection directions) {
    auto* self = static_cast<UaConditionStore*>(context);
    if (self->Ours(*nodeId)) return self->Get(*nodeId);
    const UA_Node* node = self->m_inner.getNode(self->m_inner.context, nodeId, attributes, references, directions);
    return node != nullptr && self->MayLink(references) ? self->WithLinks(node, references, directions) : node;
}

const UA_Node* UaConditionStore::GetNodeFromPtr(void* context, UA_NodePointer pointer, UA_UInt32 attributes,
                                                UA_ReferenceTypeSet references, UA_BrowseDirection directions) {
    auto* self = static_cast<UaConditionStore*>(context);
    if (UA_NodePointer_isLocal(pointer)) {
        const UA_NodeId id = UA_NodePointer_toNodeId(pointer);
        if (self->Ours(id)) return self->Get(id);
    }
    const UA_Node* node =
        self->m_inner.getNodeFromPtr(self->m_inner.context, pointer, attributes, references, directions);
    return node != nullptr && self->MayLink(references) ? self->WithLinks(node, references, directions) : node;
}

void UaConditionStore::ReleaseNode(void* context, const UA_Node* node) {
    if (node == nullptr) return;
    auto* self = static_cast<UaConditionStore*>(context);
    if (self->Ours(node->head.nodeId)) {
        self->Release(node);
    } else if (!self->m_linked.empty() && self->m_linked.erase(node) != 0) {
        self->m_inner.deleteNode(self->m_inner.context, const_cast<UA_Node*>(node));
    } else {
        self->m_inner.releaseNode(self->m_inner.context, node);
    }
}

UA_StatusCode UaConditionStore::GetNodeCopy(void* context, const UA_NodeId* nodeId, UA_Node** out) {
    auto* self = static_cast<UaConditionStore*>(context);
    if (self->Ours(*nodeId)) {
        UA_Node* node = self->Make(*nodeId);  // the caller's own, to edit and insert or delete
        if (node == nullptr) return UA_STATUSCODE_BADNODEIDUNKNOWN;
        *out = node;
        return UA_STATUSCODE_GOOD;
    }
    return self->m_inner.getNodeCopy(self->m_inner.context, nodeId, out);
}

UA_StatusCode UaConditionStore::InsertNode(void* context, UA_Node* node, UA_NodeId* added) {
    auto* self = static_cast<UaConditionStore*>(context);
    if (self->Ours(node->head.nodeId)) {
        self->m_inner.deleteNode(self->m_inner.context, node);
        return UA_STATUSCODE_BADNODEIDREJECTED;
    }
    return self->m_inner.insertNode(self->m_inner.context, node, added);
}

UA_StatusCode UaConditionStore::ReplaceNode(void* context, UA_Node* node) {
    auto* self = static_cast<UaConditionStore*>(context);
    if (self->Ours(node->head.nodeId)) {
        // The record is what the node shows: an edit of the made node (the
        // inverse half of a reference to it) has nothing to keep.
        self->m_inner.deleteNode(self->m_inner.context, node);
        return UA_STATUSCODE_GOOD;
    }
    return self->m_inner.replaceNode(self->m_inner.context, node);
}

UA_StatusCode UaConditionStore::RemoveNode(void* context, const UA_NodeId* nodeId) {
    auto* self = static_cast<UaConditionStore*>(context);
    if (self->Ours(*nodeId)) return UA_STATUSCODE_GOOD;
    return self->m_inner.removeNode(self->m_inner.context, nodeId);
}

const UA_NodeId* UaConditionStore::GetReferenceTypeId(void* context, UA_Byte index) {
    auto* self = static_cast<UaConditionStore*>(context);
    return self->m_inner.getReferenceTypeId(self->m_inner.context, index);
}

void UaConditionStore::Iterate(void* context, UA_NodestoreVisitor visitor, void* visitorContext) {
    auto* self = static_cast<UaConditionStore*>(context);
    self->m_inner.iterate(self->m_inner.context, visitor, visitorContext);
}
