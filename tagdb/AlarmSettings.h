#pragma once
// What makes a tag alarm: the kind, the limits and how the alarm is told.
// A model concern: the protocols and windows only read and act on it.
#include <windows.h>
#include <optional>
#include <string>

#include "Variant.h"

enum class AlarmKind : DWORD { None = 0, ExclusiveLimit = 1, NonExclusiveLimit = 2, OffNormal = 3 };

// The limit states as bits: an exclusive alarm holds at most one, a
// non-exclusive one each limit crossed (above HighHigh both HighHigh and High).
enum AlarmLimit : unsigned { kLimitNone = 0, kLimitLowLow = 1, kLimitLow = 2, kLimitHigh = 4, kLimitHighHigh = 8 };

inline constexpr WORD kDefaultAlarmSeverity = 500;
inline constexpr WORD kDefaultAlarmSeverityHighHigh = 800;

struct AlarmSettings {
    AlarmKind kind = AlarmKind::None;
    std::optional<double> highHigh, high, low, lowLow;
    // In the tag's units: an active limit state ends only once the value is
    // back inside its limit by more than this.
    double deadband = 0;
    WORD severity = kDefaultAlarmSeverity;                  // High, Low and off-normal, 1 to 1000
    WORD severityHighHigh = kDefaultAlarmSeverityHighHigh;  // HighHigh and LowLow, 1 to 1000
    Variant normalValue;                                    // off-normal: the value that is normal
    std::wstring message;                                   // empty: the item ID and the state's name
    bool needsConfirm = false;
    bool enabled = true;

    bool IsAlarmed() const noexcept { return kind != AlarmKind::None; }
    bool operator==(const AlarmSettings& other) const;
};

// Empty when the settings suit a tag of `tagType`, else why not, in words
// (High below Low, a limit alarm on a string tag, a severity of 0, ...).
std::wstring CheckAlarmSettings(const AlarmSettings& settings, VARTYPE tagType);

// Equal values of equal type (strings exactly, numbers by value): how an
// off-normal alarm compares its tag's value with the normal one.
bool SameAlarmValue(const Variant& a, const Variant& b);

// "None", "ExclusiveLimit", "NonExclusiveLimit", "OffNormal": the names the
// tag files and the command line use; null for a kind that is none of these.
const wchar_t* AlarmKindName(AlarmKind kind);
std::optional<AlarmKind> AlarmKindFromName(std::wstring_view name);
