#pragma once
// File > Replay Values...: the recorded file, the speed and whether to loop.
// OK checks the file and starts the replay, or lists its bad rows and stays
// open; the caller then shows the progress window.
#include <cstdint>
#include <functional>
#include <string>

#include "DialogWindow.h"
#include "ValueReplay.h"

class ReplayDialog : public DialogWindow {
public:
    // `chooseFile` runs the open-file dialog for CSV files over the given window.
    ReplayDialog(ValueReplay& replay, std::function<std::wstring(HWND owner)> chooseFile);

    // The text of a refused start: the file and its first bad rows (a box
    // taller than the screen would hide its button).
    static std::wstring RefusalText(const std::wstring& path, const ReplayCheck& check);
    // What a load into the history did, in one or two sentences.
    static std::wstring LoadedText(const std::wstring& path, const ReplayLoad& load);
    // 50000 as the user writes it: 50,000.
    static std::wstring CountText(std::uint64_t count);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void OnBrowse();
    void OnOk();

    ValueReplay& m_replay;
    std::function<std::wstring(HWND)> m_chooseFile;
};
