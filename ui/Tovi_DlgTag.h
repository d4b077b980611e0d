#pragma once
// "Tag Properties": the caller fills the fields, runs the dialog and, after
// OK, reads them back with the value converted from its text by the chosen type.
#include "DialogWindow.h"
#include "PropertyDialogs.h"

class Tovi_DlgTag : public DialogWindow {
public:
    explicit Tovi_DlgTag(TagPropertiesFields& fields);

    // Combo index of a data type, and the type of an index.
    static int TypeIndex(VARTYPE type) noexcept;
    static VARTYPE IndexType(int index) noexcept;
    // The value the dialog gives for a value text and a chosen type.
    static Variant ConvertValueText(const std::wstring& text, VARTYPE type);
    // A simulation period in ticks as the dialog shows it (seconds, one
    // decimal), and the ticks of a text the operator typed: false for text
    // that is not a number or lies outside 0.1 s to the largest tick count.
    static std::wstring PeriodText(DWORD ticks);
    static bool ParsePeriodText(const std::wstring& text, DWORD& ticks);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void ShowFields();
    void EnableLimitEdits(bool enable);
    void OnLimitClicked();
    void OnTypeChanged();
    void StepDeadband(int delta);
    void ShowSimulation();
    void EnableSimulationControls();
    bool ReadNumber(int id, double& value);
    bool ReadSimulation(TagSimulation& simulation);
    VARTYPE ChosenType() const;
    void OnAlarm();
    void ShowAlarmSummary();
    void OnOK();

    TagPropertiesFields& m_fields;
    AlarmSettings m_alarm;       // as the Alarm dialog left it; the tag's until OK
    std::wstring m_shownPeriod;  // an untouched period keeps its stored ticks
};
