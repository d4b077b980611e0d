// The tag's alarm: its settings, its condition judged at every change, and
// the poll request that keeps an alarmed tag's device polling.
#include "OPCS_Tag.h"

#include <utility>

#include "Configuration.h"
#include "FileTime.h"
#include "OPCS_Device.h"
#include "OPCS_TagGroup.h"

AlarmSettings OPCS_Tag::GetAlarmSettings() {
    ScopedLock guard(m_lock);
    return m_alarm != nullptr ? m_alarm->settings : AlarmSettings{};
}

bool OPCS_Tag::SetAlarmSettings(const AlarmSettings& settings) {
    OPCS_Device* release = nullptr;
    {
        ScopedLock guard(m_lock);
        if (!CheckAlarmSettings(settings, static_cast<VARTYPE>(m_dataType)).empty()) return false;
        release = PlaceAlarm(settings);
    }
    ReleaseAlarmPoll(release);
    SyncAlarmPolling();
    return true;
}

OPCS_Device* OPCS_Tag::PlaceAlarm(const AlarmSettings& settings) {
    if (!settings.IsAlarmed()) {
        if (m_alarm == nullptr) return nullptr;
        m_alarm->condition.Remove(FileTimeNow());
        NotifyAlarm(AlarmEventCause::Removed);
        OPCS_Device* device = m_alarm->pollDevice;
        m_hasAlarm.store(false, std::memory_order_release);
        m_alarm.reset();
        MarkModifiedIfOwned();
        return device;
    }
    if (m_alarm != nullptr && m_alarm->settings == settings) return nullptr;
    if (m_alarm == nullptr) {
        m_alarm = std::make_unique<TagAlarm>();
        m_hasAlarm.store(true, std::memory_order_release);
    }
    m_alarm->settings = settings;
    m_alarm->condition.Configure(settings);
    EvaluateAlarm(AlarmEventCause::SettingsChanged);
    MarkModifiedIfOwned();
    return nullptr;
}

OPCS_Device* OPCS_Tag::DropAlarmIfUnfit() {
    if (m_alarm == nullptr || CheckAlarmSettings(m_alarm->settings, static_cast<VARTYPE>(m_dataType)).empty()) {
        return nullptr;
    }
    return PlaceAlarm(AlarmSettings{});
}

void OPCS_Tag::EvaluateAlarm(AlarmEventCause cause) {
    if (m_alarm == nullptr) return;
    if (m_alarm->condition.Evaluate(m_alarm->settings, m_value, QualityInEffect(), m_timestamp, FileTimeNow())) {
        NotifyAlarm(cause);
    }
}

void OPCS_Tag::NotifyAlarm(AlarmEventCause cause) {
    Configuration* configuration = OwnerConfiguration();
    // The item ID is put together only for an observer to read.
    if (configuration == nullptr || !configuration->HasAlarmObserver()) return;
    configuration->NotifyAlarm(m_alarm->condition.MakeEvent(GetItemID(), m_alarm->settings, cause));
}

void OPCS_Tag::AnnounceAlarm() {
    ScopedLock guard(m_lock);
    if (m_alarm != nullptr) NotifyAlarm(AlarmEventCause::Evaluated);
}

bool OPCS_Tag::GetAlarmSnapshot(AlarmEvent& snapshot, bool retainedOnly) {
    ScopedLock guard(m_lock);
    if (m_alarm == nullptr || (retainedOnly && !m_alarm->condition.State().retain)) return false;
    snapshot = m_alarm->condition.MakeEvent(GetItemID(), m_alarm->settings, AlarmEventCause::Evaluated);
    return true;
}

AlarmCommandResult OPCS_Tag::ApplyAlarmCommand(AlarmCommandKind kind, std::uint64_t eventNumber,
                                               const std::wstring& comment, const std::wstring& user) {
    AlarmCommandResult result = AlarmCommandResult::NotAlarmed;
    {
        ScopedLock guard(m_lock);
        if (m_alarm == nullptr) return result;
        AlarmCondition& condition = m_alarm->condition;
        const FILETIME now = FileTimeNow();
        AlarmEventCause cause = AlarmEventCause::Evaluated;
        switch (kind) {
        case AlarmCommandKind::Acknowledge:
            result = condition.Acknowledge(eventNumber, comment, user, now);
            cause = AlarmEventCause::Acknowledged;
            break;
        case AlarmCommandKind::Confirm:
            result = condition.Confirm(eventNumber, comment, user, now);
            cause = AlarmEventCause::Confirmed;
            break;
        case AlarmCommandKind::AddComment:
            result = condition.AddComment(eventNumber, comment, user, now);
            cause = AlarmEventCause::Commented;
            break;
        case AlarmCommandKind::Enable:
            result = condition.Enable(m_alarm->settings, m_value, QualityInEffect(), m_timestamp, user, now);
            cause = AlarmEventCause::Enabled;
            break;
        case AlarmCommandKind::Disable:
            result = condition.Disable(user, now);
            cause = AlarmEventCause::Disabled;
            break;
        }
        if (result != AlarmCommandResult::Done) return result;
        if (kind == AlarmCommandKind::Enable || kind == AlarmCommandKind::Disable) {
            // Kept with the file: a disabled alarm stays so when the file is next opened.
            m_alarm->settings.enabled = kind == AlarmCommandKind::Enable;
            MarkModifiedIfOwned();
        }
        NotifyAlarm(cause);
    }
    if (kind == AlarmCommandKind::Enable || kind == AlarmCommandKind::Disable) SyncAlarmPolling();
    return result;
}

OPCS_Device* OPCS_Tag::RetireAlarm() {
    ScopedLock guard(m_lock);
    if (m_alarm == nullptr) return nullptr;
    m_alarm->condition.Remove(FileTimeNow());
    NotifyAlarm(AlarmEventCause::Removed);
    return std::exchange(m_alarm->pollDevice, nullptr);
}

void OPCS_Tag::ReleaseAlarmPoll(OPCS_Device* device) {
    if (device != nullptr && OPCS_TagGroup::IsValidGroup(device)) device->ReleaseAlarmPoll();
}

void OPCS_Tag::SyncAlarmPolling() {
    OPCS_Device* release = nullptr;
    OPCS_Device* request = nullptr;
    {
        ScopedLock guard(m_lock);
        if (m_alarm == nullptr) return;
        OPCS_Device* wanted = nullptr;
        Configuration* configuration = m_alarm->settings.enabled ? OwnerConfiguration() : nullptr;
        if (configuration != nullptr && configuration->IsAlarmPollingOn()) {
            // Only a device carries a configuration: the top of the tree is one.
            OPCS_TagGroup* top = m_owner;
            while (OPCS_TagGroup* parent = top->GetParent()) top = parent;
            wanted = static_cast<OPCS_Device*>(top);
        }
        if (wanted == m_alarm->pollDevice) return;
        release = m_alarm->pollDevice;
        request = wanted;
        m_alarm->pollDevice = wanted;
    }
    ReleaseAlarmPoll(release);
    if (request != nullptr && OPCS_TagGroup::IsValidGroup(request)) request->AddAlarmPoll();
}
