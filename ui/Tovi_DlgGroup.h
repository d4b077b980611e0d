#pragma once
// "Tag Group", for devices and tag groups alike: the name and, for a device,
// when its tags' timestamps are renewed (a schedule entry or an interval).
#include "DialogWindow.h"
#include "PropertyDialogs.h"

class Tovi_DlgGroup : public DialogWindow {
public:
    explicit Tovi_DlgGroup(GroupPropertiesFields& fields);

    struct Interval {
        unsigned hours, minutes, seconds;
    };
    // The interval as the dialog shows it: hours taken modulo 24.
    static Interval SplitInterval(DWORD seconds) noexcept;

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void ApplyEnableRule();
    bool ReadField(int id, unsigned high, unsigned& value);
    void OnOK();

    GroupPropertiesFields& m_fields;
};
