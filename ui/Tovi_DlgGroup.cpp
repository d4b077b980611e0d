#include "Tovi_DlgGroup.h"

#include <commctrl.h>

#include "Help.h"
#include "RefreshSchedule.h"
#include "Text.h"
#include "resource.h"

namespace {
constexpr unsigned kMaxHours = 24;
constexpr unsigned kMaxMinutes = 59;
constexpr unsigned kMaxSeconds = 59;
constexpr int kIntervalControls[] = {IDC_GROUP_HOURS,      IDC_GROUP_MINUTES,      IDC_GROUP_SECONDS,
                                     IDC_GROUP_HOURS_SPIN, IDC_GROUP_MINUTES_SPIN, IDC_GROUP_SECONDS_SPIN};
}  // namespace

Tovi_DlgGroup::Tovi_DlgGroup(GroupPropertiesFields& fields) : DialogWindow(IDD_GROUP), m_fields(fields) {}

Tovi_DlgGroup::Interval Tovi_DlgGroup::SplitInterval(DWORD seconds) noexcept {
    return {(seconds / 3600) % 24, (seconds / 60) % 60, seconds % 60};
}

INT_PTR Tovi_DlgGroup::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpGroupDialog); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpGroupDialog); return TRUE;
        case IDC_GROUP_REFRESH:
        case IDC_GROUP_BY_SCHEDULE:
        case IDC_GROUP_BY_INTERVAL:
            if (HIWORD(wParam) == BN_CLICKED) ApplyEnableRule();
            return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void Tovi_DlgGroup::OnInitDialog() {
    SendDlgItemMessageW(m_hwnd, IDC_GROUP_HOURS_SPIN, UDM_SETRANGE32, 0, kMaxHours);
    SendDlgItemMessageW(m_hwnd, IDC_GROUP_MINUTES_SPIN, UDM_SETRANGE32, 0, kMaxMinutes);
    SendDlgItemMessageW(m_hwnd, IDC_GROUP_SECONDS_SPIN, UDM_SETRANGE32, 0, kMaxSeconds);
    const Interval interval = SplitInterval(m_fields.refreshPeriod);
    SetItemText(IDC_GROUP_NAME, m_fields.name);
    SetItemText(IDC_GROUP_HOURS, FormatText(L"%u", interval.hours));
    SetItemText(IDC_GROUP_MINUTES, FormatText(L"%u", interval.minutes));
    SetItemText(IDC_GROUP_SECONDS, FormatText(L"%u", interval.seconds));
    HWND combo = Item(IDC_GROUP_SCHEDULE);
    for (const RefreshScheduleEntry& entry : kRefreshSchedule) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.text));
    }
    m_fields.scheduleIndex = RefreshScheduleIndex(m_fields.refreshPeriod);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(m_fields.scheduleIndex), 0);
    SetChecked(IDC_GROUP_REFRESH, m_fields.refreshEnabled);
    CheckRadioButton(m_hwnd, IDC_GROUP_BY_SCHEDULE, IDC_GROUP_BY_INTERVAL,
                     m_fields.refreshMode == 1 ? IDC_GROUP_BY_INTERVAL : IDC_GROUP_BY_SCHEDULE);
    // A tag group has no timestamps of its own to renew: only a device's settings apply.
    Enable(IDC_GROUP_REFRESH, m_fields.isDevice);
    ApplyEnableRule();
}

void Tovi_DlgGroup::ApplyEnableRule() {
    const bool on = m_fields.isDevice && IsChecked(IDC_GROUP_REFRESH);
    const bool byInterval = IsChecked(IDC_GROUP_BY_INTERVAL);
    Enable(IDC_GROUP_BY_SCHEDULE, on);
    Enable(IDC_GROUP_BY_INTERVAL, on);
    Enable(IDC_GROUP_SCHEDULE, on && !byInterval);
    for (int id : kIntervalControls) Enable(id, on && byInterval);
}

bool Tovi_DlgGroup::ReadField(int id, unsigned high, unsigned& value) {
    if (!ParseUnsignedField(ItemText(id), value)) {
        RefuseField(id, kEnterPositiveInteger);
        return false;
    }
    if (value > high) {
        RefuseField(id, EnterIntegerBetween(0, high));
        return false;
    }
    return true;
}

void Tovi_DlgGroup::OnOK() {
    unsigned hours = 0, minutes = 0, seconds = 0;
    if (!ReadField(IDC_GROUP_HOURS, kMaxHours, hours) || !ReadField(IDC_GROUP_MINUTES, kMaxMinutes, minutes) ||
        !ReadField(IDC_GROUP_SECONDS, kMaxSeconds, seconds)) {
        return;
    }
    if (!ReadName(IDC_GROUP_NAME, m_fields.nameRefusal, m_fields.name)) return;
    m_fields.refreshEnabled = IsChecked(IDC_GROUP_REFRESH);
    m_fields.refreshMode = IsChecked(IDC_GROUP_BY_INTERVAL) ? 1 : 0;
    m_fields.scheduleIndex = static_cast<int>(SendDlgItemMessageW(m_hwnd, IDC_GROUP_SCHEDULE, CB_GETCURSEL, 0, 0));
    if (m_fields.refreshMode == 1) m_fields.refreshPeriod = hours * 3600 + minutes * 60 + seconds;
    End(IDOK);
}
