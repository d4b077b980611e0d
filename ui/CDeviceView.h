#pragma once
// The left pane: the configuration's devices and, below each, its nested tag
// groups. The selected item is the document's current group. Full rebuilds
// keep the user's expanded and selected items.
#include <windows.h>
#include <unordered_map>
#include <vector>
#include <commctrl.h>
#include <string>

#include "Dll.h"
#include "CViewWindow.h"

class OPCS_TagGroup;
class OPCS_Device;

// One saved tree item: its object and all its state bits.
struct TreeItemState {
    void* object = nullptr;
    UINT state = 0;
};

class CDeviceView : public CViewWindow {
public:
    explicit CDeviceView(OPCS_Doc& doc) noexcept : CViewWindow(doc) {}
    ~CDeviceView() override;

    void OnInitialUpdate() override;
    void OnUpdate(DocumentView* sender, int hint, void* object) override;
    void* GetSelectedObject() override;
    std::wstring ClientsPaneText() override;
    bool QueryCommand(UINT command, CommandState& state) override;
    bool OnCommand(UINT command) override;

    // The tree item that shows the object, or null.
    HTREEITEM TreeItemOf(const OPCS_TagGroup* object) const;
    // Selects the object's item and scrolls it into view (false when it has none).
    bool SelectObject(OPCS_TagGroup* object);
    // The valid selected device or group, or null.
    OPCS_TagGroup* SelectedGroup();
    void OnDelete();
    void OnProperties();
    void OnForceQuality();

private:
    HWND CreateControl(HWND parent) override;
    LRESULT OnNotify(NMHDR* header) override;
    void OnPostedUpdate(int hint) override;
    void OnRightClick();

    void Rebuild(void* object);
    void InsertGroupsOf(OPCS_TagGroup* parent, HTREEITEM parentItem);
    HTREEITEM InsertObject(OPCS_TagGroup* object, HTREEITEM parentItem, HTREEITEM after);
    void OnDeviceAdded(OPCS_Device* device);
    void OnGroupAdded(OPCS_TagGroup* group);
    void RefreshDeviceImages();
    OPCS_Device* SelectedDevice();
    void DeleteAllItems();
    std::vector<OPCS_Device*> DevicesByOrdinal();
    // Where a new item goes among its siblings, given the siblings in ordinal order.
    template <class T>
    HTREEITEM PlaceAfter(const std::vector<T*>& ordered, const OPCS_TagGroup* object) const;

    bool m_suppress = false;
    std::unordered_map<const OPCS_TagGroup*, HTREEITEM> m_treeItems;
};
