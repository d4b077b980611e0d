#include "AlarmWindow.h"

#include <algorithm>
#include <array>
#include <set>

#include "AlarmCommentDialog.h"
#include "AlarmTexts.h"
#include "Configuration.h"
#include "DateTimeText.h"
#include "Text.h"
#include "resource.h"

namespace {
enum Column { kTime, kItem, kState, kSeverity, kMessage, kAcked, kConfirmed, kComment, kColumns };
constexpr std::array<const wchar_t*, kColumns> kHeadings = {L"Time",    L"Item",         L"State",     L"Severity",
                                                            L"Message", L"Acknowledged", L"Confirmed", L"Comment"};
// The list-view's margins around a cell's text, and the first column's extra indent.
constexpr int kCellPadding = 16;
constexpr int kFirstColumnIndent = 6;

struct Colours {
    COLORREF back, text;
};
// By Look; CLR_DEFAULT keeps the list's own colour.
constexpr std::array<Colours, 6> kLooks = {{
    {RGB(214, 40, 40), RGB(255, 255, 255)},  // active, unacknowledged, severe
    {RGB(255, 165, 60), RGB(0, 0, 0)},       // active, unacknowledged
    {RGB(255, 236, 120), RGB(0, 0, 0)},      // active, acknowledged
    {RGB(212, 212, 212), RGB(0, 0, 0)},      // back to normal, unacknowledged
    {CLR_DEFAULT, CLR_DEFAULT},              // waiting for a confirmation only
    {CLR_DEFAULT, RGB(128, 128, 128)},       // disabled
}};

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// When the alarm last went active or back, else (never judged, disabled) when it last changed.
FILETIME RowTime(const AlarmEvent& event) {
    return Ticks(event.state.activeTime) != 0 ? event.state.activeTime : event.time;
}

std::wstring LocalTimeText(const FILETIME& utc) {
    SYSTEMTIME utcParts{}, localParts{};
    if (Ticks(utc) == 0 || !FileTimeToSystemTime(&utc, &utcParts) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &localParts)) {
        return {};
    }
    return FormatDateTime(localParts);
}

std::vector<std::wstring> CellTexts(const AlarmEvent& event) {
    const AlarmConditionState& s = event.state;
    return {LocalTimeText(RowTime(event)),
            event.itemId,
            AlarmStateText(s),
            std::to_wstring(s.severity),
            s.message,
            s.acked ? L"Yes" : L"No",
            s.needsConfirm ? (s.confirmed ? L"Yes" : L"No") : L"",
            s.comment};
}

// Texts as wide as a column usually needs, so that the first rows do not make the columns jump.
std::vector<std::wstring> SampleTexts() {
    const SYSTEMTIME wide{2026, 12, 0, 28, 22, 58, 58, 0};
    return {FormatDateTime(wide),
            L"Boiler.Temperatures.Inlet",
            L"HighHigh",
            L"1000",
            L"Boiler.Temperatures.Inlet HighHigh",
            L"",
            L"",
            L"Called the shift engineer"};
}

int CompareRows(const AlarmEvent& a, const AlarmEvent& b, int column) {
    auto order = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    switch (column) {
    case kTime: return order(Ticks(RowTime(a)), Ticks(RowTime(b)));
    case kSeverity: return order(a.state.severity, b.state.severity);
    case kState: return order(AlarmStateText(a.state), AlarmStateText(b.state));
    case kMessage: return order(FoldCase(a.state.message), FoldCase(b.state.message));
    case kAcked: return order(a.state.acked, b.state.acked);
    case kConfirmed:
        return order(a.state.confirmed || !a.state.needsConfirm, b.state.confirmed || !b.state.needsConfirm);
    case kComment: return order(FoldCase(a.state.comment), FoldCase(b.state.comment));
    default: return 0;
    }
}

std::wstring ListCellText(HWND list, int row, int column) {
    wchar_t text[1024] = {};
    ListView_GetItemText(list, row, column, text, static_cast<int>(std::size(text)));
    return text;
}

// Whether a command means anything to the alarm; the others are left alone.
bool Applies(AlarmCommandKind kind, const AlarmConditionState& s) {
    switch (kind) {
    case AlarmCommandKind::Acknowledge: return s.enabled && !s.acked;
    case AlarmCommandKind::Confirm: return s.enabled && s.needsConfirm && !s.confirmed;
    case AlarmCommandKind::AddComment: return s.enabled;
    case AlarmCommandKind::Enable: return !s.enabled;
    case AlarmCommandKind::Disable: return s.enabled;
    }
    return false;
}

const wchar_t* DoneWord(AlarmCommandKind kind) {
    switch (kind) {
    case AlarmCommandKind::Acknowledge: return L"acknowledged";
    case AlarmCommandKind::Confirm: return L"confirmed";
    case AlarmCommandKind::AddComment: return L"commented";
    case AlarmCommandKind::Enable: return L"enabled";
    case AlarmCommandKind::Disable: return L"disabled";
    }
    return L"";
}

constexpr std::array<std::pair<int, AlarmCommandKind>, 5> kCommands = {{
    {IDC_ALARMS_ACK, AlarmCommandKind::Acknowledge},
    {IDC_ALARMS_CONFIRM, AlarmCommandKind::Confirm},
    {IDC_ALARMS_COMMENT, AlarmCommandKind::AddComment},
    {IDC_ALARMS_ENABLE, AlarmCommandKind::Enable},
    {IDC_ALARMS_DISABLE, AlarmCommandKind::Disable},
}};
}  // namespace

AlarmWindow::AlarmWindow(Configuration& configuration)
    : SingleModeless(IDD_ALARMS), m_configuration(configuration), m_fitted(kColumns, 0) {}

AlarmWindow* AlarmWindow::Open(HWND owner, Configuration& configuration) {
    if (AlarmWindow* open = BringForward()) return open;
    return Show(new AlarmWindow(configuration), owner);
}

AlarmWindow::Look AlarmWindow::LookOf(const AlarmConditionState& s) {
    if (!s.enabled) return Look::Disabled;
    if (s.active && !s.acked) return s.severity >= kHighSeverity ? Look::HighUnacked : Look::LowUnacked;
    if (s.active) return Look::ActiveAcked;
    if (!s.acked) return Look::NormalUnacked;
    return Look::Settled;
}

INT_PTR AlarmWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_TIMER:
        if (wParam != kRefreshTimer) return FALSE;
        Refresh();
        return TRUE;
    case WM_SIZE: m_layout.Apply(m_hwnd, LOWORD(lParam), HIWORD(lParam)); return TRUE;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {m_layout.MinimumWindow().cx,
                                                                 m_layout.MinimumWindow().cy};
        return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpAlarmsWindow); return TRUE;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom != IDC_ALARMS_LIST) return FALSE;
        switch (header->code) {
        case NM_CUSTOMDRAW:
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam)));
            return TRUE;
        case LVN_COLUMNCLICK: OnColumnClick(reinterpret_cast<NMLISTVIEW*>(lParam)->iSubItem); return TRUE;
        case LVN_ITEMCHANGED:
            if (!m_showing) UpdateButtons();
            return TRUE;
        case LVN_KEYDOWN:
            if (reinterpret_cast<NMLVKEYDOWN*>(lParam)->wVKey == 'A' && GetKeyState(VK_CONTROL) < 0) {
                ListView_SetItemState(header->hwndFrom, -1, LVIS_SELECTED, LVIS_SELECTED);
            }
            return TRUE;
        default: return FALSE;
        }
    }
    case WM_COMMAND:
        for (const auto& [id, kind] : kCommands) {
            if (LOWORD(wParam) == id) {
                Act(kind);
                return TRUE;
            }
        }
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpAlarmsWindow); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void AlarmWindow::OnInitDialog() {
    using L = DialogLayout;
    // The commands keep below the list at the left, Close and Help to the bottom right corner.
    m_layout.Capture(m_hwnd, {{IDC_ALARMS_LIST, L::kGrowRight | L::kGrowDown},
                              {IDC_ALARMS_ACK, L::kMoveDown},
                              {IDC_ALARMS_CONFIRM, L::kMoveDown},
                              {IDC_ALARMS_COMMENT, L::kMoveDown},
                              {IDC_ALARMS_ENABLE, L::kMoveDown},
                              {IDC_ALARMS_DISABLE, L::kMoveDown},
                              {IDC_ALARMS_STATUS, L::kMoveDown | L::kGrowRight},
                              {IDCANCEL, L::kMoveRight | L::kMoveDown},
                              {static_cast<int>(ID_HELP), L::kMoveRight | L::kMoveDown}});
    HWND list = Item(IDC_ALARMS_LIST);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int c = 0; c < kColumns; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = c == kSeverity ? LVCFMT_RIGHT : LVCFMT_LEFT;
        column.pszText = const_cast<wchar_t*>(kHeadings[c]);
        column.iSubItem = c;
        ListView_InsertColumn(list, c, &column);
    }
    m_rows.push_back(Row{{}, SampleTexts(), Look::Settled});
    FitColumns();
    m_rows.clear();
    ShowSortArrow();
    Refresh();
    FitWindowToColumns();
    SetTimer(m_hwnd, kRefreshTimer, kRefreshMs, nullptr);
}

void AlarmWindow::FitWindowToColumns() {
    HWND list = Item(IDC_ALARMS_LIST);
    int columns = 0;
    for (int c = 0; c < kColumns; ++c) columns += ListView_GetColumnWidth(list, c);
    RECT listClient{};
    GetClientRect(list, &listClient);
    const int missing = columns + GetSystemMetrics(SM_CXVSCROLL) - listClient.right;
    if (missing <= 0) return;
    RECT window{};
    GetWindowRect(m_hwnd, &window);
    MONITORINFO monitor{sizeof(monitor), {}, {}, 0};
    GetMonitorInfoW(MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    const int width = std::min<int>(window.right - window.left + missing, work.right - work.left);
    const int left = std::clamp<int>(window.left - (width - (window.right - window.left)) / 2, work.left,
                                     std::max<int>(work.left, work.right - width));
    SetWindowPos(m_hwnd, nullptr, left, window.top, width, window.bottom - window.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void AlarmWindow::Refresh() {
    // Taken with no lock of ours held: the configuration locks each tag in turn.
    std::vector<AlarmEvent> events = m_configuration.AlarmSnapshot(false);
    std::vector<Row> rows;
    for (AlarmEvent& event : events) {
        // Disabled alarms stay listed, so that they can be enabled here.
        if (!event.state.retain && event.state.enabled) continue;
        Row row;
        row.cells = CellTexts(event);
        row.look = LookOf(event.state);
        row.event = std::move(event);
        rows.push_back(std::move(row));
    }
    ShowRows(std::move(rows));
}

void AlarmWindow::SortRows(std::vector<Row>& rows) const {
    std::stable_sort(rows.begin(), rows.end(), [this](const Row& a, const Row& b) {
        int order = CompareRows(a.event, b.event, m_sortColumn);
        if (order == 0) order = FoldCase(a.event.itemId).compare(FoldCase(b.event.itemId));
        return m_ascending ? order < 0 : order > 0;
    });
}

void AlarmWindow::ShowRows(std::vector<Row> rows) {
    SortRows(rows);
    HWND list = Item(IDC_ALARMS_LIST);
    // Selection and focus belong to alarms, not to places in the list.
    std::set<std::wstring> selected;
    for (int i : SelectedRows()) selected.insert(m_rows[static_cast<size_t>(i)].event.itemId);
    const int focusedRow = ListView_GetNextItem(list, -1, LVNI_FOCUSED);
    const std::wstring focused =
        focusedRow >= 0 && focusedRow < static_cast<int>(m_rows.size()) ? m_rows[focusedRow].event.itemId : L"";

    m_showing = true;
    int count = ListView_GetItemCount(list);
    while (count > static_cast<int>(rows.size())) ListView_DeleteItem(list, --count);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        Row& row = rows[static_cast<size_t>(i)];
        if (i >= count) {
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = i;
            item.pszText = row.cells[0].data();
            ListView_InsertItem(list, &item);
            ++count;
        }
        bool changed = i >= static_cast<int>(m_rows.size()) || m_rows[static_cast<size_t>(i)].look != row.look;
        for (int c = 0; c < kColumns; ++c) {
            if (ListCellText(list, i, c) != row.cells[c]) {
                ListView_SetItemText(list, i, c, row.cells[c].data());
                changed = true;
            }
        }
        if (changed) ListView_RedrawItems(list, i, i);
        const UINT want = (selected.count(row.event.itemId) != 0 ? LVIS_SELECTED : 0) |
                          (!focused.empty() && row.event.itemId == focused ? LVIS_FOCUSED : 0);
        if (ListView_GetItemState(list, i, LVIS_SELECTED | LVIS_FOCUSED) != want) {
            ListView_SetItemState(list, i, want, LVIS_SELECTED | LVIS_FOCUSED);
        }
    }
    m_rows = std::move(rows);
    m_showing = false;
    FitColumns();
    UpdateButtons();
}

void AlarmWindow::OnColumnClick(int column) {
    if (column < 0 || column >= kColumns) return;
    if (column == m_sortColumn) {
        m_ascending = !m_ascending;
    } else {
        m_sortColumn = column;
        m_ascending = column != kTime && column != kSeverity;  // the newest and the most severe first
    }
    ShowSortArrow();
    ShowRows(m_rows);
}

void AlarmWindow::ShowSortArrow() {
    HWND header = ListView_GetHeader(Item(IDC_ALARMS_LIST));
    for (int c = 0; c < kColumns; ++c) {
        HDITEMW item{};
        item.mask = HDI_FORMAT;
        Header_GetItem(header, c, &item);
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (c == m_sortColumn) item.fmt |= m_ascending ? HDF_SORTUP : HDF_SORTDOWN;
        Header_SetItem(header, c, &item);
    }
}

void AlarmWindow::FitColumns() {
    HWND list = Item(IDC_ALARMS_LIST);
    for (int c = 0; c < kColumns; ++c) {
        const int indent = c == 0 ? kFirstColumnIndent : 0;
        int needed = ListView_GetStringWidth(list, kHeadings[c]) + kCellPadding;
        for (const Row& row : m_rows) {
            needed = std::max(needed, ListView_GetStringWidth(list, row.cells[c].c_str()) + kCellPadding + indent);
        }
        // Only growth is applied: a column the operator narrowed stays so until a wider text comes.
        if (needed > m_fitted[c]) {
            m_fitted[c] = needed;
            ListView_SetColumnWidth(list, c, needed);
        }
    }
}

std::vector<int> AlarmWindow::SelectedRows() const {
    std::vector<int> rows;
    HWND list = Item(IDC_ALARMS_LIST);
    for (int i = ListView_GetNextItem(list, -1, LVNI_SELECTED); i >= 0;
         i = ListView_GetNextItem(list, i, LVNI_SELECTED)) {
        if (i < static_cast<int>(m_rows.size())) rows.push_back(i);
    }
    return rows;
}

void AlarmWindow::UpdateButtons() {
    const std::vector<int> selected = SelectedRows();
    for (const auto& [id, kind] : kCommands) {
        const bool applies = std::any_of(selected.begin(), selected.end(), [this, kind = kind](int row) {
            return Applies(kind, m_rows[static_cast<size_t>(row)].event.state);
        });
        // A button that goes grey under the focus would leave the keyboard nowhere.
        if (!applies && GetFocus() == Item(id)) SendMessageW(m_hwnd, WM_NEXTDLGCTL, 0, FALSE);
        Enable(id, applies);
    }
}

void AlarmWindow::Act(AlarmCommandKind kind) {
    struct Target {
        std::wstring itemId;
        std::uint64_t eventNumber;
    };
    std::vector<Target> targets;
    for (int row : SelectedRows()) {
        const AlarmEvent& event = m_rows[static_cast<size_t>(row)].event;
        if (Applies(kind, event.state)) targets.push_back({event.itemId, event.number});
    }
    if (targets.empty()) return;
    std::wstring comment;
    if (kind == AlarmCommandKind::AddComment) {
        std::wstring items = targets[0].itemId;
        if (targets.size() > 1) items = FormatText(L"%u alarms", static_cast<unsigned>(targets.size()));
        AlarmCommentDialog dialog(L"To " + items + L":", comment);
        if (dialog.DoModal(m_hwnd) != IDOK) return;
    }
    // Each with the event its row showed: an alarm that moved meanwhile is
    // not acknowledged unseen.
    unsigned done = 0;
    std::wstring refused;
    unsigned refusedCount = 0;
    for (const Target& target : targets) {
        const AlarmCommandResult result =
            m_configuration.AlarmCommand(target.itemId, kind, target.eventNumber, comment, kOperator);
        if (result == AlarmCommandResult::Done) {
            ++done;
        } else if (refusedCount++ == 0) {
            refused = target.itemId + L" not " + DoneWord(kind) + L": " + AlarmCommandResultText(result) + L".";
        }
    }
    std::wstring status;
    if (done > 0) {
        status = done == 1 ? std::wstring(L"One alarm ") : FormatText(L"%u alarms ", done);
        status += DoneWord(kind) + std::wstring(L".");
    }
    if (refusedCount > 0) {
        if (!status.empty()) status += L" ";
        status += refused;
        if (refusedCount > 1) status += FormatText(L" (%u more not %ls.)", refusedCount - 1, DoneWord(kind));
    }
    SetStatus(status);
    Refresh();
}

void AlarmWindow::SetStatus(const std::wstring& text) {
    if (ItemText(IDC_ALARMS_STATUS) != text) SetItemText(IDC_ALARMS_STATUS, text);
}

LRESULT AlarmWindow::OnCustomDraw(NMLVCUSTOMDRAW* draw) {
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        const auto row = static_cast<size_t>(draw->nmcd.dwItemSpec);
        if (row >= m_rows.size()) return CDRF_DODEFAULT;
        const Colours& colours = kLooks[static_cast<size_t>(m_rows[row].look)];
        if (colours.back != CLR_DEFAULT) draw->clrTextBk = colours.back;
        if (colours.text != CLR_DEFAULT) draw->clrText = colours.text;
        return CDRF_NEWFONT;
    }
    default: return CDRF_DODEFAULT;
    }
}
