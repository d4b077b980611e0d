#include "DeviceView.h"

#include <algorithm>
#include <vector>

#include "Device.h"
#include "DocumentLink.h"
#include "Help.h"
#include "TagGroup.h"
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

// The saved states of the last rebuild live as long as the process.
Dll<TreeItemState>& SavedStates() {
    static Dll<TreeItemState> states;
    return states;
}

template <class T>
std::vector<T*> ByOrdinal(std::vector<T*> objects) {
    std::erase_if(objects, [](T* object) { return !OPCS_TagGroup::IsValidGroup(object); });
    std::stable_sort(objects.begin(), objects.end(),
                     [](T* a, T* b) { return a->GetOrdinal() < b->GetOrdinal(); });
    return objects;
}

std::vector<OPCS_Device*> DevicesByOrdinal() {
    std::vector<OPCS_Device*> devices;
    if (OPCS_Doc* doc = OPCS_Doc::Get()) {
        Dll<OPCS_Device*> list;
        doc->CopyDeviceList(list);
        for (OPCS_Device* device : list) devices.push_back(device);
    }
    return ByOrdinal(std::move(devices));
}

// Where a new item goes among its siblings, given the siblings in ordinal order.
template <class T>
HTREEITEM PlaceAfter(const std::vector<T*>& ordered, const OPCS_TagGroup* object) {
    const auto at = std::find(ordered.begin(), ordered.end(), object);
    if (at == ordered.end() || at + 1 == ordered.end()) return TVI_LAST;
    if (at == ordered.begin()) return TVI_FIRST;
    auto* before = static_cast<HTREEITEM>((*(at - 1))->GetTreeItem());
    return before != nullptr ? before : TVI_LAST;
}
}  // namespace

CDeviceView::~CDeviceView() {
    if (OPCS_Doc* doc = OPCS_Doc::Get(); doc != nullptr && doc->GetDeviceView() == this) doc->SetDeviceView(nullptr);
    SetViewWindow(ViewKind::DeviceTree, nullptr);
    DestroyView();
}

HWND CDeviceView::CreateControl(HWND parent) {
    return CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"",
                           WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT |
                               TVS_SHOWSELALWAYS,
                           0, 0, 0, 0, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
}

void CDeviceView::OnInitialUpdate() {
    TreeView_SetImageList(control_, TreeImages(), TVSIL_NORMAL);
    SetViewWindow(ViewKind::DeviceTree, hwnd_);
    if (OPCS_Doc* doc = OPCS_Doc::Get()) {
        doc->SetDeviceView(this);
        OnUpdate(nullptr, kHintRefreshAll, nullptr);
    }
}

void* CDeviceView::GetSelectedObject() {
    if (control_ == nullptr) return nullptr;
    HTREEITEM item = TreeView_GetSelection(control_);
    if (item == nullptr) return nullptr;
    TVITEMW data{};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    return TreeView_GetItem(control_, &data) ? reinterpret_cast<void*>(data.lParam) : nullptr;
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
    if (!OPCS_TagGroup::IsValidGroup(object) || object->GetTreeItem() == nullptr) return false;
    auto* item = static_cast<HTREEITEM>(object->GetTreeItem());
    TreeView_SelectItem(control_, item);
    TreeView_EnsureVisible(control_, item);
    return true;
}

void CDeviceView::OnPostedUpdate(int hint) {
    if (hint == kHintRefreshAll || hint == kHintCleared || hint == kHintRebuild || hint == kHintDeviceStatesChanged) {
        OnUpdate(nullptr, hint, nullptr);
    }
}

void CDeviceView::OnUpdate(DocumentView*, int hint, void* object) {
    if (control_ == nullptr || hint == kHintDataChanged || hint == kHintValuesChanged || hint == kHintTagAdded) {
        return;
    }
    SendMessageW(control_, WM_SETREDRAW, FALSE, 0);
    switch (hint) {
    case kHintCleared:
        DeleteAllItems();
        break;
    case kHintItemChanged:
        // The null test is implied by the validity test; written out, it spares
        // an optimised build GCC's false "'this' pointer is null" warning.
        if (object != nullptr && OPCS_TagGroup::IsValidGroup(object)) {
            auto* group = static_cast<OPCS_TagGroup*>(object);
            if (auto* item = static_cast<HTREEITEM>(group->GetTreeItem())) {
                const std::wstring name = group->GetName();
                TVITEMW data{};
                data.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
                data.hItem = item;
                data.pszText = const_cast<wchar_t*>(name.c_str());
                data.iImage = group->GetImageIndex();
                data.iSelectedImage = group->GetSelectedImageIndex();
                TreeView_SetItem(control_, &data);
                SelectObject(group);
            }
        }
        break;
    case kHintDeviceAdded:
        if (OPCS_TagGroup::IsValidGroup(object)) OnDeviceAdded(static_cast<OPCS_Device*>(object));
        break;
    case kHintDeviceStatesChanged:
        RefreshDeviceImages();
        break;
    case kHintGroupAdded:
        if (OPCS_TagGroup::IsValidGroup(object)) OnGroupAdded(static_cast<OPCS_TagGroup*>(object));
        break;
    default:
        Rebuild(object);
        break;
    }
    SendMessageW(control_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(control_, nullptr, TRUE);
}

void CDeviceView::DeleteAllItems() {
    suppress_ = true;
    TreeView_DeleteAllItems(control_);
    suppress_ = false;
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
    HTREEITEM item = TreeView_InsertItem(control_, &insert);
    object->SetTreeItem(item);
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
    if (!OPCS_TagGroup::IsValidGroup(parent) || parent->GetTreeItem() == nullptr) return;
    const HTREEITEM after = PlaceAfter(ByOrdinal(parent->SnapshotGroups()), group);
    HTREEITEM item = InsertObject(group, static_cast<HTREEITEM>(parent->GetTreeItem()), after);
    if (item == nullptr) return;
    InsertGroupsOf(group, item);
    TreeView_EnsureVisible(control_, item);
}

void CDeviceView::RefreshDeviceImages() {
    for (OPCS_Device* device : DevicesByOrdinal()) {
        auto* item = static_cast<HTREEITEM>(device->GetTreeItem());
        if (item == nullptr) continue;
        TVITEMW data{};
        data.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
        data.hItem = item;
        data.iImage = device->GetImageIndex();
        data.iSelectedImage = device->GetSelectedImageIndex();
        TreeView_SetItem(control_, &data);
    }
}

void CDeviceView::Rebuild(void* object) {
    Dll<TreeItemState>& saved = SavedStates();
    saved.Clear();
    const UINT count = TreeView_GetCount(control_);
    HTREEITEM item = TreeView_GetFirstVisible(control_);
    for (UINT step = 0; item != nullptr && step < count; ++step) {
        TVITEMW data{};
        data.mask = TVIF_PARAM | TVIF_STATE;
        data.stateMask = 0xFFFFFFFF;
        data.hItem = item;
        if (TreeView_GetItem(control_, &data) && OPCS_TagGroup::IsValidGroup(reinterpret_cast<void*>(data.lParam))) {
            saved.Append(TreeItemState{reinterpret_cast<void*>(data.lParam), data.state});
        }
        item = TreeView_GetNextVisible(control_, item);
    }

    suppress_ = true;
    TreeView_DeleteAllItems(control_);
    for (OPCS_Device* device : DevicesByOrdinal()) {
        if (HTREEITEM root = InsertObject(device, TVI_ROOT, TVI_LAST)) InsertGroupsOf(device, root);
    }
    for (const TreeItemState& record : saved) {
        if (!OPCS_TagGroup::IsValidGroup(record.object)) continue;
        auto* target = static_cast<HTREEITEM>(static_cast<OPCS_TagGroup*>(record.object)->GetTreeItem());
        if (target == nullptr) continue;
        TVITEMW data{};
        data.mask = TVIF_STATE;
        data.hItem = target;
        data.state = record.state;
        data.stateMask = 0xFFFFFFFF;
        TreeView_SetItem(control_, &data);
        // The state bits alone neither open the branch nor move the caret.
        if (record.state & TVIS_EXPANDED) TreeView_Expand(control_, target, TVE_EXPAND);
        if (record.state & TVIS_SELECTED) TreeView_SelectItem(control_, target);
    }
    if (OPCS_TagGroup::IsValidGroup(object)) SelectObject(static_cast<OPCS_TagGroup*>(object));
    suppress_ = false;
}

LRESULT CDeviceView::OnNotify(NMHDR* header) {
    if (header->hwndFrom != control_) return 0;
    switch (header->code) {
    case TVN_SELCHANGEDW:
    case TVN_SELCHANGEDA:
        if (!suppress_) {
            if (OPCS_Doc* doc = OPCS_Doc::Get(); doc != nullptr && doc->GetTagView() != nullptr) {
                doc->GetTagView()->OnUpdate(this, kHintDataChanged, nullptr);
            }
        }
        return 0;
    case TVN_KEYDOWN:
        if (reinterpret_cast<NMTVKEYDOWN*>(header)->wVKey == VK_DELETE && TreeView_GetSelection(control_) != nullptr) {
            OnDelete();
        }
        return 0;
    case NM_RCLICK:
        OnRightClick();
        return 1;  // handled: no WM_CONTEXTMENU as well
    default:
        return 0;
    }
}

void CDeviceView::OnRightClick() {
    TVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(control_, &hit.pt);
    HTREEITEM item = TreeView_HitTest(control_, &hit);
    if (item == nullptr || (hit.flags & TVHT_ONITEM) == 0) return;
    SetFocus(control_);
    TreeView_SelectItem(control_, item);
    TreeView_EnsureVisible(control_, item);
    if (SelectedGroup() != nullptr) TrackPopup(IDR_POPUP_DEVICE);
}

void CDeviceView::OnProperties() {
    OPCS_TagGroup* group = SelectedGroup();
    if (group == nullptr) return;
    group->EditProperties();
    OnUpdate(nullptr, kHintItemChanged, group);
}

void CDeviceView::OnDelete() {
    OPCS_TagGroup* group = SelectedGroup();
    OPCS_Doc* doc = OPCS_Doc::Get();
    if (group == nullptr || doc == nullptr || !group->CanDelete() ||
        !OPCS_TagGroup::IsValidGroup(group->GetDevice())) {
        return;
    }
    auto* item = static_cast<HTREEITEM>(group->GetTreeItem());
    HTREEITEM neighbour = TreeView_GetNextSibling(control_, item);
    if (neighbour == nullptr) neighbour = TreeView_GetPrevSibling(control_, item);
    if (neighbour == nullptr) neighbour = TreeView_GetParent(control_, item);
    void* next = nullptr;
    if (neighbour != nullptr) {
        TVITEMW data{};
        data.mask = TVIF_PARAM;
        data.hItem = neighbour;
        if (TreeView_GetItem(control_, &data) && OPCS_TagGroup::IsValidGroup(reinterpret_cast<void*>(data.lParam))) {
            next = reinterpret_cast<void*>(data.lParam);
        }
    }
    if (doc->DeleteItem(group) && next != nullptr) SelectObject(static_cast<OPCS_TagGroup*>(next));
}

bool CDeviceView::QueryCommand(UINT command, CommandState& state) {
    OPCS_TagGroup* group = SelectedGroup();
    OPCS_Device* device = SelectedDevice();
    switch (command) {
    case ID_EDIT_PROPERTIES:
        state.enabled = group != nullptr;
        return true;
    case ID_EDIT_DELETE: {
        OPCS_Device* owner = group != nullptr ? group->GetDevice() : nullptr;
        state.enabled = group != nullptr && group->CanDelete() && OPCS_TagGroup::IsValidGroup(owner) &&
                        owner->CanDelete();
        return true;
    }
    case ID_FORCE_POLL:
        state.enabled = device != nullptr && device->IsBusy();
        return true;
    case ID_POLL_SELECTED_DEVICE:
        state.enabled = device != nullptr;
        state.checked = device != nullptr && device->GetPollRequests(kPollOperator) != 0;
        return true;
    case ID_HELP:
        return true;
    default:
        return false;
    }
}

bool CDeviceView::OnCommand(UINT command) {
    switch (command) {
    case ID_EDIT_PROPERTIES:
        OnProperties();
        return true;
    case ID_EDIT_DELETE:
        OnDelete();
        return true;
    case ID_FORCE_POLL:
        if (OPCS_Device* device = SelectedDevice(); device != nullptr && device->IsBusy()) device->PollNow();
        return true;
    case ID_POLL_SELECTED_DEVICE:
        if (OPCS_Device* device = SelectedDevice()) {
            if (device->GetPollRequests(kPollOperator) == 0) {
                device->RequestPollStart(kPollOperator);
            } else {
                device->RequestPollStop(kPollOperator);
            }
            if (OPCS_Doc* doc = OPCS_Doc::Get()) doc->UpdateAllViews(this, kHintDataChanged);
        }
        return true;
    case ID_HELP:
        ShowHelpTopic(kHelpDeviceTree);
        return true;
    default:
        return false;
    }
}

std::wstring CDeviceView::ClientsPaneText() {
    OPCS_TagGroup* group = SelectedGroup();
    OPCS_Device* device = group != nullptr ? group->GetDevice() : nullptr;
    if (!OPCS_TagGroup::IsValidGroup(device)) return {};
    return FormatText(L"%ls %u", L"Number of Clients: ", static_cast<unsigned>(device->GetPollRequestCount()));
}
