#include "AlarmSettingsDialog.h"

#include <array>

#include "AlarmTexts.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "Text.h"
#include "ValueText.h"
#include "resource.h"

namespace {
// In the order of the kind numbers: the combo's index is the kind.
constexpr std::array<AlarmKind, 4> kKinds = {AlarmKind::None, AlarmKind::ExclusiveLimit, AlarmKind::NonExclusiveLimit,
                                             AlarmKind::OffNormal};

struct LimitField {
    int check, edit;
    std::optional<double> AlarmSettings::*limit;
};
constexpr std::array<LimitField, 4> kLimits = {{
    {IDC_ALARM_HIGHHIGH_ON, IDC_ALARM_HIGHHIGH, &AlarmSettings::highHigh},
    {IDC_ALARM_HIGH_ON, IDC_ALARM_HIGH, &AlarmSettings::high},
    {IDC_ALARM_LOW_ON, IDC_ALARM_LOW, &AlarmSettings::low},
    {IDC_ALARM_LOWLOW_ON, IDC_ALARM_LOWLOW, &AlarmSettings::lowLow},
}};
constexpr unsigned kLowestSeverity = 1, kHighestSeverity = 1000;

std::wstring NumberText(double value) { return FormatText(L"%.15g", value); }

std::wstring Trim(const std::wstring& text) {
    const size_t begin = text.find_first_not_of(L" \t\r\n");
    if (begin == std::wstring::npos) return {};
    return text.substr(begin, text.find_last_not_of(L" \t\r\n") - begin + 1);
}

bool IsLimitKind(AlarmKind kind) { return kind == AlarmKind::ExclusiveLimit || kind == AlarmKind::NonExclusiveLimit; }
}  // namespace

AlarmSettingsDialog::AlarmSettingsDialog(AlarmSettings& settings, VARTYPE tagType)
    : DialogWindow(IDD_ALARM_SETTINGS), m_settings(settings), m_tagType(tagType) {}

std::wstring AlarmSettingsDialog::NormalValueText(const Variant& value) {
    switch (value.Type()) {
    case VT_EMPTY: return {};
    case VT_BOOL: return V_BOOL(&value.Ref()) ? L"1" : L"0";
    case VT_BSTR: return FormatValueText(value.Ref());
    default: {
        HRESULT converted = S_OK;
        const Variant number = value.ConvertedTo(VT_R8, &converted);
        return SUCCEEDED(converted) ? NumberText(V_R8(&number.Ref())) : FormatValueText(value.Ref());
    }
    }
}

Variant AlarmSettingsDialog::NormalValueOf(const std::wstring& rawText, VARTYPE type) {
    if (type == VT_BSTR) return rawText.empty() ? Variant() : Variant::FromString(rawText);
    const std::wstring text = Trim(rawText);
    if (text.empty()) return {};
    if (type == VT_BOOL) {
        if (text == L"1" || EqualsNoCase(text, L"true") || EqualsNoCase(text, L"t")) return Variant::FromBool(true);
        if (text == L"0" || EqualsNoCase(text, L"false") || EqualsNoCase(text, L"f")) return Variant::FromBool(false);
        return Variant::FromString(text);
    }
    // Read without the locale: a decimal point is a point wherever the program runs.
    double number = 0;
    if (!ParseWholeNumber(text, number)) return Variant::FromString(text);
    HRESULT converted = S_OK;
    Variant value = Variant::FromDouble(number).ConvertedTo(type, &converted);
    return SUCCEEDED(converted) ? value : Variant::FromString(text);
}

INT_PTR AlarmSettingsDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_HELP: ShowHelpTopic(kHelpAlarmSettings); return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        case ID_HELP: ShowHelpTopic(kHelpAlarmSettings); return TRUE;
        case IDC_ALARM_KIND:
            if (HIWORD(wParam) == CBN_SELCHANGE) EnableFields();
            return TRUE;
        case IDC_ALARM_HIGHHIGH_ON:
        case IDC_ALARM_HIGH_ON:
        case IDC_ALARM_LOW_ON:
        case IDC_ALARM_LOWLOW_ON:
            if (HIWORD(wParam) == BN_CLICKED) EnableFields();
            return TRUE;
        default: return FALSE;
        }
    default: return FALSE;
    }
}

void AlarmSettingsDialog::OnInitDialog() {
    HWND kinds = Item(IDC_ALARM_KIND);
    for (AlarmKind kind : kKinds) SendMessageW(kinds, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(AlarmKindText(kind)));
    const auto kind = static_cast<WPARAM>(m_settings.kind);
    SendMessageW(kinds, CB_SETCURSEL, kind < kKinds.size() ? kind : 0, 0);
    for (const LimitField& field : kLimits) {
        const std::optional<double>& limit = m_settings.*field.limit;
        SetChecked(field.check, limit.has_value());
        SetItemText(field.edit, limit.has_value() ? NumberText(*limit) : std::wstring());
    }
    SetItemText(IDC_ALARM_DEADBAND, NumberText(m_settings.deadband));
    SetItemText(IDC_ALARM_NORMAL, NormalValueText(m_settings.normalValue));
    SetItemText(IDC_ALARM_SEVERITY, std::to_wstring(m_settings.severity));
    SetItemText(IDC_ALARM_SEVERITY_HH, std::to_wstring(m_settings.severityHighHigh));
    SetItemText(IDC_ALARM_MESSAGE, m_settings.message);
    SetChecked(IDC_ALARM_NEEDS_CONFIRM, m_settings.needsConfirm);
    SetChecked(IDC_ALARM_ENABLED, m_settings.enabled);
    EnableFields();
}

AlarmKind AlarmSettingsDialog::ChosenKind() const {
    const LRESULT index = SendDlgItemMessageW(m_hwnd, IDC_ALARM_KIND, CB_GETCURSEL, 0, 0);
    return index >= 0 && index < static_cast<LRESULT>(kKinds.size()) ? kKinds[static_cast<size_t>(index)]
                                                                     : AlarmKind::None;
}

void AlarmSettingsDialog::EnableFields() {
    const AlarmKind kind = ChosenKind();
    const bool alarmed = kind != AlarmKind::None;
    const bool limits = IsLimitKind(kind);
    for (const LimitField& field : kLimits) {
        Enable(field.check, limits);
        Enable(field.edit, limits && IsChecked(field.check));
    }
    Enable(IDC_ALARM_DEADBAND, limits);
    Enable(IDC_ALARM_NORMAL, kind == AlarmKind::OffNormal);
    Enable(IDC_ALARM_SEVERITY, alarmed);
    Enable(IDC_ALARM_SEVERITY_HH, limits);
    for (int id : {IDC_ALARM_MESSAGE, IDC_ALARM_NEEDS_CONFIRM, IDC_ALARM_ENABLED}) Enable(id, alarmed);
}

bool AlarmSettingsDialog::ReadFields(AlarmSettings& read) {
    read.kind = ChosenKind();
    if (!read.IsAlarmed()) return true;
    const bool limits = IsLimitKind(read.kind);
    auto readNumber = [this](int id, double& value) {
        if (ParseWholeNumber(ItemText(id), value)) return true;
        RefuseField(id, kEnterNumber);
        return false;
    };
    auto readSeverity = [this](int id, WORD& severity) {
        unsigned value = 0;
        if (!ParseUnsignedField(ItemText(id), value) || value < kLowestSeverity || value > kHighestSeverity) {
            RefuseField(id, EnterIntegerBetween(kLowestSeverity, kHighestSeverity));
            return false;
        }
        severity = static_cast<WORD>(value);
        return true;
    };
    if (limits) {
        for (const LimitField& field : kLimits) {
            std::optional<double>& limit = read.*field.limit;
            limit.reset();
            double value = 0;
            if (!IsChecked(field.check)) continue;
            if (!readNumber(field.edit, value)) return false;
            limit = value;
        }
        if (!readNumber(IDC_ALARM_DEADBAND, read.deadband)) return false;
        if (!readSeverity(IDC_ALARM_SEVERITY, read.severity) ||
            !readSeverity(IDC_ALARM_SEVERITY_HH, read.severityHighHigh)) {
            return false;
        }
    } else if (!readSeverity(IDC_ALARM_SEVERITY, read.severity)) {
        return false;
    }
    if (read.kind == AlarmKind::OffNormal) read.normalValue = NormalValueOf(ItemText(IDC_ALARM_NORMAL), m_tagType);
    read.message = ItemText(IDC_ALARM_MESSAGE);
    read.needsConfirm = IsChecked(IDC_ALARM_NEEDS_CONFIRM);
    read.enabled = IsChecked(IDC_ALARM_ENABLED);
    return true;
}

void AlarmSettingsDialog::OnOK() {
    AlarmSettings read = m_settings;  // what the kind leaves unused is kept
    if (!ReadFields(read)) return;
    if (const std::wstring why = CheckAlarmSettings(read, m_tagType); !why.empty()) {
        AppMessageBox(why, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    m_settings = read.IsAlarmed() ? read : AlarmSettings{};
    End(IDOK);
}
