#pragma once
// The engineering units an item reports (IEnumOPCItemAttributes, item
// properties 7 and 8): analog between the tag's value limits when they are
// set, otherwise none.
#include <windows.h>
#include <oaidl.h>

#include "OpcDa.h"

struct TagDeadband;

// Fills `type` and `info` (which the caller owns and has initialised); a tag
// whose limit array cannot be had reports no units.
void EngineeringUnits(bool limitsSet, double low, double high, OPCEUTYPE& type, VARIANT& info);
