#pragma once
// The words the editor shows for alarms: a condition's state, the kinds a
// tag's alarm can be, and the answers of the alarm commands.
#include <string>

#include "AlarmCondition.h"

// "High", "Normal", ... as AlarmStateName says; "Disabled" for a disabled condition.
std::wstring AlarmStateText(const AlarmConditionState& state);
// The tag list's alarm cell: the state, with what the operator still owes
// it: "High (unack)", "Normal (unack)", "Normal (unconfirmed)", "Disabled".
std::wstring AlarmColumnText(const AlarmConditionState& state);
// "None", "Exclusive limit", "Non-exclusive limit", "Off-normal".
const wchar_t* AlarmKindText(AlarmKind kind);
// Why a command was not done, as the end of a sentence ("already acknowledged").
const wchar_t* AlarmCommandResultText(AlarmCommandResult result);
