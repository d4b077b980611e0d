#include "CTagView.h"

#include <algorithm>

#include "AlarmTexts.h"
#include "OPCS_Device.h"
#include "CDib.h"
#include "ForceQualityDialog.h"
#include "ViewUpdatePoster.h"
#include "OPCS_DlgWriteToTag.h"
#include "Help.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "Text.h"
#include "resource.h"

namespace {
constexpr COLORREF kTransparent = RGB(255, 0, 255);

HIMAGELIST MakeTagIcons() {
    HIMAGELIST list = nullptr;
    const std::wstring file = theSettings.GetTagIconBitmap();
    if (!file.empty() && FileExists(file)) {
        CDib dib;
        if (dib.Read(file)) {
            if (HBITMAP bitmap = dib.CreateBitmap()) {
                list = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 0, 4);
                if (list != nullptr) ImageList_AddMasked(list, bitmap, kTransparent);
                DeleteObject(bitmap);
            }
        }
    }
    if (list == nullptr) {
        list = ImageList_LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_TAG_ICONS), 16, 0, kTransparent,
                                    IMAGE_BITMAP, LR_CREATEDIBSECTION);
    }
    if (list != nullptr) ImageList_SetBkColor(list, GetSysColor(COLOR_WINDOW));
    return list;
}

// Made once per process, by the first tag view shown.
HIMAGELIST TagIcons() {
    static HIMAGELIST icons = MakeTagIcons();
    return icons;
}

bool DeviceBusy(OPCS_Tag* tag) {
    OPCS_TagGroup* owner = tag->GetOwner();
    if (!OPCS_TagGroup::IsValidGroup(owner)) return false;
    OPCS_Device* device = owner->GetDevice();
    return OPCS_TagGroup::IsValidGroup(device) && device->IsBusy();
}

// The tag's alarm as its list cell shows it, and the event that is; "" and 0 without an alarm.
std::wstring AlarmCell(OPCS_Tag* tag, std::uint64_t& event) {
    AlarmEvent snapshot;
    event = 0;
    if (!tag->HasAlarm() || !tag->GetAlarmSnapshot(snapshot, false)) return {};
    event = snapshot.number;
    return AlarmColumnText(snapshot.state);
}

std::wstring FieldText(OPCS_Tag* tag, std::uint32_t field) {
    switch (field) {
    case kFieldName: return tag->GetName();
    case kFieldValue: return tag->GetValueText();
    case kFieldQuality: return tag->GetQualityText();
    case kFieldLastUpdated: return tag->GetTimestampText();
    case kFieldMode: return tag->GetAccessText();
    case kFieldId: return FormatText(L"%d", static_cast<int>(tag->GetReserved()));
    case kFieldDescription: return tag->GetDescription();
    case kFieldAlarm: {
        std::uint64_t event = 0;
        return AlarmCell(tag, event);
    }
    case kFieldHistory: return tag->IsHistorized() ? L"Yes" : L"";
    default: return {};
    }
}

// A sort key taken once per tag, so that sorting never locks a tag.
struct SortKey {
    std::wstring text;
    long long number = 0;
};

// Upper-cased unit by unit from one table: a sort folds every row's text.
std::wstring FoldedKey(std::wstring text) {
    const wchar_t* upper = UnitUpperTable();
    for (wchar_t& c : text) c = upper[static_cast<std::uint16_t>(c)];
    return text;
}

SortKey KeyOf(OPCS_Tag* tag, std::uint32_t field) {
    SortKey key;
    if (!OPCS_Tag::IsValidTag(tag)) return key;
    switch (field) {
    case kFieldName: key.text = FoldedKey(tag->GetName()); break;
    case kFieldQuality: key.number = tag->GetQuality(); break;
    case kFieldLastUpdated: {
        const FILETIME time = tag->GetTimestamp();
        key.number =
            static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
        break;
    }
    case kFieldMode: key.number = tag->GetAccessMode(); break;
    case kFieldId: key.number = static_cast<LONG>(tag->GetReserved()); break;
    case kFieldDescription: key.text = FoldedKey(tag->GetDescription()); break;
    case kFieldAlarm: key.text = FieldText(tag, field); break;
    case kFieldHistory: key.number = tag->IsHistorized() ? 1 : 0; break;
    default: break;  // the value: every row compares equal
    }
    return key;
}

int Compare(const SortKey& a, const SortKey& b) {
    if (a.number != b.number) return a.number < b.number ? -1 : 1;
    const int text = a.text.compare(b.text);
    return text < 0 ? -1 : (text > 0 ? 1 : 0);
}
}  // namespace

bool MayDeleteTag(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) return false;
    ScopedLock guard(tag->Lock());
    return tag->GetClientReferenceCount() == 0 && !tag->IsLocked();
}

CTagView::~CTagView() {
    if (m_doc.GetTagView() == this) m_doc.SetTagView(nullptr);
    m_doc.Poster().SetViewWindow(ViewKind::TagList, nullptr);
    DestroyView();
}

HWND CTagView::CreateControl(HWND parent) {
    HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0,
                                0, 0, 0, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (list != nullptr) ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    return list;
}

void CTagView::OnInitialUpdate() {
    m_doc.Poster().SetViewWindow(ViewKind::TagList, m_hwnd);
    m_doc.SetTagView(this);
    if (!m_initialized) {
        m_initialized = true;
        ListView_SetImageList(m_control, TagIcons(), LVSIL_SMALL);
        SetTimer(m_hwnd, kRefreshTimer, kRefreshMs, nullptr);
        BuildColumns();
    }
}

void CTagView::BuildColumns() {
    ClearRows();
    while (ListView_DeleteColumn(m_control, 0)) {}
    m_columns.clear();
    m_sortColumn = -1;
    for (const ColumnInfo& column : theSettings.GetColumns()) {
        if (!column.visible) continue;
        LVCOLUMNW lvc{};
        lvc.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        lvc.fmt = LVCFMT_LEFT;
        lvc.cx = static_cast<int>(column.width);
        lvc.pszText = const_cast<wchar_t*>(column.name.c_str());
        const int index = static_cast<int>(m_columns.size());
        ListView_InsertColumn(m_control, index, &lvc);
        if (column.sortColumn) m_sortColumn = index;
        m_columns.push_back(column);
    }
    m_alarmShown = std::any_of(m_columns.begin(), m_columns.end(),
                               [](const ColumnInfo& column) { return column.field == kFieldAlarm; });
    OnUpdate(nullptr, kHintDataChanged, nullptr);
}

void CTagView::SaveColumnWidths() {
    ColumnArray& settings = theSettings.GetColumns();
    for (size_t i = 0; i < m_columns.size(); ++i) {
        const int width = ListView_GetColumnWidth(m_control, static_cast<int>(i));
        for (ColumnInfo& column : settings) {
            if (column.field == m_columns[i].field && width > 0) column.width = static_cast<std::uint32_t>(width);
        }
    }
}

void CTagView::ClearRows() {
    m_rows.clear();
    if (m_control != nullptr) ListView_SetItemCountEx(m_control, 0, 0);
}

void CTagView::OnPostedUpdate(int hint) {
    if (hint == kHintRefreshAll || hint == kHintCleared || hint == kHintDataChanged || hint == kHintValuesChanged) {
        OnUpdate(nullptr, hint, nullptr);
    }
}

void CTagView::OnTimer(UINT_PTR id) {
    if (id == kRefreshTimer) OnUpdate(nullptr, kHintValuesChanged, nullptr);
}

void CTagView::OnUpdate(DocumentView*, int hint, void* object) {
    if (m_control == nullptr) return;
    switch (hint) {
    case kHintItemChanged:
    case kHintRebuild:
    case kHintDeviceAdded:
    case kHintDeviceStatesChanged:
    case kHintGroupAdded: return;
    case kHintCleared: ClearRows(); return;
    default: break;
    }
    if (m_doc.GetSelectedGroup() == nullptr) {
        ClearRows();
        return;
    }
    if (hint == kHintDataChanged && object != nullptr) {
        RefreshTagRow(static_cast<OPCS_Tag*>(object));
    } else if (hint == kHintValuesChanged) {
        RefreshChangedRows();
    } else {
        Reload();
    }
}

void CTagView::Reload() {
    ClearRows();
    OPCS_TagGroup* group = m_doc.GetSelectedGroup();
    if (group == nullptr) return;
    std::vector<OPCS_Tag*> tags = group->SnapshotTags();
    m_rows.resize(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) m_rows[i].tag = tags[i];
    if (m_sortColumn >= 0) SortRows(m_columns[m_sortColumn].field, m_columns[m_sortColumn].sortAscending);
    ListView_SetItemCountEx(m_control, static_cast<int>(m_rows.size()), 0);
    InvalidateRect(m_control, nullptr, TRUE);
}

void CTagView::SortRows(std::uint32_t field, bool ascending) {
    // The value has no key: every row compares equal, and the sort is stable.
    if (field == kFieldValue || m_rows.size() < 2) return;
    std::vector<SortKey> keys;
    keys.reserve(m_rows.size());
    for (const Row& row : m_rows) keys.push_back(KeyOf(row.tag, field));
    // Row numbers are sorted, not rows: each row then moves once.
    std::vector<std::uint32_t> order(m_rows.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    // Stable: rows with equal keys keep their order, as the group holds them.
    std::stable_sort(order.begin(), order.end(), [&keys, ascending](std::uint32_t a, std::uint32_t b) {
        const int compared = Compare(keys[a], keys[b]);
        return ascending ? compared < 0 : compared > 0;
    });
    std::vector<Row> sorted;
    sorted.reserve(m_rows.size());
    for (std::uint32_t i : order) sorted.push_back(std::move(m_rows[i]));
    m_rows = std::move(sorted);
}

void CTagView::FillRow(Row& row) {
    row.cells.assign(m_columns.size(), std::wstring());
    row.filled = true;
    if (!OPCS_Tag::IsValidTag(row.tag)) return;
    row.drawnChanges = row.tag->GetChangeCount();
    const bool hideLive = row.tag->IsVolatile() && !DeviceBusy(row.tag);
    row.drawnAlarmEvent = 0;
    for (size_t i = 0; i < m_columns.size(); ++i) {
        if (hideLive && !m_columns[i].isStatic) continue;
        row.cells[i] = m_columns[i].field == kFieldAlarm ? AlarmCell(row.tag, row.drawnAlarmEvent)
                                                         : FieldText(row.tag, m_columns[i].field);
    }
}

bool CTagView::AlarmMoved(const Row& row) const {
    if (!m_alarmShown || !row.filled || !OPCS_Tag::IsValidTag(row.tag)) return false;
    if (!row.tag->HasAlarm()) return row.drawnAlarmEvent != 0;
    AlarmEvent snapshot;
    return row.tag->GetAlarmSnapshot(snapshot, false) && snapshot.number != row.drawnAlarmEvent;
}

bool CTagView::RowIsStale(const Row& row) {
    return !row.filled || (OPCS_Tag::IsValidTag(row.tag) && row.tag->GetChangeCount() != row.drawnChanges);
}

std::wstring CTagView::CellText(int row, int displayIndex) {
    if (row < 0 || row >= RowCount() || displayIndex < 0 || displayIndex >= static_cast<int>(m_columns.size())) {
        return {};
    }
    Row& r = m_rows[row];
    if (RowIsStale(r)) FillRow(r);
    return r.cells[displayIndex];
}

void CTagView::RefreshTagRow(OPCS_Tag* tag) {
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].tag == tag) {
            FillRow(m_rows[i]);
            ListView_RedrawItems(m_control, static_cast<int>(i), static_cast<int>(i));
            return;
        }
    }
}

void CTagView::RefreshChangedRows() {
    // Rows out of view are refilled when they are shown, so a refresh costs
    // what the window shows, not the group size.
    const int count = RowCount();
    if (count == 0) return;
    const int top = std::max(0, ListView_GetTopIndex(m_control));
    const int last = std::min(count - 1, top + ListView_GetCountPerPage(m_control));
    for (int i = top; i <= last; ++i) {
        Row& row = m_rows[i];
        // An acknowledgement moves the alarm, not the tag: its event number tells.
        if (RowIsStale(row) || AlarmMoved(row)) {
            FillRow(row);
            ListView_RedrawItems(m_control, i, i);
        }
    }
}

void CTagView::OnGetDisplayInfo(NMLVDISPINFOW* info) {
    LVITEMW& item = info->item;
    if (item.iItem < 0 || item.iItem >= RowCount()) return;
    if (item.mask & LVIF_TEXT) {
        const std::wstring text = CellText(item.iItem, item.iSubItem);
        if (item.pszText != nullptr && item.cchTextMax > 0) lstrcpynW(item.pszText, text.c_str(), item.cchTextMax);
    }
    if ((item.mask & LVIF_IMAGE) && item.iSubItem == 0) {
        OPCS_Tag* tag = m_rows[item.iItem].tag;
        item.iImage = OPCS_Tag::IsValidTag(tag) ? tag->GetIconIndex() : -1;
    }
}

void CTagView::SortByColumn(int displayIndex) {
    if (displayIndex < 0 || displayIndex >= static_cast<int>(m_columns.size())) return;
    ColumnArray& settings = theSettings.GetColumns();
    auto record = [&settings](std::uint32_t field) -> ColumnInfo* {
        for (ColumnInfo& c : settings)
            if (c.field == field) return &c;
        return nullptr;
    };
    ColumnInfo& clicked = m_columns[displayIndex];
    if (displayIndex == m_sortColumn) {
        clicked.sortAscending = !clicked.sortAscending;
        if (ColumnInfo* r = record(clicked.field)) r->sortAscending = clicked.sortAscending;
    } else {
        if (m_sortColumn >= 0) {
            m_columns[m_sortColumn].sortColumn = false;
            if (ColumnInfo* r = record(m_columns[m_sortColumn].field)) r->sortColumn = false;
        }
        clicked.sortColumn = true;
        if (ColumnInfo* r = record(clicked.field)) r->sortColumn = true;
        m_sortColumn = displayIndex;
    }
    SendMessageW(m_control, WM_SETREDRAW, FALSE, 0);
    // Selection and focus belong to rows, not indexes: carry them across the
    // sort. A row looks itself up in a sorted copy: with every row selected a
    // scan per row would be quadratic.
    std::vector<OPCS_Tag*> selected;
    for (int row : SelectedRows()) selected.push_back(m_rows[row].tag);
    const int focusedRow = ListView_GetNextItem(m_control, -1, LVNI_FOCUSED);
    OPCS_Tag* focused = focusedRow >= 0 && focusedRow < RowCount() ? m_rows[focusedRow].tag : nullptr;
    const bool all = !m_rows.empty() && selected.size() == m_rows.size();
    ClearSelection();
    std::sort(selected.begin(), selected.end());
    SortRows(clicked.field, clicked.sortAscending);
    if (all) ListView_SetItemState(m_control, -1, LVIS_SELECTED, LVIS_SELECTED);
    for (size_t i = 0; i < m_rows.size() && !all && !selected.empty(); ++i) {
        if (std::binary_search(selected.begin(), selected.end(), m_rows[i].tag)) {
            ListView_SetItemState(m_control, static_cast<int>(i), LVIS_SELECTED, LVIS_SELECTED);
        }
    }
    for (size_t i = 0; focused != nullptr && i < m_rows.size(); ++i) {
        if (m_rows[i].tag == focused) {
            ListView_SetItemState(m_control, static_cast<int>(i), LVIS_FOCUSED, LVIS_FOCUSED);
            break;
        }
    }
    SendMessageW(m_control, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(m_control, nullptr, TRUE);
}

std::vector<int> CTagView::SelectedRows() const {
    std::vector<int> rows;
    if (m_control == nullptr) return rows;
    for (int i = ListView_GetNextItem(m_control, -1, LVNI_SELECTED); i >= 0;
         i = ListView_GetNextItem(m_control, i, LVNI_SELECTED)) {
        rows.push_back(i);
    }
    return rows;
}

std::vector<OPCS_Tag*> CTagView::SelectedTags() const {
    std::vector<OPCS_Tag*> tags;
    for (int row : SelectedRows()) {
        if (row < RowCount() && OPCS_Tag::IsValidTag(m_rows[row].tag)) tags.push_back(m_rows[row].tag);
    }
    return tags;
}

void CTagView::ClearSelection() {
    // Clearing every row at once is a pass over all of them: a few are cleared one by one.
    constexpr UINT kOneByOne = 64;
    if (ListView_GetSelectedCount(m_control) >= kOneByOne) {
        ListView_SetItemState(m_control, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
        return;
    }
    for (int row : SelectedRows()) ListView_SetItemState(m_control, row, 0, LVIS_SELECTED | LVIS_FOCUSED);
    const int focused = ListView_GetNextItem(m_control, -1, LVNI_FOCUSED);
    if (focused >= 0) ListView_SetItemState(m_control, focused, 0, LVIS_FOCUSED);
}

bool CTagView::ShowTag(const OPCS_Tag* tag) {
    const auto found = std::find_if(m_rows.begin(), m_rows.end(), [tag](const Row& row) { return row.tag == tag; });
    if (tag == nullptr || found == m_rows.end()) return false;
    const int row = static_cast<int>(found - m_rows.begin());
    ClearSelection();
    ListView_SetItemState(m_control, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(m_control, row, FALSE);
    return true;
}

OPCS_Tag* CTagView::SingleSelectedTag() {
    const std::vector<int> rows = SelectedRows();
    if (rows.size() != 1 || rows[0] >= RowCount()) return nullptr;
    OPCS_Tag* tag = m_rows[rows[0]].tag;
    return OPCS_Tag::IsValidTag(tag) ? tag : nullptr;
}

void CTagView::OnDelete() {
    int firstDeleted = -1;
    const std::vector<int> selected = SelectedRows();  // asked of the list before the lock
    {
        // Held so that no client resolves a tag while it is taken out and freed.
        ScopedLock guard(m_doc.GetConfiguration().Lock());
        for (int row : selected) {
            OPCS_Tag* tag = m_rows[row].tag;
            if (!MayDeleteTag(tag)) continue;
            OPCS_TagGroup* group = tag->GetOwner();
            if (!OPCS_TagGroup::IsValidGroup(group) || !group->RemoveTag(tag)) continue;
            m_rows[row].tag = nullptr;
            delete tag;
            if (firstDeleted < 0) firstDeleted = row;
        }
    }
    m_doc.UpdateAllViews(nullptr, kHintDataChanged);
    m_doc.SetModifiedFlag(true);
    if (firstDeleted >= 0 && RowCount() > 0) {
        const int row = std::min(firstDeleted, RowCount() - 1);
        ListView_SetItemState(m_control, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_SetItemState(m_control, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ListView_EnsureVisible(m_control, row, FALSE);
    }
}

LRESULT CTagView::OnNotify(NMHDR* header) {
    if (header->hwndFrom != m_control) return 0;
    switch (header->code) {
    case LVN_GETDISPINFOW: OnGetDisplayInfo(reinterpret_cast<NMLVDISPINFOW*>(header)); return 0;
    case LVN_COLUMNCLICK: SortByColumn(reinterpret_cast<NMLISTVIEW*>(header)->iSubItem); return 0;
    case LVN_KEYDOWN:
        if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_DELETE) {
            // After the list's own handling of the key; tags that may not go are kept.
            PostMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(ID_EDIT_DELETE, 0), 0);
        }
        return 0;
    case NM_DBLCLK: OnCommand(ID_EDIT_PROPERTIES); return 0;
    case NM_RCLICK: OnRightClick(); return 1;
    default: return 0;
    }
}

void CTagView::OnRightClick() {
    LVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(m_control, &hit.pt);
    const int row = ListView_HitTest(m_control, &hit);
    if (row < 0 || row >= RowCount() || !OPCS_Tag::IsValidTag(m_rows[row].tag)) return;
    SetFocus(m_control);
    TrackPopup(IDR_POPUP_TAG);
}

bool CTagView::QueryCommand(UINT command, CommandState& state) {
    switch (command) {
    case ID_EDIT_PROPERTIES: state.enabled = SelectedRows().size() == 1; return true;
    case ID_EDIT_DELETE: {
        const std::vector<int> rows = SelectedRows();
        state.enabled = !rows.empty() && std::all_of(rows.begin(), rows.end(), [this](int row) {
            return row < RowCount() && MayDeleteTag(m_rows[row].tag);
        });
        return true;
    }
    case ID_WRITE_TO_TAG: {
        OPCS_Tag* tag = SingleSelectedTag();
        state.enabled = tag != nullptr && tag->GetAccessMode() == 1;
        return true;
    }
    case ID_EDIT_FORCE_QUALITY: state.enabled = !SelectedRows().empty(); return true;
    case ID_HELP: return true;
    default: return false;
    }
}

bool CTagView::OnCommand(UINT command) {
    switch (command) {
    case ID_EDIT_PROPERTIES:
        if (OPCS_Tag* tag = SingleSelectedTag()) {
            m_doc.EditProperties(tag);
            OnUpdate(nullptr, kHintDataChanged, tag);
        }
        return true;
    case ID_EDIT_DELETE: OnDelete(); return true;
    case ID_WRITE_TO_TAG: {
        OPCS_Tag* tag = SingleSelectedTag();
        if (tag != nullptr && tag->GetAccessMode() == 1) OPCS_DlgWriteToTag::Open(tag, GetAncestor(m_hwnd, GA_ROOT));
        return true;
    }
    case ID_EDIT_FORCE_QUALITY: OnForceQuality(); return true;
    case ID_HELP: ShowHelpTopic(kHelpTagList); return true;
    default: return false;
    }
}

void CTagView::OnForceQuality() {
    std::vector<OPCS_Tag*> tags;
    for (int row : SelectedRows()) {
        if (row < RowCount() && OPCS_Tag::IsValidTag(m_rows[row].tag)) tags.push_back(m_rows[row].tag);
    }
    if (tags.empty()) return;
    const std::wstring item =
        tags.size() == 1 ? tags[0]->GetItemID() : FormatText(L"%u selected tags", static_cast<unsigned>(tags.size()));
    ForceQualityDialog dialog(item, tags[0]->GetForcedQuality());
    if (dialog.DoModal(GetAncestor(m_hwnd, GA_ROOT)) != IDOK) return;
    for (OPCS_Tag* tag : tags) {
        if (OPCS_Tag::IsValidTag(tag)) tag->ForceQuality(dialog.Chosen());
    }
    m_doc.UpdateAllViews(nullptr, kHintDataChanged);
}

std::wstring CTagView::ClientsPaneText() {
    OPCS_Tag* tag = SingleSelectedTag();
    if (tag == nullptr) return {};
    return FormatText(L"%ls %u", L"Number of Clients: ", static_cast<unsigned>(tag->GetClientReferenceCount()));
}
