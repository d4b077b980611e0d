#pragma once
// A pane of the main window's splitter: a plain child window that holds one
// common control, receives its notifications, the update requests posted by
// worker threads and its own timers, and tells the frame when it gets the focus.
#include <windows.h>
#include <functional>
#include <string>

#include "CommandTarget.h"
#include "OPCS_Doc.h"

class CViewWindow : public DocumentView, public CommandTarget {
public:
    explicit CViewWindow(OPCS_Doc& doc) noexcept : m_doc(doc) {}
    ~CViewWindow() override;
    CViewWindow(const CViewWindow&) = delete;
    CViewWindow& operator=(const CViewWindow&) = delete;

    bool Create(HWND parent, UINT id);
    HWND Handle() const noexcept { return m_hwnd; }
    OPCS_Doc& Document() const noexcept { return m_doc; }
    HWND Control() const noexcept { return m_control; }

    // Registers with the document and makes what the first view of its kind makes.
    virtual void OnInitialUpdate() = 0;
    // The text of the "Number of Clients" pane for this view's selection.
    virtual std::wstring ClientsPaneText() = 0;
    // Called when the control gets the focus.
    void SetActivationHandler(std::function<void(CViewWindow*)> handler) { m_activated = std::move(handler); }

protected:
    virtual HWND CreateControl(HWND parent) = 0;
    virtual LRESULT OnNotify(NMHDR* header) = 0;
    // An update request posted by another thread (wParam of the message).
    virtual void OnPostedUpdate(int hint) = 0;
    virtual void OnTimer(UINT_PTR) {}
    // Shows a popup menu resource at the cursor; its commands go to the main window.
    void TrackPopup(UINT menuId);
    // Derived destructors call this first: no message may reach a half-destroyed view.
    void DestroyView();

    OPCS_Doc& m_doc;
    HWND m_hwnd = nullptr;
    HWND m_control = nullptr;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    std::function<void(CViewWindow*)> m_activated;
};
