// The configuration editor at a million tags, with the real main window
// (Wine's null display driver draws nothing, but every paint still asks the
// list and the tree for their items). Each figure is printed beside its goal:
// 1. a group of 100,000 mixed tags: selecting it until painted, scrolling to
//    its end and back, and how many rows the list asked for;
// 2. sorting those rows by each of the nine columns;
// 3. the tree: expanding a device of 1,000 groups, and the whole tree's fill
//    at 10 devices x 100 groups;
// 4. Find Next (the dialog's button, through to the tree and the list) over
//    1,000,000 tags, by item ID and by description, found at the very end
//    and not found.
// Exit code 1 when a goal is missed.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchTiming.h"
#include "BenchTree.h"
#include "CDeviceView.h"
#include "CMainFrame.h"
#include "CTagView.h"
#include "FindTagsDialog.h"
#include "MessageBoxes.h"
#include "OPCS_Doc.h"
#include "OPCS_Registry.h"
#include "resource.h"

namespace {
constexpr double kAtOnceSeconds = 0.1;  // what a user takes for an immediate answer
constexpr double kFillSeconds = 0.2;    // a group of 100,000 rows listed, sorted by name
constexpr double kSortGoalSeconds = 1.0;
constexpr double kFindGoalSeconds = 1.0;
bool g_missed = false;

void Report(const char* what, double seconds, double goal) {
    const bool met = seconds <= goal;
    g_missed = g_missed || !met;
    std::printf("  %-58s %8.3f s   goal <= %.1f s  %s\n", what, seconds, goal, met ? "met" : "MISSED");
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// The rows the tag list asked its view for, counted at the view's window.
WNDPROC g_viewProc = nullptr;
std::vector<bool> g_askedRows;
long long g_asks = 0;

LRESULT CALLBACK CountingViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->code == LVN_GETDISPINFOW) {
            const int row = reinterpret_cast<NMLVDISPINFOW*>(lParam)->item.iItem;
            ++g_asks;
            if (row >= 0 && static_cast<size_t>(row) < g_askedRows.size()) g_askedRows[static_cast<size_t>(row)] = true;
        }
    }
    return CallWindowProcW(g_viewProc, hwnd, message, wParam, lParam);
}

long long AskedRowCount() {
    long long n = 0;
    for (bool asked : g_askedRows) n += asked ? 1 : 0;
    return n;
}

void ShowAllColumns() {
    for (ColumnInfo& column : theSettings.GetColumns()) column.visible = true;
}

void MeasureList(OPCS_Doc& doc, CMainFrame& frame) {
    constexpr int kTags = 100000;
    std::printf("Tag list: one group of %d mixed tags, all nine columns shown\n", kTags);
    BenchTree built(L"Plant", 1, kTags, [](ToviTag& tag, int, int t) { ShapeMixedTag(tag, t); });
    OPCS_Device* device = *built.devices.begin();
    built.devices.Clear();
    doc.AddDevice(device);
    OPCS_TagGroup* group = device->SnapshotGroups().front();
    CTagView* list = frame.TagView();
    HWND control = list->Control();
    const bool ownerData = (GetWindowLongW(control, GWL_STYLE) & LVS_OWNERDATA) != 0;
    g_askedRows.assign(kTags, false);
    g_viewProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountingViewProc)));

    auto start = BenchClock::now();
    frame.DeviceView()->SelectObject(group);
    UpdateWindow(control);
    Report("select the group until painted (sorted by Name)", SecondsSince(start), kFillSeconds);
    std::printf("    rows %d, owner-data list: %s, rows asked for: %lld of %d\n", list->RowCount(),
                ownerData ? "yes" : "NO", AskedRowCount(), kTags);

    start = BenchClock::now();
    ListView_EnsureVisible(control, kTags - 1, FALSE);
    UpdateWindow(control);
    Report("scroll to the last row until painted", SecondsSince(start), kAtOnceSeconds);
    constexpr int kPages = 20;
    start = BenchClock::now();
    for (int step = 0; step < kPages; ++step) {
        SendMessageW(control, WM_VSCROLL, SB_PAGEUP, 0);
        UpdateWindow(control);
    }
    Report("one page up until painted (mean of 20)", SecondsSince(start) / kPages, kAtOnceSeconds);
    ListView_EnsureVisible(control, 0, FALSE);
    UpdateWindow(control);
    std::printf("    rows asked for after scrolling: %lld of %d (%lld asks)\n", AskedRowCount(), kTags, g_asks);

    // A heading click, with one row selected and then with every row: the sort carries the selection across.
    const auto sortBy = [&](int displayIndex, const char* selection) {
        const std::wstring heading = list->VisibleColumns()[static_cast<size_t>(displayIndex)].name;
        const auto from = BenchClock::now();
        list->SortByColumn(displayIndex);
        UpdateWindow(control);
        const double seconds = SecondsSince(from);
        char what[96];
        std::snprintf(what, sizeof what, "sort by %ls (%s)", heading.c_str(), selection);
        Report(what, seconds, kSortGoalSeconds);
    };
    ListView_SetItemState(control, 500, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    const int columns = static_cast<int>(list->VisibleColumns().size());
    for (int displayIndex = 0; displayIndex < columns; ++displayIndex) sortBy(displayIndex, "one row selected");
    ListView_SetItemState(control, -1, LVIS_SELECTED, LVIS_SELECTED);
    sortBy(0, "every row selected");
    sortBy(columns - 1, "every row selected");
    // The same group selected again from another, once sorted by name and once by value (which has no key).
    for (const ColumnField field : {kFieldName, kFieldValue}) {
        for (int i = 0; i < static_cast<int>(list->VisibleColumns().size()); ++i) {
            if (list->VisibleColumns()[static_cast<size_t>(i)].field == field) list->SortByColumn(i);
        }
        frame.DeviceView()->SelectObject(device);
        UpdateWindow(control);
        start = BenchClock::now();
        frame.DeviceView()->SelectObject(group);
        UpdateWindow(control);
        Report(field == kFieldName ? "select it again, sorted by Name" : "select it again, sorted by Value (no sort)",
               SecondsSince(start), kFillSeconds);
    }
    SetWindowLongPtrW(list->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_viewProc));
    ListView_SetItemState(control, -1, 0, LVIS_SELECTED);
    Pump();
    doc.DeleteContents();
}

void MeasureTree(OPCS_Doc& doc, CMainFrame& frame) {
    std::printf("Device tree\n");
    {
        BenchTree built(L"Wide", 1000, 1, [](ToviTag&, int, int) {});
        OPCS_Device* device = *built.devices.begin();
        built.devices.Clear();
        doc.GetConfiguration().AddDevice(device);
        auto start = BenchClock::now();
        doc.UpdateAllViews(nullptr, kHintRefreshAll);
        UpdateWindow(frame.DeviceView()->Control());
        Report("fill: 1 device of 1,000 groups", SecondsSince(start), kAtOnceSeconds);
        HWND tree = frame.DeviceView()->Control();
        start = BenchClock::now();
        TreeView_Expand(tree, frame.DeviceView()->TreeItemOf(device), TVE_EXPAND);
        UpdateWindow(tree);
        Report("expand the device of 1,000 groups until painted", SecondsSince(start), kAtOnceSeconds);
        start = BenchClock::now();
        TreeView_Expand(tree, frame.DeviceView()->TreeItemOf(device), TVE_COLLAPSE);
        UpdateWindow(tree);
        Report("collapse it again", SecondsSince(start), kAtOnceSeconds);
        doc.DeleteContents();
    }
    BenchTree built;
    for (int d = 0; d < 10; ++d) built.AddDevice(L"Plant" + std::to_wstring(d), 100, 1, [](ToviTag&, int, int) {});
    for (OPCS_Device* device : built.devices) doc.GetConfiguration().AddDevice(device);
    built.devices.Clear();
    auto start = BenchClock::now();
    doc.UpdateAllViews(nullptr, kHintRefreshAll);
    UpdateWindow(frame.DeviceView()->Control());
    Report("fill: 10 devices x 100 groups", SecondsSince(start), kAtOnceSeconds);
    // A rebuild keeps what was open: every device expanded.
    for (int d = 0; d < 10; ++d) {
        OPCS_Device* device = doc.GetConfiguration().FindDevice(L"Plant" + std::to_wstring(d));
        TreeView_Expand(frame.DeviceView()->Control(), frame.DeviceView()->TreeItemOf(device), TVE_EXPAND);
    }
    start = BenchClock::now();
    doc.UpdateAllViews(nullptr, kHintRefreshAll);
    UpdateWindow(frame.DeviceView()->Control());
    Report("rebuild: 10 devices x 100 groups, all expanded", SecondsSince(start), kAtOnceSeconds);
    Pump();
    doc.DeleteContents();
}

void MeasureFind(OPCS_Doc& doc, CMainFrame& frame) {
    constexpr int kDevices = 10, kGroups = 100, kTagsPerGroup = 1000;
    std::printf("Find over %d tags (%d devices x %d groups x %d tags)\n", kDevices * kGroups * kTagsPerGroup, kDevices,
                kGroups, kTagsPerGroup);
    auto start = BenchClock::now();
    {
        BenchTree built;
        for (int d = 0; d < kDevices; ++d) {
            built.AddDevice(L"Plant" + std::to_wstring(d), kGroups, kTagsPerGroup, [](ToviTag& tag, int g, int t) {
                tag.SetDescription(L"Tag " + std::to_wstring(t) + L" of area " + std::to_wstring(g));
            });
        }
        for (OPCS_Device* device : built.devices) doc.GetConfiguration().AddDevice(device);
        built.devices.Clear();
    }
    doc.UpdateAllViews(nullptr, kHintRefreshAll);
    std::printf("    (built in %.1f s)\n", SecondsSince(start));
    OPCS_Device* first = doc.GetConfiguration().FindDevice(L"Plant0");
    OPCS_TagGroup* last = doc.GetConfiguration().FindDevice(L"Plant9")->SnapshotGroups().back();
    last->SnapshotTags().back()->SetDescription(L"Feed pump bearing temperature");

    frame.DeviceView()->SelectObject(first);
    SendMessageW(frame.Handle(), WM_COMMAND, MAKEWPARAM(ID_EDIT_FIND, 0), 0);
    HWND dialog = FindTagsDialog::OpenWindow();
    if (dialog == nullptr) {
        std::printf("  the Find dialog did not open\n");
        g_missed = true;
        return;
    }
    struct Case {
        const char* what;
        const wchar_t* text;
        bool itemIds, descriptions, matchCase;
        bool found;
    };
    const Case cases[] = {
        {"item ID of the last tag, ignoring case", L"plant9.area99.tag999", true, true, false, true},
        {"description of the last tag, ignoring case", L"PUMP BEARING", true, true, false, true},
        {"description of the last tag, match case", L"pump bearing", false, true, true, true},
        {"not found (item IDs and descriptions)", L"no such text", true, true, false, false},
    };
    for (const Case& c : cases) {
        SetDlgItemTextW(dialog, IDC_FIND_TEXT, c.text);
        CheckDlgButton(dialog, IDC_FIND_ITEM_IDS, c.itemIds ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(dialog, IDC_FIND_DESCRIPTIONS, c.descriptions ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(dialog, IDC_FIND_MATCH_CASE, c.matchCase ? BST_CHECKED : BST_UNCHECKED);
        const double seconds = MedianOfThree(
            [&] {
                frame.DeviceView()->SelectObject(first);  // from the top: the hit is the last tag of all
                int boxes = 0;
                SetMessageBoxHandler([&boxes](const std::wstring&, const std::wstring&, UINT style) {
                    ++boxes;
                    return DefaultAnswer(style);
                });
                const auto from = BenchClock::now();
                SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                UpdateWindow(frame.TagView()->Control());
                const double s = SecondsSince(from);
                const std::vector<OPCS_Tag*> selected = frame.TagView()->SelectedTags();
                const bool hit = selected.size() == 1 && selected[0] == last->SnapshotTags().back() &&
                                 frame.DeviceView()->SelectedGroup() == last;
                if (hit != c.found || (boxes == 1) == c.found) {
                    std::printf("  %s: the wrong outcome\n", c.what);
                    g_missed = true;
                }
                return s;
            },
            [](double s) { return s; });
        Report(c.what, seconds, kFindGoalSeconds);
    }
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Pump();
    doc.DeleteContents();
}
}  // namespace

int main() {
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    theSettings.SetDefaults();
    ShowAllColumns();
    Configuration configuration;
    auto doc = std::make_unique<OPCS_Doc>(configuration);
    auto frame = std::make_unique<CMainFrame>(*doc);
    if (!frame->Create(GetModuleHandleW(nullptr))) {
        std::printf("no window could be created\n");
        return 2;
    }
    frame->Show(SW_SHOWNORMAL);
    Pump();
    MeasureList(*doc, *frame);
    MeasureTree(*doc, *frame);
    MeasureFind(*doc, *frame);
    frame.reset();
    doc.reset();
    std::printf(g_missed ? "A goal was missed.\n" : "Every goal met.\n");
    return g_missed ? 1 : 0;
}
