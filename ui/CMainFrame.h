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
#include "UaCertificatesDialog.h"
#include "CommandTarget.h"

class CDeviceView;
class CTagView;
class OPCS_Doc;
class CViewWindow;
class DocumentCommands;
struct TagQuery;

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
    HWND Handle() const noexcept { return m_hwnd; }

    // Accelerators; true when the message was one and has been handled.
    bool PreTranslateMessage(MSG* msg);
    // Brings the status bar and the toolbar's button states up to date.
    void OnIdle();

    // A process started by COM ends when its last client object goes: the
    // window then destroys itself, which ends the message loop.
    void SetEndWithLastClient(bool end) noexcept { m_endWithLastClient = end; }
    // Asked when the last client object has gone from a process that ends
    // with it: false keeps the process (a client came in meanwhile).
    void SetLastClientGoneHandler(std::function<bool()> handler) { m_lastClientGoneHandler = std::move(handler); }
    // Clients that are no COM objects (OPC UA sessions): while any is left, a
    // process that ends with its last client stays. Post kOtherClientsChanged
    // to the window when their number changes.
    void SetOtherClientsProvider(std::function<size_t()> provider) { m_otherClients = std::move(provider); }
    static constexpr UINT kOtherClientsChanged = WM_USER + 52;
    // Runs just before a forced exit ends the process (bounded work only);
    // `requested`: another program asked the window to close.
    void SetForcedExitHandler(std::function<void(bool requested)> handler) { m_forcedExitHandler = std::move(handler); }
    // Runs when Windows ends the session, before it ends the process (bounded work only).
    void SetSessionEndHandler(std::function<void()> handler) { m_sessionEndHandler = std::move(handler); }
    // Commands that neither a view, the document nor the window handle go here (true: handled).
    void SetCommandHandler(std::function<bool(UINT command)> handler) { m_commandHandler = std::move(handler); }
    // Asks for a file name for Open (save false) or Save As (save true); empty: cancelled.
    void SetFileChooser(std::function<std::wstring(bool save)> chooser) { m_fileChooser = std::move(chooser); }
    // Where View > Clients... takes its rows from; without one it lists nobody.
    void SetClientRowsProvider(ClientRowsProvider provider) { m_clientRows = std::move(provider); }
    // The OPC UA pane's text: the endpoint's URL, or why there is none.
    void SetUaPaneProvider(std::function<std::wstring()> provider) { m_uaPane = std::move(provider); }
    // Told after Options was closed with OK, its settings saved, and when
    // kSettingsChangedElsewhere is posted (the command line or another copy
    // changed who may connect to the OPC UA endpoint).
    void SetOptionsAppliedHandler(std::function<void()> handler);
    static constexpr UINT kSettingsChangedElsewhere = WM_USER + 53;
    // What Options > Certificates... checks the server's certificate against.
    void SetCertificatesSetup(std::function<UaCertificatesSetup()> setup);

    // The state of a command as the menus and the toolbar show it.
    CommandState QueryCommandState(UINT command);
    CDeviceView* DeviceView() const noexcept { return m_deviceView.get(); }
    CTagView* TagView() const noexcept { return m_tagView.get(); }
    CViewWindow* ActiveView() const noexcept { return m_activeView; }
    HWND StatusBar() const noexcept { return m_status; }
    HWND ToolBar() const noexcept { return m_toolbar; }
    DockSide ToolbarSide() const noexcept { return m_dockSide; }
    // Left pane width in pixels.
    int SplitterLeft() const noexcept { return m_splitterLeft; }
    std::wstring PaneText(UINT paneId) const;

    bool QueryCommand(UINT command, CommandState& state) override;
    bool OnCommand(UINT command) override;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnClientObjectMessage(WPARAM wParam);
    // Ends a process that ends with its last client once no client of either kind is left.
    void EndIfLastClientGone();
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
    // "Alarms: N", the active unacknowledged alarms, counted anew at most every half second.
    std::wstring AlarmsPaneText();
    void SetActiveView(CViewWindow* view);
    void OnOpen();
    void OnSaveAs();
    // Find Next: the next tag after the selection that matches, shown in the tree and the list.
    bool FindNextTag(const TagQuery& query);
    void OnImportTags();
    void OnExportTags();
    void OnReplayValues();
    // A configuration file, or with `tags` a CSV file of tags; empty when cancelled.
    // The common file dialog over `owner` (null: the main window).
    std::wstring ChooseFile(bool save, bool tags = false, HWND owner = nullptr);
    bool OnSplitterMouse(UINT message, LPARAM lParam);

    HWND m_hwnd = nullptr;
    HWND m_toolbar = nullptr;
    HWND m_status = nullptr;
    HACCEL m_accelerators = nullptr;
    HIMAGELIST m_toolbarImages = nullptr;
    DockSide m_dockSide = DockSide::Top;
    int m_splitterLeft = 0;
    bool m_dragging = false;
    bool m_menuOpen = false;
    OPCS_Doc& m_doc;
    std::unique_ptr<CDeviceView> m_deviceView;
    std::unique_ptr<CTagView> m_tagView;
    std::unique_ptr<DocumentCommands> m_documentCommands;
    CViewWindow* m_activeView = nullptr;
    bool m_endWithLastClient = false;
    bool m_closeRequested = false;
    std::function<bool()> m_lastClientGoneHandler;
    std::function<bool(UINT)> m_commandHandler;
    std::function<void(bool)> m_forcedExitHandler;
    std::function<void()> m_sessionEndHandler;
    std::function<std::wstring(bool)> m_fileChooser;
    ClientRowsProvider m_clientRows;
    std::function<std::wstring()> m_uaPane;
    std::function<size_t()> m_otherClients;
    std::function<void()> m_optionsApplied;
    ULONGLONG m_alarmsCountedAt = 0;
    size_t m_activeUnacked = 0;
};
