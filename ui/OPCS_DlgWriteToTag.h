#pragma once
// "Write to tag": a modeless dialog that writes one value, typed by hand, into
// one tag the way an OPC client's write would, then closes. Several may be
// open at once, each for its own tag; each deletes itself when it closes.
#include <string>
#include <vector>

#include "DialogWindow.h"

class OPCS_Tag;

class OPCS_DlgWriteToTag : public DialogWindow {
public:
    // Opens and shows the dialog for a tag that passes its validity test;
    // null (nothing opened) otherwise.
    static OPCS_DlgWriteToTag* Open(OPCS_Tag* tag, HWND owner);
    // The open write dialogs' windows, oldest first.
    static std::vector<HWND> OpenWindows();
    // Gives a message for an open write dialog to it (keyboard navigation); true when taken.
    static bool PreTranslate(MSG* msg);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnDestroyed() override;

private:
    explicit OPCS_DlgWriteToTag(OPCS_Tag* tag);
    ~OPCS_DlgWriteToTag() override;
    void OnInitDialog();
    void OnApply();
    // The tag still lives and is the one the dialog opened for.
    bool TagStillThere() const;

    OPCS_Tag* m_tag;
    std::wstring m_itemId;
};
