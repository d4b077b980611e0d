#pragma once
// "Force Quality": the quality forced on the chosen tags, group or device,
// or none.
#include <string>

#include "DialogWindow.h"

class ForceQualityDialog : public DialogWindow {
public:
    // `item` names what is forced; `current` is its forcing (kNotForced for none).
    ForceQualityDialog(std::wstring item, int current);
    // The forcing chosen when the dialog ended with OK.
    int Chosen() const noexcept { return m_chosen; }

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void OnOK();

    std::wstring m_item;
    int m_chosen;
};
