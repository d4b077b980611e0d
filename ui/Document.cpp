#include "Document.h"

#include <atomic>

#include "ClientObjects.h"
#include "Device.h"
#include "EventLog.h"
#include "MessageBoxes.h"
#include "Tag.h"
#include "TagGroup.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
std::atomic<OPCS_Doc*> g_doc{nullptr};
std::atomic<GroupDeletingObserver> g_deletingObserver{nullptr};

void NotifyGroupDeleting(OPCS_TagGroup* object) {
    if (GroupDeletingObserver observer = g_deletingObserver.load()) observer(object);
}

const wchar_t kCannotDelete[] = L"Unable to delete while device active and/or clients are attached.";

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}
}  // namespace

CriticalSection& ConfigurationLock() {
    static CriticalSection lock;
    return lock;
}

void SetGroupDeletingObserver(GroupDeletingObserver observer) noexcept { g_deletingObserver.store(observer); }

OPCS_Doc::OPCS_Doc() {
    g_doc.store(this);
    SetTheDocument(this);
}

OPCS_Doc::~OPCS_Doc() {
    DeleteContents();
    SetTheDocument(nullptr);
    g_doc.store(nullptr);
}

OPCS_Doc* OPCS_Doc::Get() noexcept { return g_doc.load(); }

void OPCS_Doc::UpdateAllViews(DocumentView* sender, int hint, void* object) {
    if (deviceView_ != nullptr && deviceView_ != sender) deviceView_->OnUpdate(sender, hint, object);
    if (tagView_ != nullptr && tagView_ != sender) tagView_->OnUpdate(sender, hint, object);
}

// The views are told after the configuration lock is released: a view update
// may draw, and clients resolving items wait for that lock. Only this thread
// deletes objects, so what the hint carries stays valid until then.
bool OPCS_Doc::AddDevice(OPCS_Device* device) {
    if (device == nullptr) {
        return false;
    }
    {
        ScopedLock guard(ConfigurationLock());
        // Item IDs name devices without regard to case: a second bearer would be unreachable.
        for (OPCS_Device* other : devices_) {
            if (other == device ||
                (OPCS_TagGroup::IsValidGroup(other) && EqualsNoCase(other->GetName(), device->GetName()))) {
                return false;
            }
        }
        devices_.Append(device);
    }
    UpdateAllViews(nullptr, kHintDeviceAdded, device);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::AddGroupTo(OPCS_TagGroup* parent, OPCS_TagGroup* group) {
    {
        ScopedLock guard(ConfigurationLock());
        if (parent == nullptr || group == nullptr || !OPCS_TagGroup::IsValidGroup(parent) ||
            !parent->AddGroup(group)) {
            return false;
        }
    }
    UpdateAllViews(nullptr, kHintGroupAdded, group);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::AddTagTo(OPCS_TagGroup* group, OPCS_Tag* tag) {
    {
        ScopedLock guard(ConfigurationLock());
        if (group == nullptr || tag == nullptr || !OPCS_TagGroup::IsValidGroup(group) || !group->AddTag(tag)) {
            return false;
        }
    }
    UpdateAllViews(nullptr, kHintTagAdded, tag);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::DeleteItem(OPCS_TagGroup* item) {
    bool refused = false;
    std::wstring refusedName;
    {
        ScopedLock guard(ConfigurationLock());
        if (!OPCS_TagGroup::IsValidGroup(item)) {
            return false;
        }
        if (!item->CanDelete()) {
            refused = true;
            refusedName = item->GetName();
        } else if (!UnlinkLocked(item)) {
            return false;
        } else {
            NotifyGroupDeleting(item);
            delete item;
        }
    }
    if (refused) {
        // Said once the lock is free: clients go on while the box is up.
        AppMessageBox(kCannotDelete, MB_OK | MB_ICONSTOP);
        theEventLog << L"Failed to delete:" << (refusedName + L", delete failed") << EventLog::EndEntry;
        return false;
    }
    UpdateAllViews(nullptr, kHintRefreshAll);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::UnlinkLocked(OPCS_TagGroup* item) {
    if (item->IsDevice()) {
        for (auto node = devices_.begin(); node != devices_.end(); ++node) {
            if (*node == item) {
                devices_.Remove(node);
                return true;
            }
        }
        return false;
    }
    OPCS_TagGroup* parent = item->GetParent();
    return OPCS_TagGroup::IsValidGroup(parent) && parent->RemoveGroup(item);
}

OPCS_Tag* OPCS_Doc::FindTag(std::wstring_view itemId) {
    ScopedLock guard(ConfigurationLock());
    const size_t dot = itemId.find(L'.');
    if (dot == std::wstring_view::npos || dot == 0) {
        return nullptr;
    }
    const std::wstring_view deviceName = itemId.substr(0, dot);
    for (OPCS_Device* device : devices_) {
        if (OPCS_TagGroup::IsValidGroup(device) && EqualsNoCase(device->GetName(), deviceName)) {
            return device->FindTag(itemId.substr(dot + 1));
        }
    }
    return nullptr;
}

OPCS_TagGroup* OPCS_Doc::GetSelectedGroup() {
    if (deviceView_ == nullptr) {
        return nullptr;
    }
    void* selected = deviceView_->GetSelectedObject();
    return OPCS_TagGroup::IsValidGroup(selected) ? static_cast<OPCS_TagGroup*>(selected) : nullptr;
}

void OPCS_Doc::CopyDeviceList(Dll<OPCS_Device*>& list) {
    ScopedLock guard(ConfigurationLock());
    list.Clear();
    devices_.CopyInto(list);
}

int OPCS_Doc::DeviceCount() {
    ScopedLock guard(ConfigurationLock());
    return devices_.Count();
}

void OPCS_Doc::DeleteContents() {
    // The views drop every reference before any object is freed (only this
    // thread frees them), and before the lock: a view update may draw.
    UpdateAllViews(nullptr, kHintCleared);
    ScopedLock guard(ConfigurationLock());
    while (!devices_.IsEmpty()) {
        OPCS_Device* device = devices_.Remove(devices_.Head());
        if (OPCS_TagGroup::IsValidGroup(device)) {
            NotifyGroupDeleting(device);
            delete device;
        }
    }
}

void OPCS_Doc::SetPathName(const std::wstring& path) {
    pathName_ = path;
    title_ = FileNameOf(path);
}

bool OPCS_Doc::CanChangeFiles() const { return !AreClientsConnected(); }

bool OPCS_Doc::OnOpenDocument(const std::wstring& path, bool reportFailure) {
    if (!CanChangeFiles()) {
        AppMessageBox(kClientsConnectedText, MB_OK);
        return false;
    }
    if (!LoadFrom(path, reportFailure)) {
        return false;
    }
    UpdateAllViews(nullptr, kHintRefreshAll);
    return true;
}

OPCS_Device* OPCS_Doc::SelectedDevice() {
    OPCS_TagGroup* selected = GetSelectedGroup();
    return selected != nullptr && selected->IsDevice() ? static_cast<OPCS_Device*>(selected) : nullptr;
}

void OPCS_Doc::OnAddDevice() {
    auto* device = new ToviDevice;
    if (!OPCS_TagGroup::IsValidGroup(device)) {
        return;
    }
    device->Rename(device->ProposeName());
    if (!device->EditProperties()) {
        delete device;
        return;
    }
    if (!AddDevice(device)) {
        theEventLog << L"Failed to add device:" << device->GetName() << EventLog::EndEntry;
        delete device;
    }
}

void OPCS_Doc::OnAddNestedGroup() {
    if (deviceView_ == nullptr) return;
    OPCS_TagGroup* parent = GetSelectedGroup();
    if (parent == nullptr) return;
    auto* group = new ToviTagGroup;
    if (!OPCS_TagGroup::IsValidGroup(group)) return;
    group->Rename(parent->MakeUniqueGroupName(L"Group"));
    if (!group->EditProperties(parent)) {
        delete group;
        return;
    }
    if (!AddGroupTo(parent, group)) {
        theEventLog << L"Failed to add group:" << group->GetName() << EventLog::EndEntry;
        delete group;
    }
}

void OPCS_Doc::OnAddTag() {
    if (deviceView_ == nullptr) return;
    OPCS_TagGroup* parent = GetSelectedGroup();
    if (parent == nullptr) return;
    auto* tag = new ToviTag;
    if (!OPCS_Tag::IsValidTag(tag)) return;
    tag->Rename(parent->MakeUniqueTagName(L"Tag"));
    if (!tag->EditProperties(parent)) {
        delete tag;
        return;
    }
    if (!AddTagTo(parent, tag)) {
        theEventLog << L"Failed to add tag:" << tag->GetName() << EventLog::EndEntry;
        delete tag;
    }
}

void OPCS_Doc::OnStartPollingDevice() {
    OPCS_Device* device = SelectedDevice();
    if (device != nullptr && device->GetPollRequests(kPollOperator) == 0) {
        device->RequestPollStart(kPollOperator);
        UpdateAllViews(nullptr, kHintDataChanged);
    }
}

void OPCS_Doc::OnStopPollingDevice() {
    OPCS_Device* device = SelectedDevice();
    if (device != nullptr && device->GetPollRequests(kPollOperator) != 0) {
        device->RequestPollStop(kPollOperator);
        UpdateAllViews(nullptr, kHintDataChanged);
    }
}

bool OPCS_Doc::QueryPollAllState(bool* checked) {
    Dll<OPCS_Device*> devices;
    CopyDeviceList(devices);
    allPolling_ = false;
    bool enabled = false;
    if (!devices.IsEmpty()) {
        enabled = true;
        allPolling_ = true;
        for (OPCS_Device* device : devices) {
            if (OPCS_TagGroup::IsValidGroup(device) && device->GetPollRequests(kPollOperator) == 0) {
                allPolling_ = false;
                break;
            }
        }
    }
    if (checked != nullptr) *checked = allPolling_;
    return enabled;
}

void OPCS_Doc::OnPollAllDevices() {
    QueryPollAllState(nullptr);
    Dll<OPCS_Device*> devices;
    CopyDeviceList(devices);
    for (OPCS_Device* device : devices) {
        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
        const bool hasRequest = device->GetPollRequests(kPollOperator) != 0;
        if (!allPolling_ && !hasRequest) {
            device->RequestPollStart(kPollOperator);
        } else if (allPolling_ && hasRequest) {
            device->RequestPollStop(kPollOperator);
        }
    }
    UpdateAllViews(nullptr, kHintDataChanged);
}
