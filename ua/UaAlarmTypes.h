#pragma once
// The standard alarm types that the stack's reduced namespace zero lacks,
// under their standard NodeIds, so that clients that know them (event filters
// of OfType, EventType fields, the Acknowledge and Confirm methods) find them.
#include "UaLibrary.h"

// Adds them once the server has started; what is there already is kept.
void AddAlarmTypes(UA_Server* server);
