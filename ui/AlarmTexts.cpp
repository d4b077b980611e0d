#include "AlarmTexts.h"

std::wstring AlarmStateText(const AlarmConditionState& state) {
    if (!state.enabled) return L"Disabled";
    return AlarmStateName(state.kind, state.limits, state.active);
}

std::wstring AlarmColumnText(const AlarmConditionState& state) {
    std::wstring text = AlarmStateText(state);
    if (!state.enabled) return text;
    if (!state.acked) return text + L" (unack)";
    if (state.needsConfirm && !state.confirmed) return text + L" (unconfirmed)";
    return text;
}

const wchar_t* AlarmKindText(AlarmKind kind) {
    switch (kind) {
    case AlarmKind::None: return L"None";
    case AlarmKind::ExclusiveLimit: return L"Exclusive limit";
    case AlarmKind::NonExclusiveLimit: return L"Non-exclusive limit";
    case AlarmKind::OffNormal: return L"Off-normal";
    }
    return L"";
}

const wchar_t* AlarmCommandResultText(AlarmCommandResult result) {
    switch (result) {
    case AlarmCommandResult::Done: return L"done";
    case AlarmCommandResult::EventIdUnknown: return L"it changed since it was shown; look at it again";
    case AlarmCommandResult::AlreadyAcked: return L"already acknowledged";
    case AlarmCommandResult::AlreadyConfirmed: return L"already confirmed";
    case AlarmCommandResult::Disabled: return L"the alarm is disabled";
    case AlarmCommandResult::AlreadyEnabled: return L"already enabled";
    case AlarmCommandResult::AlreadyDisabled: return L"already disabled";
    case AlarmCommandResult::NotAlarmed: return L"the tag or its alarm is gone";
    }
    return L"";
}
