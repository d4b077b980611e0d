#include "ToviDevice.h"

#include "CriticalSection.h"
#include "EventLog.h"
#include "RefreshSchedule.h"
#include "Tag.h"
#include "Text.h"

ToviDevice::ToviDevice() = default;

ToviDevice::~ToviDevice() {
    Shutdown();
    theEventLog << L"Device:" << GetName() << L"Destroyed" << EventLog::EndEntry;
}

std::wstring ToviDevice::ProposeName() {
    ScopedLock guard(lock_);
    const std::wstring base = L"TagGroup";
    std::wstring candidate = base;
    for (unsigned n = 2; !IsDeviceNameFree(this, candidate); ++n) {
        candidate = FormatText(L"%ls v%u", base.c_str(), n);
    }
    return candidate;
}

void ToviDevice::ApplyRefreshInterval() {
    ScopedLock guard(lock_);
    DWORD seconds = 0x7FFFFFFF;  // the setter turns it into its maximum
    if (refreshEnabled_ == 1) {
        seconds = refreshMode_ == kRefreshByInterval ? refreshPeriod_ : 1;
    }
    SetUpdateInterval(seconds);
}

void ToviDevice::SetRefreshEnabled(bool enabled) {
    ScopedLock guard(lock_);
    const DWORD value = enabled ? 1 : 0;
    if (value != refreshEnabled_) {
        refreshEnabled_ = value;
        ApplyRefreshInterval();
        OPCS_Device::MarkConfigurationModified();
    }
}

void ToviDevice::SetRefreshMode(DWORD mode) {
    ScopedLock guard(lock_);
    if (mode != refreshMode_) {
        refreshMode_ = mode;
        ApplyRefreshInterval();
        OPCS_Device::MarkConfigurationModified();
    }
}

void ToviDevice::SetRefreshPeriod(DWORD seconds) {
    ScopedLock guard(lock_);
    if (seconds != refreshPeriod_) {
        refreshPeriod_ = seconds;
        ApplyRefreshInterval();
        OPCS_Device::MarkConfigurationModified();
    }
}

void ToviDevice::OnPollStart() {
    OPCS_Device::OnPollStart();
    ApplyRefreshInterval();
    scheduleStale_ = true;  // signals do not move while the device is idle
}

DWORD ToviDevice::RunBetweenCycles(ULONGLONG nowMs) {
    if (scheduleStale_ || scheduledVersion_ != FlatTagsVersion()) {
        simulation_.Rebuild(FlatTags(), nowMs);
        scheduledVersion_ = FlatTagsVersion();
        scheduleStale_ = false;
    }
    return simulation_.RunDue(nowMs);
}

void ToviDevice::PollCycle() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    RefreshIfDue(now);
}

void ToviDevice::RefreshIfDue(const SYSTEMTIME& localNow) {
    DWORD enabled, mode, period;
    {
        ScopedLock guard(lock_);
        enabled = refreshEnabled_;
        mode = refreshMode_;
        period = refreshPeriod_;
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
    ScopedLock g(lock_);
    return DeviceRefresh{refreshEnabled_ != 0, refreshMode_, refreshPeriod_};
}

bool ToviDevice::IsRefreshEnabled() { ScopedLock g(lock_); return refreshEnabled_ != 0; }
DWORD ToviDevice::GetRefreshMode() { ScopedLock g(lock_); return refreshMode_; }
DWORD ToviDevice::GetRefreshPeriod() { ScopedLock g(lock_); return refreshPeriod_; }
