#pragma once
// "Trend": a modeless window charting the recorded history of the tags that
// were selected when it opened, one colour per tag. It follows now (redrawn
// on a timer) until the operator scrolls back; it scrolls and zooms over the
// whole stored span and a simulated tag's computed past. Each window keeps
// its own tags, so that several sets can be compared side by side; it
// deletes itself when it closes. Only the user-interface thread opens and
// closes them.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "DialogLayout.h"
#include "DialogWindow.h"
#include "Help.h"
#include "HistoryTypes.h"
#include "TrendSeriesReducer.h"

class Configuration;
class HistorySeries;
class OPCS_Tag;

class TrendWindow : public DialogWindow {
public:
    static constexpr UINT_PTR kRedrawTimer = 1;
    static constexpr UINT kRedrawMs = 250;
    static constexpr HelpContext kHelpTopic = kHelpTrendWindow;
    static constexpr HistoryTime kInitialSpan = 5 * 60 * kHistoryTicksPerSecond;
    static constexpr HistoryTime kShortestSpan = 10 * kHistoryTicksPerSecond;

    // Opens a new window over these tags; null when it cannot be made.
    static TrendWindow* Open(HWND owner, Configuration& configuration, const std::vector<OPCS_Tag*>& tags);
    static const std::vector<TrendWindow*>& OpenWindows() noexcept { return s_open; }
    // Gives a message for an open trend window to it (dialog keys, F1); true when taken.
    static bool PreTranslate(MSG* msg);

    // The view, as the keys and the scroll bar move it.
    HistoryTime VisibleSpan() const noexcept { return m_span; }
    HistoryTime VisibleEnd() const;
    bool FollowsNow() const noexcept { return m_live; }
    // The legend's lines, in the tags' order.
    std::vector<std::wstring> LegendTexts() const;
    // Zooms one step (in: shorter span); scrolls by a signed number of tenths of the span.
    void Zoom(bool in);
    void Scroll(int tenths);
    void ScrollTo(HistoryTime end);
    void FollowNow();

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnDestroyed() override { delete this; }

private:
    struct Tag {
        std::wstring itemId;
        OPCS_Tag* tag = nullptr;  // checked alive before each use
        std::shared_ptr<HistorySeries> series;
        COLORREF colour = 0;
    };

    TrendWindow(Configuration& configuration, const std::vector<OPCS_Tag*>& tags);
    ~TrendWindow() override;
    void OnInitDialog();
    void OnTimer();
    // Takes each tag's series anew: history may have been switched on or off.
    void ResolveSeries();
    // The oldest readable time of all series, and the store's span limit.
    HistoryTime Oldest(HistoryTime now) const;
    HistoryTime LongestSpan() const;
    void ViewChanged();
    void UpdateScrollBar();
    void OnScroll(WPARAM wParam);
    void ShowRange();
    bool OnChartKey(WPARAM key);
    void OnWheel(WPARAM wParam);

    static LRESULT CALLBACK ChartProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static void RegisterChartClass();
    void PaintChart(HDC dc, const RECT& area);

    Configuration& m_configuration;
    std::vector<Tag> m_tags;
    HWND m_chart = nullptr;
    HistoryTime m_span = kInitialSpan;
    HistoryTime m_end = 0;  // the right edge while not live
    bool m_live = true;
    HistoryTime m_drawnNow = 0;  // the now of the last live drawing
    HistoryTime m_columnTicks = 1;
    int m_wheelRest = 0;
    HFONT m_font = nullptr;
    DialogLayout m_layout;
    static inline std::vector<TrendWindow*> s_open;
};
