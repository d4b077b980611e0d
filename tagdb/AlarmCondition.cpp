#include "AlarmCondition.h"

#include <atomic>
#include <cmath>
#include <optional>

#include "FileTime.h"

namespace {
constexpr unsigned kSevereLimits = kLimitHighHigh | kLimitLowLow;

// One sequence for every condition of the process. It starts at the clock's
// count of 100 ns ticks, so that an event number from an earlier run of the
// program (an acknowledgement a client kept) is none of this run's.
std::atomic<std::uint64_t>& EventNumbers() {
    static std::atomic<std::uint64_t> next{[] {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return FileTimeToU64(now);
    }()};
    return next;
}

// The value as a number, or nothing for an empty one or one that is no number.
std::optional<double> NumberOf(const Variant& value) {
    if (value.IsEmpty() || value.Type() == VT_NULL || value.Type() == VT_BSTR) return std::nullopt;
    HRESULT result = S_OK;
    const Variant number = value.ConvertedTo(VT_R8, &result);
    if (FAILED(result) || std::isnan(V_R8(&number.Ref()))) return std::nullopt;
    return V_R8(&number.Ref());
}

// The limit states at `x`. A state already held ends only once the value is
// back inside its limit by more than the deadband.
unsigned JudgeLimits(const AlarmSettings& s, double x, unsigned held) {
    const bool exclusive = s.kind == AlarmKind::ExclusiveLimit;
    // Above HighHigh is above High too: an exclusive HighHigh that falls back
    // keeps High while inside High's deadband.
    if (exclusive && (held & kLimitHighHigh) != 0) held |= kLimitHigh;
    if (exclusive && (held & kLimitLowLow) != 0) held |= kLimitLow;
    unsigned states = kLimitNone;
    auto high = [&](const std::optional<double>& limit, unsigned bit) {
        if (!limit) return;
        const bool was = (held & bit) != 0;
        if (was ? !(x < *limit - s.deadband) : x >= *limit) states |= bit;
    };
    auto low = [&](const std::optional<double>& limit, unsigned bit) {
        if (!limit) return;
        const bool was = (held & bit) != 0;
        if (was ? !(x > *limit + s.deadband) : x <= *limit) states |= bit;
    };
    high(s.highHigh, kLimitHighHigh);
    high(s.high, kLimitHigh);
    low(s.low, kLimitLow);
    low(s.lowLow, kLimitLowLow);
    if (!exclusive) return states;
    for (unsigned bit : {kLimitHighHigh, kLimitLowLow, kLimitHigh, kLimitLow}) {
        if ((states & bit) != 0) return bit;
    }
    return kLimitNone;
}
}  // namespace

void AlarmCondition::NoteEvent(FILETIME time) {
    m_latestEvent = EventNumbers().fetch_add(1, std::memory_order_relaxed);
    m_latestEventTime = time;
}

void AlarmCondition::SetSeverity(WORD severity) {
    if (severity == m_state.severity) return;
    m_state.lastSeverity = m_state.severity;
    m_state.severity = severity;
}

void AlarmCondition::UpdateRetain() {
    m_state.retain =
        m_state.enabled && (m_state.active || !m_state.acked || (m_state.needsConfirm && !m_state.confirmed));
}

void AlarmCondition::Configure(const AlarmSettings& settings) {
    m_state.kind = settings.kind;
    m_state.needsConfirm = settings.needsConfirm;
    m_state.enabled = settings.enabled;
    m_state.active = false;
    m_state.limits = kLimitNone;
    m_state.acked = true;
    m_state.confirmed = true;
    m_state.severity = m_state.lastSeverity = settings.severity;
    UpdateRetain();
    m_fresh = true;
}

bool AlarmCondition::Evaluate(const AlarmSettings& settings, const Variant& value, WORD quality, FILETIME sourceTime,
                              FILETIME now) {
    if (!m_state.enabled) {
        // Judged no further, but told once, so that its holders know it.
        if (!m_fresh) return false;
        m_fresh = false;
        NoteEvent(now);
        return true;
    }
    const bool wasActive = m_state.active;
    const unsigned wasLimits = m_state.limits;
    const WORD wasQuality = m_state.quality;
    const WORD wasSeverity = m_state.severity;
    m_state.kind = settings.kind;
    m_state.needsConfirm = settings.needsConfirm;
    m_state.value = value;
    m_state.sourceTime = sourceTime;
    m_state.quality = quality;
    if (settings.kind == AlarmKind::OffNormal) {
        // An empty value (a volatile tag cleared) says nothing about the process.
        if (!value.IsEmpty()) {
            HRESULT converted = S_OK;
            const Variant normal = settings.normalValue.ConvertedTo(value.Type(), &converted);
            m_state.active = FAILED(converted) || !SameAlarmValue(normal, value);
        }
        m_state.limits = kLimitNone;
    } else if (const std::optional<double> x = NumberOf(value)) {
        m_state.limits = JudgeLimits(settings, *x, m_state.limits);
        m_state.active = m_state.limits != kLimitNone;
    }
    if (m_state.active) {
        SetSeverity((m_state.limits & kSevereLimits) != 0 ? settings.severityHighHigh : settings.severity);
        // Going active, or entering a limit state not held before, is a new alarm to acknowledge.
        if (!wasActive || (m_state.limits & ~wasLimits) != 0) m_state.acked = false;
    }
    if (m_state.active != wasActive) m_state.activeTime = now;
    UpdateRetain();
    const bool event = m_fresh || m_state.active != wasActive || m_state.limits != wasLimits ||
                       m_state.quality != wasQuality || m_state.severity != wasSeverity;
    m_fresh = false;
    if (event) NoteEvent(now);
    return event;
}

std::optional<AlarmCommandResult> AlarmCondition::Refusal(std::uint64_t eventNumber) const {
    if (eventNumber != m_latestEvent) return AlarmCommandResult::EventIdUnknown;
    if (!m_state.enabled) return AlarmCommandResult::Disabled;
    return std::nullopt;
}

AlarmCommandResult AlarmCondition::Finish(const std::wstring& comment, const std::wstring& user, FILETIME time) {
    if (!comment.empty()) {
        m_state.comment = comment;
        m_state.commentTime = time;
    }
    m_state.clientUserId = user;
    UpdateRetain();
    NoteEvent(time);
    return AlarmCommandResult::Done;
}

AlarmCommandResult AlarmCondition::Acknowledge(std::uint64_t eventNumber, const std::wstring& comment,
                                               const std::wstring& user, FILETIME time) {
    if (const auto refused = Refusal(eventNumber)) return *refused;
    if (m_state.acked) return AlarmCommandResult::AlreadyAcked;
    m_state.acked = true;
    m_state.ackedTime = time;
    if (m_state.needsConfirm) m_state.confirmed = false;
    return Finish(comment, user, time);
}

AlarmCommandResult AlarmCondition::Confirm(std::uint64_t eventNumber, const std::wstring& comment,
                                           const std::wstring& user, FILETIME time) {
    if (const auto refused = Refusal(eventNumber)) return *refused;
    if (m_state.confirmed) return AlarmCommandResult::AlreadyConfirmed;
    m_state.confirmed = true;
    m_state.confirmedTime = time;
    return Finish(comment, user, time);
}

AlarmCommandResult AlarmCondition::AddComment(std::uint64_t eventNumber, const std::wstring& comment,
                                              const std::wstring& user, FILETIME time) {
    if (const auto refused = Refusal(eventNumber)) return *refused;
    // An empty comment is a comment too: it clears the last one.
    m_state.comment = comment;
    m_state.commentTime = time;
    return Finish(L"", user, time);
}

AlarmCommandResult AlarmCondition::Enable(const AlarmSettings& settings, const Variant& value, WORD quality,
                                          FILETIME sourceTime, const std::wstring& user, FILETIME time) {
    if (m_state.enabled) return AlarmCommandResult::AlreadyEnabled;
    // What happened while disabled was not watched: judged afresh, as new settings are.
    AlarmSettings enabled = settings;
    enabled.enabled = true;
    Configure(enabled);
    m_state.enabledTime = time;
    m_state.clientUserId = user;
    Evaluate(enabled, value, quality, sourceTime, time);  // fresh: always its event
    return AlarmCommandResult::Done;
}

AlarmCommandResult AlarmCondition::Disable(const std::wstring& user, FILETIME time) {
    if (!m_state.enabled) return AlarmCommandResult::AlreadyDisabled;
    m_state.enabled = false;
    m_state.enabledTime = time;
    m_state.clientUserId = user;
    UpdateRetain();
    m_fresh = false;
    NoteEvent(time);
    return AlarmCommandResult::Done;
}

void AlarmCondition::Remove(FILETIME time) {
    m_state.retain = false;
    NoteEvent(time);
}

AlarmEvent AlarmCondition::MakeEvent(const std::wstring& itemId, const AlarmSettings& settings,
                                     AlarmEventCause cause) const {
    AlarmEvent event{itemId, m_latestEvent, m_latestEventTime, cause, m_state, settings};
    event.state.message = AlarmMessage(settings, itemId, m_state);
    return event;
}

const wchar_t* AlarmStateName(AlarmKind kind, unsigned limits, bool active) {
    if (!active) return L"Normal";
    if (kind == AlarmKind::OffNormal) return L"OffNormal";
    if ((limits & kLimitHighHigh) != 0) return L"HighHigh";
    if ((limits & kLimitLowLow) != 0) return L"LowLow";
    if ((limits & kLimitHigh) != 0) return L"High";
    if ((limits & kLimitLow) != 0) return L"Low";
    return L"Normal";
}

std::wstring AlarmMessage(const AlarmSettings& settings, const std::wstring& itemId, const AlarmConditionState& state) {
    if (!settings.message.empty()) return settings.message;
    return itemId + L" " + AlarmStateName(state.kind, state.limits, state.active);
}
