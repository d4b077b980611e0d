#include "DialogDriver.h"
#include "UiFixture.h"

namespace {
using DeviceViewTest = UiFixture;
}

TEST_F(DeviceViewTest, DeleteSelectsTheNextSiblingThenThePreviousThenTheParent) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTagGroup* a = AddGroup(device, L"A");
    ToviTagGroup* b = AddGroup(device, L"B");
    ToviTagGroup* c = AddGroup(device, L"C");
    AddTag(c, L"Level");
    ASSERT_TRUE(tree->SelectObject(b));
    ASSERT_EQ(doc->GetSelectedGroup(), b);

    Key(VK_DELETE);  // the tree's own key handling
    EXPECT_EQ(device->GroupCount(), 2);
    EXPECT_EQ(doc->GetSelectedGroup(), c);
    // The tag list followed the selection to C's tags.
    EXPECT_EQ(RowNames(), std::vector<std::wstring>{L"Level"});

    Command(ID_EDIT_DELETE);  // C is the last child now
    EXPECT_EQ(doc->GetSelectedGroup(), a);
    Command(ID_EDIT_DELETE);  // A is the only one
    EXPECT_EQ(doc->GetSelectedGroup(), device);
    EXPECT_EQ(device->GroupCount(), 0);
    EXPECT_EQ(TreeView_GetCount(TreeControl()), 1u);

    // The last device goes: an empty tree and an empty list.
    Command(ID_EDIT_DELETE);
    EXPECT_EQ(doc->DeviceCount(), 0);
    EXPECT_EQ(TreeView_GetCount(TreeControl()), 0u);
    EXPECT_EQ(list->RowCount(), 0);
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(DeviceViewTest, DeleteOfABusyDeviceIsDisabledAndRefused) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTagGroup* group = AddGroup(device, L"Loop");
    device->RequestPollStart(kPollOperator);
    ASSERT_TRUE(tree->SelectObject(group));
    EXPECT_FALSE(frame->QueryCommandState(ID_EDIT_DELETE).enabled);
    Command(ID_EDIT_DELETE);  // a disabled command does nothing
    EXPECT_EQ(device->GroupCount(), 1);
    tree->SelectObject(device);
    Key(VK_DELETE);  // the key asks the device itself, which refuses while it polls
    EXPECT_EQ(doc->DeviceCount(), 1);
    EXPECT_TRUE(boxes.texts.empty());
    device->RequestPollStop(kPollOperator);
    EXPECT_TRUE(frame->QueryCommandState(ID_EDIT_DELETE).enabled);
}

TEST_F(DeviceViewTest, ARebuildKeepsExpandedAndSelectedItemsInView) {
    ToviDevice* first = AddDevice(L"First");
    ToviTagGroup* outer = AddGroup(first, L"Outer");
    ToviTagGroup* inner = AddGroup(outer, L"Inner");
    ToviDevice* second = AddDevice(L"Second");
    AddGroup(second, L"Other");
    Expand(first);
    Expand(outer);
    // A new group is scrolled into view, which opened its parent: close it again.
    ASSERT_TRUE(IsExpanded(second));
    TreeView_Expand(TreeControl(), tree->TreeItemOf(second), TVE_COLLAPSE);
    ASSERT_TRUE(tree->SelectObject(inner));

    doc->UpdateAllViews(nullptr, kHintRefreshAll);
    EXPECT_TRUE(IsExpanded(first));
    EXPECT_TRUE(IsExpanded(outer));
    EXPECT_FALSE(IsExpanded(second));
    EXPECT_EQ(doc->GetSelectedGroup(), inner);

    // An update request posted by another thread rebuilds on this one.
    doc->Poster().Post(ViewKind::DeviceTree, kHintRebuild);
    Pump(50);
    EXPECT_TRUE(IsExpanded(outer));
    EXPECT_EQ(doc->GetSelectedGroup(), inner);
}

TEST_F(DeviceViewTest, ItemsScrolledOutAboveTheWindowAreNotReexpanded) {
    std::vector<ToviDevice*> devices;
    for (int i = 0; i < 60; ++i) {
        devices.push_back(AddDevice(L"Device" + std::to_wstring(i)));
        AddGroup(devices.back(), L"Group");
    }
    Expand(devices.front());
    Expand(devices.back());
    TreeView_EnsureVisible(TreeControl(), tree->TreeItemOf(devices.back()));
    ASSERT_NE(TreeView_GetFirstVisible(TreeControl()), tree->TreeItemOf(devices.front()));

    doc->UpdateAllViews(nullptr, kHintRefreshAll);
    EXPECT_FALSE(IsExpanded(devices.front()));
    EXPECT_TRUE(IsExpanded(devices.back()));
}

TEST_F(DeviceViewTest, SiblingsAppearByOrdinalAndOnlyANewDeviceTakesTheSelection) {
    auto* late = new Ordered<ToviDevice>(L"Late", 5);
    auto* early = new Ordered<ToviDevice>(L"Early", 1);
    auto* middle = new Ordered<ToviDevice>(L"Middle", 3);
    ASSERT_TRUE(doc->AddDevice(late));
    ASSERT_TRUE(doc->AddDevice(early));
    EXPECT_EQ(doc->GetSelectedGroup(), early);
    ASSERT_TRUE(doc->AddDevice(middle));
    auto rootNames = [this] {
        std::vector<std::wstring> names;
        for (HTREEITEM item = TreeView_GetRoot(TreeControl()); item != nullptr;
             item = TreeView_GetNextSibling(TreeControl(), item)) {
            wchar_t text[64] = {};
            TVITEMW data{};
            data.mask = TVIF_TEXT;
            data.hItem = item;
            data.pszText = text;
            data.cchTextMax = 64;
            TreeView_GetItem(TreeControl(), &data);
            names.emplace_back(text);
        }
        return names;
    };
    const std::vector<std::wstring> expected{L"Early", L"Middle", L"Late"};
    EXPECT_EQ(rootNames(), expected);
    doc->UpdateAllViews(nullptr, kHintRefreshAll);
    EXPECT_EQ(rootNames(), expected);

    ASSERT_EQ(doc->GetSelectedGroup(), middle);
    ToviTagGroup* group = AddGroup(late, L"Loop");
    EXPECT_EQ(doc->GetSelectedGroup(), middle);
    EXPECT_EQ(TreeView_GetParent(TreeControl(), tree->TreeItemOf(group)), tree->TreeItemOf(late));
}

TEST_F(DeviceViewTest, KeyboardAddsAndPollsDevices) {
    // Each new object's properties dialog opens and is confirmed as proposed.
    auto pressOK = [](HWND dialog) { ClickButton(dialog, IDOK); };
    ASSERT_TRUE(AnswerModalDialog(L"Tag Group", pressOK,
                                  [&] { Key('D', true); }));  // Ctrl+D: Add Group, a device named by the device class
    ASSERT_EQ(doc->DeviceCount(), 1);
    auto* device = static_cast<ToviDevice*>(doc->GetSelectedGroup());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->GetName(), L"TagGroup");
    ASSERT_TRUE(
        AnswerModalDialog(L"Tag Group", pressOK, [&] { Key('G', true); }));  // Ctrl+G: a nested group, not selected
    ASSERT_TRUE(AnswerModalDialog(L"Tag Properties", pressOK, [&] { Key('T', true); }));  // Ctrl+T: a tag in the device
    EXPECT_EQ(device->GroupCount(), 1);
    EXPECT_EQ(device->TagCount(), 1);
    EXPECT_EQ(list->RowCount(), 1);

    EXPECT_FALSE(frame->QueryCommandState(ID_FORCE_POLL).enabled);
    EXPECT_TRUE(frame->QueryCommandState(ID_STOP_POLLING_DEVICE).checked);
    Command(ID_POLL_SELECTED_DEVICE);
    EXPECT_EQ(device->GetPollRequests(kPollOperator), 1u);
    EXPECT_TRUE(frame->QueryCommandState(ID_POLL_SELECTED_DEVICE).checked);
    EXPECT_TRUE(frame->QueryCommandState(ID_START_POLLING_DEVICE).checked);
    EXPECT_TRUE(frame->QueryCommandState(ID_FORCE_POLL).enabled);
    // A busy device takes no new groups or tags.
    EXPECT_FALSE(frame->QueryCommandState(ID_ADD_GROUP).enabled);
    EXPECT_FALSE(frame->QueryCommandState(ID_ADD_TAG).enabled);
    frame->OnIdle();
    EXPECT_EQ(frame->PaneText(ID_PANE_CLIENTS), L"Number of Clients:  1");
    Command(ID_POLL_SELECTED_DEVICE);
    EXPECT_EQ(device->GetPollRequests(kPollOperator), 0u);
    EXPECT_FALSE(frame->QueryCommandState(ID_FORCE_POLL).enabled);
}
