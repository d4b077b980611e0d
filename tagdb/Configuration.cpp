#include "Configuration.h"

#include <algorithm>

#include "ClientObjects.h"
#include "OPCS_Device.h"
#include "EventLog.h"
#include "FileBackup.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "Text.h"
#include "ValueReplay.h"
#include "WholeFile.h"

namespace {
bool SameFile(const std::wstring& a, const std::wstring& b) { return EqualsNoCase(FullPath(a), FullPath(b)); }

const wchar_t* RenameLogText(const LoadRename& rename) {
    switch (rename.kind) {
    case LoadRename::Kind::Device:
        return rename.reserved ? L"Reserved device name - device renamed from:"
                               : L"Device name already used - device renamed from:";
    case LoadRename::Kind::Group:
        return rename.reserved ? L"Reserved group name - group renamed from:"
                               : L"Group name already used - group renamed from:";
    case LoadRename::Kind::Tag: break;
    }
    return L"Tag name already used - tag renamed from:";
}

const wchar_t* AlarmCommandLogText(AlarmCommandKind kind) {
    switch (kind) {
    case AlarmCommandKind::Acknowledge: return L"Alarm acknowledged - Item:";
    case AlarmCommandKind::Confirm: return L"Alarm confirmed - Item:";
    case AlarmCommandKind::AddComment: return L"Alarm commented - Item:";
    case AlarmCommandKind::Enable: return L"Alarm enabled - Item:";
    case AlarmCommandKind::Disable: break;
    }
    return L"Alarm disabled - Item:";
}

// Calls `visit` for every alarmed tag below `group`, in tree order. Copies of
// the lists: a visit may take a device's lock, never under a group's.
template <class Visit>
void VisitAlarmedTags(OPCS_TagGroup* group, const Visit& visit) {
    for (OPCS_Tag* tag : group->SnapshotTags()) {
        if (OPCS_Tag::IsValidTag(tag) && tag->HasAlarm()) visit(tag);
    }
    for (OPCS_TagGroup* child : group->SnapshotGroups()) {
        if (OPCS_TagGroup::IsValidGroup(child)) VisitAlarmedTags(child, visit);
    }
}

template <class Visit>
void VisitHistorizedTags(OPCS_TagGroup* group, const Visit& visit) {
    for (OPCS_Tag* tag : group->SnapshotTags()) {
        if (OPCS_Tag::IsValidTag(tag) && tag->IsHistorized()) visit(tag);
    }
    for (OPCS_TagGroup* child : group->SnapshotGroups()) {
        if (OPCS_TagGroup::IsValidGroup(child)) VisitHistorizedTags(child, visit);
    }
}

HistoryLimits HistoryLimitsOfSettings() {
    return HistoryLimits{static_cast<HistoryTime>(theSettings.GetHistoryHours()) * 3600 * kHistoryTicksPerSecond,
                         static_cast<std::uint64_t>(theSettings.GetHistoryMegabytes()) << 20};
}
}  // namespace

Configuration::Configuration()
    : m_history(std::make_unique<HistoryStore>(HistoryLimitsOfSettings())),
      m_replay(std::make_unique<ValueReplay>(*this)) {
    m_faultControl.SetReplay(m_replay.get());
    m_history->OnBoundReached([](std::uint64_t bytes) {
        theEventLog << std::wstring(L"History memory limit reached (")
                           .append(std::to_wstring(bytes >> 20))
                           .append(L" MB): the oldest samples are dropped first")
                    << EventLog::EndEntry;
    });
}

void Configuration::ApplyHistorySettings() { m_history->SetLimits(HistoryLimitsOfSettings()); }

Configuration::~Configuration() {
    m_replay->Stop();
    Clear();
}

void Configuration::EnableFaultControl(bool enabled) {
    ScopedLock guard(m_lock);
    // Turned off, the branches are gone for clients: a browse position inside
    // one goes as it would with a deleted group.
    const GroupDeletingObserver observer = m_deletingObserver.load();
    if (!enabled && observer != nullptr) {
        for (OPCS_TagGroup* branch : m_faultControl.MadeBranches()) observer(branch);
    }
    m_faultControl.SetEnabled(enabled);
    NoteShapeChanged();
}

OPCS_TagGroup* Configuration::ControlBranchOf(OPCS_Device* device) {
    ScopedLock guard(m_lock);
    return m_faultControl.BranchOf(device);
}

OPCS_TagGroup* Configuration::RootControlBranch() {
    ScopedLock guard(m_lock);
    return m_faultControl.RootBranch();
}

OPCS_Device* Configuration::DeviceOfControlBranch(const OPCS_TagGroup* group) {
    ScopedLock guard(m_lock);
    return m_faultControl.DeviceOfBranch(group);
}

bool Configuration::AddDevice(OPCS_Device* device) {
    if (device == nullptr || !OPCS_TagGroup::IsValidGroup(device) || IsReservedName(device->GetName())) return false;
    ScopedLock guard(m_lock);
    // Item IDs name devices without regard to case: a second bearer would be unreachable.
    for (OPCS_Device* other : m_devices) {
        if (other == device ||
            (OPCS_TagGroup::IsValidGroup(other) && EqualsNoCase(other->GetName(), device->GetName()))) {
            return false;
        }
    }
    m_devices.Append(device);
    device->SetConfiguration(this);
    NoteShapeChanged(ShapeScope::Devices());
    SetModified(true);
    RefreshHistoryLocked(device);
    return true;
}

bool Configuration::AddGroupTo(OPCS_TagGroup* parent, OPCS_TagGroup* group) {
    ScopedLock guard(m_lock);
    if (parent == nullptr || group == nullptr || !OPCS_TagGroup::IsValidGroup(parent) || !parent->AddGroup(group)) {
        return false;
    }
    SetModified(true);
    RefreshHistoryLocked(group);
    return true;
}

bool Configuration::AddTagTo(OPCS_TagGroup* group, OPCS_Tag* tag) {
    ScopedLock guard(m_lock);
    if (group == nullptr || tag == nullptr || !OPCS_TagGroup::IsValidGroup(group) || !group->AddTag(tag)) {
        return false;
    }
    SetModified(true);
    if (tag->IsHistorized()) tag->SyncHistory();
    return true;
}

Configuration::DeleteResult Configuration::DeleteItem(OPCS_TagGroup* item) {
    ScopedLock guard(m_lock);
    if (!OPCS_TagGroup::IsValidGroup(item)) return DeleteResult::NotFound;
    if (!item->CanDelete()) return DeleteResult::InUse;
    RetireAlarmsLocked(item);  // while the item IDs are whole
    VisitHistorizedTags(item, [](OPCS_Tag* tag) { OPCS_Tag::ReleaseAlarmPoll(tag->RetireHistory()); });
    OPCS_TagGroup* parent = item->GetParent();
    if (!UnlinkLocked(item)) return DeleteResult::NotFound;
    NoteShapeChanged(item->IsDevice() ? ShapeScope::Devices(item) : ShapeScope::Members(parent, item));
    DeleteLocked(item);
    SetModified(true);
    return DeleteResult::Deleted;
}

void Configuration::DeleteLocked(OPCS_TagGroup* item) {
    const GroupDeletingObserver observer = m_deletingObserver.load();
    if (observer != nullptr) observer(item);
    if (item->IsDevice()) {
        // Browse positions in the device's control branch go with the device.
        OPCS_Device* device = static_cast<OPCS_Device*>(item);
        if (OPCS_TagGroup* branch = m_faultControl.BranchIfMade(device); branch != nullptr && observer != nullptr) {
            observer(branch);
        }
        m_faultControl.Forget(device);
    }
    delete item;
}

bool Configuration::UnlinkLocked(OPCS_TagGroup* item) {
    if (item->IsDevice()) {
        for (auto node = m_devices.begin(); node != m_devices.end(); ++node) {
            if (*node == item) {
                m_devices.Remove(node);
                static_cast<OPCS_Device*>(item)->SetConfiguration(nullptr);
                return true;
            }
        }
        return false;
    }
    OPCS_TagGroup* parent = item->GetParent();
    return OPCS_TagGroup::IsValidGroup(parent) && parent->RemoveGroup(item);
}

// Devices that entered the list without AddDevice (a file, an import) report
// their changes here too.
void Configuration::AdoptLocked() {
    for (OPCS_Device* device : m_devices) {
        if (OPCS_TagGroup::IsValidGroup(device)) device->SetConfiguration(this);
    }
}

void Configuration::Clear() {
    ScopedLock guard(m_lock);
    NoteShapeChanged();
    while (!m_devices.IsEmpty()) {
        OPCS_Device* device = m_devices.Remove(m_devices.Head());
        if (OPCS_TagGroup::IsValidGroup(device)) {
            RetireAlarmsLocked(device);
            VisitHistorizedTags(device, [](OPCS_Tag* tag) { OPCS_Tag::ReleaseAlarmPoll(tag->RetireHistory()); });
            device->SetConfiguration(nullptr);
            DeleteLocked(device);
        }
    }
}

OPCS_Device* Configuration::FindDevice(std::wstring_view name) {
    ScopedLock guard(m_lock);
    for (OPCS_Device* device : m_devices) {
        if (OPCS_TagGroup::IsValidGroup(device) && EqualsNoCase(device->GetName(), name)) return device;
    }
    return nullptr;
}

OPCS_Tag* Configuration::FindTag(std::wstring_view itemId) {
    ScopedLock guard(m_lock);
    const size_t separator = itemId.find(kItemIdSeparator);
    if (separator == std::wstring_view::npos || separator == 0) return nullptr;
    OPCS_Device* device = FindDevice(itemId.substr(0, separator));
    if (device == nullptr) {
        // The root's control items, unless a device bears the branch's name.
        const bool control = EqualsNoCase(itemId.substr(0, separator), kControlBranchName);
        return control ? m_faultControl.FindRootTag(itemId.substr(separator + 1)) : nullptr;
    }
    const std::wstring_view relative = itemId.substr(separator + 1);
    if (OPCS_Tag* control = m_faultControl.FindTag(device, relative)) return control;
    return device->FindTag(relative);
}

void Configuration::CopyDeviceList(Dll<OPCS_Device*>& list) {
    ScopedLock guard(m_lock);
    list.Clear();
    m_devices.CopyInto(list);
}

int Configuration::DeviceCount() {
    ScopedLock guard(m_lock);
    return m_devices.Count();
}

void Configuration::SetTagChangeObserver(TagChangeObserver* observer) noexcept {
    m_tagObserver.store(observer);
    // Both sides order their two steps the same way (sequentially consistent):
    // a caller that still saw the old observer is counted here.
    while (!m_tagNotifications.None()) Sleep(0);
}

void Configuration::NotifyTagChanged(OPCS_Tag* tag) noexcept {
    std::atomic<long>& slot = m_tagNotifications.Enter();
    if (TagChangeObserver* observer = m_tagObserver.load()) observer->TagChanged(tag);
    CallsUnderWay::Leave(slot);
}

void Configuration::SetAlarmObserver(AlarmObserver* observer) noexcept {
    m_alarmObserver.store(observer);
    while (m_alarmNotifications.load() != 0) Sleep(0);
}

void Configuration::NotifyAlarm(const AlarmEvent& event) noexcept {
    m_alarmNotifications.fetch_add(1);
    if (AlarmObserver* observer = m_alarmObserver.load()) observer->AlarmRaised(event);
    m_alarmNotifications.fetch_sub(1);
}

void Configuration::RetireAlarmsLocked(OPCS_TagGroup* item) {
    VisitAlarmedTags(item, [](OPCS_Tag* tag) { OPCS_Tag::ReleaseAlarmPoll(tag->RetireAlarm()); });
}

void Configuration::RefreshAlarmsLocked(bool announce) {
    for (OPCS_Device* device : m_devices) {
        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
        VisitAlarmedTags(device, [announce](OPCS_Tag* tag) {
            tag->SyncAlarmPolling();
            if (announce) tag->AnnounceAlarm();
        });
    }
}

void Configuration::RefreshHistoryLocked(OPCS_TagGroup* item) {
    if (item != nullptr) {
        VisitHistorizedTags(item, [](OPCS_Tag* tag) { tag->SyncHistory(); });
        return;
    }
    for (OPCS_Device* device : m_devices) {
        if (OPCS_TagGroup::IsValidGroup(device)) RefreshHistoryLocked(device);
    }
}

void Configuration::SetAlarmPolling(bool on) {
    ScopedLock guard(m_lock);
    m_alarmPolling.store(on);
    RefreshAlarmsLocked(false);
    RefreshHistoryLocked();
}

AlarmCommandResult Configuration::AlarmCommand(std::wstring_view itemId, AlarmCommandKind kind,
                                               std::uint64_t eventNumber, const std::wstring& comment,
                                               const std::wstring& user) {
    AlarmCommandResult result = AlarmCommandResult::NotAlarmed;
    std::wstring tagId;  // as the tag names itself, whatever the letter case asked
    {
        // Held so that the tag is not deleted under the command.
        ScopedLock guard(m_lock);
        OPCS_Tag* tag = FindTag(itemId);
        if (tag == nullptr) return result;
        result = tag->ApplyAlarmCommand(kind, eventNumber, comment, user);
        if (result == AlarmCommandResult::Done) tagId = tag->GetItemID();
    }
    if (result == AlarmCommandResult::Done) {
        theEventLog << AlarmCommandLogText(kind) << tagId << L"User:" << user << EventLog::EndEntry;
    }
    return result;
}

std::vector<AlarmEvent> Configuration::AlarmSnapshot(bool retainedOnly) {
    std::vector<AlarmEvent> events;
    ScopedLock guard(m_lock);
    for (OPCS_Device* device : m_devices) {
        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
        VisitAlarmedTags(device, [&events, retainedOnly](OPCS_Tag* tag) {
            AlarmEvent event;
            if (tag->GetAlarmSnapshot(event, retainedOnly)) events.push_back(std::move(event));
        });
    }
    return events;
}

void Configuration::NoteShapeChanged(const ShapeScope& scope) noexcept {
    m_shapeVersion.fetch_add(1, std::memory_order_acq_rel);
    std::atomic<long>& slot = m_tagNotifications.Enter();
    if (TagChangeObserver* observer = m_tagObserver.load()) observer->ShapeChangedIn(scope);
    CallsUnderWay::Leave(slot);
}

void Configuration::NotifyDeviceStatesChanged() noexcept {
    if (ConfigurationWatcher* watcher = m_watcher.load()) watcher->DeviceStatesChanged();
}

bool Configuration::CanChangeFiles() const { return !AreClientsConnected(); }

bool Configuration::KeepOriginalBeforeSave(const std::wstring& path, DWORD& error, std::wstring& notice) {
    error = ERROR_SUCCESS;
    const auto unclean = std::find_if(m_uncleanFiles.begin(), m_uncleanFiles.end(),
                                      [&path](const UncleanFile& file) { return SameFile(file.path, path); });
    if (unclean == m_uncleanFiles.end() && !m_ownFile.empty() && SameFile(m_ownFile, path)) {
        return true;
    }
    std::wstring backup;
    if (!KeepBackupBeside(path, backup, error)) {
        // No file there (a missing file that was refused, or one removed since): nothing to lose.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            if (unclean != m_uncleanFiles.end()) m_uncleanFiles.erase(unclean);
            error = ERROR_SUCCESS;
            return true;
        }
        return false;
    }
    if (unclean != m_uncleanFiles.end() && unclean->damaged) {
        m_uncleanFiles.erase(unclean);
        theEventLog << L"Configuration file not loaded cleanly - original kept as:" << backup << EventLog::EndEntry;
        notice = L"The configuration file " + path +
                 L" was damaged and could not be read completely. "
                 L"The original file is kept as " +
                 backup + L".";
    } else if (unclean != m_uncleanFiles.end()) {
        m_uncleanFiles.erase(unclean);
        theEventLog << L"Configuration file read with names changed - original kept as:" << backup
                    << EventLog::EndEntry;
        notice = L"The configuration file " + path +
                 L" gave devices, groups or tags names that item IDs cannot tell apart, or a reserved name; "
                 L"they were renamed when it was read. The original file is kept as " +
                 backup + L".";
    } else {
        theEventLog << L"Configuration file not loaded before saving over it - original kept as:" << backup
                    << EventLog::EndEntry;
        notice = L"The configuration file " + path +
                 L" was not loaded before this configuration was saved over it. The original file is kept as " +
                 backup + L".";
    }
    return true;
}

Configuration::LoadOutcome Configuration::Load(const std::wstring& path, const std::function<void()>& beforeReplace) {
    LoadOutcome outcome;
    Dll<OPCS_Device*> loaded;
    const ConfigFileResult result = LoadConfigurationFile(path, loaded);
    const bool damaged = result.status != ConfigFileStatus::Ok || result.droppedRecords != 0;
    const bool clean = !damaged && result.renames.empty();
    std::erase_if(m_uncleanFiles, [&path](const UncleanFile& file) { return SameFile(file.path, path); });
    if (result.status == ConfigFileStatus::FileError) {
        outcome.error = result.error;
        // Not read now: whatever is there is no longer known to be ours.
        if (SameFile(m_ownFile, path)) m_ownFile.clear();
        return outcome;
    }
    if (!clean) m_uncleanFiles.push_back({path, damaged});
    if (beforeReplace) beforeReplace();
    {
        // One step for every reader: nobody sees the configuration empty between the two.
        ScopedLock guard(m_lock);
        Clear();
        loaded.CopyInto(m_devices);
        AdoptLocked();
        NoteShapeChanged();
        // The alarms were judged as they were read, with no observer to tell.
        RefreshAlarmsLocked(true);
        RefreshHistoryLocked();
    }
    m_pathName = path;
    m_ownFile = clean ? path : std::wstring();
    for (const LoadRename& rename : result.renames) {
        theEventLog << RenameLogText(rename) << rename.from << L"to:" << rename.to << EventLog::EndEntry;
    }
    outcome.loaded = true;
    outcome.truncated = result.status == ConfigFileStatus::EndOfFile;
    outcome.renames = result.renames;
    // What could be read is served; the file itself is not touched until a save.
    SetModified(!clean);
    return outcome;
}

Configuration::SaveOutcome Configuration::Save(const std::wstring& path) {
    SaveOutcome outcome;
    if (path.empty()) return outcome;
    DWORD keepError = ERROR_SUCCESS;
    if (!KeepOriginalBeforeSave(path, keepError, outcome.keptOriginalNotice)) {
        // A file that could not be read is not written over either.
        outcome.failure.status = ConfigFileStatus::FileError;
        outcome.failure.error = keepError;
        return outcome;
    }
    {
        ScopedLock guard(m_lock);
        outcome.failure = SaveConfigurationFile(path, m_devices);
    }
    if (outcome.failure.status != ConfigFileStatus::Ok) return outcome;
    m_ownFile = path;
    theEventLog << L"Config file saved to disk" << EventLog::EndEntry;
    m_pathName = path;
    SetModified(false);
    outcome.saved = true;
    return outcome;
}

bool Configuration::ExportTags(const std::wstring& path, std::wstring& error) {
    std::string csv;
    {
        ScopedLock guard(m_lock);
        csv = ExportTagsCsv(m_devices);
    }
    DWORD code = ERROR_SUCCESS;
    if (!WriteFileReplacing(path, std::string_view(csv), code)) {
        error = L"The tags could not be written to " + path + L": " + SystemErrorText(code) + L".";
        theEventLog << L"Tag export failed:" << path << EventLog::EndEntry;
        return false;
    }
    theEventLog << L"Tags exported to:" << path << EventLog::EndEntry;
    return true;
}

TagImportResult Configuration::ImportTags(const std::wstring& path) {
    TagImportResult result;
    if (!CanChangeFiles()) {
        result.errors.push_back(kClientsConnectedText);
        return result;
    }
    std::vector<BYTE> bytes;
    DWORD code = ERROR_SUCCESS;
    if (!ReadWholeFile(path, bytes, code)) {
        result.errors.push_back(L"The file " + path + L" could not be read: " + SystemErrorText(code) + L".");
        return result;
    }
    {
        ScopedLock guard(m_lock);
        std::vector<OPCS_Tag*> touched;
        const int devicesBefore = m_devices.Count();
        result = ImportTagsCsv(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), m_devices,
                               &touched);
        if (result.Succeeded()) {
            AdoptLocked();
            // Where the tags went, so that an observer looks there only; past
            // a few dozen groups, a walk of everything costs no more.
            constexpr size_t kMostScopes = 64;
            std::vector<OPCS_TagGroup*> owners;
            for (OPCS_Tag* tag : touched) {
                OPCS_TagGroup* owner = tag->GetOwner();
                if (owners.size() > kMostScopes) break;
                if (std::find(owners.begin(), owners.end(), owner) == owners.end()) owners.push_back(owner);
            }
            if (owners.size() > kMostScopes) {
                NoteShapeChanged();
            } else {
                if (m_devices.Count() != devicesBefore) NoteShapeChanged(ShapeScope::Devices());
                for (OPCS_TagGroup* owner : owners) NoteShapeChanged(ShapeScope::Members(owner));
            }
            // New tags were judged before they joined the tree. Only the tags
            // imported: 100 of them into a million cost what 100 do.
            for (OPCS_Tag* tag : touched) {
                if (tag->HasAlarm()) {
                    tag->SyncAlarmPolling();
                    tag->AnnounceAlarm();
                }
                if (tag->IsHistorized()) tag->SyncHistory();
            }
        }
    }
    if (!result.Succeeded()) {
        theEventLog << L"Tag import refused:" << path << EventLog::EndEntry;
        return result;
    }
    theEventLog << L"Tags imported from:" << path << EventLog::EndEntry;
    if (result.added + result.updated > 0) SetModified(true);
    return result;
}
