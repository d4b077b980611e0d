#pragma once
// The one document of the process: it owns the configuration's devices and is
// the single place through which objects are added to or removed from the
// running configuration. OPC clients reach tags through it too (FindTag), so
// every access to the device list holds the configuration lock.
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "CriticalSection.h"
#include "DocumentLink.h"
#include "Dll.h"
#include "TagCsv.h"

class OPCS_Device;
class OPCS_TagGroup;
class OPCS_Tag;

// View update hints (see also DocumentLink.h for the two posted by devices).
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

// The process-wide configuration lock: the document's device list.
CriticalSection& ConfigurationLock();

// Told, under the configuration lock, of every device or group the document
// is about to delete with everything below it (browse positions let go of it).
using GroupDeletingObserver = void (*)(OPCS_TagGroup* object);
void SetGroupDeletingObserver(GroupDeletingObserver observer) noexcept;

// Refusal of every change of files while clients are connected.
inline constexpr wchar_t kClientsConnectedText[] = L"Cannot change files while OPC Clients are connected to this server.";

class OPCS_Doc : public DocumentLink {
public:
    OPCS_Doc();
    ~OPCS_Doc() override;
    OPCS_Doc(const OPCS_Doc&) = delete;
    OPCS_Doc& operator=(const OPCS_Doc&) = delete;

    // The document, or null while there is none.
    static OPCS_Doc* Get() noexcept;

    bool AddDevice(OPCS_Device* device);
    bool AddGroupTo(OPCS_TagGroup* parent, OPCS_TagGroup* group);
    bool AddTagTo(OPCS_TagGroup* group, OPCS_Tag* tag);
    bool DeleteItem(OPCS_TagGroup* item);
    OPCS_Tag* FindTag(std::wstring_view itemId);
    OPCS_TagGroup* GetSelectedGroup();
    void CopyDeviceList(Dll<OPCS_Device*>& list);
    int DeviceCount();

    // File handling.
    bool OnNewDocument();
    // reportFailure false: a file that cannot be opened is not reported to the
    // user (the caller says it, with what is open instead); see OpenError.
    bool OnOpenDocument(const std::wstring& path, bool reportFailure = true);
    // Why the last open that failed could not read its file (a Win32 error).
    DWORD OpenError() const noexcept { return openError_; }
    bool DoSave(const std::wstring& path);
    bool Save() { return DoSave(pathName_); }
    void DeleteContents();
    const std::wstring& GetPathName() const noexcept { return pathName_; }
    const std::wstring& GetTitle() const noexcept { return title_; }
    void SetPathName(const std::wstring& path);
    // Every tag to a CSV file; false with the reason in words.
    bool ExportTags(const std::wstring& path, std::wstring& error);
    // A CSV file into the configuration, all or nothing; refused while
    // clients are connected.
    TagImportResult ImportTags(const std::wstring& path);

    bool IsModified() const noexcept { return modified_; }
    void SetModifiedFlag(bool modified) override { modified_ = modified; }

    // Commands that are operations of the document.
    void OnAddDevice();
    void OnAddNestedGroup();
    void OnAddTag();
    void OnStartPollingDevice();
    void OnStopPollingDevice();
    void OnPollAllDevices();
    // The state of "Start or Stop polling all devices": enabled, and the check mark.
    bool QueryPollAllState(bool* checked);
    bool CanChangeFiles() const;  // false while OPC clients are connected

    void SetDeviceView(DocumentView* view) noexcept { deviceView_ = view; }
    void SetTagView(DocumentView* view) noexcept { tagView_ = view; }
    DocumentView* GetDeviceView() const noexcept { return deviceView_; }
    DocumentView* GetTagView() const noexcept { return tagView_; }
    void UpdateAllViews(DocumentView* sender, int hint, void* object = nullptr);

private:
    bool LoadFrom(const std::wstring& path, bool reportFailure);
    // A file whose content this document did not read cleanly, or wrote,
    // keeps its original beside it before the first save over it; false with
    // the Win32 error when that copy cannot be made.
    bool KeepOriginalBeforeSave(const std::wstring& path, DWORD& error);
    OPCS_Device* SelectedDevice();
    // Takes a device out of the list, or a group out of its parent; the caller
    // holds the configuration lock.
    bool UnlinkLocked(OPCS_TagGroup* item);

    Dll<OPCS_Device*> devices_;
    DocumentView* deviceView_ = nullptr;
    DocumentView* tagView_ = nullptr;
    bool allPolling_ = false;
    std::atomic<bool> modified_{false};
    std::wstring pathName_;
    std::wstring title_;
    // Files that did not load cleanly and whose original is not kept yet.
    std::vector<std::wstring> damagedFiles_;
    // The file whose content on disk this document read cleanly or wrote
    // last: the one file saved over without a backup.
    std::wstring ownFile_;
    DWORD openError_ = ERROR_SUCCESS;
};
