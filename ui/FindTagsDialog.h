#pragma once
// "Find": a modeless dialog that finds tags by item ID or description. Each
// Find Next hands its query to the frame, which searches from the current
// selection and shows the tag it finds; the dialog says when none matches.
// One at a time; it deletes itself when it closes.
#include <functional>

#include "SingleModeless.h"
#include "TagSearch.h"

// Searches and shows the hit; false when no tag matches.
using TagFinder = std::function<bool(const TagQuery& query)>;

class FindTagsDialog : public SingleModeless<FindTagsDialog> {
public:
    static constexpr HelpContext kHelpTopic = kHelpMainFrame;

    // Shows the dialog, or brings the open one forward; null when it cannot be made.
    static FindTagsDialog* Open(HWND owner, TagFinder finder);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    explicit FindTagsDialog(TagFinder finder);
    void OnInitDialog();
    void OnFindNext();
    void UpdateFindNext();
    TagQuery Query() const;
    void FocusText() const;

    TagFinder m_finder;
};
