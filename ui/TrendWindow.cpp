#include "TrendWindow.h"

#include <windowsx.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "Configuration.h"
#include "DateTimeText.h"
#include "HistorySeries.h"
#include "HistoryStore.h"
#include "OPCS_Tag.h"
#include "Text.h"
#include "resource.h"

namespace {
constexpr wchar_t kChartClass[] = L"ToviTrendChart";
constexpr HistoryTime kSecond = kHistoryTicksPerSecond;
constexpr HistoryTime kMinute = 60 * kSecond;
constexpr HistoryTime kHour = 60 * kMinute;
constexpr HistoryTime kDay = 24 * kHour;
// The zoom steps; the store's span is the last one, whatever it is.
constexpr std::array<HistoryTime, 16> kSpans = {
    10 * kSecond, 30 * kSecond, kMinute,   2 * kMinute, 5 * kMinute, 10 * kMinute, 30 * kMinute, kHour,
    2 * kHour,    4 * kHour,    8 * kHour, 12 * kHour,  kDay,        2 * kDay,     7 * kDay,     30 * kDay};
// Steps between time labels, in local time.
constexpr std::array<HistoryTime, 19> kTimeSteps = {kSecond,      2 * kSecond,  5 * kSecond, 10 * kSecond, 15 * kSecond,
                                                    30 * kSecond, kMinute,      2 * kMinute, 5 * kMinute,  10 * kMinute,
                                                    15 * kMinute, 30 * kMinute, kHour,       2 * kHour,    3 * kHour,
                                                    6 * kHour,    12 * kHour,   kDay,        7 * kDay};
// Red and amber stay free for the quality marks.
constexpr std::array<COLORREF, 8> kColours = {RGB(0, 90, 200),  RGB(0, 140, 60),  RGB(140, 60, 170), RGB(0, 150, 160),
                                              RGB(120, 80, 30), RGB(200, 0, 130), RGB(80, 80, 80),   RGB(90, 120, 0)};
constexpr COLORREF kBadColour = RGB(214, 40, 40);
constexpr COLORREF kUncertainColour = RGB(245, 170, 0);
constexpr COLORREF kGridColour = RGB(226, 226, 226);
constexpr COLORREF kAxisColour = RGB(140, 140, 140);
constexpr int kMargin = 8;
constexpr int kStripRow = 6;  // one quality row per tag below the plot
// The scroll bar counts seconds.
constexpr HistoryTime kScrollUnit = kSecond;

HistoryTime SystemNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<HistoryTime>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// Local time minus UTC, as the clock stands now.
HistoryTime LocalBias() {
    const HistoryTime now = SystemNow();
    FILETIME utc{static_cast<DWORD>(now), static_cast<DWORD>(now >> 32)}, local{};
    if (!FileTimeToLocalFileTime(&utc, &local)) return 0;
    return static_cast<HistoryTime>((static_cast<ULONGLONG>(local.dwHighDateTime) << 32) | local.dwLowDateTime) - now;
}

SYSTEMTIME LocalParts(HistoryTime time, HistoryTime bias) {
    const HistoryTime local = time + bias;
    const FILETIME file{static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
    SYSTEMTIME parts{};
    FileTimeToSystemTime(&file, &parts);
    return parts;
}

std::wstring TimeLabel(HistoryTime time, HistoryTime bias, HistoryTime step) {
    const SYSTEMTIME parts = LocalParts(time, bias);
    wchar_t text[64] = {};
    if (step >= kMinute && parts.wHour == 0 && parts.wMinute == 0 && parts.wSecond == 0) {
        GetDateFormatW(LOCALE_USER_DEFAULT, 0, &parts, L"MMM d", text, 64);
    } else {
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &parts, step < kMinute ? L"HH:mm:ss" : L"HH:mm", text, 64);
    }
    return text;
}

std::wstring SpanText(HistoryTime span) {
    auto count = [span](HistoryTime unit) { return static_cast<unsigned>(span / unit); };
    if (span % kDay == 0) return FormatText(span == kDay ? L"%u day" : L"%u days", count(kDay));
    if (span % kHour == 0) return FormatText(span == kHour ? L"%u hour" : L"%u hours", count(kHour));
    if (span % kMinute == 0) return FormatText(span == kMinute ? L"%u minute" : L"%u minutes", count(kMinute));
    return FormatText(L"%u seconds", count(kSecond));
}

// A step of 1, 2 or 5 times a power of ten near `rough`.
double NiceStep(double rough) {
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= rough) return factor * power;
    }
    return 10.0 * power;
}

std::wstring ValueLabel(double value, double step) {
    const int decimals = std::clamp(static_cast<int>(-std::floor(std::log10(step))), 0, 6);
    if (std::fabs(value) < step / 2) value = 0;  // no "-0"
    return FormatText(L"%.*f", decimals, value);
}

int TextWidth(HDC dc, const std::wstring& text) {
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

void FillBox(HDC dc, const RECT& box, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &box, brush);
    DeleteObject(brush);
}

void HatchBox(HDC dc, const RECT& box, COLORREF colour) {
    FillBox(dc, box, RGB(255, 225, 225));
    HBRUSH hatch = CreateHatchBrush(HS_BDIAGONAL, colour);
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    FillRect(dc, &box, hatch);
    SetBkMode(dc, oldMode);
    DeleteObject(hatch);
}

struct Pen {
    Pen(HDC dc, int style, int width, COLORREF colour)
        : m_dc(dc), m_pen(CreatePen(style, width, colour)), m_old(SelectObject(dc, m_pen)) {}
    ~Pen() {
        SelectObject(m_dc, m_old);
        DeleteObject(m_pen);
    }
    Pen(const Pen&) = delete;
    Pen& operator=(const Pen&) = delete;
    HDC m_dc;
    HPEN m_pen;
    HGDIOBJ m_old;
};
}  // namespace

TrendWindow::TrendWindow(Configuration& configuration, const std::vector<OPCS_Tag*>& tags)
    : DialogWindow(IDD_TREND), m_configuration(configuration) {
    for (OPCS_Tag* tag : tags) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        Tag entry;
        entry.itemId = tag->GetItemID();
        entry.tag = tag;
        entry.colour = kColours[m_tags.size() % kColours.size()];
        m_tags.push_back(std::move(entry));
    }
    ResolveSeries();
}

TrendWindow::~TrendWindow() { s_open.erase(std::remove(s_open.begin(), s_open.end(), this), s_open.end()); }

void TrendWindow::RegisterChartClass() {
    WNDCLASSEXW chart{};
    chart.cbSize = sizeof(chart);
    if (GetClassInfoExW(GetModuleHandleW(nullptr), kChartClass, &chart)) return;
    chart.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    chart.lpfnWndProc = &ChartProc;
    chart.hInstance = GetModuleHandleW(nullptr);
    chart.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    chart.lpszClassName = kChartClass;
    RegisterClassExW(&chart);
}

TrendWindow* TrendWindow::Open(HWND owner, Configuration& configuration, const std::vector<OPCS_Tag*>& tags) {
    RegisterChartClass();
    auto* window = new TrendWindow(configuration, tags);
    if (window->Create(owner) == nullptr) {
        delete window;  // never had a window: nothing else will delete it
        return nullptr;
    }
    s_open.push_back(window);
    ShowWindow(window->Handle(), SW_SHOW);
    return window;
}

bool TrendWindow::PreTranslate(MSG* msg) {
    for (TrendWindow* open : s_open) {
        HWND window = open->Handle();
        if (window == nullptr || (msg->hwnd != window && !IsChild(window, msg->hwnd))) continue;
        // The main window's F1 would open its own topic.
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_F1) {
            ShowHelpTopic(kHelpTopic);
            return true;
        }
        return IsDialogMessageW(window, msg) != FALSE;
    }
    return false;
}

INT_PTR TrendWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return FALSE;  // the focus is set: on the chart
    case WM_TIMER:
        if (wParam != kRedrawTimer) return FALSE;
        OnTimer();
        return TRUE;
    case WM_SIZE: m_layout.Apply(m_hwnd, LOWORD(lParam), HIWORD(lParam)); return TRUE;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {m_layout.MinimumWindow().cx / 2,
                                                                 m_layout.MinimumWindow().cy / 2};
        return TRUE;
    case WM_MOUSEWHEEL: OnWheel(wParam); return TRUE;
    case WM_DESTROY:
        if (m_chart != nullptr) SetWindowLongPtrW(m_chart, GWLP_USERDATA, 0);
        m_chart = nullptr;
        return FALSE;
    case WM_HELP: ShowHelpTopic(kHelpTopic); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_TREND_ZOOM_IN: Zoom(true); return TRUE;
        case IDC_TREND_ZOOM_OUT: Zoom(false); return TRUE;
        case IDC_TREND_NOW: FollowNow(); return TRUE;
        case IDOK:
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpTopic); return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void TrendWindow::OnInitDialog() {
    using L = DialogLayout;
    m_layout.Capture(m_hwnd, {{IDC_TREND_CHART, L::kGrowRight | L::kGrowDown},
                              {IDC_TREND_ZOOM_IN, L::kMoveDown},
                              {IDC_TREND_ZOOM_OUT, L::kMoveDown},
                              {IDC_TREND_NOW, L::kMoveDown},
                              {IDC_TREND_RANGE, L::kMoveDown | L::kGrowRight},
                              {IDCANCEL, L::kMoveRight | L::kMoveDown},
                              {static_cast<int>(ID_HELP), L::kMoveRight | L::kMoveDown}});
    m_chart = Item(IDC_TREND_CHART);
    SetWindowLongPtrW(m_chart, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_font = reinterpret_cast<HFONT>(SendMessageW(m_hwnd, WM_GETFONT, 0, 0));
    std::wstring title = L"Trend";
    for (size_t i = 0; i < m_tags.size() && i < 3; ++i) title += (i == 0 ? L" - " : L", ") + m_tags[i].itemId;
    if (m_tags.size() > 3) title += L", ...";
    SetWindowTextW(m_hwnd, title.c_str());
    ViewChanged();
    SetFocus(m_chart);
    SetTimer(m_hwnd, kRedrawTimer, kRedrawMs, nullptr);
}

void TrendWindow::ResolveSeries() {
    for (Tag& entry : m_tags) {
        // A deleted tag's series stays readable for as long as it is held.
        if (entry.tag == nullptr || !OPCS_Tag::IsValidTag(entry.tag) || entry.tag->GetItemID() != entry.itemId) {
            entry.tag = nullptr;
            continue;
        }
        entry.series = entry.tag->History();
    }
}

std::vector<std::wstring> TrendWindow::LegendTexts() const {
    std::vector<std::wstring> texts;
    for (const Tag& entry : m_tags) {
        std::wstring text = entry.itemId;
        if (!entry.series) {
            text += L" (not historized)";
        } else if (entry.series->Kind() == HistoryValueKind::Text) {
            text += L" (text, not charted)";
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

HistoryTime TrendWindow::LongestSpan() const {
    return std::max(kShortestSpan, m_configuration.History().Limits().spanTicks);
}

HistoryTime TrendWindow::Oldest(HistoryTime now) const {
    HistoryTime oldest = now - m_span;
    for (const Tag& entry : m_tags) {
        HistoryTime first = 0, last = 0;
        if (entry.series && entry.series->Extent(first, last)) oldest = std::min(oldest, first);
    }
    return std::max(oldest, now - LongestSpan());
}

HistoryTime TrendWindow::VisibleEnd() const { return m_live ? m_configuration.History().Now() : m_end; }

void TrendWindow::Zoom(bool in) {
    const HistoryTime longest = LongestSpan();
    HistoryTime next = m_span;
    if (in) {
        for (auto it = kSpans.rbegin(); it != kSpans.rend(); ++it) {
            if (*it < m_span) {
                next = *it;
                break;
            }
        }
        next = std::min(next, longest);
    } else {
        next = longest;
        for (const HistoryTime span : kSpans) {
            if (span > m_span) {
                next = std::min(span, longest);
                break;
            }
        }
    }
    if (next == m_span) return;
    // Live stays live; a view scrolled back keeps its middle.
    const HistoryTime middle = VisibleEnd() - m_span / 2;
    m_span = next;
    if (!m_live) ScrollTo(middle + m_span / 2);
    ViewChanged();
}

void TrendWindow::Scroll(int tenths) { ScrollTo(VisibleEnd() + m_span / 10 * tenths); }

void TrendWindow::ScrollTo(HistoryTime end) {
    const HistoryTime now = m_configuration.History().Now();
    const HistoryTime earliest = Oldest(now) + m_span;
    // Within half a scroll step of now is now: time moves on between two keys.
    if (end + m_span / 20 >= now) {
        FollowNow();
        return;
    }
    m_live = false;
    m_end = std::max(end, std::min(earliest, now));
    ViewChanged();
}

void TrendWindow::FollowNow() {
    m_live = true;
    ViewChanged();
}

void TrendWindow::ViewChanged() {
    if (m_hwnd == nullptr) return;
    UpdateScrollBar();
    ShowRange();
    if (m_chart != nullptr) InvalidateRect(m_chart, nullptr, FALSE);
}

void TrendWindow::UpdateScrollBar() {
    if (m_chart == nullptr) return;
    const HistoryTime now = m_configuration.History().Now();
    const HistoryTime oldest = Oldest(now);
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = static_cast<int>((now - oldest) / kScrollUnit);
    info.nPage = static_cast<UINT>(m_span / kScrollUnit);
    info.nPos = static_cast<int>(std::max<HistoryTime>(0, VisibleEnd() - m_span - oldest) / kScrollUnit);
    SetScrollInfo(m_chart, SB_HORZ, &info, TRUE);
}

void TrendWindow::OnScroll(WPARAM wParam) {
    switch (LOWORD(wParam)) {
    case SB_LINELEFT: Scroll(-1); break;
    case SB_LINERIGHT: Scroll(1); break;
    case SB_PAGELEFT: Scroll(-10); break;
    case SB_PAGERIGHT: Scroll(10); break;
    case SB_LEFT: ScrollTo(Oldest(m_configuration.History().Now()) + m_span); break;
    case SB_RIGHT: FollowNow(); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
        SCROLLINFO info{};
        info.cbSize = sizeof(info);
        info.fMask = SIF_TRACKPOS;
        GetScrollInfo(m_chart, SB_HORZ, &info);
        const HistoryTime oldest = Oldest(m_configuration.History().Now());
        ScrollTo(oldest + static_cast<HistoryTime>(info.nTrackPos) * kScrollUnit + m_span);
        break;
    }
    default: break;
    }
}

bool TrendWindow::OnChartKey(WPARAM key) {
    const bool control = GetKeyState(VK_CONTROL) < 0;
    switch (key) {
    case VK_LEFT: Scroll(control ? -10 : -1); return true;
    case VK_RIGHT: Scroll(control ? 10 : 1); return true;
    case VK_PRIOR: Scroll(-10); return true;
    case VK_NEXT: Scroll(10); return true;
    case VK_HOME: ScrollTo(Oldest(m_configuration.History().Now()) + m_span); return true;
    case VK_END: FollowNow(); return true;
    case VK_ADD:
    case VK_OEM_PLUS: Zoom(true); return true;
    case VK_SUBTRACT:
    case VK_OEM_MINUS: Zoom(false); return true;
    default: return false;
    }
}

void TrendWindow::OnWheel(WPARAM wParam) {
    m_wheelRest += GET_WHEEL_DELTA_WPARAM(wParam);
    const int notches = m_wheelRest / WHEEL_DELTA;
    m_wheelRest %= WHEEL_DELTA;
    for (int i = 0; i < std::abs(notches); ++i) {
        // Away from the user: zoom in, or back in time.
        if (GET_KEYSTATE_WPARAM(wParam) & MK_CONTROL) {
            Zoom(notches > 0);
        } else {
            Scroll(notches > 0 ? -1 : 1);
        }
    }
}

void TrendWindow::OnTimer() {
    ResolveSeries();
    if (!m_live) {
        UpdateScrollBar();  // the stored span moves on
        return;
    }
    // A column's worth of time passed, or a quarter second at the shortest spans.
    const HistoryTime now = m_configuration.History().Now();
    if (now - m_drawnNow >= std::max<HistoryTime>(m_columnTicks, kRedrawMs * kHistoryTicksPerMs)) ViewChanged();
}

void TrendWindow::ShowRange() {
    const HistoryTime end = VisibleEnd();
    const SYSTEMTIME parts = LocalParts(end, LocalBias());
    std::wstring text = SpanText(m_span) + L" to " + FormatDateTime(parts);
    text += m_live ? L", following now" : L", scrolled back (End: now)";
    if (ItemText(IDC_TREND_RANGE) != text) SetItemText(IDC_TREND_RANGE, text);
}

LRESULT CALLBACK TrendWindow::ChartProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TrendWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd, &paint);
        RECT client{};
        GetClientRect(hwnd, &client);
        // Drawn off screen, then copied: a redraw each second must not flicker.
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1));
        HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
        FillBox(memory, client, RGB(255, 255, 255));
        if (self != nullptr) self->PaintChart(memory, client);
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, oldBitmap);
        DeleteObject(bitmap);
        DeleteDC(memory);
        EndPaint(hwnd, &paint);
        return 0;
    }
    case WM_KEYDOWN:
        if (self != nullptr && self->OnChartKey(wParam)) return 0;
        break;
    case WM_HSCROLL:
        if (self != nullptr) self->OnScroll(wParam);
        return 0;
    case WM_MOUSEWHEEL:
        if (self != nullptr) self->OnWheel(wParam);
        return 0;
    case WM_LBUTTONDOWN: SetFocus(hwnd); return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: InvalidateRect(hwnd, nullptr, FALSE); return 0;
    default: break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void TrendWindow::PaintChart(HDC dc, const RECT& area) {
    HGDIOBJ oldFont = SelectObject(dc, m_font != nullptr ? m_font : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int line = metrics.tmHeight;

    // The legend: a swatch and the item ID of each tag, then the quality marks' key.
    const std::vector<std::wstring> legend = LegendTexts();
    int x = kMargin, y = kMargin / 2;
    auto legendRoom = [&](int width) {
        if (x + width > area.right - kMargin && x > kMargin) {
            x = kMargin;
            y += line + 2;
        }
    };
    for (size_t i = 0; i < m_tags.size(); ++i) {
        const int width = 22 + TextWidth(dc, legend[i]) + 16;
        legendRoom(width);
        const RECT swatch{x, y + line / 2 - 2, x + 16, y + line / 2 + 2};
        FillBox(dc, swatch, m_tags[i].series ? m_tags[i].colour : kAxisColour);
        SetTextColor(dc, m_tags[i].series ? RGB(0, 0, 0) : RGB(110, 110, 110));
        TextOutW(dc, x + 22, y, legend[i].c_str(), static_cast<int>(legend[i].size()));
        x += width;
    }
    SetTextColor(dc, RGB(0, 0, 0));
    for (const bool bad : {true, false}) {
        const std::wstring text = bad ? L"Bad" : L"Uncertain";
        legendRoom(22 + TextWidth(dc, text) + 16);
        const RECT box{x, y + 2, x + 16, y + line - 2};
        if (bad) {
            HatchBox(dc, box, kBadColour);
        } else {
            FillBox(dc, box, kUncertainColour);
        }
        TextOutW(dc, x + 22, y, text.c_str(), static_cast<int>(text.size()));
        x += 22 + TextWidth(dc, text) + 16;
    }
    const int plotTop = y + line + kMargin;

    const int strip = static_cast<int>(m_tags.size()) * kStripRow + 2;
    const int plotBottom = area.bottom - kMargin / 2 - line - 4 - strip - 4;
    const int guessLeft = kMargin + TextWidth(dc, L"-00000.0") + 6;
    const int plotRight = area.right - kMargin - 4;
    if (plotBottom - plotTop < 2 * line || plotRight - guessLeft < 40) {
        SelectObject(dc, oldFont);
        return;
    }

    // Only what is visible is read: one column per pixel.
    const auto count = static_cast<size_t>(plotRight - guessLeft);
    const HistoryTime end = VisibleEnd();
    m_columnTicks = std::max<HistoryTime>(1, m_span / static_cast<HistoryTime>(count));
    HistoryTime start = end - m_columnTicks * static_cast<HistoryTime>(count);
    start -= ((start % m_columnTicks) + m_columnTicks) % m_columnTicks;  // the columns stay put as time runs
    const HistoryTime now = m_configuration.History().Now();
    if (m_live) m_drawnNow = now;
    std::vector<TrendReduction> reductions(m_tags.size());
    bool anyValue = false;
    double low = 0, high = 0;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        // A copy of the pointer: the series outlives a deletion meanwhile.
        const std::shared_ptr<HistorySeries> series = m_tags[i].series;
        if (!series) continue;
        reductions[i] = TrendSeriesReducer::Reduce(*series, start, m_columnTicks, count, now);
        const TrendReduction& r = reductions[i];
        if (!r.hasValue) continue;
        low = anyValue ? std::min(low, r.low) : r.low;
        high = anyValue ? std::max(high, r.high) : r.high;
        anyValue = true;
    }
    if (!anyValue) {
        low = 0;
        high = 1;
    } else if (high - low < 1e-9 * std::max(1.0, std::fabs(high))) {
        const double pad = std::max(1.0, std::fabs(high) * 0.1);
        low -= pad;
        high += pad;
    }
    const int plotHeight = plotBottom - plotTop;
    const double step = NiceStep((high - low) / std::max(2, plotHeight / (line * 2)));
    const double axisLow = std::floor(low / step) * step;
    const double axisHigh = std::ceil(high / step) * step;
    int labelWidth = 0;
    for (double v = axisLow; v <= axisHigh + step / 2; v += step) {
        labelWidth = std::max(labelWidth, TextWidth(dc, ValueLabel(v, step)));
    }
    const int plotLeft = kMargin + labelWidth + 6;
    const int plotWidth = plotRight - plotLeft;
    auto yOf = [&](double v) {
        return plotBottom - static_cast<int>(std::lround((v - axisLow) / (axisHigh - axisLow) * plotHeight));
    };
    auto xOfColumn = [&](size_t column) {
        return plotLeft + static_cast<int>(static_cast<long long>(column) * plotWidth / static_cast<long long>(count));
    };
    const HistoryTime visibleTicks = m_columnTicks * static_cast<HistoryTime>(count);
    auto xOfTime = [&](HistoryTime t) {
        return plotLeft +
               static_cast<int>(static_cast<double>(t - start) * plotWidth / static_cast<double>(visibleTicks));
    };

    // Value grid and labels.
    {
        Pen grid(dc, PS_SOLID, 1, kGridColour);
        for (double v = axisLow; v <= axisHigh + step / 2; v += step) {
            const int gy = yOf(v);
            MoveToEx(dc, plotLeft, gy, nullptr);
            LineTo(dc, plotRight, gy);
            const std::wstring text = ValueLabel(v, step);
            TextOutW(dc, plotLeft - 6 - TextWidth(dc, text), gy - line / 2, text.c_str(),
                     static_cast<int>(text.size()));
        }
    }
    // Time grid and labels, at round local times far enough apart for their texts.
    const HistoryTime bias = LocalBias();
    const int labelRoom = TextWidth(dc, L"00:00:00") + 24;
    HistoryTime timeStep = kTimeSteps.back();
    for (const HistoryTime candidate : kTimeSteps) {
        if (static_cast<double>(candidate) * plotWidth / static_cast<double>(visibleTicks) >= labelRoom) {
            timeStep = candidate;
            break;
        }
    }
    const int labelTop = plotBottom + 4 + strip + 4;
    {
        Pen grid(dc, PS_SOLID, 1, kGridColour);
        HistoryTime tick = start + bias;
        tick += (timeStep - ((tick % timeStep) + timeStep) % timeStep) % timeStep;
        for (tick -= bias; tick <= start + visibleTicks; tick += timeStep) {
            const int gx = xOfTime(tick);
            MoveToEx(dc, gx, plotTop, nullptr);
            LineTo(dc, gx, plotBottom);
            const std::wstring text = TimeLabel(tick, bias, timeStep);
            const int width = TextWidth(dc, text);
            const int left =
                std::clamp(gx - width / 2, plotLeft - labelWidth, static_cast<int>(area.right) - width - 2);
            TextOutW(dc, left, labelTop, text.c_str(), static_cast<int>(text.size()));
        }
    }
    {
        Pen axis(dc, PS_SOLID, 1, kAxisColour);
        MoveToEx(dc, plotLeft, plotTop, nullptr);
        LineTo(dc, plotLeft, plotBottom);
        LineTo(dc, plotRight, plotBottom);
    }

    // The lines: one vertical stroke per column from its lowest to its
    // highest value, joined to the next column where the line goes on.
    // Uncertain stretches are dashed, Bad ones a gap.
    const int clipSave = SaveDC(dc);
    IntersectClipRect(dc, plotLeft, plotTop - 1, plotRight + 1, plotBottom + 1);
    for (size_t i = 0; i < m_tags.size(); ++i) {
        const std::vector<TrendColumn>& columns = reductions[i].columns;
        for (const bool uncertainPass : {false, true}) {
            Pen pen(dc, PS_SOLID, uncertainPass ? 1 : 2, m_tags[i].colour);
            for (size_t c = 0; c < columns.size(); ++c) {
                const TrendColumn& column = columns[c];
                if (!column.hasValue || column.uncertain != uncertainPass) continue;
                if (uncertainPass && (c / 3) % 2 == 1) continue;  // the dashes
                const int cx = xOfColumn(c);
                if (c > 0 && columns[c - 1].hasValue) {
                    MoveToEx(dc, xOfColumn(c - 1), yOf(columns[c - 1].last), nullptr);
                    LineTo(dc, cx, yOf(column.first));
                }
                MoveToEx(dc, cx, yOf(column.low), nullptr);
                LineTo(dc, cx, yOf(column.high) - 1);
            }
        }
    }
    RestoreDC(dc, clipSave);

    // The quality strip: one row per tag, Bad hatched red, Uncertain amber.
    for (size_t i = 0; i < m_tags.size(); ++i) {
        const int rowTop = plotBottom + 4 + static_cast<int>(i) * kStripRow;
        FillBox(dc, RECT{plotLeft - 10, rowTop, plotLeft - 4, rowTop + kStripRow - 1}, m_tags[i].colour);
        const std::vector<TrendColumn>& columns = reductions[i].columns;
        for (const bool bad : {true, false}) {
            size_t c = 0;
            while (c < columns.size()) {
                auto marked = [&](size_t k) { return bad ? columns[k].bad : columns[k].uncertain; };
                if (!marked(c)) {
                    ++c;
                    continue;
                }
                const size_t first = c;
                while (c < columns.size() && marked(c)) ++c;
                const RECT run{xOfColumn(first), rowTop, std::max(xOfColumn(c), xOfColumn(first) + 2),
                               rowTop + kStripRow - 1};
                if (bad) {
                    HatchBox(dc, run, kBadColour);
                } else {
                    FillBox(dc, run, kUncertainColour);
                }
            }
        }
    }

    if (std::none_of(m_tags.begin(), m_tags.end(), [](const Tag& t) { return t.series != nullptr; })) {
        const std::wstring text =
            m_tags.empty() ? L"No tags." : L"No history: check Historize in the tag's properties.";
        TextOutW(dc, plotLeft + 12, plotTop + 12, text.c_str(), static_cast<int>(text.size()));
    }
    if (GetFocus() == m_chart) {
        RECT focus{plotLeft - 2, plotTop - 2, plotRight + 3, plotBottom + 3};
        DrawFocusRect(dc, &focus);
    }
    SelectObject(dc, oldFont);
}
