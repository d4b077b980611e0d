// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaHistoryMapping.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>
#include <utility>

#include "Text.h"
#include "UaCommon.h"
#include "UaMapping.h"

namespace {
struct FunctionRow {
    HistoryAggregate aggregate;
    UA_UInt32 id;
};
constexpr FunctionRow kFunctions[] = {
    {HistoryAggregate::Interpolative, UA_NS0ID_AGGREGATEFUNCTION_INTERPOLATIVE},
    {HistoryAggregate::Average, UA_NS0ID_AGGREGATEFUNCTION_AVERAGE},
    {HistoryAggregate::TimeAverage, UA_NS0ID_AGGREGATEFUNCTION_TIMEAVERAGE},
    {HistoryAggregate::TimeAverage2, UA_NS0ID_AGGREGATEFUNCTION_TIMEAVERAGE2},
    {HistoryAggregate::Total, UA_NS0ID_AGGREGATEFUNCTION_TOTAL},
    {HistoryAggregate::Total2, UA_NS0ID_AGGREGATEFUNCTION_TOTAL2},
    {HistoryAggregate::Minimum, UA_NS0ID_AGGREGATEFUNCTION_MINIMUM},
    {HistoryAggregate::Maximum, UA_NS0ID_AGGREGATEFUNCTION_MAXIMUM},
    {HistoryAggregate::MinimumActualTime, UA_NS0ID_AGGREGATEFUNCTION_MINIMUMACTUALTIME},
    {HistoryAggregate::MaximumActualTime, UA_NS0ID_AGGREGATEFUNCTION_MAXIMUMACTUALTIME},
    {HistoryAggregate::Range, UA_NS0ID_AGGREGATEFUNCTION_RANGE},
    {HistoryAggregate::Count, UA_NS0ID_AGGREGATEFUNCTION_COUNT},
    {HistoryAggregate::Start, UA_NS0ID_AGGREGATEFUNCTION_START},
    {HistoryAggregate::End, UA_NS0ID_AGGREGATEFUNCTION_END},
    {HistoryAggregate::Delta, UA_NS0ID_AGGREGATEFUNCTION_DELTA},
    {HistoryAggregate::DurationGood, UA_NS0ID_AGGREGATEFUNCTION_DURATIONGOOD},
    {HistoryAggregate::DurationBad, UA_NS0ID_AGGREGATEFUNCTION_DURATIONBAD},
    {HistoryAggregate::PercentGood, UA_NS0ID_AGGREGATEFUNCTION_PERCENTGOOD},
    {HistoryAggregate::PercentBad, UA_NS0ID_AGGREGATEFUNCTION_PERCENTBAD},
    {HistoryAggregate::WorstQuality, UA_NS0ID_AGGREGATEFUNCTION_WORSTQUALITY},
    {HistoryAggregate::StandardDeviationSample, UA_NS0ID_AGGREGATEFUNCTION_STANDARDDEVIATIONSAMPLE},
    {HistoryAggregate::VarianceSample, UA_NS0ID_AGGREGATEFUNCTION_VARIANCESAMPLE},
};
static_assert(std::size(kFunctions) == kHistoryAggregateCount);

// The historian bits of a data value's status, which the InfoType bit marks.
constexpr UA_StatusCode kInfoTypeDataValue = 0x400;
constexpr UA_StatusCode kCalculated = 0x01, kInterpolated = 0x02, kPartial = 0x04, kExtraData = 0x08,
                        kMultiValue = 0x10;

template <class T>
bool SetNumber(double number, const UA_DataType* type, UA_Variant& out) {
    if (!std::isfinite(number)) return false;
    T value = static_cast<T>(number);
    return UA_Variant_setScalarCopy(&out, &value, type) == UA_STATUSCODE_GOOD;
}

// Integers in range and whole: what an integer tag may keep.
template <class T>
bool WholeIn(double number) {
    return std::isfinite(number) && number == std::trunc(number) &&
           number >= static_cast<double>(std::numeric_limits<T>::lowest()) &&
           number <= static_cast<double>(std::numeric_limits<T>::max());
}

template <class T>
bool Take(const UA_Variant& value, double& number) {
    number = static_cast<double>(*static_cast<const T*>(value.data));
    return true;
}
}  // namespace

UA_UInt32 AggregateFunctionId(HistoryAggregate aggregate) noexcept {
    for (const FunctionRow& row : kFunctions) {
        if (row.aggregate == aggregate) return row.id;
    }
    return 0;
}

std::optional<HistoryAggregate> AggregateOfFunction(const UA_NodeId& function) noexcept {
    if (function.namespaceIndex != 0 || function.identifierType != UA_NODEIDTYPE_NUMERIC) return std::nullopt;
    for (const FunctionRow& row : kFunctions) {
        if (row.id == function.identifier.numeric) return row.aggregate;
    }
    return std::nullopt;
}

UA_StatusCode StatusOfAggregate(const AggregateStatus& status) noexcept {
    UA_StatusCode code;
    switch (status.code) {
    case AggregateStatus::Code::NoData: code = UA_STATUSCODE_BADNODATA; break;
    case AggregateStatus::Code::DataSubNormal: code = UA_STATUSCODE_UNCERTAINDATASUBNORMAL; break;
    case AggregateStatus::Code::BadData: code = UA_STATUSCODE_BAD; break;
    default:
        switch (status.severity) {
        case AggregateStatus::Severity::Uncertain: code = UA_STATUSCODE_UNCERTAIN; break;
        case AggregateStatus::Severity::Bad: code = UA_STATUSCODE_BAD; break;
        default: code = UA_STATUSCODE_GOOD; break;
        }
    }
    UA_StatusCode bits = 0;
    // Interpolated wins: the two share the historian field.
    if (status.interpolated) {
        bits |= kInterpolated;
    } else if (status.calculated) {
        bits |= kCalculated;
    }
    if (status.partial) bits |= kPartial;
    if (status.extraData) bits |= kExtraData;
    if (status.multipleValues) bits |= kMultiValue;
    return bits != 0 ? code | kInfoTypeDataValue | bits : code;
}

bool NumberToVariant(double number, const UA_DataType* type, UA_Variant& out) {
    if (type == nullptr) type = &UA_TYPES[UA_TYPES_DOUBLE];
    switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN: {
        UA_Boolean value = number != 0;
        return UA_Variant_setScalarCopy(&out, &value, type) == UA_STATUSCODE_GOOD;
    }
    case UA_DATATYPEKIND_SBYTE: return SetNumber<UA_SByte>(number, type, out);
    case UA_DATATYPEKIND_BYTE: return SetNumber<UA_Byte>(number, type, out);
    case UA_DATATYPEKIND_INT16: return SetNumber<UA_Int16>(number, type, out);
    case UA_DATATYPEKIND_UINT16: return SetNumber<UA_UInt16>(number, type, out);
    case UA_DATATYPEKIND_INT32: return SetNumber<UA_Int32>(number, type, out);
    case UA_DATATYPEKIND_UINT32: return SetNumber<UA_UInt32>(number, type, out);
    case UA_DATATYPEKIND_INT64: return SetNumber<UA_Int64>(number, type, out);
    case UA_DATATYPEKIND_UINT64: return SetNumber<UA_UInt64>(number, type, out);
    case UA_DATATYPEKIND_FLOAT: return SetNumber<UA_Float>(number, type, out);
    case UA_DATATYPEKIND_DATETIME: return SetNumber<UA_DateTime>(number, type, out);
    case UA_DATATYPEKIND_DOUBLE: {
        UA_Double value = number;
        return UA_Variant_setScalarCopy(&out, &value, &UA_TYPES[UA_TYPES_DOUBLE]) == UA_STATUSCODE_GOOD;
    }
    default: return false;
    }
}

bool SampleToVariant(const HistorySample& sample, const UA_DataType* type, UA_Variant& out) {
    if (type == &UA_TYPES[UA_TYPES_STRING]) {
        const std::string text = ToUtf8(sample.text);
        const UA_String borrowed = BorrowedString(text);
        return UA_Variant_setScalarCopy(&out, &borrowed, type) == UA_STATUSCODE_GOOD;
    }
    return NumberToVariant(sample.number, type, out);
}

bool SampleOfVariant(const UA_Variant& value, const UA_DataType* type, HistoryValueKind kind, HistorySample& out) {
    if (value.type != type || type == nullptr || !UA_Variant_isScalar(&value) || value.data == nullptr) return false;
    if (kind == HistoryValueKind::Text) {
        if (type != &UA_TYPES[UA_TYPES_STRING]) return false;
        const auto* text = static_cast<const UA_String*>(value.data);
        out.text = FromUtf8(std::string(reinterpret_cast<const char*>(text->data), text->length));
        out.number = 0;
        return true;
    }
    out.text.clear();
    switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN: out.number = *static_cast<const UA_Boolean*>(value.data) ? 1 : 0; return true;
    case UA_DATATYPEKIND_SBYTE: return Take<UA_SByte>(value, out.number);
    case UA_DATATYPEKIND_BYTE: return Take<UA_Byte>(value, out.number);
    case UA_DATATYPEKIND_INT16: return Take<UA_Int16>(value, out.number);
    case UA_DATATYPEKIND_UINT16: return Take<UA_UInt16>(value, out.number);
    case UA_DATATYPEKIND_INT32: return Take<UA_Int32>(value, out.number);
    case UA_DATATYPEKIND_UINT32: return Take<UA_UInt32>(value, out.number);
    case UA_DATATYPEKIND_INT64: return Take<UA_Int64>(value, out.number);
    case UA_DATATYPEKIND_UINT64: return Take<UA_UInt64>(value, out.number);
    case UA_DATATYPEKIND_FLOAT: return Take<UA_Float>(value, out.number) && std::isfinite(out.number);
    case UA_DATATYPEKIND_DOUBLE: return Take<UA_Double>(value, out.number) && std::isfinite(out.number);
    case UA_DATATYPEKIND_DATETIME: return Take<UA_DateTime>(value, out.number);
    default: return false;
    }
}

UA_StatusCode StatusOfUpdate(HistoryUpdateOutcome outcome) noexcept {
    switch (outcome) {
    case HistoryUpdateOutcome::Inserted: return UA_STATUSCODE_GOODENTRYINSERTED;
    case HistoryUpdateOutcome::Replaced: return UA_STATUSCODE_GOODENTRYREPLACED;
    case HistoryUpdateOutcome::EntryExists: return UA_STATUSCODE_BADENTRYEXISTS;
    case HistoryUpdateOutcome::NoEntryExists: return UA_STATUSCODE_BADNOENTRYEXISTS;
    case HistoryUpdateOutcome::WrongKind: return UA_STATUSCODE_BADTYPEMISMATCH;
    default: return UA_STATUSCODE_BADOUTOFRANGE;
    }
}
