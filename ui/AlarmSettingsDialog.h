#pragma once
// "Alarm": a tag's alarm settings, opened from the tag dialog. OK takes the
// fields back only when CheckAlarmSettings accepts them for the tag's type
// as the tag dialog now has it; otherwise its words are shown and the dialog
// stays open. Fields the chosen kind does not use are disabled and kept.
#include "AlarmSettings.h"
#include "DialogWindow.h"

class AlarmSettingsDialog : public DialogWindow {
public:
    AlarmSettingsDialog(AlarmSettings& settings, VARTYPE tagType);

    // A normal value as the dialog shows it, and the value a text gives for
    // a tag of `type`: a text that is no value of that type stays text, for
    // CheckAlarmSettings to refuse in its own words; empty for no text.
    static std::wstring NormalValueText(const Variant& value);
    static Variant NormalValueOf(const std::wstring& text, VARTYPE type);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    AlarmKind ChosenKind() const;
    void EnableFields();
    // False once a field was refused (the field says why).
    bool ReadFields(AlarmSettings& read);
    void OnOK();

    AlarmSettings& m_settings;
    VARTYPE m_tagType;
};
