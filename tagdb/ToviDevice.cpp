#include "ToviDevice.h"

#include <algorithm>

#include "CriticalSection.h"
#include "EventLog.h"
#include "RefreshSchedule.h"
#include "OPCS_Tag.h"
#include "Text.h"

ToviDevice::ToviDevice() = default;

ToviDevice::~ToviDevice() {
    Shutdown();
    theEventLog << L"Device:" << GetName() << L"Destroyed" << EventLog::EndEntry;
}

std::wstring ToviDevice::ProposeName() {
    ScopedLock guard(m_lock);
    const std::wstring base = L"TagGroup";
    std::wstring candidate = base;
    for (unsigned n = 2; !IsDeviceNameFree(this, candidate); ++n) {
        candidate = FormatText(L"%ls v%u", base.c_str(), n);
    }
    return candidate;
}

void ToviDevice::ApplyRefreshInterval() {
    ScopedLock guard(m_lock);
    DWORD seconds = 0x7FFFFFFF;  // the setter turns it into its maximum
    if (m_refreshEnabled == 1) {
        seconds = m_refreshMode == kRefreshByInterval ? m_refreshPeriod : 1;
    }
    SetUpdateInterval(seconds);
}

void ToviDevice::SetRefreshEnabled(bool enabled) {
    ScopedLock guard(m_lock);
    const DWORD value = enabled ? 1 : 0;
    if (value != m_refreshEnabled) {
        m_refreshEnabled = value;
        ApplyRefreshInterval();
        OPCS_Device::MarkConfigurationModified();
    }
}

void ToviDevice::SetRefreshMode(DWORD mode) {
    ScopedLock guard(m_lock);
    if (mode != m_refreshMode) {
        m_refreshMode = mode;
        ApplyRefreshInterval();
        OPCS_Device::MarkConfigurationModified();
    }
}

void ToviDevice::SetRefreshPeriod(DWORD seconds) {
    ScopedLock guard(m_lock);
    if (seconds != m_refreshPeriod) {
        m_refreshPeriod = seconds;
        ApplyRefreshInterval();
        OPCS_Device::MarkConfigurationModified();
    }
}

namespace {
// How soon a frozen device notices that it is thawed.
constexpr DWORD kFrozenRecheckMs = 200;
}  // namespace

void ToviDevice::OnPollStart() {
    OPCS_Device::OnPollStart();
    ApplyRefreshInterval();
    m_scheduleStale = true;  // signals do not move while the device is idle
}

DWORD ToviDevice::RunBetweenCycles(ULONGLONG nowMs) {
    if (IsFrozen()) {
        // The signals stand still and start again from where they stood.
        m_scheduleStale = true;
        return kFrozenRecheckMs;
    }
    if (m_scheduleStale || m_scheduledVersion != FlatTagsVersion()) {
        m_simulation.Rebuild(FlatTags(), nowMs);
        m_scheduledVersion = FlatTagsVersion();
        m_scheduleStale = false;
    }
    return m_simulation.RunDue(nowMs);
}

DWORD ToviDevice::ValueIntervalMs() {
    ScopedLock guard(m_lock);
    if (m_refreshEnabled != 1) return 0;
    if (m_refreshMode != kRefreshBySchedule) return PollIntervalMs();
    // By schedule the cycle runs each second and refreshes once per period.
    return static_cast<DWORD>(std::min<unsigned long long>(m_refreshPeriod * 1000ull, 0x7FFFFFFF));
}

void ToviDevice::PollCycle() {
    if (IsFrozen()) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    RefreshIfDue(now);
}

void ToviDevice::RefreshIfDue(const SYSTEMTIME& localNow) {
    DWORD enabled, mode, period;
    {
        ScopedLock guard(m_lock);
        enabled = m_refreshEnabled;
        mode = m_refreshMode;
        period = m_refreshPeriod;
    }
    if (!enabled) {
        return;
    }
    if (mode == kRefreshBySchedule) {
        // A period of 0 names no schedule: nothing is due.
        const DWORD secondOfDay = localNow.wHour * 3600u + localNow.wMinute * 60u + localNow.wSecond;
        if (period == 0 || secondOfDay % period != 0) {
            return;
        }
    }
    RefreshTimestamps();
}

void ToviDevice::RefreshTimestamps() {
    for (OPCS_Tag* tag : FlatTags()) {
        if (OPCS_Tag::IsValidTag(tag)) {
            tag->SetValueNow(tag->GetValue());
        }
    }
}

void ToviDevice::ApplyProperties(std::wstring name, DeviceRefresh refresh, int scheduleIndex) {
    if (refresh.mode == kRefreshBySchedule && scheduleIndex >= 0 &&
        scheduleIndex < static_cast<int>(kRefreshSchedule.size())) {
        refresh.period = kRefreshSchedule[static_cast<size_t>(scheduleIndex)].seconds;
    }
    Rename(std::move(name));
    SetRefreshEnabled(refresh.enabled);
    SetRefreshMode(refresh.mode);
    SetRefreshPeriod(refresh.period);
}

DeviceRefresh ToviDevice::GetRefresh() {
    ScopedLock g(m_lock);
    return DeviceRefresh{m_refreshEnabled != 0, m_refreshMode, m_refreshPeriod};
}

bool ToviDevice::IsRefreshEnabled() {
    ScopedLock g(m_lock);
    return m_refreshEnabled != 0;
}
DWORD ToviDevice::GetRefreshMode() {
    ScopedLock g(m_lock);
    return m_refreshMode;
}
DWORD ToviDevice::GetRefreshPeriod() {
    ScopedLock g(m_lock);
    return m_refreshPeriod;
}
