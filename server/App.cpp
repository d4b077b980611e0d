#include "App.h"

#include <new>
#include <vector>

#include "AboutDlg.h"
#include "ClientObjects.h"
#include "ClientRowsOfServer.h"
#include "Document.h"
#include "EventLog.h"
#include "EventLogStartup.h"
#include "FileTime.h"
#include "InstanceCloser.h"
#include "MainFrame.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "OPCGroup.h"
#include "OPCServer.h"
#include "ServerRegistration.h"
#include "ServerStartTime.h"
#include "ShellFileTypes.h"
#include "ShutdownNotice.h"
#include "SplashWnd.h"
#include "TagFileCommand.h"
#include "TagTexts.h"
#include "Text.h"
#include "VersionInfo.h"

namespace {
OPCS_App* g_app = nullptr;

constexpr UINT kCommandFileNew = 57600;
constexpr UINT kCommandAbout = 57664;
constexpr DWORD kForcedExitStopMs = 2000;
const wchar_t kOleFailed[] = L"Ole Initialization failed";
const wchar_t kDestroyQuestion[] = L"You are about to destroy the current configuration.  Do you wish to proceed?";
// The reasons the clients are given when the server goes.
const wchar_t kForcedExitReason[] = L"Tovi Explorer is being closed by its operator.";
const wchar_t kSessionEndReason[] = L"Tovi Explorer is closing: Windows is ending the session.";
const wchar_t kExitReason[] = L"Tovi Explorer is shutting down.";
const wchar_t kRequestedExitReason[] = L"Tovi Explorer is closing: another program asked it to (an update or uninstall).";

// The class factory's creator: a new server object with one reference.
HRESULT CreateServerObject(IUnknown** object) {
    auto* server = new (std::nothrow) OPCServer();
    if (server == nullptr) {
        return E_OUTOFMEMORY;
    }
    server->AddRef();
    *object = static_cast<IOPCServer*>(server);
    return S_OK;
}
}  // namespace

OPCS_App::OPCS_App(HINSTANCE instance, std::wstring arguments, int showCommand)
    : instance_(instance), arguments_(std::move(arguments)), showCommand_(showCommand) {
    g_app = this;
    // Started by COM there is nobody to answer a box: every box takes its default answer.
    if (ParseCommandLine(arguments_).StartedByCom()) {
        SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    }
}

OPCS_App::~OPCS_App() {
    frame_.reset();
    document_.reset();
    if (g_app == this) {
        g_app = nullptr;
    }
}

OPCS_App* OPCS_App::Get() noexcept { return g_app; }

int OPCS_App::Main() {
    // Closing the running copies needs nothing of the start-up: no settings,
    // no event log (it is theirs), no window.
    const CloseSwitch close = ScanCloseSwitch(arguments_);
    if (close.present) {
        return static_cast<int>(CloseRunningInstances(close.seconds * 1000));
    }
    int exitCode = 0;
    if (InitInstance()) {
        exitCode = ExitInstance(Run());
    } else {
        exitCode = startExitCode_;
        classObjectThread_.Stop();
        module_.Term();
        frame_.reset();
        document_.reset();
    }
    if (oleInitialized_) {
        OleUninitialize();
        oleInitialized_ = false;
    }
    return exitCode;
}

bool OPCS_App::InitInstance() {
    LoadTagTexts();
    registryKey_ = GetCompanyName();
    theSettings.Load();
    OpenEventLogFromSettings(theEventLog, theSettings);
    if (FAILED(OleInitialize(nullptr))) {
        AppMessageBox(kOleFailed, MB_OK);
        return false;
    }
    oleInitialized_ = true;
    ConfigurationLock();  // made here, before any thread that could race to make it
    if (!module_.Init(&CreateServerObject)) {
        return false;
    }
    // A tag file's name could hold a registration switch's word: this comes first.
    const TagFileSwitch tagFile = ScanTagFileSwitch(arguments_);
    if (tagFile.action != TagFileSwitch::Action::None || !tagFile.error.empty()) {
        startExitCode_ = RunTagFileSwitch(tagFile);
        return false;
    }
    const RegistrationSwitch action = ScanRegistrationSwitch(arguments_);
    if (action != RegistrationSwitch::None) {
        RunRegistrationSwitch(action);
        return false;
    }
    SetServerStartTime(FileTimeNow());
    document_ = std::make_unique<OPCS_Doc>();
    commandLine_ = ParseCommandLine(arguments_);
    CSplashWnd::EnableSplashScreen(commandLine_.showSplash);
    if (!CreateMainFrame() || !OpenStartConfiguration()) {
        return false;
    }
    classObjectThread_.Start(module_);
    // The window appears once clients can connect; started by COM it stays out of the way.
    frame_->Show(commandLine_.StartedByCom() ? SW_SHOWMINNOACTIVE : showCommand_);
    RegisterShellFileTypes();
    return true;
}

void OPCS_App::RunRegistrationSwitch(RegistrationSwitch action) {
    switch (action) {
    case RegistrationSwitch::Unregister:
        // A failed script still removes everything else; nothing to report.
        UnregisterServer(module_);
        startExitCode_ = 0;
        break;
    case RegistrationSwitch::Register:
        startExitCode_ = SUCCEEDED(RegisterServer(module_)) ? 0 : 1;
        break;
    case RegistrationSwitch::Help:
        AppMessageBox(RegistrationHelpText(), MB_OK);
        startExitCode_ = 0;
        break;
    case RegistrationSwitch::None:
        break;
    }
}

bool OPCS_App::CreateMainFrame() {
    frame_ = std::make_unique<CMainFrame>();
    if (!frame_->Create(instance_)) {
        frame_.reset();
        return false;
    }
    frame_->SetEndWithLastClient(commandLine_.StartedByCom());
    // The class object is withdrawn before the process begins to end, so that
    // a client asking from then on starts a fresh process; one that came in
    // while it was withdrawn keeps this one, offered again.
    frame_->SetLastClientGoneHandler([this] {
        classObjectThread_.Stop();
        if (CloseToClients()) return true;
        classObjectThread_.Start(module_);
        return false;
    });
    // The class object is withdrawn even from a forced exit: a registration
    // left behind by a dead process would be offered to the next clients.
    frame_->SetForcedExitHandler([this](bool requested) {
        NotifyShutdown(requested ? kRequestedExitReason : kForcedExitReason);
        classObjectThread_.Stop(kForcedExitStopMs);
    });
    // Windows ends the process soon after: the clients are told, and no new
    // one is let in meanwhile.
    frame_->SetSessionEndHandler([this] {
        theEventLog << L"Windows is ending the session" << EventLog::EndEntry;
        NotifyShutdown(kSessionEndReason);
        classObjectThread_.Stop(kForcedExitStopMs);
    });
    frame_->SetClientRowsProvider(&ClientRowsOfServer);
    frame_->SetCommandHandler([this](UINT command) {
        if (command == kCommandFileNew) {
            OnFileNew();
            return true;
        }
        if (command == kCommandAbout) {
            CAboutDlg about;
            about.DoModal(frame_ != nullptr ? frame_->Handle() : nullptr);
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
    if (!commandLine_.fileName.empty()) {
        const std::wstring named = FullPath(commandLine_.fileName);
        if (FileExists(named)) candidates.push_back(named);
    }
    const std::wstring lastUsed = theSettings.GetLastUsedFile();
    if (FileExists(lastUsed) && (candidates.empty() || !EqualsNoCase(FullPath(lastUsed), candidates[0]))) {
        candidates.push_back(lastUsed);
    }
    std::wstring refused;
    for (const std::wstring& path : candidates) {
        theEventLog << L"Application starting - Opening:" << path << EventLog::EndEntry;
        if (OpenConfiguration(path)) {
            if (!refused.empty()) {
                AppMessageBox(L"Failed to open document.\n\n" + refused + path + L" is open instead.",
                              MB_OK | MB_ICONEXCLAMATION);
            }
            return true;
        }
        const std::wstring reason = SystemErrorText(document_->OpenError());
        theEventLog << L"Configuration file could not be opened:" << path << reason << EventLog::EndEntry;
        refused += L"The configuration file " + path + L" could not be read: " + reason + L".\n";
    }
    theEventLog << L"Application starting - Creating new configuration" << EventLog::EndEntry;
    newConfiguration_ = true;
    if (!refused.empty()) {
        AppMessageBox(L"Failed to open document.\n\n" + refused + L"A new, empty configuration is open instead, to be saved as " +
                          lastUsed + L".",
                      MB_OK | MB_ICONEXCLAMATION);
    }
    return NewConfiguration();
}

bool OPCS_App::OpenConfiguration(const std::wstring& path) {
    if (!document_->OnOpenDocument(path, false)) {
        return false;
    }
    document_->SetPathName(path);
    return true;
}

bool OPCS_App::NewConfiguration() { return document_->OnNewDocument(); }

int OPCS_App::Run() {
    MSG msg{};
    for (;;) {
        // The thread goes idle when its queue is empty: the frame refreshes its bars then.
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) && frame_ != nullptr) {
            frame_->OnIdle();
        }
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            return static_cast<int>(msg.wParam);
        }
        if (got == -1) {
            return 1;
        }
        if (frame_ != nullptr && frame_->PreTranslateMessage(&msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

int OPCS_App::ExitInstance(int exitCode) {
    theEventLog << L"Application terminating normally" << EventLog::EndEntry;
    // Clients still connected (their server objects are destroyed below) hear why.
    NotifyShutdown(kExitReason);
    classObjectThread_.Stop();
    OPCServer::DestroyAllServers();
    // Groups that clients still hold stop scanning before the configuration goes.
    OPCGroup::StopAllGroupThreads();
    module_.Term();
    theSettings.Save();
    frame_.reset();
    document_.reset();
    return exitCode;
}

void OPCS_App::OnFileNew() {
    if (document_ == nullptr) {
        return;
    }
    if (AppMessageBox(kDestroyQuestion, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) {
        return;
    }
    document_->SetModifiedFlag(false);
    theEventLog << L"Existing configuration destroyed." << EventLog::EndEntry;
    document_->OnNewDocument();
}

int RunApplication(HINSTANCE instance, const wchar_t* arguments, int showCommand) {
    OPCS_App app(instance, arguments != nullptr ? arguments : L"", showCommand);
    return app.Main();
}
