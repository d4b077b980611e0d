#include "DialogLayout.h"

#include <algorithm>

void DialogLayout::Capture(HWND dialog, std::initializer_list<Rule> rules) {
    RECT window{}, client{};
    GetWindowRect(dialog, &window);
    GetClientRect(dialog, &client);
    m_minimumWindow = {window.right - window.left, window.bottom - window.top};
    m_initialClient = {client.right, client.bottom};
    m_anchors.clear();
    for (const Rule& rule : rules) {
        Anchor anchor{rule, {}};
        GetWindowRect(GetDlgItem(dialog, rule.id), &anchor.place);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&anchor.place), 2);
        m_anchors.push_back(anchor);
    }
}

void DialogLayout::Apply(HWND dialog, int width, int height) const {
    if (m_anchors.empty()) return;  // before the dialog's controls exist
    const int dx = width - m_initialClient.cx;
    const int dy = height - m_initialClient.cy;
    HDWP moves = BeginDeferWindowPos(static_cast<int>(m_anchors.size()));
    for (const Anchor& anchor : m_anchors) {
        RECT r = anchor.place;
        const unsigned follow = anchor.rule.follow;
        OffsetRect(&r, (follow & kMoveRight) ? dx : 0, (follow & kMoveDown) ? dy : 0);
        if (follow & kGrowRight) r.right += dx;
        if (follow & kGrowDown) r.bottom += dy;
        if (moves != nullptr) {
            moves = DeferWindowPos(moves, GetDlgItem(dialog, anchor.rule.id), nullptr, r.left, r.top,
                                   std::max<LONG>(0, r.right - r.left), std::max<LONG>(0, r.bottom - r.top),
                                   SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (moves != nullptr) EndDeferWindowPos(moves);
    InvalidateRect(dialog, nullptr, TRUE);
}
