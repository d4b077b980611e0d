#include "OPCS_DlgClients.h"

#include <commctrl.h>
#include <algorithm>
#include <array>
#include <string>

#include "DateTimeText.h"
#include "Help.h"
#include "Text.h"
#include "resource.h"

namespace {
constexpr UINT_PTR kRefreshTimer = 1;
const wchar_t kUnnamed[] = L"(no name)";

struct Column {
    const wchar_t* heading;
    int format;
};
constexpr std::array<Column, 9> kColumns = {{
    {L"Client", LVCFMT_LEFT},
    {L"Protocol", LVCFMT_LEFT},
    {L"Groups", LVCFMT_RIGHT},
    {L"Items", LVCFMT_RIGHT},
    {L"1.0a Subscriptions", LVCFMT_RIGHT},
    {L"2.0 Subscriptions", LVCFMT_RIGHT},
    {L"Connected Since", LVCFMT_LEFT},
    {L"Last Call", LVCFMT_LEFT},
    {L"Last Call Time", LVCFMT_LEFT},
}};
// The list-view's margins around a cell's text, and the first column's extra indent.
constexpr int kCellPadding = 16;
constexpr int kFirstColumnIndent = 6;

// A UTC time as the user reads it in local time; "" for none.
std::wstring LocalTimeText(const FILETIME& utc) {
    if (utc.dwLowDateTime == 0 && utc.dwHighDateTime == 0) return {};
    SYSTEMTIME utcParts{}, localParts{};
    if (!FileTimeToSystemTime(&utc, &utcParts) || !SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &localParts)) {
        return {};
    }
    return FormatDateTime(localParts);
}

std::vector<std::wstring> CellTexts(const ClientRow& row) {
    const bool ua = !row.protocol.empty();
    return {
        row.clientName.empty() ? std::wstring(kUnnamed) : row.clientName,
        ua ? row.protocol : std::wstring(L"OPC DA").append(row.daVersion.empty() ? L"" : L" ").append(row.daVersion),
        std::to_wstring(row.groups),
        std::to_wstring(row.items),
        ua ? std::wstring() : std::to_wstring(row.streamSubscriptions),
        ua ? std::wstring() : std::to_wstring(row.callbackSubscriptions),
        LocalTimeText(row.connectedSince),
        row.lastCall,
        row.lastCall.empty() ? std::wstring() : LocalTimeText(row.lastCallTime)};
}

// Texts as wide as the widest a column usually holds, so that the first rows
// do not make the columns jump.
std::vector<std::wstring> SampleTexts() {
    // Two-digit day, month and hour: the widest date and time texts.
    const SYSTEMTIME wide{2026, 12, 0, 28, 22, 58, 58, 0};
    const std::wstring time = FormatDateTime(wide);
    return {L"Operator Station 12",
            L"OPC UA, Basic256Sha256 SignAndEncrypt, Anonymous",
            L"",
            L"",
            L"",
            L"",
            time,
            L"IOPCAsyncIO2::Refresh2",
            time};
}

std::wstring CountText(size_t count) {
    if (count == 0) return L"No OPC client is connected.";
    if (count == 1) return L"One client connection.";
    return FormatText(L"%u client connections.", static_cast<unsigned>(count));
}

std::wstring CellText(HWND list, int row, int column) {
    wchar_t text[1024] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = static_cast<int>(std::size(text));
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

int StringWidth(HWND list, const std::wstring& text) {
    return static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())));
}
}  // namespace

OPCS_DlgClients::OPCS_DlgClients(ClientRowsProvider provider)
    : SingleModeless(IDD_CLIENTS), m_provider(std::move(provider)), m_fitted(kColumns.size(), 0) {}

OPCS_DlgClients* OPCS_DlgClients::Open(HWND owner, ClientRowsProvider provider) {
    if (OPCS_DlgClients* open = BringForward()) {
        open->m_provider = std::move(provider);
        return open;
    }
    return Show(new OPCS_DlgClients(std::move(provider)), owner);
}

INT_PTR OPCS_DlgClients::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
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
    case WM_HELP: ShowHelpTopic(kHelpClientsWindow); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpClientsWindow); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void OPCS_DlgClients::OnInitDialog() {
    using L = DialogLayout;
    // The buttons keep to the bottom right corner.
    m_layout.Capture(m_hwnd, {{IDC_CLIENTS_LIST, L::kGrowRight | L::kGrowDown},
                              {IDC_CLIENTS_COUNT, L::kMoveDown | L::kGrowRight},
                              {IDCANCEL, L::kMoveRight | L::kMoveDown},
                              {static_cast<int>(ID_HELP), L::kMoveRight | L::kMoveDown}});

    HWND list = Item(IDC_CLIENTS_LIST);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (size_t i = 0; i < kColumns.size(); ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
        column.fmt = kColumns[i].format;
        column.pszText = const_cast<wchar_t*>(kColumns[i].heading);
        column.iSubItem = static_cast<int>(i);
        ListView_InsertColumn(list, static_cast<int>(i), &column);
    }
    FitColumns({SampleTexts()});
    Refresh();
    FitWindowToColumns();
    SetTimer(m_hwnd, kRefreshTimer, kRefreshMs, nullptr);
}

void OPCS_DlgClients::Refresh() {
    const std::vector<ClientRow> rows = m_provider ? m_provider() : std::vector<ClientRow>();
    std::vector<std::vector<std::wstring>> texts;
    texts.reserve(rows.size());
    for (const ClientRow& row : rows) texts.push_back(CellTexts(row));

    // Cells change in place: no flicker, and the selection stays on its row.
    HWND list = Item(IDC_CLIENTS_LIST);
    int count = ListView_GetItemCount(list);
    while (count > static_cast<int>(texts.size())) ListView_DeleteItem(list, --count);
    for (int i = 0; i < static_cast<int>(texts.size()); ++i) {
        if (i >= count) {
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = i;
            item.pszText = texts[i][0].data();
            ListView_InsertItem(list, &item);
            ++count;
        }
        for (int c = 0; c < static_cast<int>(kColumns.size()); ++c) {
            if (CellText(list, i, c) != texts[i][c]) ListView_SetItemText(list, i, c, texts[i][c].data());
        }
    }
    FitColumns(texts);
    const std::wstring summary = CountText(rows.size());
    if (ItemText(IDC_CLIENTS_COUNT) != summary) SetItemText(IDC_CLIENTS_COUNT, summary);
}

void OPCS_DlgClients::FitColumns(const std::vector<std::vector<std::wstring>>& rows) {
    HWND list = Item(IDC_CLIENTS_LIST);
    for (size_t c = 0; c < kColumns.size(); ++c) {
        const int indent = c == 0 ? kFirstColumnIndent : 0;
        int needed = StringWidth(list, kColumns[c].heading) + kCellPadding;
        for (const std::vector<std::wstring>& row : rows) {
            needed = std::max(needed, StringWidth(list, row[c]) + kCellPadding + indent);
        }
        // Only growth is applied, so that a column the user narrowed stays so
        // until a wider text comes.
        if (needed > m_fitted[c]) {
            m_fitted[c] = needed;
            ListView_SetColumnWidth(list, static_cast<int>(c), needed);
        }
    }
}

void OPCS_DlgClients::FitWindowToColumns() {
    HWND list = Item(IDC_CLIENTS_LIST);
    int columns = 0;
    for (size_t c = 0; c < kColumns.size(); ++c) columns += ListView_GetColumnWidth(list, static_cast<int>(c));
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
