#include "OPCS_App.h"

#include <new>
#include <vector>

#include "CAboutDlg.h"
#include "ClientObjects.h"
#include "ClientRowsOfServer.h"
#include "ConsoleReport.h"
#include "OPCS_Doc.h"
#include "EventLog.h"
#include "EventLogStartup.h"
#include "FileTime.h"
#include "InstanceCloser.h"
#include "CMainFrame.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "ReplayDialog.h"
#include "ReplayProgressWindow.h"
#include "OPCGroup.h"
#include "OPCServer.h"
#include "OpcDaInterfaces.h"
#include "ServerRegistration.h"
#include "ServerIds.h"
#include "ServerStartTime.h"
#include "ShellFileTypes.h"
#include "ShutdownNotice.h"
#include "CSplashWnd.h"
#include "TagFileCommand.h"
#include "UaPkiStore.h"
#include "UaSecurityAudit.h"
#include "UaSecurityCommand.h"
#include "TagTexts.h"
#include "Text.h"
#include "ValueReplay.h"
#include "VersionInfo.h"

namespace {
constexpr UINT kCommandFileNew = 57600;
constexpr UINT kCommandAbout = 57664;
constexpr DWORD kForcedExitStopMs = 2000;
const wchar_t kOleFailed[] = L"Ole Initialization failed";
const wchar_t kDestroyQuestion[] = L"You are about to destroy the current configuration.  Do you wish to proceed?";
// The reasons the clients are given when the server goes.
const wchar_t kForcedExitReason[] = L"Tovi Explorer is being closed by its operator.";
const wchar_t kSessionEndReason[] = L"Tovi Explorer is closing: Windows is ending the session.";
const wchar_t kExitReason[] = L"Tovi Explorer is shutting down.";
// Long enough for a subscription publishing once a second to carry the news.
constexpr unsigned kUaShutdownSeconds = 3;
const wchar_t kUaOptionsChangedReason[] = L"The OPC UA endpoint is moving: its options were changed.";
const wchar_t kRequestedExitReason[] =
    L"Tovi Explorer is closing: another program asked it to (an update or uninstall).";

// The class factory's creator: a new server object with one reference.
HRESULT CreateServerObject(Configuration& configuration, IUnknown** object) {
    auto* server = new (std::nothrow) OPCServer(configuration);
    if (server == nullptr) {
        return E_OUTOFMEMORY;
    }
    server->AddRef();
    *object = static_cast<IOPCServer*>(server);
    return S_OK;
}
}  // namespace

OPCS_App::OPCS_App(HINSTANCE instance, std::wstring arguments, int showCommand)
    : m_instance(instance), m_arguments(std::move(arguments)), m_showCommand(showCommand) {
    // Started by COM there is nobody to answer a box: every box takes its default answer.
    const CommandLineInfo info = ParseCommandLine(m_arguments);
    if (info.StartedByCom()) {
        SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    } else if (info.serve) {
        // Serving without a window, what a box would say goes to standard output.
        SetMessageBoxHandler([](const std::wstring& text, const std::wstring&, UINT style) {
            ConsoleReport(STD_OUTPUT_HANDLE).Line(text);
            return DefaultAnswer(style);
        });
    }
}

OPCS_App::~OPCS_App() {
    m_frame.reset();
    m_document.reset();
}

int OPCS_App::Main() {
    // Closing the running copies needs nothing of the start-up: no settings,
    // no event log (it is theirs), no window.
    const CloseSwitch close = ScanCloseSwitch(m_arguments);
    if (close.present) {
        return static_cast<int>(CloseRunningInstances(close.seconds * 1000));
    }
    int exitCode = 0;
    if (InitInstance()) {
        exitCode = ExitInstance(Run());
    } else {
        exitCode = m_startExitCode;
        m_classObjectThread.Stop();
        m_module.Term();
        m_frame.reset();
        m_document.reset();
    }
    if (m_oleInitialized) {
        OleUninitialize();
        m_oleInitialized = false;
    }
    return exitCode;
}

bool OPCS_App::InitInstance() {
    LoadTagTexts();
    theSettings.Load();
    // Before the event log: opening it would start it anew under a running
    // copy's feet; the running copy records what the switch changed.
    const UaSecuritySwitch uaSecurity = ScanUaSecuritySwitch(m_arguments);
    if (uaSecurity.action != UaSecuritySwitch::Action::None || !uaSecurity.error.empty()) {
        m_startExitCode = RunUaSecuritySwitch(uaSecurity);
        return false;
    }
    OpenEventLogFromSettings(theEventLog, theSettings);
    if (FAILED(OleInitialize(nullptr))) {
        AppMessageBox(kOleFailed, MB_OK);
        return false;
    }
    m_oleInitialized = true;
    // Before registration: /RegServer registers the DA 3.0 category as this says.
    ApplyDa3Offer();
    if (!m_module.Init([this](IUnknown** object) { return CreateServerObject(m_configuration, object); })) {
        return false;
    }
    // A tag file's name could hold a registration switch's word: this comes first.
    const TagFileSwitch tagFile = ScanTagFileSwitch(m_arguments);
    if (tagFile.action != TagFileSwitch::Action::None || !tagFile.error.empty()) {
        m_startExitCode = RunTagFileSwitch(tagFile);
        return false;
    }
    const RegistrationSwitch action = ScanRegistrationSwitch(m_arguments);
    if (action != RegistrationSwitch::None) {
        RunRegistrationSwitch(action);
        return false;
    }
    SetServerStartTime(FileTimeNow());
    // Clients that look servers up by category find it as it serves now.
    ApplyDa3Registration(IsDa3Offered());
    m_configuration.EnableFaultControl(theSettings.IsFaultControlAllowed());
    m_configuration.AllowClientQualityWrites(theSettings.AreClientQualityWritesAllowed());
    m_configuration.ApplyHistorySettings();  // made before the settings were read
    // Served from here on: devices with alarms or historized tags poll whether a client watches or not.
    m_configuration.SetAlarmPolling(true);
    m_document = std::make_unique<OPCS_Doc>(m_configuration);
    m_commandLine = ParseCommandLine(m_arguments);
    CSplashWnd::EnableSplashScreen(m_commandLine.showSplash);
    if (!CreateMainFrame() || !OpenStartConfiguration()) {
        return false;
    }
    // Serving for a client's tests, a replay that cannot play ends the run
    // before anything is served, so that the script running it notices.
    if (m_commandLine.serve && !StartCommandLineReplay()) return false;
    m_classObjectThread.Start(m_module);
    // Made before the endpoint, whose sessions it reports from their first.
    if (m_commandLine.serve) m_serveConsole = std::make_unique<ServeConsole>(m_frame->Handle(), &ClientRowsOfServer);
    StartUaEndpoint();
    if (m_commandLine.serve) {
        ReportServing();
    } else {
        // The window appears once clients can connect; started by COM it stays out of the way.
        m_frame->Show(m_commandLine.StartedByCom() ? SW_SHOWMINNOACTIVE : m_showCommand);
    }
    RegisterShellFileTypes();
    if (!m_commandLine.serve) StartCommandLineReplay();
    return true;
}

void OPCS_App::ApplyDa3Offer() {
    m_da3OptionHeard = theSettings.IsDa3Offered();
    const Da3Switch given = ScanDa3Switch(m_arguments);
    if (!given.error.empty()) theEventLog << L"OPC DA 3.0 switch ignored:" << given.error << EventLog::EndEntry;
    const bool offered = given.present && given.error.empty() ? given.offered : m_da3OptionHeard;
    SetDa3Offered(offered);
    if (!offered) theEventLog << L"OPC DA 3.0 not offered" << EventLog::EndEntry;
}

bool OPCS_App::StartCommandLineReplay() {
    const ReplaySwitch replay = ScanReplaySwitch(m_arguments);
    if (!replay.present && replay.error.empty()) return true;
    // Serving, the refusal goes to standard output at once; a box started by
    // COM answers itself (the message-box seam); the event log has it either way.
    auto refuse = [this](const std::wstring& text) {
        if (m_commandLine.serve) {
            ConsoleReport(STD_OUTPUT_HANDLE).Line(L"Cannot serve: " + text);
            return false;
        }
        AppMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
        return true;
    };
    if (!replay.error.empty()) {
        theEventLog << L"Value replay refused:" << replay.error << EventLog::EndEntry;
        return refuse(replay.error);
    }
    ValueReplay& player = m_configuration.Replay();
    const std::wstring path = FullPath(replay.file);
    if (replay.intoHistory) {
        const ReplayLoad load = player.LoadIntoHistory(path);
        if (!load.check.Passed()) return refuse(ReplayDialog::RefusalText(path, load.check));
        const std::wstring text = ReplayDialog::LoadedText(path, load);
        if (m_commandLine.serve) {
            ConsoleReport(STD_OUTPUT_HANDLE).Line(text);
        } else {
            AppMessageBox(text, MB_OK | (load.notKept > 0 ? MB_ICONEXCLAMATION : MB_ICONINFORMATION));
        }
        return true;
    }
    const ReplayCheck check = player.Start(path, ReplayOptions{replay.speed, replay.loop});
    if (!check.Passed()) return refuse(ReplayDialog::RefusalText(path, check));
    if (!m_commandLine.StartedByCom() && !m_commandLine.serve) ReplayProgressWindow::Open(m_frame->Handle(), player);
    return true;
}

void OPCS_App::ReportServing() {
    m_serveConsole->Line(L"Serving " + m_configuration.GetPathName());
    m_serveConsole->Line(L"OPC DA server: " + std::wstring(kServerProgId));
    const std::wstring ua = m_uaEndpoint.IsServing() ? m_uaEndpoint.Url() : m_uaEndpoint.StatusText();
    m_serveConsole->Line(L"OPC UA endpoint: " + (ua.empty() ? std::wstring(L"off") : ua));
    m_serveConsole->Line(L"Close with Ctrl+C or \"Tovi Explorer.exe\" /Close.");
}

void OPCS_App::StartUaEndpoint() {
    const UaPortSwitch given = ScanUaPortSwitch(m_arguments);
    if (!given.error.empty()) {
        theEventLog << L"OPC UA endpoint not started:" << given.error << EventLog::EndEntry;
        return;
    }
    StartUaEndpoint(given.present ? given.port : (theSettings.IsUaEndpointEnabled() ? theSettings.GetUaPort() : 0));
}

void OPCS_App::StartUaEndpoint(unsigned port) {
    if (port == 0) {
        theEventLog << L"OPC UA endpoint off" << EventLog::EndEntry;
        return;
    }
    m_uaSecurity = LoadUaSecuritySettings();
    UaEndpointOptions options;
    options.port = port;
    options.pkiFolder = GetDataFolder() + L"\\PKI";
    options.security = m_uaSecurity;
    m_uaEndpoint.Start(options);
}

void OPCS_App::RunRegistrationSwitch(RegistrationSwitch action) {
    switch (action) {
    case RegistrationSwitch::Unregister:
        // A failed script still removes everything else; nothing to report.
        UnregisterServer(m_module);
        m_startExitCode = 0;
        break;
    case RegistrationSwitch::Register:
        m_startExitCode = SUCCEEDED(RegisterServer(m_module, IsDa3Offered())) ? 0 : 1;
        break;
    case RegistrationSwitch::Help:
        AppMessageBox(RegistrationHelpText(), MB_OK);
        m_startExitCode = 0;
        break;
    case RegistrationSwitch::None: break;
    }
}

bool OPCS_App::CreateMainFrame() {
    m_frame = std::make_unique<CMainFrame>(*m_document);
    if (!m_frame->Create(m_instance)) {
        // Nobody may see a box: the console and the event log say it.
        const std::wstring text = L"Cannot start: the program's window could not be created (" +
                                  SystemErrorText(GetLastError()) +
                                  L"). Under Wine without a display, the prefix must name the null display "
                                  L"driver (HKCU\\Software\\Wine\\Drivers, Graphics = null).";
        m_frame.reset();
        theEventLog << text << EventLog::EndEntry;
        ConsoleReport(m_commandLine.serve ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE).Line(text);
        return false;
    }
    m_frame->SetEndWithLastClient(m_commandLine.StartedByCom() && !m_commandLine.serve);
    // The class object is withdrawn before the process begins to end, so that
    // a client asking from then on starts a fresh process; one that came in
    // while it was withdrawn keeps this one, offered again.
    m_frame->SetLastClientGoneHandler([this] {
        m_classObjectThread.Stop();
        if (CloseToClients()) return true;
        m_classObjectThread.Start(m_module);
        return false;
    });
    // The class object is withdrawn even from a forced exit: a registration
    // left behind by a dead process would be offered to the next clients.
    // The process ends at once afterwards, its sockets with it: the UA
    // sessions, told first, are given their seconds to hear it (or to leave)
    // before the endpoint closes, or a publish still due would never go.
    m_frame->SetForcedExitHandler([this](bool requested) {
        const wchar_t* reason = requested ? kRequestedExitReason : kForcedExitReason;
        m_uaEndpoint.AnnounceShutdown(reason, kUaShutdownSeconds);
        NotifyShutdown(reason);
        m_classObjectThread.Stop(kForcedExitStopMs);
        m_uaEndpoint.Stop(reason, kUaShutdownSeconds);
    });
    // Windows ends the process soon after: the clients are told, and no new
    // one is let in meanwhile.
    m_frame->SetSessionEndHandler([this] {
        theEventLog << L"Windows is ending the session" << EventLog::EndEntry;
        m_uaEndpoint.AnnounceShutdown(kSessionEndReason, kUaShutdownSeconds);
        NotifyShutdown(kSessionEndReason);
        m_classObjectThread.Stop(kForcedExitStopMs);
    });
    m_frame->SetClientRowsProvider([this] {
        std::vector<ClientRow> rows = ClientRowsOfServer();
        for (const UaSessionRow& session : m_uaEndpoint.Sessions()) {
            ClientRow row;
            row.clientName = session.client;
            row.protocol = L"OPC UA, " + session.policy + L" " + session.mode + L", " + session.user;
            row.groups = session.subscriptions;
            row.items = session.monitoredItems;
            row.connectedSince = session.since;
            row.lastCall = L"Service call";
            row.lastCallTime = session.lastCall;
            rows.push_back(std::move(row));
        }
        return rows;
    });
    m_frame->SetUaPaneProvider([this] { return m_uaEndpoint.PaneText(); });
    // A process that ends with its last client waits for the last UA session as well.
    m_frame->SetOtherClientsProvider([this] { return m_uaEndpoint.SessionCount(); });
    m_uaEndpoint.SetSessionsChangedHandler([this, frame = m_frame->Handle()](bool opened, const UaSessionRow& row) {
        if (const ServeConsole* console = m_serveConsole.get()) console->UaSessionChanged(opened, row);
        PostMessageW(frame, CMainFrame::kOtherClientsChanged, 0, 0);
    });
    // A changed OPC UA option takes effect at once: sessions are told, the endpoint starts again.
    // Who may connect is taken in place (users, roles, trusted certificates);
    // what the endpoint listens with (port, remote access, None, anonymous)
    // needs it started again.
    m_frame->SetOptionsAppliedHandler([this] {
        // A changed "Offer OPC DA 3.0" takes over from /Da3 at once.
        if (theSettings.IsDa3Offered() != m_da3OptionHeard) {
            m_da3OptionHeard = theSettings.IsDa3Offered();
            SetDa3Offered(m_da3OptionHeard);
            ApplyDa3Registration(m_da3OptionHeard);
            theEventLog << (m_da3OptionHeard ? L"OPC DA 3.0 offered" : L"OPC DA 3.0 no longer offered")
                        << EventLog::EndEntry;
        }
        // A port given by /UaPort stays this run's, whatever else changed.
        const UaPortSwitch given = ScanUaPortSwitch(m_arguments);
        const unsigned wanted = given.present && given.error.empty()
                                    ? given.port
                                    : (theSettings.IsUaEndpointEnabled() ? theSettings.GetUaPort() : 0);
        const unsigned serving = m_uaEndpoint.IsServing() ? m_uaEndpoint.Port() : 0;
        const UaSecurityState heard = CurrentUaSecurityState();
        if (UaSecurityRevision() != UaSecurityRevisionCountedHere()) LogUaSecurityChanges(m_uaSecurityHeard, heard);
        m_uaSecurityHeard = heard;
        const UaSecuritySettings security = heard.settings;
        // Renew discarded the certificate: the endpoint makes a new one as it starts.
        const bool certificateGone = serving != 0 && !FileExists(UaPkiStore().OwnCertificatePath());
        if (wanted == serving && (serving == 0 || (!security.ListensAsOther(m_uaSecurity) && !certificateGone))) {
            m_uaSecurity = security;
            m_uaEndpoint.ApplySecurity(security);  // the users and the anonymous role anew
            std::wstring error;
            if (serving != 0 && !m_uaEndpoint.ReloadTrust(error)) {
                theEventLog << L"OPC UA trusted certificates:" << error << EventLog::EndEntry;
            }
            return;
        }
        m_uaEndpoint.Stop(kUaOptionsChangedReason, kUaShutdownSeconds);
        StartUaEndpoint(wanted);
    });
    m_uaSecurityHeard = CurrentUaSecurityState();
    m_uaSecurityWatch.Start(
        [frame = m_frame->Handle()] { PostMessageW(frame, CMainFrame::kSettingsChangedElsewhere, 0, 0); });
    m_frame->SetCommandHandler([this](UINT command) {
        if (command == kCommandFileNew) {
            OnFileNew();
            return true;
        }
        if (command == kCommandAbout) {
            CAboutDlg about;
            about.DoModal(m_frame != nullptr ? m_frame->Handle() : nullptr);
            return true;
        }
        return false;
    });
    return true;
}

bool OPCS_App::OpenStartConfiguration() {
    // The file named on the command line, else the last used one; a file that
    // cannot be read hands over to the next and is said, with what is open instead.
    std::vector<std::wstring> candidates;
    if (!m_commandLine.fileName.empty()) {
        const std::wstring named = FullPath(m_commandLine.fileName);
        if (FileExists(named)) {
            candidates.push_back(named);
        } else if (m_commandLine.serve) {
            // A run that serves for a client's tests serves what it was told or nothing.
            ConsoleReport(STD_OUTPUT_HANDLE)
                .Line(L"Cannot serve: the configuration file " + named + L" does not exist.");
            return false;
        }
    }
    const std::wstring lastUsed = theSettings.GetLastUsedFile();
    if (FileExists(lastUsed) && (candidates.empty() || !EqualsNoCase(FullPath(lastUsed), candidates[0]))) {
        candidates.push_back(lastUsed);
    }
    std::wstring refused;
    bool tooBig = false;  // some file did not fit in memory: none is saved over
    for (const std::wstring& path : candidates) {
        theEventLog << L"Application starting - Opening:" << path << EventLog::EndEntry;
        if (OpenConfiguration(path)) {
            if (!refused.empty()) {
                AppMessageBox(L"Failed to open document.\n\n" + refused + path + L" is open instead.",
                              MB_OK | MB_ICONEXCLAMATION);
            }
            return true;
        }
        const std::wstring reason = SystemErrorText(m_document->OpenError());
        theEventLog << L"Configuration file could not be opened:" << path << reason << EventLog::EndEntry;
        if (m_document->OpenError() == ERROR_NOT_ENOUGH_MEMORY) {
            tooBig = true;
            refused += OPCS_Doc::NotEnoughMemoryText(path) + L"\n";
        } else {
            refused += L"The configuration file " + path + L" could not be read: " + reason + L".\n";
        }
    }
    theEventLog << L"Application starting - Creating new configuration" << EventLog::EndEntry;
    if (!refused.empty()) {
        AppMessageBox(L"Failed to open document.\n\n" + refused +
                          (tooBig ? std::wstring(L"A new, empty configuration is open instead, not yet saved.")
                                  : L"A new, empty configuration is open instead, to be saved as " + lastUsed + L"."),
                      MB_OK | MB_ICONEXCLAMATION);
    }
    return tooBig ? m_document->OnNewDocument(false) : NewConfiguration();
}

bool OPCS_App::OpenConfiguration(const std::wstring& path) {
    if (!m_document->OnOpenDocument(path, false)) {
        return false;
    }
    m_document->SetPathName(path);
    m_document->ResumeStoredPolling();
    return true;
}

bool OPCS_App::NewConfiguration() { return m_document->OnNewDocument(); }

int OPCS_App::Run() {
    MSG msg{};
    for (;;) {
        // The thread goes idle when its queue is empty: the frame refreshes its bars then.
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) && m_frame != nullptr) {
            m_frame->OnIdle();
        }
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            return static_cast<int>(msg.wParam);
        }
        if (got == -1) {
            return 1;
        }
        if (m_frame != nullptr && m_frame->PreTranslateMessage(&msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

int OPCS_App::ExitInstance(int exitCode) {
    theEventLog << L"Application terminating normally" << EventLog::EndEntry;
    if (m_serveConsole != nullptr) {
        m_serveConsole->ReportDaClients();
        m_serveConsole->Line(L"Closing: the clients are told, the configuration is saved.");
    }
    m_configuration.Replay().Stop();
    // UA sessions hear why and when, as DA clients do below.
    m_uaSecurityWatch.Stop();
    m_uaEndpoint.Stop(kExitReason, kUaShutdownSeconds);
    // Clients still connected (their server objects are destroyed below) hear why.
    NotifyShutdown(kExitReason);
    m_classObjectThread.Stop();
    OPCServer::DestroyAllServers();
    // Groups that clients still hold stop scanning before the configuration goes.
    OPCGroup::StopAllGroupThreads();
    m_module.Term();
    theSettings.Save();
    if (m_serveConsole != nullptr) {
        m_serveConsole->ReportDaClients();  // those the close itself let go
        m_serveConsole->Line(L"Closed.");
    }
    m_serveConsole.reset();
    m_frame.reset();
    m_document.reset();
    return exitCode;
}

void OPCS_App::OnFileNew() {
    if (m_document == nullptr) {
        return;
    }
    if (AppMessageBox(kDestroyQuestion, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) {
        return;
    }
    m_document->SetModifiedFlag(false);
    theEventLog << L"Existing configuration destroyed." << EventLog::EndEntry;
    m_document->OnNewDocument();
}

int RunApplication(HINSTANCE instance, const wchar_t* arguments, int showCommand) {
    OPCS_App app(instance, arguments != nullptr ? arguments : L"", showCommand);
    return app.Main();
}
