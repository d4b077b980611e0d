#pragma once
// The program's main window: menu, accelerators, a dockable toolbar, a
// splitter with the device tree on the left and the tag list on the right,
// and a status bar refreshed when the thread goes idle. Commands go to the
// focused view, then the document, then the application. It is also the
// window to which the OPC objects report client objects coming and going,
// and the one another program asks to close (CloseRequest.h).
#include <windows.h>
#include <commctrl.h>
#include <functional>
#include <memory>
#include <string>

#include "ClientRow.h"
#include "CommandTarget.h"

class CDeviceView;
class CTagView;
class OPCS_Doc;
class CViewWindow;
class DocumentCommands;

enum class DockSide { Top, Bottom, Left, Right };

class CMainFrame : public CommandTarget {
public:
    static constexpr int kSplitterBar = 4;

    explicit CMainFrame(OPCS_Doc& doc) noexcept;
    ~CMainFrame() override;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Creates the window, hidden, with its bars and panes; false when it cannot.
    bool Create(HINSTANCE instance);
    void Show(int showCommand);
    HWND Handle() const noexcept { return hwnd_; }

    // Accelerators; true when the message was one and has been handled.
    bool PreTranslateMessage(MSG* msg);
    // Brings the status bar and the toolbar's button states up to date.
    void OnIdle();

    // A process started by COM ends when its last client object goes: the
    // window then destroys itself, which ends the message loop.
    void SetEndWithLastClient(bool end) noexcept { endWithLastClient_ = end; }
    // Asked when the last client object has gone from a process that ends
    // with it: false keeps the process (a client came in meanwhile).
    void SetLastClientGoneHandler(std::function<bool()> handler) { lastClientGoneHandler_ = std::move(handler); }
    // Runs just before a forced exit ends the process (bounded work only);
    // `requested`: another program asked the window to close.
    void SetForcedExitHandler(std::function<void(bool requested)> handler) { forcedExitHandler_ = std::move(handler); }
    // Runs when Windows ends the session, before it ends the process (bounded work only).
    void SetSessionEndHandler(std::function<void()> handler) { sessionEndHandler_ = std::move(handler); }
    // Commands that neither a view, the document nor the window handle go here (true: handled).
    void SetCommandHandler(std::function<bool(UINT command)> handler) { commandHandler_ = std::move(handler); }
    // Asks for a file name for Open (save false) or Save As (save true); empty: cancelled.
    void SetFileChooser(std::function<std::wstring(bool save)> chooser) { fileChooser_ = std::move(chooser); }
    // Where View > Clients... takes its rows from; without one it lists nobody.
    void SetClientRowsProvider(ClientRowsProvider provider) { clientRows_ = std::move(provider); }

    // The state of a command as the menus and the toolbar show it.
    CommandState QueryCommandState(UINT command);
    CDeviceView* DeviceView() const noexcept { return deviceView_.get(); }
    CTagView* TagView() const noexcept { return tagView_.get(); }
    CViewWindow* ActiveView() const noexcept { return activeView_; }
    HWND StatusBar() const noexcept { return status_; }
    HWND ToolBar() const noexcept { return toolbar_; }
    DockSide ToolbarSide() const noexcept { return dockSide_; }
    // Left pane width in pixels.
    int SplitterLeft() const noexcept { return splitterLeft_; }
    std::wstring PaneText(UINT paneId) const;

    bool QueryCommand(UINT command, CommandState& state) override;
    bool OnCommand(UINT command) override;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnClientObjectMessage(WPARAM wParam);
    // Saves, then ends; with clients connected the user is asked first,
    // unless another program `requested` the close.
    void OnClose(bool requested = false);
    // Saves the configuration (when modified, if so asked), the column widths,
    // the splitter and window place and the settings.
    void SaveForClose(bool onlyIfModified = false);
    bool RouteCommand(UINT command, bool fromAccelerator);
    // False when no target knows the command.
    bool FindCommandState(UINT command, CommandState& state);
    void CreateToolbar();
    void CreateStatusBar();
    void RecalcLayout();
    RECT PaneArea() const;
    void OnInitMenuPopup(HMENU menu);
    void OnMenuSelect(UINT item, UINT flags, HMENU menu);
    LRESULT OnNotify(NMHDR* header);
    void UpdateStatusPanes();
    void SetActiveView(CViewWindow* view);
    void OnOpen();
    void OnSaveAs();
    void OnImportTags();
    void OnExportTags();
    // A configuration file, or with `tags` a CSV file of tags; empty when cancelled.
    std::wstring ChooseFile(bool save, bool tags = false);
    bool OnSplitterMouse(UINT message, LPARAM lParam);

    HWND hwnd_ = nullptr;
    HWND toolbar_ = nullptr;
    HWND status_ = nullptr;
    HACCEL accelerators_ = nullptr;
    HIMAGELIST toolbarImages_ = nullptr;
    DockSide dockSide_ = DockSide::Top;
    int splitterLeft_ = 0;
    bool dragging_ = false;
    bool menuOpen_ = false;
    OPCS_Doc& doc_;
    std::unique_ptr<CDeviceView> deviceView_;
    std::unique_ptr<CTagView> tagView_;
    std::unique_ptr<DocumentCommands> documentCommands_;
    CViewWindow* activeView_ = nullptr;
    bool endWithLastClient_ = false;
    bool closeRequested_ = false;
    std::function<bool()> lastClientGoneHandler_;
    std::function<bool(UINT)> commandHandler_;
    std::function<void(bool)> forcedExitHandler_;
    std::function<void()> sessionEndHandler_;
    std::function<std::wstring(bool)> fileChooser_;
    ClientRowsProvider clientRows_;
};
