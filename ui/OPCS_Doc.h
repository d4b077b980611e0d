#pragma once
// The editor's document: the operator's commands on the configuration, with
// their questions and messages, and the views' update hints. The
// configuration itself (devices, lock, files) is not the document's: OPC
// clients use it too.
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "CriticalSection.h"
#include "Configuration.h"
#include "Dll.h"
#include "PropertyDialogs.h"
#include "TagCsv.h"
#include "ViewUpdatePoster.h"

class OPCS_Device;
class OPCS_TagGroup;
class OPCS_Tag;

// View update hints (see also ViewUpdatePoster.h for the two posted by worker threads).
enum DocumentHint : int {
    kHintRefreshAll = 0,
    kHintCleared = 1,
    kHintItemChanged = 2,
    kHintRebuild = 3,
    kHintDeviceAdded = 4,
    kHintGroupAdded = 6,
    kHintDataChanged = 7,
    kHintTagAdded = 9,
};

// What the document needs of a view; the device tree and the tag list implement it.
class DocumentView {
public:
    virtual ~DocumentView() = default;
    virtual void OnUpdate(DocumentView* sender, int hint, void* object) = 0;
    // The device view's selected device or group (unchecked); null for others.
    virtual void* GetSelectedObject() { return nullptr; }
};

class OPCS_Doc {
public:
    explicit OPCS_Doc(Configuration& configuration);
    ~OPCS_Doc();
    OPCS_Doc(const OPCS_Doc&) = delete;
    OPCS_Doc& operator=(const OPCS_Doc&) = delete;

    Configuration& GetConfiguration() noexcept { return m_configuration; }
    ViewUpdatePoster& Poster() noexcept { return m_poster; }
    // The property dialogs the commands run (the modal ones unless replaced).
    PropertyDialogRunner& Dialogs() noexcept { return *m_dialogs; }
    void SetDialogs(PropertyDialogRunner* runner) noexcept;

    bool AddDevice(OPCS_Device* device);
    bool AddGroupTo(OPCS_TagGroup* parent, OPCS_TagGroup* group);
    bool AddTagTo(OPCS_TagGroup* group, OPCS_Tag* tag);
    bool DeleteItem(OPCS_TagGroup* item);
    OPCS_Tag* FindTag(std::wstring_view itemId) { return m_configuration.FindTag(itemId); }
    OPCS_TagGroup* GetSelectedGroup();
    void CopyDeviceList(Dll<OPCS_Device*>& list) { m_configuration.CopyDeviceList(list); }
    int DeviceCount() { return m_configuration.DeviceCount(); }

    // File handling. saveAtOnce false: the new configuration has no file yet
    // (the configured one could not be loaded and is left as it is).
    bool OnNewDocument(bool saveAtOnce = true);
    // What the operator is told when a file's objects do not fit in memory.
    static std::wstring NotEnoughMemoryText(const std::wstring& path);
    // reportFailure false: a file that cannot be opened is not reported to the
    // user (the caller says it, with what is open instead); see OpenError.
    bool OnOpenDocument(const std::wstring& path, bool reportFailure = true);
    // Why the last open that failed could not read its file (a Win32 error).
    DWORD OpenError() const noexcept { return m_openError; }
    bool DoSave(const std::wstring& path);
    bool Save() { return DoSave(GetPathName()); }
    void DeleteContents();
    const std::wstring& GetPathName() const noexcept { return m_configuration.GetPathName(); }
    void SetPathName(const std::wstring& path) { m_configuration.SetPathName(path); }
    // Every tag to a CSV file; false with the reason in words.
    bool ExportTags(const std::wstring& path, std::wstring& error) { return m_configuration.ExportTags(path, error); }
    // A CSV file into the configuration, all or nothing; refused while
    // clients are connected.
    TagImportResult ImportTags(const std::wstring& path);

    bool IsModified() const noexcept { return m_configuration.IsModified(); }
    void SetModifiedFlag(bool modified) noexcept { m_configuration.SetModified(modified); }

    // Commands that are operations of the document.
    void OnAddDevice();
    void OnAddNestedGroup();
    void OnAddTag();
    // The properties dialog of a group or device, or of a tag, in place.
    bool EditProperties(OPCS_TagGroup* group);
    bool EditProperties(OPCS_Tag* tag);
    void OnStartPollingDevice();
    void OnStopPollingDevice();
    void OnPollAllDevices();
    // After a file is opened to be served: the devices it says were left
    // polling poll again.
    void ResumeStoredPolling();
    // The state of "Start or Stop polling all devices": enabled, and the check mark.
    bool QueryPollAllState(bool* checked);
    bool CanChangeFiles() const { return m_configuration.CanChangeFiles(); }

    void SetDeviceView(DocumentView* view) noexcept { m_deviceView = view; }
    void SetTagView(DocumentView* view) noexcept { m_tagView = view; }
    DocumentView* GetDeviceView() const noexcept { return m_deviceView; }
    DocumentView* GetTagView() const noexcept { return m_tagView; }
    void UpdateAllViews(DocumentView* sender, int hint, void* object = nullptr);

private:
    OPCS_Device* SelectedDevice();

    Configuration& m_configuration;
    ViewUpdatePoster m_poster;
    PropertyDialogRunner* m_dialogs;
    DocumentView* m_deviceView = nullptr;
    DocumentView* m_tagView = nullptr;
    bool m_allPolling = false;
    DWORD m_openError = ERROR_SUCCESS;
};
