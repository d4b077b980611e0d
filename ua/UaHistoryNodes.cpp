// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaHistoryNodes.h"

#include "HistoryAggregates.h"
#include "UaHistory.h"
#include "UaHistoryCursors.h"
#include "UaHistoryMapping.h"

namespace {
// The shared configurations, in a namespace of their own.
constexpr UA_UInt32 kSteppedConfiguration = 1;
constexpr UA_UInt32 kSlopedConfiguration = 2;

UA_LocalizedText Text(const char* text) { return UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(text)); }
UA_QualifiedName Name(const char* name, UA_UInt16 ns = 0) { return UA_QUALIFIEDNAME(ns, const_cast<char*>(name)); }
UA_NodeId Ns0(UA_UInt32 id) { return UA_NODEID_NUMERIC(0, id); }

void Mandatory(UA_Server* server, UA_UInt32 id) {
    UA_Server_addReference(server, Ns0(id), Ns0(UA_NS0ID_HASMODELLINGRULE),
                           UA_EXPANDEDNODEID_NUMERIC(0, UA_NS0ID_MODELLINGRULE_MANDATORY), true);
}

// A property of a type or an object, with its value.
UA_StatusCode AddProperty(UA_Server* server, const UA_NodeId& id, const UA_NodeId& parent, const char* name,
                          const void* value, const UA_DataType* type) {
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    attributes.displayName = Text(name);
    attributes.dataType = type->typeId;
    attributes.valueRank = UA_VALUERANK_SCALAR;
    UA_Variant_setScalar(&attributes.value, const_cast<void*>(value), type);
    return UA_Server_addVariableNode(server, id, parent, Ns0(UA_NS0ID_HASPROPERTY), Name(name),
                                     Ns0(UA_NS0ID_PROPERTYTYPE), attributes, nullptr, nullptr);
}

// The four settings of an aggregate configuration, under `parent`; `ids`
// their standard NodeIds for a type's members, none for an instance's.
void AddAggregateSettings(UA_Server* server, const UA_NodeId& parent, const UA_UInt32* ids) {
    const AggregateConfiguration defaults;
    const UA_Boolean uncertainAsBad = defaults.treatUncertainAsBad;
    const UA_Byte percentBad = defaults.percentDataBad, percentGood = defaults.percentDataGood;
    const UA_Boolean sloped = defaults.useSlopedExtrapolation;
    const struct {
        const char* name;
        const void* value;
        const UA_DataType* type;
    } settings[] = {
        {"TreatUncertainAsBad", &uncertainAsBad, &UA_TYPES[UA_TYPES_BOOLEAN]},
        {"PercentDataBad", &percentBad, &UA_TYPES[UA_TYPES_BYTE]},
        {"PercentDataGood", &percentGood, &UA_TYPES[UA_TYPES_BYTE]},
        {"UseSlopedExtrapolation", &sloped, &UA_TYPES[UA_TYPES_BOOLEAN]},
    };
    for (size_t i = 0; i < 4; ++i) {
        const UA_NodeId id = ids != nullptr ? Ns0(ids[i]) : UA_NODEID_NULL;
        if (AddProperty(server, id, parent, settings[i].name, settings[i].value, settings[i].type) ==
                UA_STATUSCODE_GOOD &&
            ids != nullptr) {
            Mandatory(server, ids[i]);
        }
    }
}

void AddTypes(UA_Server* server) {
    UA_ObjectTypeAttributes type = UA_ObjectTypeAttributes_default;
    type.displayName = Text("AggregateFunctionType");
    UA_Server_addObjectTypeNode(server, Ns0(UA_NS0ID_AGGREGATEFUNCTIONTYPE), Ns0(UA_NS0ID_BASEOBJECTTYPE),
                                Ns0(UA_NS0ID_HASSUBTYPE), Name("AggregateFunctionType"), type, nullptr, nullptr);
    type.displayName = Text("AggregateConfigurationType");
    if (UA_Server_addObjectTypeNode(server, Ns0(UA_NS0ID_AGGREGATECONFIGURATIONTYPE), Ns0(UA_NS0ID_BASEOBJECTTYPE),
                                    Ns0(UA_NS0ID_HASSUBTYPE), Name("AggregateConfigurationType"), type, nullptr,
                                    nullptr) == UA_STATUSCODE_GOOD) {
        const UA_UInt32 ids[] = {UA_NS0ID_AGGREGATECONFIGURATIONTYPE_TREATUNCERTAINASBAD,
                                 UA_NS0ID_AGGREGATECONFIGURATIONTYPE_PERCENTDATABAD,
                                 UA_NS0ID_AGGREGATECONFIGURATIONTYPE_PERCENTDATAGOOD,
                                 UA_NS0ID_AGGREGATECONFIGURATIONTYPE_USESLOPEDEXTRAPOLATION};
        AddAggregateSettings(server, Ns0(UA_NS0ID_AGGREGATECONFIGURATIONTYPE), ids);
    }
    type.displayName = Text("HistoricalDataConfigurationType");
    if (UA_Server_addObjectTypeNode(server, Ns0(UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE), Ns0(UA_NS0ID_BASEOBJECTTYPE),
                                    Ns0(UA_NS0ID_HASSUBTYPE), Name("HistoricalDataConfigurationType"), type, nullptr,
                                    nullptr) != UA_STATUSCODE_GOOD) {
        return;
    }
    UA_ObjectAttributes member = UA_ObjectAttributes_default;
    member.displayName = Text("AggregateConfiguration");
    const UA_NodeId configuration = Ns0(UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE_AGGREGATECONFIGURATION);
    if (UA_Server_addObjectNode(server, configuration, Ns0(UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE),
                                Ns0(UA_NS0ID_HASCOMPONENT), Name("AggregateConfiguration"),
                                Ns0(UA_NS0ID_AGGREGATECONFIGURATIONTYPE), member, nullptr,
                                nullptr) == UA_STATUSCODE_GOOD) {
        Mandatory(server, UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE_AGGREGATECONFIGURATION);
    }
    const UA_Boolean stepped = false;
    if (AddProperty(server, Ns0(UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE_STEPPED),
                    Ns0(UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE), "Stepped", &stepped,
                    &UA_TYPES[UA_TYPES_BOOLEAN]) == UA_STATUSCODE_GOOD) {
        Mandatory(server, UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE_STEPPED);
    }
}

// Every aggregate we compute, in both folders that list them.
void AddAggregateFunctions(UA_Server* server) {
    for (size_t i = 0; i < kHistoryAggregateCount; ++i) {
        const auto aggregate = static_cast<HistoryAggregate>(i);
        const UA_NodeId id = Ns0(AggregateFunctionId(aggregate));
        const std::wstring_view wide = AggregateName(aggregate);
        const std::string name(wide.begin(), wide.end());  // the names are ASCII
        UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
        attributes.displayName = Text(name.c_str());
        UA_Server_addObjectNode(server, id, Ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_AGGREGATEFUNCTIONS),
                                Ns0(UA_NS0ID_ORGANIZES), Name(name.c_str()), Ns0(UA_NS0ID_AGGREGATEFUNCTIONTYPE),
                                attributes, nullptr, nullptr);
        UA_Server_addReference(server, Ns0(UA_NS0ID_HISTORYSERVERCAPABILITIES_AGGREGATEFUNCTIONS),
                               Ns0(UA_NS0ID_ORGANIZES), UA_EXPANDEDNODEID_NUMERIC(0, id.identifier.numeric), true);
    }
}

// The operation limits the stack leaves out, and the continuation points' bound.
void AddLimits(UA_Server* server, const UaHistoryLimits& limits) {
    const UA_UInt32 readNodes = static_cast<UA_UInt32>(limits.nodesPerRead);
    const UA_UInt32 updateNodes = static_cast<UA_UInt32>(limits.nodesPerUpdate);
    const UA_NodeId operationLimits = Ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS);
    AddProperty(server, Ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERHISTORYREADDATA),
                operationLimits, "MaxNodesPerHistoryReadData", &readNodes, &UA_TYPES[UA_TYPES_UINT32]);
    AddProperty(server, Ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERHISTORYUPDATEDATA),
                operationLimits, "MaxNodesPerHistoryUpdateData", &updateNodes, &UA_TYPES[UA_TYPES_UINT32]);
    UA_UInt16 points = static_cast<UA_UInt16>(UaHistoryCursors::kMostPerSession);
    UA_Variant value;
    UA_Variant_setScalar(&value, &points, &UA_TYPES[UA_TYPES_UINT16]);
    UA_Server_writeValue(server, Ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_MAXHISTORYCONTINUATIONPOINTS), value);
}

void AddConfiguration(UA_Server* server, UA_UInt16 ns, bool stepped) {
    const UA_NodeId id = HistoryConfigurationId(ns, stepped);
    UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
    attributes.displayName = Text(stepped ? "HA Configuration (stepped)" : "HA Configuration (sloped)");
    // Beside the history capabilities: a client finds them there too.
    if (UA_Server_addObjectNode(server, id, Ns0(UA_NS0ID_HISTORYSERVERCAPABILITIES), Ns0(UA_NS0ID_HASCOMPONENT),
                                Name(kHistoryConfigurationName), Ns0(UA_NS0ID_HISTORICALDATACONFIGURATIONTYPE),
                                attributes, nullptr, nullptr) != UA_STATUSCODE_GOOD) {
        return;
    }
    // The type's mandatory members came with the object: fill them in.
    const UA_Boolean steppedValue = stepped;
    UA_Variant value;
    UA_Variant_setScalar(&value, const_cast<UA_Boolean*>(&steppedValue), &UA_TYPES[UA_TYPES_BOOLEAN]);
    UA_Server_writeObjectProperty(server, id, Name("Stepped"), value);
    UA_QualifiedName path = Name("AggregateConfiguration");
    UA_BrowsePathResult found = UA_Server_browseSimplifiedBrowsePath(server, id, 1, &path);
    if (found.statusCode == UA_STATUSCODE_GOOD && found.targetsSize > 0) {
        const AggregateConfiguration defaults;
        const UA_NodeId configuration = found.targets[0].targetId.nodeId;
        UA_Boolean uncertainAsBad = defaults.treatUncertainAsBad, sloped = defaults.useSlopedExtrapolation;
        UA_Byte percentBad = defaults.percentDataBad, percentGood = defaults.percentDataGood;
        UA_Variant_setScalar(&value, &uncertainAsBad, &UA_TYPES[UA_TYPES_BOOLEAN]);
        UA_Server_writeObjectProperty(server, configuration, Name("TreatUncertainAsBad"), value);
        UA_Variant_setScalar(&value, &percentBad, &UA_TYPES[UA_TYPES_BYTE]);
        UA_Server_writeObjectProperty(server, configuration, Name("PercentDataBad"), value);
        UA_Variant_setScalar(&value, &percentGood, &UA_TYPES[UA_TYPES_BYTE]);
        UA_Server_writeObjectProperty(server, configuration, Name("PercentDataGood"), value);
        UA_Variant_setScalar(&value, &sloped, &UA_TYPES[UA_TYPES_BOOLEAN]);
        UA_Server_writeObjectProperty(server, configuration, Name("UseSlopedExtrapolation"), value);
    }
    UA_BrowsePathResult_clear(&found);
}
}  // namespace

UA_NodeId HistoryConfigurationId(UA_UInt16 historyNamespace, bool stepped) noexcept {
    return UA_NODEID_NUMERIC(historyNamespace, stepped ? kSteppedConfiguration : kSlopedConfiguration);
}

UA_UInt16 AddHistoryNodes(UA_Server* server, const UaHistoryLimits& limits) {
    const UA_UInt16 ns = UA_Server_addNamespace(server, kHistoryNamespaceUri);
    AddTypes(server);
    AddAggregateFunctions(server);
    AddLimits(server, limits);
    AddConfiguration(server, ns, true);
    AddConfiguration(server, ns, false);
    return ns;
}
