#pragma once
// How a DA tag looks to an OPC UA client: data types, qualities, values and
// write results, as the standard DA-to-UA mapping has them.
#include <string>

#include "UaLibrary.h"
#include "Variant.h"

// The status code of a DA quality word, limit bits included.
UA_StatusCode StatusOfQuality(WORD quality) noexcept;
// The DA quality word a UA status stands for (the reverse of StatusOfQuality,
// limit bits included): the first word that gives it, else its severity alone.
WORD QualityOfStatus(UA_StatusCode status) noexcept;

// The UA data type of a canonical DA type (BaseDataType for VT_EMPTY and
// VT_VARIANT); the element type for arrays.
const UA_DataType* UaTypeOf(VARTYPE type) noexcept;
UA_NodeId DataTypeIdOf(VARTYPE type) noexcept;
// -1 for scalars, 1 for arrays.
UA_Int32 ValueRankOf(VARTYPE type) noexcept;

// A DA value as a UA variant of the type UaTypeOf gives; false (and an empty
// variant) for a value that has no UA form.
bool ToUaVariant(const VARIANT& value, UA_Variant& out);
// A UA value as the VARIANT a DA client would have written; DISP_E_TYPEMISMATCH
// for what has no VARIANT form.
HRESULT FromUaVariant(const UA_Variant& value, Variant& out);

// The status a UA write answers for the OPC result of the same DA write.
UA_StatusCode StatusOfWriteResult(HRESULT result) noexcept;

// A UA string's text (UTF-8 on the wire).
std::wstring TextOf(const UA_String& text);
