#include "OPCS_Device.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "Dll.h"
#include "EventLog.h"
#include "Configuration.h"
#include "OpcConstants.h"
#include "TreeLimits.h"
#include "OPCS_Registry.h"
#include "OPCS_Tag.h"
#include "ReservedNames.h"
#include "Text.h"

namespace {
struct DeviceRegistry {
    CriticalSection lock;
    Dll<OPCS_Device*> devices;
};

DeviceRegistry& Registry() {
    static DeviceRegistry registry;  // created on first use
    return registry;
}

constexpr DWORD kMinUpdateInterval = 1;
// How soon a frozen device's storm notices the thaw.
constexpr DWORD kFrozenStormRecheckMs = 200;
constexpr DWORD kMaxUpdateInterval = 3599;
// A run's start walks every tag of the device, tens of milliseconds for
// 100,000 tags on a processor the groups that asked for the run need for
// their first scans and notifications: those go first.
constexpr DWORD kRunStartDelayMs = 100;
// How long a run outlives its last stop request, at least and at most.
constexpr DWORD kRunStopDelayMs = 250;
constexpr DWORD kRunStopDelayLongestMs = 5000;

// The update interval every new device starts with. A hand-written setting
// of 0 would make the poll thread spin without waiting: it gets the minimum.
DWORD NewDevicePollRate() {
    return std::clamp<DWORD>(theSettings.GetPollRate(), kMinUpdateInterval, kMaxUpdateInterval);
}

bool IsRequestKind(int kind) { return kind == kPollOperator || kind == kPollOpcItems || kind == kPollAlarms; }

void CopyGroupTags(OPCS_TagGroup* group, std::vector<OPCS_Tag*>& into) {
    std::vector<OPCS_TagGroup*> subGroups;
    {
        ScopedLock guard(group->Lock());
        into.insert(into.end(), group->Tags().begin(), group->Tags().end());
        subGroups.assign(group->Groups().begin(), group->Groups().end());
    }
    for (OPCS_TagGroup* sub : subGroups) {
        if (OPCS_TagGroup::IsValidGroup(sub)) {
            CopyGroupTags(sub, into);
        }
    }
}
}  // namespace

OPCS_Device::OPCS_Device() : m_updateInterval(NewDevicePollRate()) {
    StoreName(L"Device");
    m_imageIndex = 0;
    m_selectedImageIndex = 1;
    GetLocalTime(&m_lastPollTime);
    if (m_wakeEvent.IsValid() && m_startEvent.IsValid()) {
        m_pollThread.Start([this] { return PollThreadMain(); });
    }
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    r.devices.Append(this);
    m_registered = true;
}

OPCS_Device::~OPCS_Device() {
    Shutdown();
    // The tags' changes reach no configuration from here on, held or not.
    SetConfiguration(nullptr);
    RetireValidity();
    {
        ScopedLock guard(m_lock);
        StoreName(L"Deleted");
        m_updateInterval = 0;
    }
    LeaveDeviceRegistry();
    ScopedLock guard(m_lock);
    std::vector<OPCS_Tag*>().swap(m_flatTags);
}

void OPCS_Device::LeaveDeviceRegistry() noexcept {
    if (!m_registered) {
        return;
    }
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    for (auto node = r.devices.begin(); node != r.devices.end(); ++node) {
        if (*node == this) {
            r.devices.Remove(node);
            break;
        }
    }
    m_registered = false;
}

bool OPCS_Device::IsDeviceNameFree(const OPCS_Device* device, const std::wstring& name) {
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    for (OPCS_Device* other : r.devices) {
        if (other != device && IsValidGroup(other) && EqualsNoCase(other->GetName(), name)) {
            return false;
        }
    }
    return true;
}

std::wstring OPCS_Device::DeviceNameRefusal(const OPCS_Device* device, std::wstring text) {
    std::replace(text.begin(), text.end(), kItemIdSeparator, L' ');
    if (IsReservedName(text)) return ReservedNameRefusal(text);
    if (text.size() > kMaxNameLength) return NameLengthRefusal();
    std::wstring bearer;
    bool taken = false;
    {
        DeviceRegistry& r = Registry();
        ScopedLock guard(r.lock);
        for (OPCS_Device* other : r.devices) {
            if (other != device && IsValidGroup(other) && EqualsNoCase(other->GetName(), text)) {
                bearer = other->GetName();
                taken = true;
                break;
            }
        }
    }
    if (!taken) return {};
    return L"There is already a device named \"" + bearer + L"\". Please choose another name.";
}

void OPCS_Device::MarkConfigurationModified() noexcept {
    if (Configuration* configuration = GetConfiguration()) configuration->SetModified(true);
}

std::wstring OPCS_Device::GetDeviceName() { return GetName() + kItemIdSeparator; }

bool OPCS_Device::IsBusy() {
    ScopedLock guard(m_lock);
    return m_pollRequestCount != 0 && m_pollThread.IsRunning();
}

bool OPCS_Device::CanDelete() { return !IsBusy(); }

DWORD OPCS_Device::RequestPollStart(int kind, DWORD count) {
    if (!IsValidGroup(this)) {
        return 0;
    }
    if (kind == kPollQuery) {
        return m_pollRequestCount;
    }
    ScopedLock guard(m_lock);
    if (m_terminating || !m_pollThread.IsRunning() || !IsRequestKind(kind) || count == 0) {
        return 0;
    }
    const bool wasPolling = m_pollRequestCount != 0 && !m_stopRequested;
    m_pollRequestCount += count;
    m_requests[kind] += count;
    m_stopRequested = false;
    if (!wasPolling) m_startEvent.Set();  // already set while polling runs
    theEventLog << L"Device:" << GetName() << L"Poll Loop Start Request Queued" << EventLog::EndEntry;
    return m_pollRequestCount;
}

DWORD OPCS_Device::RequestPollStop(int kind, DWORD count) {
    if (!IsValidGroup(this)) {
        return 0;
    }
    if (kind == kPollQuery) {
        return m_pollRequestCount;
    }
    ScopedLock guard(m_lock);
    if (m_terminating || !m_pollThread.IsRunning() || !IsRequestKind(kind)) {
        return 0;
    }
    // Never more stops than starts of that kind.
    count = std::min(count, static_cast<DWORD>(m_requests[kind]));
    if (count == 0) {
        return m_pollRequestCount;
    }
    m_requests[kind] -= count;
    m_pollRequestCount -= count;
    if (m_pollRequestCount > 0) {
        return m_pollRequestCount;
    }
    m_stopRequested = true;
    m_startEvent.Reset();
    m_wakeEvent.Set();  // leave the wait between cycles at once
    theEventLog << L"Device:" << GetName() << L"Poll Loop Stop Request Queued" << EventLog::EndEntry;
    return 0;
}

unsigned OPCS_Device::PollThreadMain() {
    while (IsValidGroup(this) && !m_terminating) {
        DWORD count;
        {
            ScopedLock guard(m_lock);
            count = m_pollRequestCount;
        }
        if (count == 0) {
            m_startEvent.Wait(INFINITE);
        }
        if (!IsValidGroup(this)) {
            break;
        }
        PollingRun();
    }
    theEventLog << L"Device:" << GetName() << L"Thread to poll device terminated" << EventLog::EndEntry;
    return 0;
}

void OPCS_Device::PollingRun() {
    if (!IsValidGroup(this)) {
        return;
    }
    m_wakeEvent.Reset();  // a wake-up from before this run is none for it
    {
        ScopedLock guard(m_lock);
        if (m_pollRequestCount == 0 || m_terminating) {
            return;
        }
        m_pollState = kPollStarting;
    }
    // A stop meanwhile (its wake-up ends the wait) costs no run at all.
    m_wakeEvent.Wait(kRunStartDelayMs);
    {
        ScopedLock guard(m_lock);
        if (m_pollRequestCount == 0 || m_terminating) {
            m_pollState = kPollIdle;
            return;
        }
    }
    const auto startBegan = std::chrono::steady_clock::now();
    RebuildTagList();
    ReferenceFlatTags(true);
    m_lingerMs = LingerAfterStart(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - startBegan).count());
    m_wakeEvent.Reset();
    m_alarmStorm.Pause();  // the time the device stood idle is owed nothing
    OnPollStart();
    for (;;) {
        DWORD intervalSeconds;
        bool inService;
        if (!Requested() && !LingerAfterLastStop()) break;
        {
            ScopedLock guard(m_lock);
            if (m_pollRequestCount == 0) break;
            m_pollState = kPollInCycle;
            inService = m_inService;
        }
        if (IsStructureChanged()) {
            RebuildTagList();
            ReferenceFlatTags();  // tags that appeared meanwhile
        }
        if (inService) {
            try {
                PollCycle();
                m_lastCycleEndedMs.store(std::max<ULONGLONG>(GetTickCount64(), 1), std::memory_order_release);
            } catch (...) {
                ScopedLock guard(m_lock);
                m_inService = false;
            }
        }
        {
            ScopedLock guard(m_lock);
            GetLocalTime(&m_lastPollTime);
            m_pollState = kPollWaiting;
            intervalSeconds = m_updateInterval;
        }
        if (!Requested()) continue;  // the linger above decides
        // An interval read from a file is not clamped: keep the wait finite.
        const unsigned long long ms =
            std::min<unsigned long long>(static_cast<unsigned long long>(intervalSeconds) * 1000ull, INFINITE - 1);
        WaitForNextCycle(static_cast<DWORD>(ms));
    }
    m_lastCycleEndedMs.store(0, std::memory_order_release);
    ReleaseReferencedTags(true);
    OnPollStop();
    ScopedLock guard(m_lock);
    m_pollState = kPollIdle;
}

bool OPCS_Device::Requested() {
    ScopedLock guard(m_lock);
    return m_pollRequestCount != 0 && !m_terminating;
}

DWORD OPCS_Device::LingerAfterStart(double startMs) noexcept {
    // The run's end costs about what its start did. Clients that come and go
    // at any pace then spend at most about one percent of a processor on the
    // device's starts and ends, wherever they land.
    const double ms = startMs * 2 * 100;
    return ms >= kRunStopDelayLongestMs ? kRunStopDelayLongestMs : std::max(kRunStopDelayMs, static_cast<DWORD>(ms));
}

bool OPCS_Device::LingerAfterLastStop() {
    // A client that removes its items and adds them again soon after (a
    // group rebuilt, a reconnect) finds the run still going: the tags are
    // not let go, cleared and taken again for nothing.
    const ULONGLONG until = GetTickCount64() + m_lingerMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until || m_terminating) return false;
        m_startEvent.Wait(static_cast<DWORD>(until - now));
        if (m_terminating) return false;
        if (Requested()) return true;
    }
}

void OPCS_Device::WaitForNextCycle(DWORD milliseconds) {
    const ULONGLONG cycleDue = GetTickCount64() + milliseconds;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= cycleDue) return;
        DWORD between = INFINITE;
        if (IsInService()) {
            if (IsStructureChanged()) {
                RebuildTagList();
                ReferenceFlatTags();
            }
            between = std::min(RunBetweenCycles(now), RunAlarmStorm(now));
        } else {
            m_alarmStorm.Pause();
        }
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(cycleDue - now, between));
        if (m_wakeEvent.Wait(wait) == WaitResult::Signalled) {
            ScopedLock guard(m_lock);
            if (m_pollRequestCount == 0 || m_cycleRequested || !m_rescheduleRequested) {
                m_cycleRequested = false;
                m_rescheduleRequested = false;
                return;
            }
            m_rescheduleRequested = false;
        }
    }
}

DWORD OPCS_Device::RunBetweenCycles(ULONGLONG) { return INFINITE; }

DWORD OPCS_Device::RunAlarmStorm(ULONGLONG nowMs) {
    const DWORD perSecond = GetAlarmStormRate();
    if (IsFrozen()) {
        // Nothing moves; the storm goes on from the thaw, not catching up.
        m_alarmStorm.Pause();
        // Stopped meanwhile, it still brings its tags back once thawed.
        return perSecond != 0 || m_alarmStorm.TagCount() != 0 ? kFrozenStormRecheckMs : INFINITE;
    }
    return m_alarmStorm.RunDue(FlatTags(), FlatTagsVersion(), perSecond, nowMs);
}

void OPCS_Device::SetAlarmStormRate(DWORD perSecond) {
    perSecond = std::min(perSecond, kMaxAlarmStormRate);
    if (m_alarmStormRate.exchange(perSecond) != perSecond) Reschedule();
}

// At the start and the end of a run the volatile tags are cleared in the same
// pass that holds or lets go of the tags: a device of 100,000 tags then walks
// its tags (and misses the cache on each) once, not twice.
void OPCS_Device::ReferenceFlatTags(bool clearVolatile) {
    // The start of a run has nothing referenced yet; a rebuild in mid-run
    // looks up what it already holds in a sorted copy (one allocation).
    std::vector<OPCS_Tag*> already;
    if (!m_referenced.empty()) {
        already = m_referenced;
        std::sort(already.begin(), already.end());
    }
    m_referenced.reserve(m_referenced.size() + m_flatTags.size());
    const WORD cleared = clearVolatile ? VolatileClearedQuality() : WORD{0};
    for (OPCS_Tag* tag : m_flatTags) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        if (!std::binary_search(already.begin(), already.end(), tag)) {
            tag->AddClientReference();
            m_referenced.push_back(tag);
        }
        if (clearVolatile) tag->InvalidateIfVolatile(cleared);
    }
    if (clearVolatile) LogVolatileCleared();
}

void OPCS_Device::ReleaseReferencedTags(bool clearVolatile) {
    // A held tag cannot leave the device, so the held ones are the flat list's live ones.
    const WORD cleared = clearVolatile ? VolatileClearedQuality() : WORD{0};
    for (OPCS_Tag* tag : m_referenced) {
        if (OPCS_Tag::IsValidTag(tag)) {
            // Cleared while still held: once let go the tag may be deleted.
            if (clearVolatile) tag->InvalidateIfVolatile(cleared);
            tag->ReleaseClientReference();
        }
    }
    m_referenced.clear();
    if (clearVolatile) LogVolatileCleared();
}

WORD OPCS_Device::VolatileClearedQuality() {
    // A device out of service keeps saying so: a run that starts or ends
    // meanwhile is no loss of connection.
    return IsInService() ? OPC_QUALITY_NOT_CONNECTED : OPC_QUALITY_OUT_OF_SERVICE;
}

void OPCS_Device::OnPollStart() {
    ScopedLock guard(m_lock);
    m_stopRequested = false;
}

void OPCS_Device::OnPollStop() {
    ScopedLock guard(m_lock);
    m_stopRequested = false;
}

void OPCS_Device::RebuildTagList() {
    // Collected without the device lock, which every name lookup in the
    // device takes: a client adding items waits for no walk of the tree. A
    // change while the walk runs marks the structure again.
    {
        ScopedLock guard(m_lock);
        m_structureChanged = false;
    }
    std::vector<OPCS_Tag*> fresh;
    fresh.reserve(m_flatTags.size());
    if (IsValidGroup(this)) {
        CopyGroupTags(this, fresh);
    }
    ScopedLock guard(m_lock);
    m_flatTags.swap(fresh);
    ++m_flatTagsVersion;
}

void OPCS_Device::InvalidateVolatileTags(WORD quality) {
    {
        ScopedLock guard(m_lock);  // against a rebuild by the poll thread
        for (OPCS_Tag* tag : m_flatTags) {
            if (OPCS_Tag::IsValidTag(tag)) tag->InvalidateIfVolatile(quality);
        }
    }
    LogVolatileCleared();
}

void OPCS_Device::LogVolatileCleared() {
    theEventLog << L"Device:" << GetName() << L"-Volatile flags cleared" << EventLog::EndEntry;
}

void OPCS_Device::SetInService(bool inService) {
    {
        ScopedLock guard(m_lock);
        if (inService == m_inService) {
            return;
        }
        m_inService = inService;
        theEventLog << L"Device:" << GetName() << (inService ? L"In Service" : L"Out of Service") << EventLog::EndEntry;
        if (!inService) {
            InvalidateVolatileTags(OPC_QUALITY_OUT_OF_SERVICE);
        } else {
            PollNow();
        }
    }
    NotifyChanged(false);
}

void OPCS_Device::SetUpdateInterval(DWORD seconds) {
    // Compared once clamped: a device without a refresh asks for "never" at
    // every polling start, which is no change to log, save or tell clients of.
    seconds = std::clamp(seconds, kMinUpdateInterval, kMaxUpdateInterval);
    {
        ScopedLock guard(m_lock);
        if (seconds == m_updateInterval) {
            return;
        }
        m_updateInterval = seconds;
        theEventLog << L"Device:" << GetName() << L"Update Interval set to (secs):" << m_updateInterval
                    << EventLog::EndEntry;
    }
    NotifyChanged(false);
    PollNow();
}

void OPCS_Device::PollNow() {
    ScopedLock guard(m_lock);
    if (IsBusy()) {
        m_cycleRequested = true;
        m_wakeEvent.Set();
    }
}

void OPCS_Device::AddAlarmPoll() {
    ScopedLock guard(m_lock);
    if (m_alarmPolls++ == 0 && !m_alarmPollStopped) RequestPollStart(kPollAlarms);
}

void OPCS_Device::ReleaseAlarmPoll() {
    ScopedLock guard(m_lock);
    if (m_alarmPolls != 0 && --m_alarmPolls == 0 && !m_alarmPollStopped) RequestPollStop(kPollAlarms);
}

void OPCS_Device::SetOperatorPolling(bool on) {
    SetPollOnOpen(on);
    ScopedLock guard(m_lock);
    const bool requested = m_requests[kPollOperator] != 0;
    if (on && !requested) {
        RequestPollStart(kPollOperator);
    } else if (!on && requested) {
        RequestPollStop(kPollOperator);
    }
    if (m_alarmPollStopped != on) return;
    m_alarmPollStopped = !on;
    if (m_alarmPolls == 0) return;
    if (on) {
        RequestPollStart(kPollAlarms);
    } else {
        RequestPollStop(kPollAlarms);
    }
}

bool OPCS_Device::PollsByItself() {
    ScopedLock guard(m_lock);
    return m_requests[kPollOperator] != 0 || m_requests[kPollAlarms] != 0;
}

bool OPCS_Device::PollsOnOpen() {
    ScopedLock guard(m_lock);
    return m_pollOnOpen;
}

void OPCS_Device::SetPollOnOpen(bool on) {
    {
        ScopedLock guard(m_lock);
        if (on == m_pollOnOpen) return;
        m_pollOnOpen = on;
    }
    MarkConfigurationModified();
}

void OPCS_Device::ResumeOperatorPolling() {
    if (PollsOnOpen() && GetPollRequests(kPollOperator) == 0) RequestPollStart(kPollOperator);
}

void OPCS_Device::SetResponseDelay(DWORD milliseconds) {
    milliseconds = std::min(milliseconds, kMaxResponseDelayMs);
    if (m_responseDelayMs.exchange(milliseconds) != milliseconds) MarkConfigurationModified();
}

void OPCS_Device::Reschedule() {
    ScopedLock guard(m_lock);
    if (m_pollRequestCount != 0) {
        m_rescheduleRequested = true;
        m_wakeEvent.Set();
    }
}

void OPCS_Device::SetStateIndicator(bool on) {
    ScopedLock guard(m_lock);
    if (on != m_stateIndicator) {
        m_stateIndicator = on;
        if (Configuration* configuration = GetConfiguration()) configuration->NotifyDeviceStatesChanged();
    }
}

void OPCS_Device::Shutdown() {
    m_terminating = true;
    {
        ScopedLock guard(m_lock);
        m_pollRequestCount = 0;
    }
    if (m_pollThread.IsRunning()) {
        m_wakeEvent.Set();
        m_startEvent.Set();
        m_pollThread.Join(INFINITE);
    }
}

bool OPCS_Device::IsInService() {
    ScopedLock g(m_lock);
    return m_inService;
}
DWORD OPCS_Device::GetUpdateInterval() {
    ScopedLock g(m_lock);
    return m_updateInterval;
}
DWORD OPCS_Device::PollIntervalMs() {
    // An interval read from a file is not clamped.
    const unsigned long long ms = GetUpdateInterval() * 1000ull;
    return static_cast<DWORD>(std::min<unsigned long long>(ms, 0x7FFFFFFF));
}
DWORD OPCS_Device::ValueIntervalMs() { return PollIntervalMs(); }
int OPCS_Device::GetPollState() {
    ScopedLock g(m_lock);
    return m_pollState;
}
DWORD OPCS_Device::GetPollRequestCount() {
    ScopedLock g(m_lock);
    return m_pollRequestCount;
}
DWORD OPCS_Device::GetPollRequests(int kind) {
    ScopedLock g(m_lock);
    return IsRequestKind(kind) ? m_requests[kind] : 0;
}
SYSTEMTIME OPCS_Device::GetLastPollTime() {
    ScopedLock g(m_lock);
    return m_lastPollTime;
}
