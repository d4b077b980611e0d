#pragma once
// A device: the top level of the configuration, a tag group that also polls.
// It owns one poll thread for its whole life; polling runs while at least one
// poll request (operator or OPC items) is outstanding.
//
// Every concrete device calls Shutdown() first in its destructor, while the
// object is still whole: the poll thread calls the virtual hooks.
#include <atomic>
#include <string>
#include <vector>

#include "AlarmStorm.h"
#include "AutoResetEvent.h"
#include "OpcConstants.h"
#include "OPCS_TagGroup.h"
#include "Thread.h"
#include "Variant.h"

// kPollAlarms: the device has tags with enabled alarms, which must be judged
// while the program runs whether a client watches or not.
enum PollRequestKind : int { kPollOperator = 0, kPollOpcItems = 1, kPollQuery = 2, kPollAlarms = 3 };
enum PollState : int { kPollIdle = 0, kPollStarting = 1, kPollWaiting = 2, kPollInCycle = 3 };

// The longest response delay a device takes, so that a slowed device still
// answers within a client's usual call time-out.
inline constexpr DWORD kMaxResponseDelayMs = 60000;
// The most alarm transitions a second a device's storm makes: beyond it the
// poll thread of one device cannot keep its schedule.
inline constexpr DWORD kMaxAlarmStormRate = 100000;

class Configuration;

class OPCS_Device : public OPCS_TagGroup {
public:
    OPCS_Device();
    ~OPCS_Device() override;
    void Serialize(Archive& archive) override;

    OPCS_Device* GetDevice() override { return this; }
    bool IsDevice() const override { return true; }
    bool CanDelete() override;

    virtual std::wstring GetDeviceName();
    virtual void SetInService(bool inService);
    virtual std::wstring ProposeName() = 0;
    virtual void PollCycle() = 0;
    virtual void OnPollStart();
    virtual void OnPollStop();
    virtual void RebuildTagList();
    virtual void SetStateIndicator(bool on);

    // `count` requests of one kind at once (an OPC group's items): one log
    // line and one wake-up for all of them.
    DWORD RequestPollStart(int kind, DWORD count = 1);
    DWORD RequestPollStop(int kind, DWORD count = 1);
    void PollNow();
    // One poll request of kind kPollAlarms stands while any tag's alarm or
    // history holds one: both keep the device polling without a client.
    void AddAlarmPoll();
    void ReleaseAlarmPoll();
    // The operator's poll request, kept in the configuration file: a device
    // left polling polls again when its file is next opened to be served.
    // Stopping it also withdraws the alarms' request until the operator
    // starts polling again (or the file is opened again), so that a device
    // with alarms can be stopped and edited; its alarms are then judged at
    // each write only.
    void SetOperatorPolling(bool on);
    // The device polls of its own accord: the operator's request or its
    // alarms' stands.
    bool PollsByItself();
    bool PollsOnOpen();
    void SetPollOnOpen(bool on);
    // Makes the operator's request of a device that polls on open.
    void ResumeOperatorPolling();
    // Wakes a polling run so that it takes changed simulation settings,
    // without running a cycle early.
    void Reschedule();
    bool IsBusy();
    void SetUpdateInterval(DWORD seconds);
    void InvalidateVolatileTags(WORD quality);
    void Shutdown();

    bool IsInService();
    DWORD GetUpdateInterval();
    // The wait between two poll cycles, in milliseconds.
    DWORD PollIntervalMs();
    // How often the device's own cycle changes its tags (a refresh), in
    // milliseconds; 0 when it changes none and only writes do.
    virtual DWORD ValueIntervalMs();
    int GetPollState();
    DWORD GetPollRequestCount();
    DWORD GetPollRequests(int kind);
    SYSTEMTIME GetLastPollTime();
    // When the last poll cycle of the polling run now going ended, on
    // GetTickCount64's clock; 0 when no run goes or none of its cycles has
    // ended (a device out of service runs none). Read without a lock: a
    // client's read decides by it whether the tag's value is fresh enough.
    ULONGLONG LastCycleEndedMs() const noexcept { return m_lastCycleEndedMs.load(std::memory_order_acquire); }

    // Fault simulation for clients under test: every read from the device
    // and every write to it takes the response delay (at most
    // kMaxResponseDelayMs, stored in the file); a frozen device's values stop
    // moving by themselves (simulated signals, timestamp refreshes and
    // replayed values pass it by; not stored).
    void SetResponseDelay(DWORD milliseconds);
    DWORD GetResponseDelay() const noexcept { return m_responseDelayMs.load(); }
    void SetFrozen(bool frozen) noexcept { m_frozen.store(frozen); }
    bool IsFrozen() const noexcept { return m_frozen.load(); }
    // Alarm transitions a second for load tests (AlarmStorm.h), 0 for none;
    // at most kMaxAlarmStormRate. Runs while the device polls; not stored.
    void SetAlarmStormRate(DWORD perSecond);
    DWORD GetAlarmStormRate() const noexcept { return m_alarmStormRate.load(); }

    // The configuration that holds the device, told of its changes; null
    // while it is in none.
    void SetConfiguration(Configuration* configuration) noexcept { m_configuration.store(configuration); }
    Configuration* GetConfiguration() const noexcept { return m_configuration.load(); }
    // The configuration now holds changes to save.
    void MarkConfigurationModified() noexcept;

    // False if another live device bears the name, without regard to case.
    static bool IsDeviceNameFree(const OPCS_Device* device, const std::wstring& name);
    // Why `device` may not be named `text` (as a rename would store it), in
    // words for the user; empty when it may.
    static std::wstring DeviceNameRefusal(const OPCS_Device* device, std::wstring text);

protected:
    // Leaves the device registry (done once, by the first destructor that runs).
    void LeaveDeviceRegistry() noexcept;
    // The device's flat tag list; only the poll thread changes it.
    const std::vector<OPCS_Tag*>& FlatTags() const noexcept { return m_flatTags; }
    // Counts the rebuilds of the flat list.
    DWORD FlatTagsVersion() const noexcept { return m_flatTagsVersion; }
    // Work between the cycles of a polling run (on the poll thread, while the
    // device is in service): does what is due at `nowMs` (GetTickCount64's
    // clock) and gives the milliseconds until it is due again, or INFINITE.
    virtual DWORD RunBetweenCycles(ULONGLONG nowMs);

    DWORD m_deviceClassCode = 0;
    std::atomic<bool> m_terminating{false};
    std::atomic<DWORD> m_responseDelayMs{0};
    std::atomic<bool> m_frozen{false};
    std::atomic<DWORD> m_alarmStormRate{0};
    std::atomic<ULONGLONG> m_lastCycleEndedMs{0};
    bool m_stateIndicator = true;
    bool m_stopRequested = false;
    bool m_inService = true;
    bool m_pollOnOpen = false;
    Thread m_pollThread;
    AutoResetEvent m_wakeEvent;
    AutoResetEvent m_startEvent;
    DWORD m_updateInterval;
    SYSTEMTIME m_lastPollTime{};
    // A vector, not a list: a polling run of 100,000 tags starts without
    // 100,000 allocations competing for the heap with the client threads.
    std::vector<OPCS_Tag*> m_flatTags;
    DWORD m_requests[4] = {0, 0, 0, 0};  // by PollRequestKind (kPollQuery unused)
    DWORD m_alarmPolls = 0;              // the tags whose alarms want the device polled
    bool m_alarmPollStopped = false;     // the operator stopped the polling alarms ask for
    CriticalSection m_secondLock;
    int m_pollState = kPollIdle;
    DWORD m_pollRequestCount = 0;

    friend class DeviceRecord;  // the configuration file's reader and writer

private:
    unsigned PollThreadMain();
    void PollingRun();
    // What a run's start and end leave in the volatile tags.
    WORD VolatileClearedQuality();
    void ReferenceFlatTags(bool clearVolatile = false);
    void ReleaseReferencedTags(bool clearVolatile);
    void LogVolatileCleared();
    // The wait between two cycles; returns early for a stop or PollNow.
    void WaitForNextCycle(DWORD milliseconds);
    // The storm's transitions due at `nowMs`; the milliseconds until the next.
    DWORD RunAlarmStorm(ULONGLONG nowMs);
    // Whether any start request stands (and the device is not ending).
    bool Requested();
    // After the last stop: true when a start came within the linger.
    bool LingerAfterLastStop();
    // The linger after a run whose start took `startMs`.
    static DWORD LingerAfterStart(double startMs) noexcept;

    // Tags whose client reference count this polling run raised: released
    // exactly once at its end, even when the flat list was rebuilt meanwhile.
    std::vector<OPCS_Tag*> m_referenced;
    DWORD m_lingerMs = 0;  // this run's; set at its start
    bool m_registered = false;
    DWORD m_flatTagsVersion = 0;
    bool m_cycleRequested = false;  // PollNow: the next cycle now
    bool m_rescheduleRequested = false;
    AlarmStorm m_alarmStorm;  // poll thread only
};
