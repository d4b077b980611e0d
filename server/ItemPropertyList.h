#pragma once
// A tag's properties in the DA 3.0 form (OPCITEMPROPERTIES), entry for entry
// what IOPCItemProperties answers: the ids, descriptions and types of
// QueryAvailableProperties, the values and errors of GetItemProperties, and
// LookupItemIDs' item ID (none: no property of a tag is an item).
#include <windows.h>

#include "OpcDa.h"
#include "TagProperties.h"

// `all`: every property the tag has, in id order; else the `count` ids in
// `ids`, in that order, an id the tag lacks with OPC_E_INVALID_PID. Values
// only when `values` (else VT_EMPTY). Sets out.hrErrorID: S_OK, S_FALSE when
// an entry failed, or E_OUTOFMEMORY with no entries.
void FillItemProperties(const TagProperties& properties, bool all, const DWORD* ids, DWORD count, bool values,
                        OPCITEMPROPERTIES& out);

// Frees what FillItemProperties allocated (not `properties` itself).
void FreeItemProperties(OPCITEMPROPERTIES& properties) noexcept;
