#pragma once
// The running configuration: its devices, the lock that guards the device
// list, item-ID resolution, and the configuration file with its backup rules.
// It opens no windows: callers say what it reports. OPC clients reach tags
// through it too (FindTag), so every access to the device list holds Lock().
#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "AlarmCondition.h"
#include "CallsUnderWay.h"
#include "ConfigurationFile.h"
#include "CriticalSection.h"
#include "Dll.h"
#include "FaultControl.h"
#include "HistoryStore.h"
#include "ShapeScope.h"
#include "TagCsv.h"

class OPCS_Device;
class OPCS_TagGroup;
class OPCS_Tag;
class ValueReplay;

// Told of changes made by any thread, possibly under a tag's or device's
// lock: an implementation only posts, never draws or waits.
class ConfigurationWatcher {
public:
    virtual ~ConfigurationWatcher() = default;
    virtual void DeviceStatesChanged() noexcept = 0;
};

// Told of every change of a tag (value, quality, settings) and of every change
// of the tree's shape, by any thread and possibly under a tag's or group's
// lock: an implementation only queues, never waits or calls back.
class TagChangeObserver {
public:
    virtual ~TagChangeObserver() = default;
    virtual void TagChanged(OPCS_Tag* tag) noexcept = 0;
    virtual void ShapeChanged() noexcept = 0;
    // The same, saying where; an observer that mirrors only part of the tree
    // may take this one and leave the walk of the rest.
    virtual void ShapeChangedIn(const ShapeScope& scope) noexcept {
        (void)scope;
        ShapeChanged();
    }
};

// Told, under the configuration lock, of every device or group about to be
// deleted with everything below it (browse positions let go of it).
using GroupDeletingObserver = void (*)(OPCS_TagGroup* object);

// Refusal of every change of files while clients are connected.
inline constexpr wchar_t kClientsConnectedText[] =
    L"Cannot change files while OPC Clients are connected to this server.";

class Configuration {
public:
    Configuration();
    ~Configuration();
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

    CriticalSection& Lock() noexcept { return m_lock; }

    // False when the object is no live one or its name is taken.
    bool AddDevice(OPCS_Device* device);
    bool AddGroupTo(OPCS_TagGroup* parent, OPCS_TagGroup* group);
    bool AddTagTo(OPCS_TagGroup* group, OPCS_Tag* tag);
    enum class DeleteResult { Deleted, InUse, NotFound };
    DeleteResult DeleteItem(OPCS_TagGroup* item);
    // Deletes every device; the caller has made every view let go of them.
    void Clear();

    // A tag of a device, or a control item below a device's `_Control`
    // branch while fault control is enabled.
    OPCS_Tag* FindTag(std::wstring_view itemId);
    OPCS_Device* FindDevice(std::wstring_view name);
    void CopyDeviceList(Dll<OPCS_Device*>& list);
    int DeviceCount();

    // What reading a file came to, for the caller to tell the user.
    struct LoadOutcome {
        bool loaded = false;
        DWORD error = ERROR_SUCCESS;      // why the file could not be read
        bool truncated = false;           // read up to an unexpected end
        std::vector<LoadRename> renames;  // already written to the event log
    };
    // `beforeReplace` runs once the file is read, before the devices it
    // replaces are deleted.
    LoadOutcome Load(const std::wstring& path, const std::function<void()>& beforeReplace);
    struct SaveOutcome {
        bool saved = false;
        ConfigFileResult failure;  // when not saved
        // Set when the file's original was kept beside it first: why, and where.
        std::wstring keptOriginalNotice;
    };
    SaveOutcome Save(const std::wstring& path);
    const std::wstring& GetPathName() const noexcept { return m_pathName; }
    void SetPathName(const std::wstring& path) { m_pathName = path; }

    // Every tag to a CSV file; false with the reason in words.
    bool ExportTags(const std::wstring& path, std::wstring& error);
    // A CSV file into the configuration, all or nothing; refused while
    // clients are connected.
    TagImportResult ImportTags(const std::wstring& path);
    bool CanChangeFiles() const;  // false while OPC clients are connected

    bool IsModified() const noexcept { return m_modified.load(); }
    void SetModified(bool modified) noexcept { m_modified.store(modified); }

    // Fault control through OPC: off until the program's option turns it on.
    void EnableFaultControl(bool enabled);
    bool IsFaultControlEnabled() const noexcept { return m_faultControl.IsEnabled(); }
    // A device's `_Control` branch for browsing (null while off), and the
    // device whose branch a group is (null for every other group).
    OPCS_TagGroup* ControlBranchOf(OPCS_Device* device);
    // The `_Control` branch beside the devices, whose items drive the value
    // replay (null while off).
    OPCS_TagGroup* RootControlBranch();
    OPCS_Device* DeviceOfControlBranch(const OPCS_TagGroup* group);

    // "Clients may write qualities and timestamps": off until the program's
    // option turns it on; one rule for DA 3.0 and UA clients.
    void AllowClientQualityWrites(bool allowed) noexcept { m_clientQualityWrites.store(allowed); }
    bool ClientQualityWritesAllowed() const noexcept { return m_clientQualityWrites.load(); }

    void SetWatcher(ConfigurationWatcher* watcher) noexcept { m_watcher.store(watcher); }
    void NotifyDeviceStatesChanged() noexcept;
    // Returns once no call to the observer it replaces is under way, so that
    // the old observer may go.
    void SetTagChangeObserver(TagChangeObserver* observer) noexcept;
    void NotifyTagChanged(OPCS_Tag* tag) noexcept;
    // Counts every change of the tree's shape: devices, groups and tags added,
    // deleted or renamed, a tag's type, access or description, the control
    // branches. Every deletion counts under Lock() before the object is freed,
    // so a pointer taken at one count is alive while Lock() is held and the
    // count has not moved.
    unsigned long long ShapeVersion() const noexcept { return m_shapeVersion.load(std::memory_order_acquire); }
    void NoteShapeChanged(const ShapeScope& scope = ShapeScope::Everything()) noexcept;
    void SetGroupDeletingObserver(GroupDeletingObserver observer) noexcept { m_deletingObserver.store(observer); }

    // Alarm events go the TagChangeObserver's road: told under the tag's
    // lock, only queued. The setter returns once no call to the observer it
    // replaces is under way.
    void SetAlarmObserver(AlarmObserver* observer) noexcept;
    bool HasAlarmObserver() const noexcept { return m_alarmObserver.load() != nullptr; }
    void NotifyAlarm(const AlarmEvent& event) noexcept;
    // A command on the condition of the tag `itemId`; a successful one is
    // one event and one line of the event log.
    AlarmCommandResult AlarmCommand(std::wstring_view itemId, AlarmCommandKind kind, std::uint64_t eventNumber,
                                    const std::wstring& comment, const std::wstring& user);
    // Every alarmed tag's condition now, in tree order (or only the retained
    // ones), each numbered with its latest event.
    std::vector<AlarmEvent> AlarmSnapshot(bool retainedOnly);
    // While on (the program serves), a device with enabled alarms polls, so
    // that its values move and its alarms are judged without any client.
    // Off by default: a command-line import or a test polls nothing.
    void SetAlarmPolling(bool on);
    bool IsAlarmPollingOn() const noexcept { return m_alarmPolling.load(); }

    // The one value replay that plays into these tags.
    ValueReplay& Replay() noexcept { return *m_replay; }

    // Every historized tag's history, within the span and memory the
    // program's settings give (taken when made, and again by
    // ApplyHistorySettings). Its bound reached is one line of the event log.
    HistoryStore& History() noexcept { return *m_history; }
    void ApplyHistorySettings();

private:
    // The caller holds the lock.
    bool UnlinkLocked(OPCS_TagGroup* item);
    void AdoptLocked();
    void DeleteLocked(OPCS_TagGroup* item);
    // The last events of the alarms below `item`, before it leaves the tree.
    void RetireAlarmsLocked(OPCS_TagGroup* item);
    // Every alarm told again and its polling brought up to date (a file
    // loaded, tags imported, alarm polling switched).
    void RefreshAlarmsLocked(bool announce);
    // Every historized tag below `item` (every device when null) begins
    // recording, or lets go of it, as it now stands.
    void RefreshHistoryLocked(OPCS_TagGroup* item = nullptr);
    bool KeepOriginalBeforeSave(const std::wstring& path, DWORD& error, std::wstring& notice);

    CriticalSection m_lock;
    Dll<OPCS_Device*> m_devices;
    FaultControl m_faultControl;
    std::atomic<bool> m_modified{false};
    std::atomic<ConfigurationWatcher*> m_watcher{nullptr};
    std::atomic<GroupDeletingObserver> m_deletingObserver{nullptr};
    std::atomic<TagChangeObserver*> m_tagObserver{nullptr};
    CallsUnderWay m_tagNotifications;
    std::atomic<AlarmObserver*> m_alarmObserver{nullptr};
    std::atomic<long> m_alarmNotifications{0};
    std::atomic<bool> m_alarmPolling{false};
    std::atomic<bool> m_clientQualityWrites{false};
    std::atomic<unsigned long long> m_shapeVersion{1};
    std::wstring m_pathName;
    // Files that did not load cleanly and whose original is not kept yet:
    // damaged (records lost), or read whole with names changed.
    struct UncleanFile {
        std::wstring path;
        bool damaged;
    };
    std::vector<UncleanFile> m_uncleanFiles;
    // The file whose content on disk was read cleanly or written last: the
    // one file saved over without a backup.
    std::wstring m_ownFile;
    std::unique_ptr<HistoryStore> m_history;
    // Last: stopped first, while the devices it plays into are still there.
    std::unique_ptr<ValueReplay> m_replay;
};
