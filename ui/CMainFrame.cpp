#include "CMainFrame.h"

#include <commctrl.h>
#include <commdlg.h>
#include <algorithm>
#include <array>

#include "AlarmWindow.h"
#include "TrendWindow.h"
#include "ClientObjects.h"
#include "Configuration.h"
#include "CloseRequest.h"
#include "DateTimeText.h"
#include "OPCS_Device.h"
#include "CDeviceView.h"
#include "OPCS_DlgClients.h"
#include "OPCS_DlgWriteToTag.h"
#include "OPCS_Doc.h"
#include "DocumentCommands.h"
#include "EventLog.h"
#include "FindTagsDialog.h"
#include "Help.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "CSplashWnd.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "CTagView.h"
#include "ReplayDialog.h"
#include "ReplayProgressWindow.h"
#include "Text.h"
#include "resource.h"

namespace {
const wchar_t kExitQuestion[] = L"OPC Clients are currently connected to this server, Exit anyway?";
constexpr UINT kForcedExitCode = 1;
constexpr UINT kDeviceViewId = 0xE900;
constexpr UINT kTagViewId = 0xE901;
constexpr COLORREF kTransparent = RGB(255, 0, 255);

// The status bar's panes after the message pane, in order.
constexpr std::array<UINT, 7> kPanes = {ID_PANE_TIME,    ID_PANE_LAST_POLL, ID_PANE_NEXT_POLL, ID_PANE_STATE,
                                        ID_PANE_CLIENTS, ID_PANE_ALARMS,    ID_PANE_UA};
constexpr size_t kAlarmsPane = 5;
// The count walks every tag: at most this often, however often the thread goes idle.
constexpr ULONGLONG kAlarmCountMs = 500;
constexpr std::array<UINT, 3> kToolbarCommands = {ID_FILE_NEW, ID_FILE_SAVE, ID_EDIT_DELETE};
constexpr std::array<UINT, 4> kPollStateTexts = {IDS_PANE_STATE_IDLE, IDS_PANE_STATE_STARTING, IDS_PANE_STATE_WAITING,
                                                 IDS_PANE_STATE_POLLING};

// Line 0 (status prompt) or 1 (tooltip) of a command's string.
std::wstring CommandText(UINT command, int line) {
    const std::wstring text = LoadResString(command);
    const size_t newline = text.find(L'\n');
    if (line == 0) return text.substr(0, newline);
    return newline == std::wstring::npos ? std::wstring() : text.substr(newline + 1);
}

bool UsableWindowLocation(const RECT& r) {
    return r.left > 0 && r.top > 0 && r.right > 0 && r.bottom > 0 && r.right != r.left && r.bottom != r.top;
}

std::wstring NowText() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return FormatDateTime(now);
}

SYSTEMTIME AddSeconds(const SYSTEMTIME& time, DWORD seconds) {
    FILETIME file{};
    SYSTEMTIME result = time;
    if (!SystemTimeToFileTime(&time, &file)) return result;
    ULARGE_INTEGER value{};
    value.LowPart = file.dwLowDateTime;
    value.HighPart = file.dwHighDateTime;
    value.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ULL;
    file.dwLowDateTime = value.LowPart;
    file.dwHighDateTime = value.HighPart;
    FileTimeToSystemTime(&file, &result);
    return result;
}
}  // namespace

CMainFrame::CMainFrame(OPCS_Doc& doc) noexcept : m_doc(doc) {}

CMainFrame::~CMainFrame() {
    if (m_hwnd != nullptr) DestroyWindow(m_hwnd);
    if (m_toolbarImages != nullptr) ImageList_Destroy(m_toolbarImages);
}

bool CMainFrame::Create(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CMainFrame::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainFrameClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT, width = 900, height = 600;
    const RECT saved = theSettings.GetLastWindowLocation();
    if (UsableWindowLocation(saved)) {
        x = saved.left;
        y = saved.top;
        width = saved.right - saved.left;
        height = saved.bottom - saved.top;
    }
    const std::wstring title = LoadResString(IDS_APP_TITLE);
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    m_hwnd = CreateWindowExW(0, kMainFrameClass, title.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, x, y, width,
                             height, nullptr, menu, instance, this);
    if (m_hwnd == nullptr) {
        const DWORD error = GetLastError();  // the caller says why
        if (menu != nullptr) DestroyMenu(menu);
        SetLastError(error);
        return false;
    }
    m_accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    SetClientObjectWindow(m_hwnd);
    SetMessageBoxOwner(m_hwnd);
    CreateToolbar();
    CreateStatusBar();
    CSplashWnd::ShowSplashScreen(m_hwnd);

    m_deviceView = std::make_unique<CDeviceView>(m_doc);
    m_tagView = std::make_unique<CTagView>(m_doc);
    if (!m_deviceView->Create(m_hwnd, kDeviceViewId) || !m_tagView->Create(m_hwnd, kTagViewId)) {
        return false;
    }
    m_documentCommands = std::make_unique<DocumentCommands>(m_doc, m_tagView.get());
    m_documentCommands->SetOptionsApplied([this] {
        if (m_optionsApplied) m_optionsApplied();
    });
    auto activate = [this](CViewWindow* view) { SetActiveView(view); };
    m_deviceView->SetActivationHandler(activate);
    m_tagView->SetActivationHandler(activate);
    m_activeView = m_deviceView.get();

    const RECT area = PaneArea();
    const int clientWidth = std::max<LONG>(0, area.right - area.left);
    m_splitterLeft = static_cast<int>(clientWidth * theSettings.GetSplitterPosition());
    RecalcLayout();
    m_deviceView->OnInitialUpdate();
    m_tagView->OnInitialUpdate();
    return true;
}

void CMainFrame::Show(int showCommand) {
    if (m_hwnd != nullptr) {
        ShowWindow(m_hwnd, showCommand);
        UpdateWindow(m_hwnd);
    }
}

void CMainFrame::CreateToolbar() {
    if (m_toolbar != nullptr) DestroyWindow(m_toolbar);
    const bool vertical = m_dockSide == DockSide::Left || m_dockSide == DockSide::Right;
    DWORD style =
        WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER;
    if (vertical) style |= CCS_VERT | TBSTYLE_WRAPABLE;
    m_toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, L"", style, 0, 0, 0, 0, m_hwnd, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (m_toolbar == nullptr) return;
    SendMessageW(m_toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    if (m_toolbarImages == nullptr) {
        m_toolbarImages = ImageList_LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TOOLBAR), 16, 0,
                                               kTransparent, IMAGE_BITMAP, LR_CREATEDIBSECTION);
    }
    SendMessageW(m_toolbar, TB_SETBITMAPSIZE, 0, MAKELPARAM(16, 15));
    SendMessageW(m_toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_toolbarImages));
    const BYTE wrap = vertical ? TBSTATE_WRAP : 0;
    TBBUTTON buttons[4] = {};
    buttons[0] = {0, ID_FILE_NEW, static_cast<BYTE>(TBSTATE_ENABLED | wrap), BTNS_BUTTON, {}, 0, 0};
    buttons[1] = {1, ID_FILE_SAVE, static_cast<BYTE>(TBSTATE_ENABLED | wrap), BTNS_BUTTON, {}, 0, 0};
    buttons[2] = {0, 0, wrap, BTNS_SEP, {}, 0, 0};
    buttons[3] = {2, ID_EDIT_DELETE, static_cast<BYTE>(TBSTATE_ENABLED | wrap), BTNS_BUTTON, {}, 0, 0};
    SendMessageW(m_toolbar, TB_ADDBUTTONS, 4, reinterpret_cast<LPARAM>(buttons));
}

void CMainFrame::CreateStatusBar() {
    m_status = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, m_hwnd,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
    if (m_status != nullptr)
        SendMessageW(m_status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(LoadResString(IDS_READY).c_str()));
}

RECT CMainFrame::PaneArea() const {
    RECT area{};
    GetClientRect(m_hwnd, &area);
    if (m_status != nullptr && (GetWindowLongPtrW(m_status, GWL_STYLE) & WS_VISIBLE) != 0) {
        RECT bar{};
        GetWindowRect(m_status, &bar);
        area.bottom -= bar.bottom - bar.top;
    }
    if (m_toolbar != nullptr) {
        const DWORD size = static_cast<DWORD>(SendMessageW(m_toolbar, TB_GETBUTTONSIZE, 0, 0));
        const int thickness =
            (m_dockSide == DockSide::Left || m_dockSide == DockSide::Right ? LOWORD(size) : HIWORD(size)) + 4;
        switch (m_dockSide) {
        case DockSide::Top: area.top += thickness; break;
        case DockSide::Bottom: area.bottom -= thickness; break;
        case DockSide::Left: area.left += thickness; break;
        case DockSide::Right: area.right -= thickness; break;
        }
    }
    area.bottom = std::max(area.bottom, area.top);
    area.right = std::max(area.right, area.left);
    return area;
}

void CMainFrame::RecalcLayout() {
    if (m_hwnd == nullptr) return;
    RECT client{};
    GetClientRect(m_hwnd, &client);
    if (m_status != nullptr) SendMessageW(m_status, WM_SIZE, 0, 0);
    const RECT area = PaneArea();
    if (m_toolbar != nullptr) {
        RECT bar = client;
        switch (m_dockSide) {
        case DockSide::Top: bar = {client.left, client.top, client.right, area.top}; break;
        case DockSide::Bottom: {
            RECT statusRect{};
            if (m_status != nullptr) GetWindowRect(m_status, &statusRect);
            bar = {client.left, area.bottom, client.right, client.bottom - (statusRect.bottom - statusRect.top)};
            break;
        }
        case DockSide::Left: bar = {client.left, area.top, area.left, area.bottom}; break;
        case DockSide::Right: bar = {area.right, area.top, client.right, area.bottom}; break;
        }
        MoveWindow(m_toolbar, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top, TRUE);
    }
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    m_splitterLeft = std::clamp(m_splitterLeft, 0, std::max(0, width - kSplitterBar));
    if (m_deviceView != nullptr && m_deviceView->Handle() != nullptr) {
        MoveWindow(m_deviceView->Handle(), area.left, area.top, m_splitterLeft, height, TRUE);
    }
    if (m_tagView != nullptr && m_tagView->Handle() != nullptr) {
        const int right = static_cast<int>(area.left) + m_splitterLeft + kSplitterBar;
        MoveWindow(m_tagView->Handle(), right, area.top, std::max(0, static_cast<int>(area.right) - right), height,
                   TRUE);
    }
}

bool CMainFrame::OnSplitterMouse(UINT message, LPARAM lParam) {
    const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    const RECT area = PaneArea();
    const int barLeft = area.left + m_splitterLeft;
    const bool onBar = at.x >= barLeft && at.x < barLeft + kSplitterBar && at.y >= area.top && at.y < area.bottom;
    switch (message) {
    case WM_LBUTTONDOWN:
        if (!onBar) return false;
        m_dragging = true;
        SetCapture(m_hwnd);
        return true;
    case WM_MOUSEMOVE:
        if (!m_dragging) return false;
        m_splitterLeft = at.x - area.left;
        RecalcLayout();
        return true;
    case WM_LBUTTONUP:
        if (!m_dragging) return false;
        m_dragging = false;
        ReleaseCapture();
        return true;
    default: return false;
    }
}

bool CMainFrame::PreTranslateMessage(MSG* msg) {
    if (CSplashWnd::PreTranslateAppMessage(msg)) return true;
    // A write dialog's keys are its own (Tab, Enter, Escape, its accelerators), as are the clients window's.
    if (OPCS_DlgWriteToTag::PreTranslate(msg)) return true;
    if (OPCS_DlgClients::PreTranslate(msg)) return true;
    if (AlarmWindow::PreTranslate(msg)) return true;
    if (ReplayProgressWindow::PreTranslate(msg)) return true;
    if (TrendWindow::PreTranslate(msg)) return true;
    if (FindTagsDialog::PreTranslate(msg)) return true;
    return m_accelerators != nullptr && m_hwnd != nullptr && TranslateAcceleratorW(m_hwnd, m_accelerators, msg) != 0;
}

void CMainFrame::SetActiveView(CViewWindow* view) { m_activeView = view; }

bool CMainFrame::FindCommandState(UINT command, CommandState& state) {
    state = {};
    if (m_activeView != nullptr && m_activeView->QueryCommand(command, state)) return true;
    state = {};
    if (m_documentCommands != nullptr && m_documentCommands->QueryCommand(command, state)) return true;
    state = {};
    return QueryCommand(command, state);
}

CommandState CMainFrame::QueryCommandState(UINT command) {
    CommandState state;
    return FindCommandState(command, state) ? state : CommandState{false, false};  // nobody handles it
}

void CMainFrame::SetOptionsAppliedHandler(std::function<void()> handler) { m_optionsApplied = std::move(handler); }

void CMainFrame::SetCertificatesSetup(std::function<UaCertificatesSetup()> setup) {
    m_documentCommands->SetCertificatesSetup(std::move(setup));
}

bool CMainFrame::RouteCommand(UINT command, bool fromAccelerator) {
    // Help from the menu is the main window's; F1 asks the focused pane first.
    if (command == ID_HELP && !fromAccelerator) return OnCommand(command);
    // Menus and keys never run a command whose update state says disabled.
    // New is the application's: it asks, then the document refuses while
    // clients are connected, however the command arrives.
    if (CommandState state; command != ID_FILE_NEW && FindCommandState(command, state) && !state.enabled) return true;
    if (m_activeView != nullptr && m_activeView->OnCommand(command)) return true;
    if (m_documentCommands != nullptr && m_documentCommands->OnCommand(command)) return true;
    if (OnCommand(command)) return true;
    return m_commandHandler && m_commandHandler(command);
}

bool CMainFrame::QueryCommand(UINT command, CommandState& state) {
    switch (command) {
    case ID_FILE_NEW:
    case ID_FILE_OPEN:
    case ID_FILE_SAVE_AS:
    case ID_FILE_IMPORT_TAGS: state.enabled = !AreClientsConnected(); return true;
    case ID_FILE_EXPORT_TAGS:
    case ID_FILE_REPLAY:
    case ID_VIEW_CLIENTS:
    case ID_VIEW_ALARMS:
    case ID_EDIT_FIND:
    case ID_APP_EXIT:
    case ID_APP_ABOUT:  // shown by the application's command handler
    case ID_HELP:
    case ID_NEXT_PANE:
    case ID_PREV_PANE: return true;
    case ID_TOOLBAR_DOCK_TOP:
    case ID_TOOLBAR_DOCK_BOTTOM:
    case ID_TOOLBAR_DOCK_LEFT:
    case ID_TOOLBAR_DOCK_RIGHT:
        state.checked = static_cast<int>(command - ID_TOOLBAR_DOCK_TOP) == static_cast<int>(m_dockSide);
        return true;
    default: return false;
    }
}

bool CMainFrame::OnCommand(UINT command) {
    switch (command) {
    case ID_FILE_OPEN: OnOpen(); return true;
    case ID_FILE_SAVE_AS: OnSaveAs(); return true;
    case ID_FILE_IMPORT_TAGS: OnImportTags(); return true;
    case ID_FILE_EXPORT_TAGS: OnExportTags(); return true;
    case ID_FILE_REPLAY: OnReplayValues(); return true;
    case ID_VIEW_CLIENTS: OPCS_DlgClients::Open(m_hwnd, m_clientRows); return true;
    case ID_VIEW_ALARMS: AlarmWindow::Open(m_hwnd, m_doc.GetConfiguration()); return true;
    case ID_EDIT_FIND:
        FindTagsDialog::Open(m_hwnd, [this](const TagQuery& query) { return FindNextTag(query); });
        return true;
    case ID_APP_EXIT: OnClose(); return true;
    case ID_HELP: ShowHelpTopic(kHelpMainFrame); return true;
    case ID_NEXT_PANE:
    case ID_PREV_PANE: {
        // Two panes: next and previous are the same step.
        CViewWindow* other = m_activeView == m_deviceView.get() ? static_cast<CViewWindow*>(m_tagView.get())
                                                                : static_cast<CViewWindow*>(m_deviceView.get());
        if (other != nullptr) {
            SetActiveView(other);
            SetFocus(other->Control());
        }
        return true;
    }
    case ID_TOOLBAR_DOCK_TOP:
    case ID_TOOLBAR_DOCK_BOTTOM:
    case ID_TOOLBAR_DOCK_LEFT:
    case ID_TOOLBAR_DOCK_RIGHT:
        m_dockSide = static_cast<DockSide>(command - ID_TOOLBAR_DOCK_TOP);
        CreateToolbar();
        RecalcLayout();
        return true;
    default: return false;
    }
}

bool CMainFrame::FindNextTag(const TagQuery& query) {
    if (m_deviceView == nullptr || m_tagView == nullptr) return false;
    TagSearchStart start;
    const std::vector<OPCS_Tag*> selected = m_tagView->SelectedTags();
    if (!selected.empty()) start.afterTag = selected.front();
    start.atGroup = m_deviceView->SelectedGroup();
    // The walk holds the configuration's lock; the tree and the list are
    // touched only once it has let go.
    const TagSearchHit hit = ::FindNextTag(m_doc.GetConfiguration(), query, start);
    if (!OPCS_Tag::IsValidTag(hit.tag) || !m_deviceView->SelectObject(hit.group)) return false;
    return m_tagView->ShowTag(hit.tag);
}

std::wstring CMainFrame::ChooseFile(bool save, bool tags, HWND owner) {
    if (m_fileChooser) return m_fileChooser(save);
    wchar_t path[MAX_PATH] = {};
    if (save && !tags) lstrcpynW(path, m_doc.GetPathName().c_str(), MAX_PATH);
    // Two nulls end the filter: the description, then the pattern.
    std::wstring filter = LoadResString(tags ? IDS_TAG_FILE_FILTER : IDS_FILE_FILTER);
    filter.push_back(L'\0');
    filter += tags ? L"*.csv" : L"*.tvf";
    filter.push_back(L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner != nullptr ? owner : m_hwnd;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = tags ? L"csv" : L"tvf";
    ofn.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    const BOOL chosen = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    return chosen ? std::wstring(path) : std::wstring();
}

void CMainFrame::OnOpen() {
    OPCS_Doc* doc = &m_doc;
    if (!doc->CanChangeFiles()) {
        AppMessageBox(kClientsConnectedText, MB_OK);
        return;
    }
    const std::wstring path = ChooseFile(false);
    if (path.empty()) return;
    if (doc->OnOpenDocument(path)) {
        doc->SetPathName(path);
        theSettings.SetLastUsedFile(path);
        doc->ResumeStoredPolling();
    }
}

void CMainFrame::OnSaveAs() {
    OPCS_Doc* doc = &m_doc;
    if (!doc->CanChangeFiles()) {
        AppMessageBox(kClientsConnectedText, MB_OK);
        return;
    }
    const std::wstring path = ChooseFile(true);
    if (path.empty()) return;
    if (doc->DoSave(path)) {
        doc->SetPathName(path);
        theSettings.SetLastUsedFile(path);
    }
}

void CMainFrame::OnImportTags() {
    OPCS_Doc* doc = &m_doc;
    if (!doc->CanChangeFiles()) {
        AppMessageBox(kClientsConnectedText, MB_OK);
        return;
    }
    const std::wstring path = ChooseFile(false, true);
    if (path.empty()) return;
    const TagImportResult result = doc->ImportTags(path);
    if (result.Succeeded()) {
        AppMessageBox(L"Tags imported from " + path + L": " + std::to_wstring(result.added) + L" added, " +
                          std::to_wstring(result.updated) + L" updated.",
                      MB_OK | MB_ICONINFORMATION);
        return;
    }
    // A long list would not fit on the screen: the first lines and how many more.
    constexpr size_t kShown = 15;
    std::wstring text = L"Nothing was imported from " + path + L":\n\n";
    for (size_t i = 0; i < result.errors.size() && i < kShown; ++i) text += result.errors[i] + L"\n";
    if (result.errors.size() > kShown) {
        text += L"... and " + std::to_wstring(result.errors.size() - kShown) + L" more.";
    }
    AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
}

void CMainFrame::OnExportTags() {
    OPCS_Doc* doc = &m_doc;
    const std::wstring path = ChooseFile(true, true);
    if (path.empty()) return;
    std::wstring error;
    if (!doc->ExportTags(path, error)) AppMessageBox(error, MB_OK | MB_ICONEXCLAMATION);
}

void CMainFrame::OnReplayValues() {
    ValueReplay& replay = m_doc.GetConfiguration().Replay();
    // One replay at a time: while one plays, its window is the way to it.
    if (!replay.IsPlaying()) {
        ReplayDialog dialog(replay, [this](HWND owner) { return ChooseFile(false, true, owner); });
        if (dialog.DoModal(m_hwnd) != IDOK) return;
    }
    ReplayProgressWindow::Open(m_hwnd, replay);
}

void CMainFrame::OnInitMenuPopup(HMENU menu) {
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        const UINT id = GetMenuItemID(menu, i);
        if (id == 0 || id == static_cast<UINT>(-1)) continue;  // separator or submenu
        const CommandState state = QueryCommandState(id);
        EnableMenuItem(menu, i, MF_BYPOSITION | (state.enabled ? MF_ENABLED : MF_GRAYED));
        CheckMenuItem(menu, i, MF_BYPOSITION | (state.checked ? MF_CHECKED : MF_UNCHECKED));
    }
}

void CMainFrame::OnMenuSelect(UINT item, UINT flags, HMENU menu) {
    if (m_status == nullptr) return;
    if (flags == 0xFFFF && menu == nullptr) {  // the menu closed
        m_menuOpen = false;
        SendMessageW(m_status, SB_SIMPLE, FALSE, 0);
        return;
    }
    m_menuOpen = true;
    const std::wstring prompt = (flags & (MF_POPUP | MF_SEPARATOR)) ? std::wstring() : CommandText(item, 0);
    SendMessageW(m_status, SB_SIMPLE, TRUE, 0);
    SendMessageW(m_status, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(prompt.c_str()));
}

LRESULT CMainFrame::OnNotify(NMHDR* header) {
    if (header->code == TTN_GETDISPINFOW) {
        auto* info = reinterpret_cast<NMTTDISPINFOW*>(header);
        static std::wstring tip;  // must outlive this notification
        tip = CommandText(static_cast<UINT>(header->idFrom), 1);
        info->lpszText = tip.data();
        return 0;
    }
    return 0;
}

void CMainFrame::OnIdle() {
    if (m_hwnd == nullptr) return;
    // Only the main loop goes idle: no dialog, box or command is half way.
    if (m_closeRequested) {
        m_closeRequested = false;
        OnClose(true);
        return;
    }
    if (m_toolbar != nullptr) {
        for (UINT command : kToolbarCommands) {
            SendMessageW(m_toolbar, TB_ENABLEBUTTON, command, MAKELPARAM(QueryCommandState(command).enabled, 0));
        }
    }
    UpdateStatusPanes();
}

void CMainFrame::UpdateStatusPanes() {
    if (m_status == nullptr) return;
    std::array<std::wstring, kPanes.size()> texts;
    texts[0] = LoadResString(IDS_TIME_PREFIX) + NowText();
    const std::wstring none = LoadResString(IDS_NO_SELECTION);
    texts[1] = texts[2] = texts[3] = none;
    OPCS_TagGroup* group = m_doc.GetSelectedGroup();
    OPCS_Device* device = group != nullptr ? group->GetDevice() : nullptr;
    if (OPCS_TagGroup::IsValidGroup(device)) {
        const bool busy = device->IsBusy();
        const SYSTEMTIME last = device->GetLastPollTime();
        texts[1] = busy ? LoadResString(IDS_LAST_POLL_PREFIX) + FormatDateTime(last) : std::wstring(L" ");
        texts[2] =
            busy ? LoadResString(IDS_NEXT_POLL_PREFIX) + FormatDateTime(AddSeconds(last, device->GetUpdateInterval()))
                 : std::wstring();
        const int state = device->GetPollState();
        texts[3] = LoadResString(IDS_STATE_PREFIX) + (state >= 0 && state < static_cast<int>(kPollStateTexts.size())
                                                          ? LoadResString(kPollStateTexts[state])
                                                          : std::wstring());
    }
    texts[4] = m_activeView != nullptr ? m_activeView->ClientsPaneText() : std::wstring();
    texts[kAlarmsPane] = AlarmsPaneText();
    texts[6] = m_uaPane ? m_uaPane() : std::wstring();

    // Each pane is as wide as its sizing string, or its text when that is wider.
    HDC dc = GetDC(m_status);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(m_status, WM_GETFONT, 0, 0)));
    auto textWidth = [dc](const std::wstring& text) {
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        return static_cast<int>(size.cx);
    };
    std::array<int, kPanes.size()> widths{};
    for (size_t i = 0; i < kPanes.size(); ++i) {
        widths[i] = std::max(textWidth(LoadResString(kPanes[i])), textWidth(texts[i])) + 12;
    }
    SelectObject(dc, old);
    ReleaseDC(m_status, dc);
    RECT client{};
    GetClientRect(m_status, &client);
    std::array<int, kPanes.size() + 1> edges{};
    // Right to left: the last pane ends at the edge, each one before ends where the next begins.
    int edge = client.right;
    for (size_t i = kPanes.size(); i-- > 0;) {
        edges[i + 1] = (i + 1 == kPanes.size()) ? -1 : edge;
        edge -= widths[i];
    }
    edges[0] = std::max(0, edge);
    SendMessageW(m_status, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    for (size_t i = 0; i < kPanes.size(); ++i) {
        if (PaneText(kPanes[i]) != texts[i]) {
            SendMessageW(m_status, SB_SETTEXTW, i + 1, reinterpret_cast<LPARAM>(texts[i].c_str()));
        }
    }
}

std::wstring CMainFrame::AlarmsPaneText() {
    const ULONGLONG now = GetTickCount64();
    if (m_alarmsCountedAt == 0 || now - m_alarmsCountedAt >= kAlarmCountMs) {
        m_alarmsCountedAt = now;
        // No lock of ours is held: the configuration takes its own and each tag's in turn.
        const std::vector<AlarmEvent> retained = m_doc.GetConfiguration().AlarmSnapshot(true);
        m_activeUnacked = static_cast<size_t>(std::count_if(
            retained.begin(), retained.end(), [](const AlarmEvent& e) { return e.state.active && !e.state.acked; }));
    }
    return FormatText(L"Alarms: %u", static_cast<unsigned>(m_activeUnacked));
}

std::wstring CMainFrame::PaneText(UINT paneId) const {
    if (m_status == nullptr) return {};
    const auto at = std::find(kPanes.begin(), kPanes.end(), paneId);
    if (at == kPanes.end()) return {};
    const WPARAM part = static_cast<WPARAM>(at - kPanes.begin()) + 1;
    const int length = LOWORD(SendMessageW(m_status, SB_GETTEXTLENGTHW, part, 0));
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(m_status, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

LRESULT CALLBACK CMainFrame::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<CMainFrame*>(cs->lpCreateParams)->m_hwnd = hwnd;
    }
    auto* self = reinterpret_cast<CMainFrame*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CMainFrame::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == CloseRequestMessage()) {
        // It may arrive inside a modal loop (a dialog, a box, a menu): it is
        // carried out at idle, and the posted message wakes the main loop.
        m_closeRequested = true;
        PostMessageW(m_hwnd, WM_NULL, 0, 0);
        return kCloseRequestAccepted;
    }
    switch (message) {
    case kClientObjectMessage: OnClientObjectMessage(wParam); return 0;
    case kOtherClientsChanged: EndIfLastClientGone(); return 0;
    case kSettingsChangedElsewhere:
        if (m_optionsApplied) m_optionsApplied();
        return 0;
    case WM_COMMAND:
        if (RouteCommand(LOWORD(wParam), HIWORD(wParam) == 1)) {
            return 0;
        }
        break;
    case WM_NOTIFY: return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_INITMENUPOPUP:
        if (HIWORD(lParam) == 0) OnInitMenuPopup(reinterpret_cast<HMENU>(wParam));  // not the system menu
        return 0;
    case WM_MENUSELECT: OnMenuSelect(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HMENU>(lParam)); return 0;
    case WM_SIZE:
        RecalcLayout();
        UpdateStatusPanes();
        return 0;
    case WM_SETFOCUS:
        if (m_activeView != nullptr && m_activeView->Control() != nullptr) SetFocus(m_activeView->Control());
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT && reinterpret_cast<HWND>(wParam) == m_hwnd) {
            POINT at{};
            GetCursorPos(&at);
            ScreenToClient(m_hwnd, &at);
            const RECT area = PaneArea();
            if (at.x >= area.left + m_splitterLeft && at.x < area.left + m_splitterLeft + kSplitterBar) {
                SetCursor(LoadCursorW(nullptr, IDC_SIZEWE));
                return TRUE;
            }
        }
        break;
    case WM_LBUTTONDOWN:
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP:
        if (OnSplitterMouse(message, lParam)) return 0;
        break;
    case WM_CLOSE: OnClose(); return 0;
    case WM_ENDSESSION:
        if (wParam != FALSE && m_sessionEndHandler) m_sessionEndHandler();
        return 0;
    case WM_DESTROY:
        // From here on nothing is posted to this window and no box is owned by it.
        if (ClientObjectWindow() == m_hwnd) SetClientObjectWindow(nullptr);
        SetMessageBoxOwner(nullptr);
        // The views go with their windows, while the document still lives.
        m_activeView = nullptr;
        m_documentCommands.reset();
        m_tagView.reset();
        m_deviceView.reset();
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        HWND hwnd = m_hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        m_hwnd = nullptr;
        m_toolbar = nullptr;
        m_status = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default: break;
    }
    return DefWindowProcW(m_hwnd, message, wParam, lParam);
}

void CMainFrame::OnClientObjectMessage(WPARAM wParam) {
    const long count = ApplyClientObjectMessage(wParam);
    if (wParam != kClientObjectMore && count == 0) EndIfLastClientGone();
}

void CMainFrame::EndIfLastClientGone() {
    if (ClientObjectCount() == 0 && m_endWithLastClient && !(m_otherClients && m_otherClients() > 0)) {
        if (m_lastClientGoneHandler && !m_lastClientGoneHandler()) return;
        m_endWithLastClient = false;  // once: the window is on its way out
        // What clients wrote and the layout are kept as a close by the user
        // keeps them; an unchanged configuration is not written again.
        SaveForClose(true);
        DestroyWindow(m_hwnd);
    }
}

void CMainFrame::SaveForClose(bool onlyIfModified) {
    if (!onlyIfModified || m_doc.IsModified()) m_doc.Save();
    if (m_tagView != nullptr) m_tagView->SaveColumnWidths();
    if (m_deviceView != nullptr && m_tagView != nullptr) {
        RECT left{}, right{};
        GetWindowRect(m_deviceView->Handle(), &left);
        GetWindowRect(m_tagView->Handle(), &right);
        const double leftWidth = left.right - left.left;
        const double total = leftWidth + (right.right - right.left);
        if (total > 0) theSettings.SetSplitterPosition(leftWidth / total);
    }
    if (!IsIconic(m_hwnd)) {
        RECT place{};
        GetWindowRect(m_hwnd, &place);
        theSettings.SetLastWindowLocation(place);
    }
    theSettings.Save();
}

void CMainFrame::OnClose(bool requested) {
    if (requested) theEventLog << L"Closing at the request of another program" << EventLog::EndEntry;
    SaveForClose();
    if (AreClientsConnected()) {
        // A program that asks has nobody to answer the question for it.
        if (!requested && AppMessageBox(kExitQuestion, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) {
            return;
        }
        theEventLog << L"Forcing termination of server while clients connected" << EventLog::EndEntry;
        if (m_forcedExitHandler) m_forcedExitHandler(requested);
        // At once: client calls may be running on other threads, and nothing
        // of the normal exit may wait for them.
        TerminateProcess(GetCurrentProcess(), kForcedExitCode);
    }
    DestroyWindow(m_hwnd);
}
