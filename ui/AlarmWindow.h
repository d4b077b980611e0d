#pragma once
// "Alarms": a modeless window listing every alarm that still asks for the
// operator (active, unacknowledged or unconfirmed) and every disabled one,
// coloured by state and severity, refreshed every second from the
// configuration's alarm snapshot. Its commands act on the selected rows as a
// client would, with the event each row shows and the user "Operator". One
// at a time; it deletes itself when it closes.
#include <windows.h>
#include <commctrl.h>
#include <string>
#include <vector>

#include "DialogLayout.h"
#include "AlarmCondition.h"
#include "SingleModeless.h"

class Configuration;

class AlarmWindow : public SingleModeless<AlarmWindow> {
public:
    static constexpr UINT kRefreshMs = 1000;
    static constexpr UINT_PTR kRefreshTimer = 1;
    static constexpr HelpContext kHelpTopic = kHelpAlarmsWindow;
    static constexpr const wchar_t* kOperator = L"Operator";

    // Shows the window, or brings the open one forward; null when it cannot be made.
    static AlarmWindow* Open(HWND owner, Configuration& configuration);
    // How a row is drawn: the colours of its state and severity.
    enum class Look { HighUnacked, LowUnacked, ActiveAcked, NormalUnacked, Settled, Disabled };
    static Look LookOf(const AlarmConditionState& state);
    static constexpr WORD kHighSeverity = 700;

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct Row {
        AlarmEvent event;
        std::vector<std::wstring> cells;
        Look look = Look::Settled;
    };

    explicit AlarmWindow(Configuration& configuration);
    void OnInitDialog();
    void Refresh();
    // Orders the rows by the sort column and shows them, changing only the
    // cells, colours and selection that differ from what is shown.
    void ShowRows(std::vector<Row> rows);
    void SortRows(std::vector<Row>& rows) const;
    void OnColumnClick(int column);
    void ShowSortArrow();
    // Widens each column whose heading or texts no longer fit; never narrows one.
    void FitColumns();
    // The window wide enough for every column, within the screen's work area.
    void FitWindowToColumns();
    void UpdateButtons();
    std::vector<int> SelectedRows() const;
    void Act(AlarmCommandKind kind);
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw);
    void SetStatus(const std::wstring& text);

    Configuration& m_configuration;
    std::vector<Row> m_rows;  // as the list shows them
    int m_sortColumn = 0;     // the time
    bool m_ascending = false;
    bool m_showing = false;  // the list's own notifications during ShowRows are ours
    std::vector<int> m_fitted;
    DialogLayout m_layout;
};
