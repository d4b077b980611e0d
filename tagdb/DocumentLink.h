#pragma once
// How the tag database reaches the document and the views without depending
// on them: one process-wide document pointer (null until the document exists)
// and the window handles of the two views, to which worker threads post
// update requests.
#include <windows.h>

class DocumentLink {
public:
    virtual ~DocumentLink() = default;
    virtual void SetModifiedFlag(bool modified) = 0;
};

// The document registers itself when created and clears itself when destroyed.
void SetTheDocument(DocumentLink* document) noexcept;
DocumentLink* TheDocument() noexcept;
// Marks the configuration modified when the document exists.
void MarkConfigurationModified() noexcept;

// View update hints shared by the document, the views and the devices.
enum ViewHint : int {
    kHintDeviceStatesChanged = 5,
    kHintValuesChanged = 8,
};

enum class ViewKind { DeviceTree, TagList };

// Message a view receives for a posted update request: wParam is the hint.
constexpr UINT kViewUpdateMessage = WM_APP + 8;

void SetViewWindow(ViewKind view, HWND window) noexcept;
// Posts an update request to the view's window; nothing when it has none, or
// when a request of that hint is still on its way.
void PostViewUpdate(ViewKind view, int hint) noexcept;
// Told by the view as it takes a request, before it acts on it, so that a
// change after that point posts anew.
void ViewUpdateArrived(HWND window, int hint) noexcept;
