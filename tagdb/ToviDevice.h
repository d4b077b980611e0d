#pragma once
// The product's device: it has no hardware behind it; its poll cycle re-stamps
// every tag with the current time and Good quality, on a schedule of the time
// of day or at a fixed interval, so that subscribed clients see updates.
// Between the cycles it moves its simulated tags' signals.
#include <string>

#include "OPCS_Device.h"
#include "SimulationSchedule.h"

enum RefreshMode : DWORD { kRefreshBySchedule = 0, kRefreshByInterval = 1 };

// When the device re-stamps its tags: by the time-of-day schedule (the
// period picks the entry) or every `period` seconds.
struct DeviceRefresh {
    bool enabled = false;
    DWORD mode = kRefreshBySchedule;
    DWORD period = 300;
};

class ToviDevice : public OPCS_Device {
public:
    ToviDevice();
    ~ToviDevice() override;
    void Serialize(Archive& archive) override;

    std::wstring ProposeName() override;
    // An edit of the device's properties dialog. By Schedule the chosen
    // entry of the schedule (when there is one) gives the period; otherwise
    // the refresh's own period stands.
    void ApplyProperties(std::wstring name, DeviceRefresh refresh, int scheduleIndex);
    DeviceRefresh GetRefresh();
    void PollCycle() override;
    void OnPollStart() override;
    DWORD ValueIntervalMs() override;

    void SetRefreshEnabled(bool enabled);
    void SetRefreshMode(DWORD mode);
    void SetRefreshPeriod(DWORD seconds);
    void ApplyRefreshInterval();
    void RefreshTimestamps();
    // The cycle's rule for a given local time: refreshes when it is due.
    void RefreshIfDue(const SYSTEMTIME& localNow);

    bool IsRefreshEnabled();
    DWORD GetRefreshMode();
    DWORD GetRefreshPeriod();

protected:
    DWORD RunBetweenCycles(ULONGLONG nowMs) override;

    DWORD m_refreshEnabled = 0;
    DWORD m_refreshMode = kRefreshBySchedule;
    DWORD m_refreshPeriod = 300;

private:
    // Poll thread only.
    SimulationSchedule m_simulation;
    DWORD m_scheduledVersion = 0;
    bool m_scheduleStale = true;

    friend class DeviceRecord;
};
