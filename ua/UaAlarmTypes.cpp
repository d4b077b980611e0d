#include "UaAlarmTypes.h"

namespace {
enum class Rule : UA_UInt32 {
    None = 0,
    Mandatory = UA_NS0ID_MODELLINGRULE_MANDATORY,
    Optional = UA_NS0ID_MODELLINGRULE_OPTIONAL
};

struct ObjectTypeRow {
    UA_UInt32 id;
    UA_UInt32 supertype;
    const char* name;
    bool isAbstract;
};

// Supertypes before subtypes.
constexpr ObjectTypeRow kObjectTypes[] = {
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE, UA_NS0ID_CONDITIONTYPE, "AcknowledgeableConditionType", false},
    {UA_NS0ID_ALARMCONDITIONTYPE, UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE, "AlarmConditionType", false},
    {UA_NS0ID_LIMITALARMTYPE, UA_NS0ID_ALARMCONDITIONTYPE, "LimitAlarmType", false},
    {UA_NS0ID_EXCLUSIVELIMITALARMTYPE, UA_NS0ID_LIMITALARMTYPE, "ExclusiveLimitAlarmType", false},
    {UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE, UA_NS0ID_LIMITALARMTYPE, "NonExclusiveLimitAlarmType", false},
    {UA_NS0ID_DISCRETEALARMTYPE, UA_NS0ID_ALARMCONDITIONTYPE, "DiscreteAlarmType", false},
    {UA_NS0ID_OFFNORMALALARMTYPE, UA_NS0ID_DISCRETEALARMTYPE, "OffNormalAlarmType", false},
    {UA_NS0ID_STATEMACHINETYPE, UA_NS0ID_BASEOBJECTTYPE, "StateMachineType", false},
    {UA_NS0ID_FINITESTATEMACHINETYPE, UA_NS0ID_STATEMACHINETYPE, "FiniteStateMachineType", true},
    {UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, UA_NS0ID_FINITESTATEMACHINETYPE, "ExclusiveLimitStateMachineType", false},
    {UA_NS0ID_STATETYPE, UA_NS0ID_BASEOBJECTTYPE, "StateType", false},
    {UA_NS0ID_BASECONDITIONCLASSTYPE, UA_NS0ID_BASEOBJECTTYPE, "BaseConditionClassType", true},
    {UA_NS0ID_PROCESSCONDITIONCLASSTYPE, UA_NS0ID_BASECONDITIONCLASSTYPE, "ProcessConditionClassType", true},
};

// A member of a type: a variable unless `typeDefinition` is an object type.
struct MemberRow {
    UA_UInt32 id;
    UA_UInt32 parent;
    UA_UInt32 reference;  // HasComponent or HasProperty
    const char* name;
    UA_UInt32 typeDefinition;
    UA_UInt32 dataType;  // 0 for objects
    Rule rule;
};

// Parents before children; the stack adds the mandatory children of each
// member's own type (a TwoStateVariable's Id, a state machine's CurrentState).
constexpr MemberRow kMembers[] = {
    {UA_NS0ID_STATEMACHINETYPE_CURRENTSTATE, UA_NS0ID_STATEMACHINETYPE, UA_NS0ID_HASCOMPONENT, "CurrentState",
     UA_NS0ID_STATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Mandatory},
    {UA_NS0ID_FINITESTATEVARIABLETYPE_ID, UA_NS0ID_FINITESTATEVARIABLETYPE, UA_NS0ID_HASPROPERTY, "Id",
     UA_NS0ID_PROPERTYTYPE, UA_NS0ID_NODEID, Rule::Mandatory},
    {UA_NS0ID_FINITESTATEMACHINETYPE_CURRENTSTATE, UA_NS0ID_FINITESTATEMACHINETYPE, UA_NS0ID_HASCOMPONENT,
     "CurrentState", UA_NS0ID_FINITESTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Mandatory},
    {UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_HIGHHIGH, UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, UA_NS0ID_HASCOMPONENT,
     "HighHigh", UA_NS0ID_STATETYPE, 0, Rule::None},
    {UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_HIGH, UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, UA_NS0ID_HASCOMPONENT,
     "High", UA_NS0ID_STATETYPE, 0, Rule::None},
    {UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_LOW, UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, UA_NS0ID_HASCOMPONENT, "Low",
     UA_NS0ID_STATETYPE, 0, Rule::None},
    {UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE_LOWLOW, UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, UA_NS0ID_HASCOMPONENT,
     "LowLow", UA_NS0ID_STATETYPE, 0, Rule::None},
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKEDSTATE, UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE, UA_NS0ID_HASCOMPONENT,
     "AckedState", UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Mandatory},
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRMEDSTATE, UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE, UA_NS0ID_HASCOMPONENT,
     "ConfirmedState", UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Optional},
    {UA_NS0ID_ALARMCONDITIONTYPE_ACTIVESTATE, UA_NS0ID_ALARMCONDITIONTYPE, UA_NS0ID_HASCOMPONENT, "ActiveState",
     UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Mandatory},
    {UA_NS0ID_ALARMCONDITIONTYPE_INPUTNODE, UA_NS0ID_ALARMCONDITIONTYPE, UA_NS0ID_HASPROPERTY, "InputNode",
     UA_NS0ID_PROPERTYTYPE, UA_NS0ID_NODEID, Rule::Mandatory},
    {UA_NS0ID_ALARMCONDITIONTYPE_SUPPRESSEDORSHELVED, UA_NS0ID_ALARMCONDITIONTYPE, UA_NS0ID_HASPROPERTY,
     "SuppressedOrShelved", UA_NS0ID_PROPERTYTYPE, UA_NS0ID_BOOLEAN, Rule::Mandatory},
    {UA_NS0ID_LIMITALARMTYPE_HIGHHIGHLIMIT, UA_NS0ID_LIMITALARMTYPE, UA_NS0ID_HASPROPERTY, "HighHighLimit",
     UA_NS0ID_PROPERTYTYPE, UA_NS0ID_DOUBLE, Rule::Optional},
    {UA_NS0ID_LIMITALARMTYPE_HIGHLIMIT, UA_NS0ID_LIMITALARMTYPE, UA_NS0ID_HASPROPERTY, "HighLimit",
     UA_NS0ID_PROPERTYTYPE, UA_NS0ID_DOUBLE, Rule::Optional},
    {UA_NS0ID_LIMITALARMTYPE_LOWLIMIT, UA_NS0ID_LIMITALARMTYPE, UA_NS0ID_HASPROPERTY, "LowLimit", UA_NS0ID_PROPERTYTYPE,
     UA_NS0ID_DOUBLE, Rule::Optional},
    {UA_NS0ID_LIMITALARMTYPE_LOWLOWLIMIT, UA_NS0ID_LIMITALARMTYPE, UA_NS0ID_HASPROPERTY, "LowLowLimit",
     UA_NS0ID_PROPERTYTYPE, UA_NS0ID_DOUBLE, Rule::Optional},
    {UA_NS0ID_EXCLUSIVELIMITALARMTYPE_LIMITSTATE, UA_NS0ID_EXCLUSIVELIMITALARMTYPE, UA_NS0ID_HASCOMPONENT, "LimitState",
     UA_NS0ID_EXCLUSIVELIMITSTATEMACHINETYPE, 0, Rule::Mandatory},
    {UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE_HIGHHIGHSTATE, UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE, UA_NS0ID_HASCOMPONENT,
     "HighHighState", UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Optional},
    {UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE_HIGHSTATE, UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE, UA_NS0ID_HASCOMPONENT,
     "HighState", UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Optional},
    {UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE_LOWSTATE, UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE, UA_NS0ID_HASCOMPONENT,
     "LowState", UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Optional},
    {UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE_LOWLOWSTATE, UA_NS0ID_NONEXCLUSIVELIMITALARMTYPE, UA_NS0ID_HASCOMPONENT,
     "LowLowState", UA_NS0ID_TWOSTATEVARIABLETYPE, UA_NS0ID_LOCALIZEDTEXT, Rule::Optional},
    {UA_NS0ID_OFFNORMALALARMTYPE_NORMALSTATE, UA_NS0ID_OFFNORMALALARMTYPE, UA_NS0ID_HASPROPERTY, "NormalState",
     UA_NS0ID_PROPERTYTYPE, UA_NS0ID_NODEID, Rule::Mandatory},
};

UA_LocalizedText Text(const char* text) { return UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(text)); }
UA_QualifiedName Name(const char* name) { return UA_QUALIFIEDNAME(0, const_cast<char*>(name)); }
UA_NodeId Ns0(UA_UInt32 id) { return UA_NODEID_NUMERIC(0, id); }

void AddRule(UA_Server* server, UA_UInt32 id, Rule rule) {
    if (rule == Rule::None) return;
    UA_Server_addReference(server, Ns0(id), Ns0(UA_NS0ID_HASMODELLINGRULE),
                           UA_EXPANDEDNODEID_NUMERIC(0, static_cast<UA_UInt32>(rule)), true);
}

void AddMember(UA_Server* server, const MemberRow& row) {
    UA_StatusCode status;
    if (row.dataType == 0) {
        UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
        attributes.displayName = Text(row.name);
        status = UA_Server_addObjectNode(server, Ns0(row.id), Ns0(row.parent), Ns0(row.reference), Name(row.name),
                                         Ns0(row.typeDefinition), attributes, nullptr, nullptr);
    } else {
        UA_VariableAttributes attributes = UA_VariableAttributes_default;
        attributes.displayName = Text(row.name);
        attributes.dataType = Ns0(row.dataType);
        attributes.valueRank = UA_VALUERANK_SCALAR;
        status = UA_Server_addVariableNode(server, Ns0(row.id), Ns0(row.parent), Ns0(row.reference), Name(row.name),
                                           Ns0(row.typeDefinition), attributes, nullptr, nullptr);
    }
    if (status == UA_STATUSCODE_GOOD) AddRule(server, row.id, row.rule);
}

// Acknowledge and Confirm take the EventId the client saw and a comment.
void AddCommentedMethod(UA_Server* server, UA_UInt32 id, UA_UInt32 argumentsId, const char* name, Rule rule) {
    UA_Argument arguments[2];
    UA_Argument_init(&arguments[0]);
    arguments[0].name = UA_STRING(const_cast<char*>("EventId"));
    arguments[0].dataType = UA_TYPES[UA_TYPES_BYTESTRING].typeId;
    arguments[0].valueRank = UA_VALUERANK_SCALAR;
    UA_Argument_init(&arguments[1]);
    arguments[1].name = UA_STRING(const_cast<char*>("Comment"));
    arguments[1].dataType = UA_TYPES[UA_TYPES_LOCALIZEDTEXT].typeId;
    arguments[1].valueRank = UA_VALUERANK_SCALAR;
    UA_MethodAttributes attributes = UA_MethodAttributes_default;
    attributes.displayName = Text(name);
    attributes.executable = true;
    attributes.userExecutable = true;
    if (UA_Server_addMethodNodeEx(server, Ns0(id), Ns0(UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE),
                                  Ns0(UA_NS0ID_HASCOMPONENT), Name(name), attributes, nullptr, 2, arguments,
                                  Ns0(argumentsId), nullptr, 0, nullptr, UA_NODEID_NULL, nullptr, nullptr,
                                  nullptr) == UA_STATUSCODE_GOOD) {
        AddRule(server, id, rule);
    }
}

void AddReferenceType(UA_Server* server, UA_UInt32 id, const char* name, const char* inverseName) {
    UA_ReferenceTypeAttributes attributes = UA_ReferenceTypeAttributes_default;
    attributes.displayName = Text(name);
    attributes.inverseName = Text(inverseName);
    UA_Server_addReferenceTypeNode(server, Ns0(id), Ns0(UA_NS0ID_NONHIERARCHICALREFERENCES), Ns0(UA_NS0ID_HASSUBTYPE),
                                   Name(name), attributes, nullptr, nullptr);
}
}  // namespace

void AddAlarmTypes(UA_Server* server) {
    AddReferenceType(server, UA_NS0ID_HASCONDITION, "HasCondition", "IsConditionOf");
    // ConditionRefresh's SubscriptionId: without the type, no UInt32 a client
    // sends for it passes the argument check.
    UA_DataTypeAttributes integerId = UA_DataTypeAttributes_default;
    integerId.displayName = Text("IntegerId");
    UA_Server_addDataTypeNode(server, Ns0(UA_NS0ID_INTEGERID), Ns0(UA_NS0ID_UINT32), Ns0(UA_NS0ID_HASSUBTYPE),
                              Name("IntegerId"), integerId, nullptr, nullptr);
    UA_VariableTypeAttributes finiteState = UA_VariableTypeAttributes_default;
    finiteState.displayName = Text("FiniteStateVariableType");
    finiteState.dataType = Ns0(UA_NS0ID_LOCALIZEDTEXT);
    finiteState.valueRank = UA_VALUERANK_SCALAR;
    UA_Server_addVariableTypeNode(server, Ns0(UA_NS0ID_FINITESTATEVARIABLETYPE), Ns0(UA_NS0ID_STATEVARIABLETYPE),
                                  Ns0(UA_NS0ID_HASSUBTYPE), Name("FiniteStateVariableType"), UA_NODEID_NULL,
                                  finiteState, nullptr, nullptr);
    for (const ObjectTypeRow& row : kObjectTypes) {
        UA_ObjectTypeAttributes attributes = UA_ObjectTypeAttributes_default;
        attributes.displayName = Text(row.name);
        attributes.isAbstract = row.isAbstract;
        UA_Server_addObjectTypeNode(server, Ns0(row.id), Ns0(row.supertype), Ns0(UA_NS0ID_HASSUBTYPE), Name(row.name),
                                    attributes, nullptr, nullptr);
    }
    for (const MemberRow& row : kMembers) AddMember(server, row);
    AddCommentedMethod(server, UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKNOWLEDGE,
                       UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKNOWLEDGE_INPUTARGUMENTS, "Acknowledge",
                       Rule::Mandatory);
    AddCommentedMethod(server, UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRM,
                       UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRM_INPUTARGUMENTS, "Confirm", Rule::Optional);
}
