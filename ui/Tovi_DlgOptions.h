#pragma once
// "Program Options": the event log's settings, read from and saved to the
// program settings (they take effect at the next start), Reset, which
// empties the running log at once, and whether OPC clients may control
// faults (the caller applies it at once).
#include <functional>

#include "DialogWindow.h"

class Tovi_DlgOptions : public DialogWindow {
public:
    Tovi_DlgOptions();

    // Replaces the file-open dialog of Browse (tests); it gets the starting
    // name and gives the chosen path, empty when cancelled.
    void SetFileChooser(std::function<std::wstring(const std::wstring&)> chooser) { m_chooser = std::move(chooser); }

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void OnBrowse();
    std::wstring ChooseLogFile(const std::wstring& start);
    void OnOK();

    std::function<std::wstring(const std::wstring&)> m_chooser;
};

// Whether a file of this name can be written: an existing file is opened
// without being changed, a missing one is created and removed again.
bool CanWriteFile(const std::wstring& path);
