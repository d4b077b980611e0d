#include "OPCS_Doc.h"

#include <atomic>

#include "OPCS_Device.h"
#include "EventLog.h"
#include "MessageBoxes.h"
#include "ModalPropertyDialogs.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
const wchar_t kCannotDelete[] = L"Unable to delete while device active and/or clients are attached.";
ModalPropertyDialogs g_modalDialogs;  // stateless: one serves every document
}  // namespace

OPCS_Doc::OPCS_Doc(Configuration& configuration) : m_configuration(configuration), m_dialogs(&g_modalDialogs) {
    m_configuration.SetWatcher(&m_poster);
}

OPCS_Doc::~OPCS_Doc() { m_configuration.SetWatcher(nullptr); }

void OPCS_Doc::SetDialogs(PropertyDialogRunner* runner) noexcept {
    m_dialogs = runner != nullptr ? runner : &g_modalDialogs;
}

void OPCS_Doc::UpdateAllViews(DocumentView* sender, int hint, void* object) {
    if (m_deviceView != nullptr && m_deviceView != sender) m_deviceView->OnUpdate(sender, hint, object);
    if (m_tagView != nullptr && m_tagView != sender) m_tagView->OnUpdate(sender, hint, object);
}

// The views are told after the configuration lock is released: a view update
// may draw, and clients resolving items wait for that lock. Only this thread
// deletes objects, so what the hint carries stays valid until then.
bool OPCS_Doc::AddDevice(OPCS_Device* device) {
    if (!m_configuration.AddDevice(device)) return false;
    UpdateAllViews(nullptr, kHintDeviceAdded, device);
    return true;
}

bool OPCS_Doc::AddGroupTo(OPCS_TagGroup* parent, OPCS_TagGroup* group) {
    if (!m_configuration.AddGroupTo(parent, group)) return false;
    UpdateAllViews(nullptr, kHintGroupAdded, group);
    return true;
}

bool OPCS_Doc::AddTagTo(OPCS_TagGroup* group, OPCS_Tag* tag) {
    if (!m_configuration.AddTagTo(group, tag)) return false;
    UpdateAllViews(nullptr, kHintTagAdded, tag);
    return true;
}

bool OPCS_Doc::DeleteItem(OPCS_TagGroup* item) {
    const std::wstring name = OPCS_TagGroup::IsValidGroup(item) ? item->GetName() : std::wstring();
    switch (m_configuration.DeleteItem(item)) {
    case Configuration::DeleteResult::NotFound: return false;
    case Configuration::DeleteResult::InUse:
        // Said once the lock is free: clients go on while the box is up.
        AppMessageBox(kCannotDelete, MB_OK | MB_ICONSTOP);
        theEventLog << L"Failed to delete:" << (name + L", delete failed") << EventLog::EndEntry;
        return false;
    case Configuration::DeleteResult::Deleted: break;
    }
    UpdateAllViews(nullptr, kHintRefreshAll);
    return true;
}

OPCS_TagGroup* OPCS_Doc::GetSelectedGroup() {
    if (m_deviceView == nullptr) {
        return nullptr;
    }
    void* selected = m_deviceView->GetSelectedObject();
    return OPCS_TagGroup::IsValidGroup(selected) ? static_cast<OPCS_TagGroup*>(selected) : nullptr;
}

void OPCS_Doc::DeleteContents() {
    // The views drop every reference before any object is freed (only this
    // thread frees them), and before the lock: a view update may draw.
    UpdateAllViews(nullptr, kHintCleared);
    m_configuration.Clear();
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
    if (!EditGroupProperties(*m_dialogs, *device, nullptr)) {
        delete device;
        return;
    }
    if (!AddDevice(device)) {
        theEventLog << L"Failed to add device:" << device->GetName() << EventLog::EndEntry;
        delete device;
    }
}

void OPCS_Doc::OnAddNestedGroup() {
    if (m_deviceView == nullptr) return;
    OPCS_TagGroup* parent = GetSelectedGroup();
    if (parent == nullptr) return;
    auto* group = new ToviTagGroup;
    if (!OPCS_TagGroup::IsValidGroup(group)) return;
    group->Rename(parent->MakeUniqueGroupName(L"Group"));
    if (!EditGroupProperties(*m_dialogs, *group, parent)) {
        delete group;
        return;
    }
    if (!AddGroupTo(parent, group)) {
        theEventLog << L"Failed to add group:" << group->GetName() << EventLog::EndEntry;
        delete group;
    }
}

void OPCS_Doc::OnAddTag() {
    if (m_deviceView == nullptr) return;
    OPCS_TagGroup* parent = GetSelectedGroup();
    if (parent == nullptr) return;
    auto* tag = new ToviTag;
    if (!OPCS_Tag::IsValidTag(tag)) return;
    tag->Rename(parent->MakeUniqueTagName(L"Tag"));
    if (!EditTagProperties(*m_dialogs, *tag, parent)) {
        delete tag;
        return;
    }
    if (!AddTagTo(parent, tag)) {
        theEventLog << L"Failed to add tag:" << tag->GetName() << EventLog::EndEntry;
        delete tag;
    }
}

bool OPCS_Doc::EditProperties(OPCS_TagGroup* group) {
    if (!OPCS_TagGroup::IsValidGroup(group)) return false;
    return EditGroupProperties(*m_dialogs, *group, group->IsDevice() ? nullptr : group->GetParent());
}

bool OPCS_Doc::EditProperties(OPCS_Tag* tag) {
    auto* own = dynamic_cast<ToviTag*>(tag);
    if (own == nullptr || !OPCS_Tag::IsValidTag(tag)) return false;
    return EditTagProperties(*m_dialogs, *own, tag->GetOwner());
}

void OPCS_Doc::OnStartPollingDevice() {
    OPCS_Device* device = SelectedDevice();
    if (device != nullptr && !device->PollsByItself()) {
        device->SetOperatorPolling(true);
        UpdateAllViews(nullptr, kHintDataChanged);
    }
}

void OPCS_Doc::OnStopPollingDevice() {
    OPCS_Device* device = SelectedDevice();
    if (device != nullptr && device->PollsByItself()) {
        device->SetOperatorPolling(false);
        UpdateAllViews(nullptr, kHintDataChanged);
    }
}

void OPCS_Doc::ResumeStoredPolling() {
    Dll<OPCS_Device*> devices;
    CopyDeviceList(devices);
    for (OPCS_Device* device : devices) {
        if (OPCS_TagGroup::IsValidGroup(device)) device->ResumeOperatorPolling();
    }
}

bool OPCS_Doc::QueryPollAllState(bool* checked) {
    Dll<OPCS_Device*> devices;
    CopyDeviceList(devices);
    m_allPolling = false;
    bool enabled = false;
    if (!devices.IsEmpty()) {
        enabled = true;
        m_allPolling = true;
        for (OPCS_Device* device : devices) {
            if (OPCS_TagGroup::IsValidGroup(device) && !device->PollsByItself()) {
                m_allPolling = false;
                break;
            }
        }
    }
    if (checked != nullptr) *checked = m_allPolling;
    return enabled;
}

void OPCS_Doc::OnPollAllDevices() {
    QueryPollAllState(nullptr);
    Dll<OPCS_Device*> devices;
    CopyDeviceList(devices);
    for (OPCS_Device* device : devices) {
        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
        const bool hasRequest = device->PollsByItself();
        if (!m_allPolling && !hasRequest) {
            device->SetOperatorPolling(true);
        } else if (m_allPolling && hasRequest) {
            device->SetOperatorPolling(false);
        }
    }
    UpdateAllViews(nullptr, kHintDataChanged);
}
