#pragma once
// The condition of one alarmed tag: enabled, active with its limit states,
// acknowledged, confirmed, retained, commented. One state per tag and no
// branches. Every change of it is an event with a number of its own; a
// client acknowledges or confirms the event it saw, and only the latest.
#include <windows.h>
#include <cstdint>
#include <optional>
#include <string>

#include "AlarmSettings.h"
#include "Variant.h"

// Why an event was raised.
enum class AlarmEventCause : DWORD {
    Evaluated,  // the value or quality moved the condition (or the first evaluation)
    Acknowledged,
    Confirmed,
    Commented,
    Enabled,
    Disabled,
    SettingsChanged,
    Removed,  // the tag went, or its alarm settings did: the condition's last event
};

// The condition as a client sees it, whole: every event carries one.
struct AlarmConditionState {
    AlarmKind kind = AlarmKind::None;
    bool enabled = true;
    bool active = false;
    unsigned limits = kLimitNone;  // AlarmLimit bits
    bool acked = true;
    bool confirmed = true;
    bool retain = false;
    WORD severity = kDefaultAlarmSeverity;
    WORD lastSeverity = kDefaultAlarmSeverity;
    WORD quality = 0;      // the tag's quality in effect (OPC DA quality)
    std::wstring message;  // filled in by MakeEvent
    std::wstring comment;
    std::wstring clientUserId;  // who acted last (acknowledged, confirmed, commented, enabled, disabled)
    FILETIME activeTime{};      // when the condition last went active or inactive
    FILETIME commentTime{};
    FILETIME enabledTime{}, ackedTime{}, confirmedTime{};
    FILETIME sourceTime{};  // the tag's timestamp at the evaluation
    Variant value;          // the tag's value at the evaluation
    bool needsConfirm = false;
};

// One event of one condition, as the protocols send it.
struct AlarmEvent {
    std::wstring itemId;       // the tag's item ID: the condition's source
    std::uint64_t number = 0;  // unique in the process; grows with every event of any condition
    FILETIME time{};           // when it happened
    AlarmEventCause cause = AlarmEventCause::Evaluated;
    AlarmConditionState state;
    AlarmSettings settings;  // the limits and severities the event was judged by
};

// The answers of the operator's and clients' commands.
enum class AlarmCommandResult {
    Done,
    EventIdUnknown,  // not the condition's latest event
    AlreadyAcked,
    AlreadyConfirmed,
    Disabled,  // the condition is disabled
    AlreadyEnabled,
    AlreadyDisabled,
    NotAlarmed,  // no such tag, or the tag has no alarm
};

// What the protocols and the editor ask of a condition.
enum class AlarmCommandKind { Acknowledge, Confirm, AddComment, Enable, Disable };

// The condition's state machine. Pure: no locks and no clock, the caller
// passes the times in and holds the tag's lock. Every change it reports (an
// Evaluate that returns true, a command that returns Done) has already taken
// its event number; the caller then sends MakeEvent's result.
class AlarmCondition {
public:
    AlarmCondition() = default;

    // New settings: forgets the limit states and acknowledgements; the next
    // Evaluate judges afresh and is always an event.
    void Configure(const AlarmSettings& settings);
    // Judges the tag's value and quality in effect against the settings;
    // true when that is an event: the condition went active or inactive, its
    // limit states or severity changed, the quality changed, or it is the
    // first evaluation since Configure. A disabled condition judges nothing.
    bool Evaluate(const AlarmSettings& settings, const Variant& value, WORD quality, FILETIME sourceTime, FILETIME now);

    AlarmCommandResult Acknowledge(std::uint64_t eventNumber, const std::wstring& comment, const std::wstring& user,
                                   FILETIME time);
    AlarmCommandResult Confirm(std::uint64_t eventNumber, const std::wstring& comment, const std::wstring& user,
                               FILETIME time);
    AlarmCommandResult AddComment(std::uint64_t eventNumber, const std::wstring& comment, const std::wstring& user,
                                  FILETIME time);
    // Enabling judges the value afresh: its event carries the current state.
    AlarmCommandResult Enable(const AlarmSettings& settings, const Variant& value, WORD quality, FILETIME sourceTime,
                              const std::wstring& user, FILETIME time);
    AlarmCommandResult Disable(const std::wstring& user, FILETIME time);
    // The condition's last event (cause Removed) as its tag or alarm goes.
    void Remove(FILETIME time);

    const AlarmConditionState& State() const noexcept { return m_state; }
    std::uint64_t LatestEvent() const noexcept { return m_latestEvent; }
    // The latest event (or, as a snapshot, the state now) as the protocols send it.
    AlarmEvent MakeEvent(const std::wstring& itemId, const AlarmSettings& settings, AlarmEventCause cause) const;

private:
    // Marks a new event and takes its number from the process-wide sequence.
    void NoteEvent(FILETIME time);
    void SetSeverity(WORD severity);
    void UpdateRetain();
    // A command on an event that is not the latest, or on a disabled condition.
    std::optional<AlarmCommandResult> Refusal(std::uint64_t eventNumber) const;
    // A command's common end: the comment (when given), who, retain and its event.
    AlarmCommandResult Finish(const std::wstring& comment, const std::wstring& user, FILETIME time);

    AlarmConditionState m_state;
    std::uint64_t m_latestEvent = 0;
    FILETIME m_latestEventTime{};
    bool m_fresh = true;  // configured, not judged yet
};

// Told of every alarm event, by any thread and possibly under a tag's lock:
// an implementation only queues, never waits or calls back.
class AlarmObserver {
public:
    virtual ~AlarmObserver() = default;
    virtual void AlarmRaised(const AlarmEvent& event) noexcept = 0;
};

// The name of the state for messages and lists: "HighHigh", "High", "Low",
// "LowLow", "OffNormal", "Normal" (exclusive: the one state; non-exclusive:
// the most severe).
const wchar_t* AlarmStateName(AlarmKind kind, unsigned limits, bool active);
// The settings' message, or else "ITEMID STATENAME".
std::wstring AlarmMessage(const AlarmSettings& settings, const std::wstring& itemId, const AlarmConditionState& state);
