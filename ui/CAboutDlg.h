#pragma once
// The about box: the program icon and "<title> Version <product version>".
#include "DialogWindow.h"

class CAboutDlg : public DialogWindow {
public:
    CAboutDlg();
    // The line the box shows, from the application title and the running
    // program's product version.
    static std::wstring VersionLine();

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};
