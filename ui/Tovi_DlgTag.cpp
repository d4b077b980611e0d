#include "Tovi_DlgTag.h"

#include <commctrl.h>
#include <array>
#include <cmath>

#include "AlarmSettingsDialog.h"
#include "AlarmTexts.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "SimulatedSignal.h"
#include "Text.h"
#include "ValueText.h"
#include "resource.h"

namespace {
struct TypeChoice {
    const wchar_t* text;
    VARTYPE type;
};
constexpr std::array<TypeChoice, 5> kTypes = {{{L"Bool (1/0, T/F)", VT_BOOL},
                                               {L"Integer (4 bytes)", VT_I4},
                                               {L"Float (4 bytes)", VT_R4},
                                               {L"Double (8 bytes)", VT_R8},
                                               {L"String", VT_BSTR}}};
constexpr int kIntegerIndex = 1;

// In the order of the stored kind numbers: item index + 1 is the kind.
constexpr std::array<const wchar_t*, kLastSimulationKind> kSimulationKinds = {L"Ramp",   L"Triangle", L"Sine",
                                                                              L"Square", L"Random",   L"Count"};
static_assert(kFirstSimulationKind == 1 && kSimulateCount == kLastSimulationKind);
// The period is shown in seconds with one decimal: one tick per tenth.
static_assert(kSimulationTickMs == 100);
constexpr DWORD kMaxTicks = 0xFFFFFFFF;

std::wstring NumberText(double value) { return FormatText(L"%.15g", value); }

std::wstring Trim(const std::wstring& text) {
    const size_t begin = text.find_first_not_of(L" \t\r\n");
    if (begin == std::wstring::npos) return {};
    const size_t end = text.find_last_not_of(L" \t\r\n");
    return text.substr(begin, end - begin + 1);
}
}  // namespace

Tovi_DlgTag::Tovi_DlgTag(TagPropertiesFields& fields)
    : DialogWindow(IDD_TAG), m_fields(fields), m_alarm(fields.alarm) {}

int Tovi_DlgTag::TypeIndex(VARTYPE type) noexcept {
    switch (type) {
    case VT_BOOL: return 0;
    case VT_R4: return 2;
    case VT_R8: return 3;
    case VT_BSTR: return 4;
    default: return kIntegerIndex;
    }
}

VARTYPE Tovi_DlgTag::IndexType(int index) noexcept {
    if (index < 0 || index >= static_cast<int>(kTypes.size())) return VT_I4;
    return kTypes[static_cast<size_t>(index)].type;
}

Variant Tovi_DlgTag::ConvertValueText(const std::wstring& rawText, VARTYPE type) {
    const std::wstring text = Trim(rawText);
    switch (type) {
    case VT_BOOL: return Variant::FromBool(!text.empty() && (text[0] == L'T' || text[0] == L'1'));
    case VT_R4: return Variant::FromFloat(SaturateToFloat(ParseLeadingNumber(text)));
    case VT_R8: return Variant::FromDouble(ParseLeadingNumber(text));
    case VT_BSTR: return Variant::FromString(text);
    default: return Variant::FromLong(static_cast<LONG>(ParseLeadingInteger(text)));
    }
}

std::wstring Tovi_DlgTag::PeriodText(DWORD ticks) {
    return FormatText(L"%lu.%lu", static_cast<unsigned long>(ticks / 10), static_cast<unsigned long>(ticks % 10));
}

bool Tovi_DlgTag::ParsePeriodText(const std::wstring& text, DWORD& ticks) {
    double seconds = 0;
    if (!ParseWholeNumber(text, seconds) || seconds < 0.1) return false;
    const double rounded = std::nearbyint(seconds * 10);
    if (rounded > static_cast<double>(kMaxTicks)) return false;
    ticks = static_cast<DWORD>(rounded);
    return true;
}

INT_PTR Tovi_DlgTag::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpTagDialog); return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom == IDC_TAG_DEADBAND_SPIN && header->code == UDN_DELTAPOS) {
            StepDeadband(reinterpret_cast<const NMUPDOWN*>(lParam)->iDelta);
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, TRUE);  // the control keeps no position of its own
            return TRUE;
        }
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpTagDialog); return TRUE;
        case IDC_TAG_LIMITS:
            if (HIWORD(wParam) == BN_CLICKED) OnLimitClicked();
            return TRUE;
        case IDC_TAG_TYPE:
            if (HIWORD(wParam) == CBN_SELCHANGE) OnTypeChanged();
            return TRUE;
        case IDC_TAG_SIMULATE:
            if (HIWORD(wParam) == BN_CLICKED) EnableSimulationControls();
            return TRUE;
        case IDC_TAG_SIMULATION_KIND:
            if (HIWORD(wParam) == CBN_SELCHANGE) EnableSimulationControls();
            return TRUE;
        case IDC_TAG_ALARM:
            if (HIWORD(wParam) == BN_CLICKED) OnAlarm();
            return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void Tovi_DlgTag::OnInitDialog() {
    HWND combo = Item(IDC_TAG_TYPE);
    for (const TypeChoice& choice : kTypes) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice.text));
    // A range with room either side, so that both arrows always step: the
    // control's own position never moves (the edit holds the number).
    SendDlgItemMessageW(m_hwnd, IDC_TAG_DEADBAND_SPIN, UDM_SETRANGE32, static_cast<WPARAM>(-1000000), 1000000);
    SendDlgItemMessageW(m_hwnd, IDC_TAG_DEADBAND_SPIN, UDM_SETPOS32, 0, 0);
    ShowFields();
    if (!m_fields.limitValues) EnableLimitEdits(false);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(TypeIndex(m_fields.type)), 0);
    OnTypeChanged();
    ShowSimulation();
    ShowAlarmSummary();
}

void Tovi_DlgTag::ShowSimulation() {
    HWND kinds = Item(IDC_TAG_SIMULATION_KIND);
    for (const wchar_t* kind : kSimulationKinds) SendMessageW(kinds, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kind));
    const TagSimulation& simulation = m_fields.simulation;
    // A kind this program does not know shows no choice and is kept unless one is made.
    const WPARAM selection =
        IsSimulationKind(simulation.kind) ? simulation.kind - kFirstSimulationKind : static_cast<WPARAM>(-1);
    SendMessageW(kinds, CB_SETCURSEL, selection, 0);
    SetChecked(IDC_TAG_SIMULATE, simulation.enabled);
    SetItemText(IDC_TAG_SIMULATION_STEP, FormatText(L"%lu", static_cast<unsigned long>(simulation.step)));
    m_shownPeriod = PeriodText(simulation.period);
    SetItemText(IDC_TAG_SIMULATION_PERIOD, m_shownPeriod);
    EnableSimulationControls();
}

void Tovi_DlgTag::EnableSimulationControls() {
    const bool on = IsChecked(IDC_TAG_SIMULATE);
    const LRESULT kind = SendDlgItemMessageW(m_hwnd, IDC_TAG_SIMULATION_KIND, CB_GETCURSEL, 0, 0);
    Enable(IDC_TAG_SIMULATION_KIND, on);
    Enable(IDC_TAG_SIMULATION_PERIOD, on);
    Enable(IDC_TAG_SIMULATION_STEP, on && kind == static_cast<LRESULT>(kSimulateCount - kFirstSimulationKind));
}

void Tovi_DlgTag::ShowFields() {
    SetItemText(IDC_TAG_NAME, m_fields.name);
    SetItemText(IDC_TAG_DESCRIPTION, m_fields.description);
    SetItemText(IDC_TAG_VALUE, m_fields.valueText);
    SetChecked(IDC_TAG_LIMITS, m_fields.limitValues);
    SetChecked(IDC_TAG_HISTORIZE, m_fields.historize);
    SetItemText(IDC_TAG_MIN, NumberText(m_fields.low));
    SetItemText(IDC_TAG_MAX, NumberText(m_fields.high));
    SetItemText(IDC_TAG_DEADBAND, NumberText(m_fields.deadband));
    CheckRadioButton(m_hwnd, IDC_TAG_READ_ONLY, IDC_TAG_READ_WRITE,
                     m_fields.access != 0 ? IDC_TAG_READ_WRITE : IDC_TAG_READ_ONLY);
}

void Tovi_DlgTag::EnableLimitEdits(bool enable) {
    Enable(IDC_TAG_MIN, enable);
    Enable(IDC_TAG_MAX, enable);
    Enable(IDC_TAG_DEADBAND, enable);
    Enable(IDC_TAG_DEADBAND_SPIN, enable);
}

void Tovi_DlgTag::OnLimitClicked() { EnableLimitEdits(IsChecked(IDC_TAG_LIMITS)); }

VARTYPE Tovi_DlgTag::ChosenType() const {
    return IndexType(static_cast<int>(SendDlgItemMessageW(m_hwnd, IDC_TAG_TYPE, CB_GETCURSEL, 0, 0)));
}

void Tovi_DlgTag::OnAlarm() {
    AlarmSettingsDialog dialog(m_alarm, ChosenType());
    if (dialog.DoModal(m_hwnd) == IDOK) ShowAlarmSummary();
}

void Tovi_DlgTag::ShowAlarmSummary() {
    std::wstring summary = L"No alarm";
    if (m_alarm.IsAlarmed()) {
        summary = std::wstring(AlarmKindText(m_alarm.kind)) + L" alarm";
        if (!m_alarm.enabled) summary += L", disabled";
    }
    SetItemText(IDC_TAG_ALARM_SUMMARY, summary);
}

void Tovi_DlgTag::OnTypeChanged() {
    const VARTYPE type = ChosenType();
    const bool limitable = type != VT_BOOL && type != VT_BSTR;
    if (!limitable) {
        SetChecked(IDC_TAG_LIMITS, false);
        EnableLimitEdits(false);
    }
    Enable(IDC_TAG_LIMITS, limitable);
}

void Tovi_DlgTag::StepDeadband(int delta) {
    double value = 0;
    if (!ParseWholeNumber(ItemText(IDC_TAG_DEADBAND), value)) value = 0;
    SetItemText(IDC_TAG_DEADBAND, NumberText(value + delta));
}

bool Tovi_DlgTag::ReadNumber(int id, double& value) {
    if (ParseWholeNumber(ItemText(id), value)) return true;
    RefuseField(id, kEnterNumber);
    return false;
}

bool Tovi_DlgTag::ReadSimulation(TagSimulation& simulation) {
    unsigned step = 0;
    if (!ParseUnsignedField(ItemText(IDC_TAG_SIMULATION_STEP), step)) {
        RefuseField(IDC_TAG_SIMULATION_STEP, kEnterPositiveInteger);
        return false;
    }
    const std::wstring periodText = ItemText(IDC_TAG_SIMULATION_PERIOD);
    DWORD period = m_fields.simulation.period;
    if (periodText != m_shownPeriod && !ParsePeriodText(periodText, period)) {
        double number = 0;
        RefuseField(IDC_TAG_SIMULATION_PERIOD, ParseWholeNumber(periodText, number)
                                                   ? EnterNumberBetween(PeriodText(1), PeriodText(kMaxTicks))
                                                   : std::wstring(kEnterNumber));
        return false;
    }
    const LRESULT kind = SendDlgItemMessageW(m_hwnd, IDC_TAG_SIMULATION_KIND, CB_GETCURSEL, 0, 0);
    simulation.enabled = IsChecked(IDC_TAG_SIMULATE);
    simulation.kind = kind >= 0 ? static_cast<DWORD>(kind) + kFirstSimulationKind : m_fields.simulation.kind;
    simulation.step = step;
    simulation.period = period;
    return true;
}

void Tovi_DlgTag::OnOK() {
    double minimum = 0, maximum = 0, deadband = 0;
    TagSimulation simulation;
    if (!ReadNumber(IDC_TAG_MIN, minimum) || !ReadNumber(IDC_TAG_MAX, maximum) ||
        !ReadNumber(IDC_TAG_DEADBAND, deadband) || !ReadSimulation(simulation)) {
        return;
    }
    // The alarm was set for the type chosen then: a normal value follows a
    // new type, and settings that no longer suit it keep the dialog open.
    const VARTYPE type = ChosenType();
    AlarmSettings alarm = m_alarm;
    if (alarm.kind == AlarmKind::OffNormal && alarm.normalValue.Type() != type) {
        alarm.normalValue =
            AlarmSettingsDialog::NormalValueOf(AlarmSettingsDialog::NormalValueText(alarm.normalValue), type);
    }
    if (const std::wstring why = CheckAlarmSettings(alarm, type); !why.empty()) {
        AppMessageBox(L"The tag's alarm: " + why, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (!ReadName(IDC_TAG_NAME, m_fields.nameRefusal, m_fields.name)) return;
    m_fields.description = ItemText(IDC_TAG_DESCRIPTION);
    m_fields.valueText = ItemText(IDC_TAG_VALUE);
    m_fields.limitValues = IsChecked(IDC_TAG_LIMITS);
    m_fields.low = minimum;
    m_fields.high = maximum;
    m_fields.deadband = deadband;
    m_fields.access = IsChecked(IDC_TAG_READ_WRITE) ? 1 : 0;
    m_fields.type = type;
    m_fields.value = ConvertValueText(m_fields.valueText, m_fields.type);
    m_fields.simulation = simulation;
    m_fields.historize = IsChecked(IDC_TAG_HISTORIZE);
    m_fields.alarm = alarm;
    End(IDOK);
}
