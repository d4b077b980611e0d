#pragma once
// "Add Comment": the comment the operator adds to the alarms named at the top.
#include <string>

#include "DialogWindow.h"

class AlarmCommentDialog : public DialogWindow {
public:
    // `items` names the alarms the comment goes to; OK leaves the text in `comment`.
    AlarmCommentDialog(std::wstring items, std::wstring& comment);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    std::wstring m_items;
    std::wstring& m_comment;
};
