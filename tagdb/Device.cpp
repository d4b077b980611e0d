#include "Device.h"

#include <algorithm>
#include <limits>

#include "Dll.h"
#include "EventLog.h"
#include "Configuration.h"
#include "OpcConstants.h"
#include "OPCS_Registry.h"
#include "Tag.h"
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
constexpr DWORD kMaxUpdateInterval = 3599;
// A run's start walks every tag of the device, tens of milliseconds for
// 100,000 tags on a processor the groups that asked for the run need for
// their first scans and notifications: those go first.
constexpr DWORD kRunStartDelayMs = 100;

// The update interval every new device starts with. A hand-written setting
// of 0 would make the poll thread spin without waiting: it gets the minimum.
DWORD NewDevicePollRate() {
    return std::clamp<DWORD>(theSettings.GetPollRate(), kMinUpdateInterval, kMaxUpdateInterval);
}

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

OPCS_Device::OPCS_Device() : updateInterval_(NewDevicePollRate()) {
    StoreName(L"Device");
    imageIndex_ = 0;
    selectedImageIndex_ = 1;
    GetLocalTime(&lastPollTime_);
    if (wakeEvent_.IsValid() && startEvent_.IsValid()) {
        pollThread_.Start([this] { return PollThreadMain(); });
    }
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    r.devices.Append(this);
    registered_ = true;
}

OPCS_Device::~OPCS_Device() {
    Shutdown();
    RetireValidity();
    {
        ScopedLock guard(lock_);
        StoreName(L"Deleted");
        updateInterval_ = 0;
    }
    LeaveDeviceRegistry();
    ScopedLock guard(lock_);
    std::vector<OPCS_Tag*>().swap(flatTags_);
}

void OPCS_Device::LeaveDeviceRegistry() noexcept {
    if (!registered_) {
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
    registered_ = false;
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
    ScopedLock guard(lock_);
    return pollRequestCount_ != 0 && pollThread_.IsRunning();
}

bool OPCS_Device::CanDelete() { return !IsBusy(); }

DWORD OPCS_Device::RequestPollStart(int kind, DWORD count) {
    if (!IsValidGroup(this)) {
        return 0;
    }
    if (kind == kPollQuery) {
        return pollRequestCount_;
    }
    ScopedLock guard(lock_);
    if (terminating_ || !pollThread_.IsRunning() || (kind != kPollOperator && kind != kPollOpcItems) ||
        count == 0) {
        return 0;
    }
    const bool wasPolling = pollRequestCount_ != 0 && !stopRequested_;
    pollRequestCount_ += count;
    requests_[kind] += count;
    stopRequested_ = false;
    if (!wasPolling) startEvent_.Set();  // already set while polling runs
    theEventLog << L"Device:" << GetName() << L"Poll Loop Start Request Queued" << EventLog::EndEntry;
    return pollRequestCount_;
}

DWORD OPCS_Device::RequestPollStop(int kind, DWORD count) {
    if (!IsValidGroup(this)) {
        return 0;
    }
    if (kind == kPollQuery) {
        return pollRequestCount_;
    }
    ScopedLock guard(lock_);
    if (terminating_ || !pollThread_.IsRunning() || (kind != kPollOperator && kind != kPollOpcItems)) {
        return 0;
    }
    // Never more stops than starts of that kind.
    count = std::min(count, static_cast<DWORD>(requests_[kind]));
    if (count == 0) {
        return pollRequestCount_;
    }
    requests_[kind] -= count;
    pollRequestCount_ -= count;
    if (pollRequestCount_ > 0) {
        return pollRequestCount_;
    }
    stopRequested_ = true;
    startEvent_.Reset();
    wakeEvent_.Set();  // leave the wait between cycles at once
    theEventLog << L"Device:" << GetName() << L"Poll Loop Stop Request Queued" << EventLog::EndEntry;
    return 0;
}

unsigned OPCS_Device::PollThreadMain() {
    while (IsValidGroup(this) && !terminating_) {
        DWORD count;
        {
            ScopedLock guard(lock_);
            count = pollRequestCount_;
        }
        if (count == 0) {
            startEvent_.Wait(INFINITE);
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
    wakeEvent_.Reset();  // a wake-up from before this run is none for it
    {
        ScopedLock guard(lock_);
        if (pollRequestCount_ == 0 || terminating_) {
            return;
        }
        pollState_ = kPollStarting;
    }
    // A stop meanwhile (its wake-up ends the wait) costs no run at all.
    wakeEvent_.Wait(kRunStartDelayMs);
    {
        ScopedLock guard(lock_);
        if (pollRequestCount_ == 0 || terminating_) {
            pollState_ = kPollIdle;
            return;
        }
    }
    RebuildTagList();
    ReferenceFlatTags(true);
    wakeEvent_.Reset();
    OnPollStart();
    for (;;) {
        DWORD intervalSeconds;
        bool inService;
        {
            ScopedLock guard(lock_);
            if (pollRequestCount_ == 0) break;
            pollState_ = kPollInCycle;
            inService = inService_;
        }
        if (IsStructureChanged()) {
            RebuildTagList();
            ReferenceFlatTags();  // tags that appeared meanwhile
        }
        if (inService) {
            try {
                PollCycle();
            } catch (...) {
                ScopedLock guard(lock_);
                inService_ = false;
            }
        }
        {
            ScopedLock guard(lock_);
            GetLocalTime(&lastPollTime_);
            if (pollRequestCount_ == 0) break;
            pollState_ = kPollWaiting;
            intervalSeconds = updateInterval_;
        }
        // An interval read from a file is not clamped: keep the wait finite.
        const unsigned long long ms = std::min<unsigned long long>(
            static_cast<unsigned long long>(intervalSeconds) * 1000ull, INFINITE - 1);
        WaitForNextCycle(static_cast<DWORD>(ms));
    }
    ReleaseReferencedTags(true);
    OnPollStop();
    ScopedLock guard(lock_);
    pollState_ = kPollIdle;
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
            between = RunBetweenCycles(now);
        }
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(cycleDue - now, between));
        if (wakeEvent_.Wait(wait) == WaitResult::Signalled) {
            ScopedLock guard(lock_);
            if (pollRequestCount_ == 0 || cycleRequested_ || !rescheduleRequested_) {
                cycleRequested_ = false;
                rescheduleRequested_ = false;
                return;
            }
            rescheduleRequested_ = false;
        }
    }
}

DWORD OPCS_Device::RunBetweenCycles(ULONGLONG) { return INFINITE; }

// At the start and the end of a run the volatile tags are cleared in the same
// pass that holds or lets go of the tags: a device of 100,000 tags then walks
// its tags (and misses the cache on each) once, not twice.
void OPCS_Device::ReferenceFlatTags(bool clearVolatile) {
    // The start of a run has nothing referenced yet; a rebuild in mid-run
    // looks up what it already holds in a sorted copy (one allocation).
    std::vector<OPCS_Tag*> already;
    if (!referenced_.empty()) {
        already = referenced_;
        std::sort(already.begin(), already.end());
    }
    referenced_.reserve(referenced_.size() + flatTags_.size());
    for (OPCS_Tag* tag : flatTags_) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        if (!std::binary_search(already.begin(), already.end(), tag)) {
            tag->AddClientReference();
            referenced_.push_back(tag);
        }
        if (clearVolatile) tag->InvalidateIfVolatile(kVolatileClearedQuality);
    }
    if (clearVolatile) LogVolatileCleared();
}

void OPCS_Device::ReleaseReferencedTags(bool clearVolatile) {
    // A held tag cannot leave the device, so the held ones are the flat list's live ones.
    for (OPCS_Tag* tag : referenced_) {
        if (OPCS_Tag::IsValidTag(tag)) {
            // Cleared while still held: once let go the tag may be deleted.
            if (clearVolatile) tag->InvalidateIfVolatile(kVolatileClearedQuality);
            tag->ReleaseClientReference();
        }
    }
    referenced_.clear();
    if (clearVolatile) LogVolatileCleared();
}

void OPCS_Device::OnPollStart() {
    ScopedLock guard(lock_);
    stopRequested_ = false;
}

void OPCS_Device::OnPollStop() {
    ScopedLock guard(lock_);
    stopRequested_ = false;
}

void OPCS_Device::RebuildTagList() {
    // Collected without the device lock, which every name lookup in the
    // device takes: a client adding items waits for no walk of the tree. A
    // change while the walk runs marks the structure again.
    {
        ScopedLock guard(lock_);
        structureChanged_ = false;
    }
    std::vector<OPCS_Tag*> fresh;
    fresh.reserve(flatTags_.size());
    if (IsValidGroup(this)) {
        CopyGroupTags(this, fresh);
    }
    ScopedLock guard(lock_);
    flatTags_.swap(fresh);
    ++flatTagsVersion_;
}

void OPCS_Device::InvalidateVolatileTags(WORD quality) {
    {
        ScopedLock guard(lock_);  // against a rebuild by the poll thread
        for (OPCS_Tag* tag : flatTags_) {
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
        ScopedLock guard(lock_);
        if (inService == inService_) {
            return;
        }
        inService_ = inService;
        theEventLog << L"Device:" << GetName() << (inService ? L"In Service" : L"Out of Service")
                    << EventLog::EndEntry;
        if (!inService) {
            InvalidateVolatileTags(OPC_QUALITY_OUT_OF_SERVICE);
        } else {
            PollNow();
        }
    }
    NotifyChanged();
}

void OPCS_Device::SetUpdateInterval(DWORD seconds) {
    {
        ScopedLock guard(lock_);
        if (seconds == updateInterval_) {
            return;
        }
        updateInterval_ = std::clamp(seconds, kMinUpdateInterval, kMaxUpdateInterval);
        theEventLog << L"Device:" << GetName() << L"Update Interval set to (secs):" << updateInterval_
                    << EventLog::EndEntry;
    }
    NotifyChanged();
    PollNow();
}

void OPCS_Device::PollNow() {
    ScopedLock guard(lock_);
    if (IsBusy()) {
        cycleRequested_ = true;
        wakeEvent_.Set();
    }
}

void OPCS_Device::Reschedule() {
    ScopedLock guard(lock_);
    if (pollRequestCount_ != 0) {
        rescheduleRequested_ = true;
        wakeEvent_.Set();
    }
}

void OPCS_Device::SetStateIndicator(bool on) {
    ScopedLock guard(lock_);
    if (on != stateIndicator_) {
        stateIndicator_ = on;
        if (Configuration* configuration = GetConfiguration()) configuration->NotifyDeviceStatesChanged();
    }
}

void OPCS_Device::Shutdown() {
    terminating_ = true;
    {
        ScopedLock guard(lock_);
        pollRequestCount_ = 0;
    }
    if (pollThread_.IsRunning()) {
        wakeEvent_.Set();
        startEvent_.Set();
        pollThread_.Join(INFINITE);
    }
}

bool OPCS_Device::IsInService() { ScopedLock g(lock_); return inService_; }
DWORD OPCS_Device::GetUpdateInterval() { ScopedLock g(lock_); return updateInterval_; }
int OPCS_Device::GetPollState() { ScopedLock g(lock_); return pollState_; }
DWORD OPCS_Device::GetPollRequestCount() { ScopedLock g(lock_); return pollRequestCount_; }
DWORD OPCS_Device::GetPollRequests(int kind) {
    ScopedLock g(lock_);
    return kind == kPollOperator || kind == kPollOpcItems ? requests_[kind] : 0;
}
SYSTEMTIME OPCS_Device::GetLastPollTime() { ScopedLock g(lock_); return lastPollTime_; }
