#include "CDeviceView.h"

#include <algorithm>
#include <vector>

#include "OPCS_Device.h"
#include "ViewUpdatePoster.h"
#include "ForceQualityDialog.h"
#include "Help.h"
#include "OPCS_TagGroup.h"
#include "Text.h"
#include "resource.h"

namespace {
constexpr COLORREF kTransparent = RGB(255, 0, 255);

// One image list for every tree of the process.
HIMAGELIST TreeImages() {
    static HIMAGELIST images = [] {
        HIMAGELIST list = ImageList_LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_TREE_IMAGES), 16, 0,
                                               kTransparent, IMAGE_BITMAP, LR_CREATEDIBSECTION);
        if (list != nullptr) ImageList_SetBkColor(list, GetSysColor(COLOR_WINDOW));
        return list;
    }();
    return images;
}

template <class T>
std::vector<T*> ByOrdinal(std::vector<T*> objects) {
    std::erase_if(objects, [](T* object) { return !OPCS_TagGroup::IsValidGroup(object); });
    std::stable_sort(objects.begin(), objects.end(), [](T* a, T* b) { return a->GetOrdinal() < b->GetOrdinal(); });
    return objects;
}

}  // namespace

CDeviceView::~CDeviceView() {
    if (m_doc.GetDeviceView() == this) m_doc.SetDeviceView(nullptr);
    m_doc.Poster().SetViewWindow(ViewKind::DeviceTree, nullptr);
    DestroyView();
}

std::vector<OPCS_Device*> CDeviceView::DevicesByOrdinal() {
    std::vector<OPCS_Device*> devices;
    Dll<OPCS_Device*> list;
    m_doc.CopyDeviceList(list);
    for (OPCS_Device* device : list) devices.push_back(device);
    return ByOrdinal(std::move(devices));
}

template <class T>
HTREEITEM CDeviceView::PlaceAfter(const std::vector<T*>& ordered, const OPCS_TagGroup* object) const {
    const auto at = std::find(ordered.begin(), ordered.end(), object);
    if (at == ordered.end() || at + 1 == ordered.end()) return TVI_LAST;
    if (at == ordered.begin()) return TVI_FIRST;
    HTREEITEM before = TreeItemOf(*(at - 1));
    return before != nullptr ? before : TVI_LAST;
}

HTREEITEM CDeviceView::TreeItemOf(const OPCS_TagGroup* object) const {
    const auto found = m_treeItems.find(object);
    return found != m_treeItems.end() ? found->second : nullptr;
}

HWND CDeviceView::CreateControl(HWND parent) {
    return CreateWindowExW(
        WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, 0, 0,
        0, 0, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
}

void CDeviceView::OnInitialUpdate() {
    TreeView_SetImageList(m_control, TreeImages(), TVSIL_NORMAL);
    m_doc.Poster().SetViewWindow(ViewKind::DeviceTree, m_hwnd);
    m_doc.SetDeviceView(this);
    OnUpdate(nullptr, kHintRefreshAll, nullptr);
}

void* CDeviceView::GetSelectedObject() {
    if (m_control == nullptr) return nullptr;
    HTREEITEM item = TreeView_GetSelection(m_control);
    if (item == nullptr) return nullptr;
    TVITEMW data{};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    return TreeView_GetItem(m_control, &data) ? reinterpret_cast<void*>(data.lParam) : nullptr;
}

OPCS_TagGroup* CDeviceView::SelectedGroup() {
    void* object = GetSelectedObject();
    return OPCS_TagGroup::IsValidGroup(object) ? static_cast<OPCS_TagGroup*>(object) : nullptr;
}

OPCS_Device* CDeviceView::SelectedDevice() {
    OPCS_TagGroup* group = SelectedGroup();
    return group != nullptr && group->IsDevice() ? static_cast<OPCS_Device*>(group) : nullptr;
}

bool CDeviceView::SelectObject(OPCS_TagGroup* object) {
    HTREEITEM item = OPCS_TagGroup::IsValidGroup(object) ? TreeItemOf(object) : nullptr;
    if (item == nullptr) return false;
    TreeView_SelectItem(m_control, item);
    TreeView_EnsureVisible(m_control, item);
    return true;
}

void CDeviceView::OnPostedUpdate(int hint) {
    if (hint == kHintRefreshAll || hint == kHintCleared || hint == kHintRebuild || hint == kHintDeviceStatesChanged) {
        OnUpdate(nullptr, hint, nullptr);
    }
}

void CDeviceView::OnUpdate(DocumentView*, int hint, void* object) {
    if (m_control == nullptr || hint == kHintDataChanged || hint == kHintValuesChanged || hint == kHintTagAdded) {
        return;
    }
    SendMessageW(m_control, WM_SETREDRAW, FALSE, 0);
    switch (hint) {
    case kHintCleared: DeleteAllItems(); break;
    case kHintItemChanged:
        // The null test is implied by the validity test; written out, it spares
        // an optimised build GCC's false "'this' pointer is null" warning.
        if (object != nullptr && OPCS_TagGroup::IsValidGroup(object)) {
            auto* group = static_cast<OPCS_TagGroup*>(object);
            if (HTREEITEM item = TreeItemOf(group)) {
                const std::wstring name = group->GetName();
                TVITEMW data{};
                data.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
                data.hItem = item;
                data.pszText = const_cast<wchar_t*>(name.c_str());
                data.iImage = group->GetImageIndex();
                data.iSelectedImage = group->GetSelectedImageIndex();
                TreeView_SetItem(m_control, &data);
                SelectObject(group);
            }
        }
        break;
    case kHintDeviceAdded:
        if (OPCS_TagGroup::IsValidGroup(object)) OnDeviceAdded(static_cast<OPCS_Device*>(object));
        break;
    case kHintDeviceStatesChanged: RefreshDeviceImages(); break;
    case kHintGroupAdded:
        if (OPCS_TagGroup::IsValidGroup(object)) OnGroupAdded(static_cast<OPCS_TagGroup*>(object));
        break;
    default: Rebuild(object); break;
    }
    SendMessageW(m_control, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(m_control, nullptr, TRUE);
}

void CDeviceView::DeleteAllItems() {
    m_suppress = true;
    TreeView_DeleteAllItems(m_control);
    m_treeItems.clear();
    m_suppress = false;
}

HTREEITEM CDeviceView::InsertObject(OPCS_TagGroup* object, HTREEITEM parentItem, HTREEITEM after) {
    const std::wstring name = object->GetName();
    TVINSERTSTRUCTW insert{};
    insert.hParent = parentItem;
    insert.hInsertAfter = after;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = const_cast<wchar_t*>(name.c_str());
    insert.item.iImage = object->GetImageIndex();
    insert.item.iSelectedImage = object->GetSelectedImageIndex();
    insert.item.lParam = reinterpret_cast<LPARAM>(object);
    HTREEITEM item = TreeView_InsertItem(m_control, &insert);
    if (item != nullptr) m_treeItems[object] = item;
    return item;
}

void CDeviceView::InsertGroupsOf(OPCS_TagGroup* parent, HTREEITEM parentItem) {
    for (OPCS_TagGroup* group : ByOrdinal(parent->SnapshotGroups())) {
        if (HTREEITEM item = InsertObject(group, parentItem, TVI_LAST)) InsertGroupsOf(group, item);
    }
}

void CDeviceView::OnDeviceAdded(OPCS_Device* device) {
    const HTREEITEM after = PlaceAfter(DevicesByOrdinal(), device);
    HTREEITEM item = InsertObject(device, TVI_ROOT, after);
    if (item == nullptr) return;
    InsertGroupsOf(device, item);
    SelectObject(device);
}

void CDeviceView::OnGroupAdded(OPCS_TagGroup* group) {
    OPCS_TagGroup* parent = group->GetParent();
    HTREEITEM parentItem = OPCS_TagGroup::IsValidGroup(parent) ? TreeItemOf(parent) : nullptr;
    if (parentItem == nullptr) return;
    const HTREEITEM after = PlaceAfter(ByOrdinal(parent->SnapshotGroups()), group);
    HTREEITEM item = InsertObject(group, parentItem, after);
    if (item == nullptr) return;
    InsertGroupsOf(group, item);
    TreeView_EnsureVisible(m_control, item);
}

void CDeviceView::RefreshDeviceImages() {
    for (OPCS_Device* device : DevicesByOrdinal()) {
        HTREEITEM item = TreeItemOf(device);
        if (item == nullptr) continue;
        TVITEMW data{};
        data.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
        data.hItem = item;
        data.iImage = device->GetImageIndex();
        data.iSelectedImage = device->GetSelectedImageIndex();
        TreeView_SetItem(m_control, &data);
    }
}

void CDeviceView::Rebuild(void* object) {
    Dll<TreeItemState> saved;
    const UINT count = TreeView_GetCount(m_control);
    HTREEITEM item = TreeView_GetFirstVisible(m_control);
    for (UINT step = 0; item != nullptr && step < count; ++step) {
        TVITEMW data{};
        data.mask = TVIF_PARAM | TVIF_STATE;
        data.stateMask = 0xFFFFFFFF;
        data.hItem = item;
        if (TreeView_GetItem(m_control, &data) && OPCS_TagGroup::IsValidGroup(reinterpret_cast<void*>(data.lParam))) {
            saved.Append(TreeItemState{reinterpret_cast<void*>(data.lParam), data.state});
        }
        item = TreeView_GetNextVisible(m_control, item);
    }

    m_suppress = true;
    TreeView_DeleteAllItems(m_control);
    m_treeItems.clear();
    for (OPCS_Device* device : DevicesByOrdinal()) {
        if (HTREEITEM root = InsertObject(device, TVI_ROOT, TVI_LAST)) InsertGroupsOf(device, root);
    }
    for (const TreeItemState& record : saved) {
        if (!OPCS_TagGroup::IsValidGroup(record.object)) continue;
        HTREEITEM target = TreeItemOf(static_cast<OPCS_TagGroup*>(record.object));
        if (target == nullptr) continue;
        TVITEMW data{};
        data.mask = TVIF_STATE;
        data.hItem = target;
        data.state = record.state;
        data.stateMask = 0xFFFFFFFF;
        TreeView_SetItem(m_control, &data);
        // The state bits alone neither open the branch nor move the caret.
        if (record.state & TVIS_EXPANDED) TreeView_Expand(m_control, target, TVE_EXPAND);
        if (record.state & TVIS_SELECTED) TreeView_SelectItem(m_control, target);
    }
    if (OPCS_TagGroup::IsValidGroup(object)) SelectObject(static_cast<OPCS_TagGroup*>(object));
    m_suppress = false;
}

LRESULT CDeviceView::OnNotify(NMHDR* header) {
    if (header->hwndFrom != m_control) return 0;
    switch (header->code) {
    case TVN_SELCHANGEDW:
    case TVN_SELCHANGEDA:
        if (!m_suppress) {
            if (DocumentView* tags = m_doc.GetTagView()) tags->OnUpdate(this, kHintDataChanged, nullptr);
        }
        return 0;
    case TVN_KEYDOWN:
        if (reinterpret_cast<NMTVKEYDOWN*>(header)->wVKey == VK_DELETE && TreeView_GetSelection(m_control) != nullptr) {
            OnDelete();
        }
        return 0;
    case NM_RCLICK: OnRightClick(); return 1;  // handled: no WM_CONTEXTMENU as well
    default: return 0;
    }
}

void CDeviceView::OnRightClick() {
    TVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(m_control, &hit.pt);
    HTREEITEM item = TreeView_HitTest(m_control, &hit);
    if (item == nullptr || (hit.flags & TVHT_ONITEM) == 0) return;
    SetFocus(m_control);
    TreeView_SelectItem(m_control, item);
    TreeView_EnsureVisible(m_control, item);
    if (SelectedGroup() != nullptr) TrackPopup(IDR_POPUP_DEVICE);
}

void CDeviceView::OnForceQuality() {
    OPCS_TagGroup* group = SelectedGroup();
    if (group == nullptr) return;
    std::wstring path = group->GetPath();
    if (!path.empty()) path.pop_back();  // the separator that would join a child
    ForceQualityDialog dialog(path, group->GetForcedQuality());
    if (dialog.DoModal(GetAncestor(m_hwnd, GA_ROOT)) != IDOK || !OPCS_TagGroup::IsValidGroup(group)) return;
    group->ForceQuality(dialog.Chosen());
    m_doc.UpdateAllViews(nullptr, kHintDataChanged);
}

void CDeviceView::OnProperties() {
    OPCS_TagGroup* group = SelectedGroup();
    if (group == nullptr) return;
    m_doc.EditProperties(group);
    OnUpdate(nullptr, kHintItemChanged, group);
}

void CDeviceView::OnDelete() {
    OPCS_TagGroup* group = SelectedGroup();
    if (group == nullptr || !group->CanDelete() || !OPCS_TagGroup::IsValidGroup(group->GetDevice())) {
        return;
    }
    HTREEITEM item = TreeItemOf(group);
    HTREEITEM neighbour = TreeView_GetNextSibling(m_control, item);
    if (neighbour == nullptr) neighbour = TreeView_GetPrevSibling(m_control, item);
    if (neighbour == nullptr) neighbour = TreeView_GetParent(m_control, item);
    void* next = nullptr;
    if (neighbour != nullptr) {
        TVITEMW data{};
        data.mask = TVIF_PARAM;
        data.hItem = neighbour;
        if (TreeView_GetItem(m_control, &data) && OPCS_TagGroup::IsValidGroup(reinterpret_cast<void*>(data.lParam))) {
            next = reinterpret_cast<void*>(data.lParam);
        }
    }
    if (m_doc.DeleteItem(group) && next != nullptr) SelectObject(static_cast<OPCS_TagGroup*>(next));
}

bool CDeviceView::QueryCommand(UINT command, CommandState& state) {
    OPCS_TagGroup* group = SelectedGroup();
    OPCS_Device* device = SelectedDevice();
    switch (command) {
    case ID_EDIT_PROPERTIES: state.enabled = group != nullptr; return true;
    case ID_EDIT_FORCE_QUALITY: state.enabled = group != nullptr; return true;
    case ID_EDIT_DELETE: {
        OPCS_Device* owner = group != nullptr ? group->GetDevice() : nullptr;
        state.enabled =
            group != nullptr && group->CanDelete() && OPCS_TagGroup::IsValidGroup(owner) && owner->CanDelete();
        return true;
    }
    case ID_FORCE_POLL: state.enabled = device != nullptr && device->IsBusy(); return true;
    case ID_POLL_SELECTED_DEVICE:
        state.enabled = device != nullptr;
        state.checked = device != nullptr && device->PollsByItself();
        return true;
    case ID_HELP: return true;
    default: return false;
    }
}

bool CDeviceView::OnCommand(UINT command) {
    switch (command) {
    case ID_EDIT_PROPERTIES: OnProperties(); return true;
    case ID_EDIT_FORCE_QUALITY: OnForceQuality(); return true;
    case ID_EDIT_DELETE: OnDelete(); return true;
    case ID_FORCE_POLL:
        if (OPCS_Device* device = SelectedDevice(); device != nullptr && device->IsBusy()) device->PollNow();
        return true;
    case ID_POLL_SELECTED_DEVICE:
        if (OPCS_Device* device = SelectedDevice()) {
            device->SetOperatorPolling(!device->PollsByItself());
            m_doc.UpdateAllViews(this, kHintDataChanged);
        }
        return true;
    case ID_HELP: ShowHelpTopic(kHelpDeviceTree); return true;
    default: return false;
    }
}

std::wstring CDeviceView::ClientsPaneText() {
    OPCS_TagGroup* group = SelectedGroup();
    OPCS_Device* device = group != nullptr ? group->GetDevice() : nullptr;
    if (!OPCS_TagGroup::IsValidGroup(device)) return {};
    return FormatText(L"%ls %u", L"Number of Clients: ", static_cast<unsigned>(device->GetPollRequestCount()));
}
