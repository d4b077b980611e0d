#pragma once
// How a tag's history looks to a UA client: samples as data values, client
// values as samples, the aggregates' NodeIds and the status of an aggregate
// value.
#include "UaLibrary.h"

#include <optional>

#include "HistoryAggregates.h"
#include "HistorySeries.h"
#include "HistoryTypes.h"

// The NodeId number (namespace zero) of an aggregate function, and back;
// nothing for an aggregate we do not compute.
UA_UInt32 AggregateFunctionId(HistoryAggregate aggregate) noexcept;
std::optional<HistoryAggregate> AggregateOfFunction(const UA_NodeId& function) noexcept;

// The status code of an aggregate value: severity, code and the historian
// bits (Calculated, Interpolated, Partial, ExtraData, MultiValue).
UA_StatusCode StatusOfAggregate(const AggregateStatus& status) noexcept;

// A sample as a value of the node's data type (`type` as UaTypeOf gives it);
// false when it has none.
bool SampleToVariant(const HistorySample& sample, const UA_DataType* type, UA_Variant& out);
// A number in that type (aggregates that keep the source's type).
bool NumberToVariant(double number, const UA_DataType* type, UA_Variant& out);
// A client's value for a series of `kind`, whose node has data type `type`:
// false for a value of another type.
bool SampleOfVariant(const UA_Variant& value, const UA_DataType* type, HistoryValueKind kind, HistorySample& out);

// UA times are FILETIME ticks too.
inline HistoryTime HistoryTimeOf(UA_DateTime time) noexcept { return static_cast<HistoryTime>(time); }
inline UA_DateTime UaTimeOf(HistoryTime time) noexcept { return static_cast<UA_DateTime>(time); }

// The status an update of one value answers.
UA_StatusCode StatusOfUpdate(HistoryUpdateOutcome outcome) noexcept;
