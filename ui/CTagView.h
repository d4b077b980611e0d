#pragma once
// The right pane: one row per tag of the group selected in the device tree,
// with the configured columns. Values refresh twice a second from the tags'
// row refresh flags; a value change never reloads the list. The list is a
// virtual one: the rows hold the tag pointers and the cell texts of the rows
// that were shown, so a group of any size fills at once.
#include <windows.h>
#include <commctrl.h>
#include <cstdint>
#include <string>
#include <vector>

#include "ColumnInfo.h"
#include "CViewWindow.h"

class OPCS_Tag;

class CTagView : public CViewWindow {
public:
    static constexpr UINT_PTR kRefreshTimer = 1;
    static constexpr UINT kRefreshMs = 500;

    explicit CTagView(OPCS_Doc& doc) noexcept : CViewWindow(doc) {}
    ~CTagView() override;

    void OnInitialUpdate() override;
    void OnUpdate(DocumentView* sender, int hint, void* object) override;
    std::wstring ClientsPaneText() override;
    bool QueryCommand(UINT command, CommandState& state) override;
    bool OnCommand(UINT command) override;

    // Rebuilds the columns from the settings, then reloads the rows.
    void BuildColumns();
    // Copies the current column widths into the settings' columns.
    void SaveColumnWidths();
    // Sorts by the visible column at this display index (a heading click).
    void SortByColumn(int displayIndex);
    void OnDelete();
    void OnForceQuality();

    int RowCount() const noexcept { return static_cast<int>(m_rows.size()); }
    OPCS_Tag* RowTag(int row) const noexcept { return m_rows[row].tag; }
    // The text of a cell as the list shows it.
    std::wstring CellText(int row, int displayIndex);
    const std::vector<ColumnInfo>& VisibleColumns() const noexcept { return m_columns; }
    std::vector<int> SelectedRows() const;
    // The selected rows' tags that are still alive.
    std::vector<OPCS_Tag*> SelectedTags() const;
    // Makes the tag's row the only selected one, focused and scrolled into
    // view; false when the list has no row for it.
    bool ShowTag(const OPCS_Tag* tag);

    // The periodic refresh: refills the rows of changed tags that are in view.
    void RefreshChangedRows();
    void Reload();

private:
    struct Row {
        OPCS_Tag* tag = nullptr;
        bool filled = false;
        DWORD drawnChanges = 0;             // the tag's change count the cells show
        std::uint64_t drawnAlarmEvent = 0;  // the alarm event the alarm cell shows
        std::vector<std::wstring> cells;
    };

    static bool RowIsStale(const Row& row);
    bool AlarmMoved(const Row& row) const;
    HWND CreateControl(HWND parent) override;
    LRESULT OnNotify(NMHDR* header) override;
    void OnPostedUpdate(int hint) override;
    void OnTimer(UINT_PTR id) override;

    void FillRow(Row& row);
    void RefreshTagRow(OPCS_Tag* tag);
    void ClearRows();
    void ClearSelection();
    void SortRows(std::uint32_t field, bool ascending);
    void OnGetDisplayInfo(NMLVDISPINFOW* info);
    void OnRightClick();
    OPCS_Tag* SingleSelectedTag();

    std::vector<ColumnInfo> m_columns;  // visible columns in display order
    int m_sortColumn = -1;              // display index of the sort column
    std::vector<Row> m_rows;
    bool m_initialized = false;
    bool m_alarmShown = false;  // an alarm column is visible
};

// Reads a tag that may be deleted: its client reference count is zero and it is not locked.
bool MayDeleteTag(OPCS_Tag* tag);
