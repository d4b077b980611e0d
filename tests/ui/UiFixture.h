#pragma once
// A document and the real main window with its two panes, as the program
// makes them, and the means to drive them by messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "ClientObjects.h"
#include "CDeviceView.h"
#include "OPCS_Doc.h"
#include "OwnDocument.h"
#include "CMainFrame.h"
#include "OPCS_Registry.h"
#include "RecordedBoxes.h"
#include "CTagView.h"
#include "TempFolder.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "resource.h"

// Gives a device or group the ordinal a configuration file could have stored.
template <class Base>
struct Ordered : Base {
    explicit Ordered(const std::wstring& name, LONG ordinal = 0) {
        this->Rename(name);
        this->m_ordinal = ordinal;
    }
};

class UiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        theSettings.SetDefaults();
        doc = std::make_unique<OwnDocument>();
        CreateFrame();
    }
    // The frame as the program makes it, on the settings as they stand.
    void CreateFrame() {
        frame.reset();
        frame = std::make_unique<CMainFrame>(*doc);
        ASSERT_TRUE(frame->Create(GetModuleHandleW(nullptr)));
        frame->Show(SW_SHOWNORMAL);
        tree = frame->DeviceView();
        list = frame->TagView();
    }
    void TearDown() override {
        frame.reset();
        doc.reset();
        while (ClientObjectCount() > 0) ApplyClientObjectMessage(kClientObjectFewer);
        Pump(0);
    }

    // Runs the thread's messages for a while.
    static void Pump(DWORD milliseconds) {
        const ULONGLONG deadline = GetTickCount64() + milliseconds;
        do {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message != WM_QUIT) DispatchMessageW(&msg);
            }
            if (GetTickCount64() >= deadline) break;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        } while (true);
    }
    void Command(UINT id) { SendMessageW(frame->Handle(), WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    // A key as the message loop sees it: accelerators first, then the focused window.
    void Key(UINT key, bool control = false) {
        BYTE state[256] = {};
        GetKeyboardState(state);
        state[VK_CONTROL] = control ? 0x80 : 0;
        SetKeyboardState(state);
        MSG msg{};
        msg.hwnd = GetFocus();
        msg.message = WM_KEYDOWN;
        msg.wParam = key;
        msg.lParam = 1;
        if (!frame->PreTranslateMessage(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        state[VK_CONTROL] = 0;
        SetKeyboardState(state);
    }

    ToviDevice* AddDevice(const std::wstring& name, LONG ordinal = 0) {
        auto* device = new Ordered<ToviDevice>(name, ordinal);
        EXPECT_TRUE(doc->AddDevice(device));
        return device;
    }
    ToviTagGroup* AddGroup(OPCS_TagGroup* parent, const std::wstring& name) {
        auto* group = new ToviTagGroup;
        group->Rename(name);
        EXPECT_TRUE(doc->AddGroupTo(parent, group));
        return group;
    }
    ToviTag* AddTag(OPCS_TagGroup* group, const std::wstring& name, const std::wstring& description = L"") {
        auto* tag = new ToviTag;
        tag->Rename(name);
        tag->SetDescription(description);
        EXPECT_TRUE(doc->AddTagTo(group, tag));
        return tag;
    }
    HWND TreeControl() const { return tree->Control(); }
    HWND ListControl() const { return list->Control(); }
    bool IsExpanded(OPCS_TagGroup* group) const {
        auto* item = tree->TreeItemOf(group);
        return item != nullptr && (TreeView_GetItemState(TreeControl(), item, TVIS_EXPANDED) & TVIS_EXPANDED) != 0;
    }
    void Expand(OPCS_TagGroup* group) { TreeView_Expand(TreeControl(), tree->TreeItemOf(group), TVE_EXPAND); }
    // The tag list's rows, by tag name.
    std::vector<std::wstring> RowNames() const {
        std::vector<std::wstring> names;
        for (int i = 0; i < list->RowCount(); ++i) names.push_back(list->RowTag(i)->GetName());
        return names;
    }
    void SelectRows(std::initializer_list<int> rows) {
        ListView_SetItemState(ListControl(), -1, 0, LVIS_SELECTED);
        for (int row : rows) ListView_SetItemState(ListControl(), row, LVIS_SELECTED, LVIS_SELECTED);
    }

    std::unique_ptr<OwnDocument> doc;
    std::unique_ptr<CMainFrame> frame;
    CDeviceView* tree = nullptr;
    CTagView* list = nullptr;
    RecordedBoxes boxes;
    TempFolder temp;  // emptied and removed after each test
};
