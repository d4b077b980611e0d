#pragma once
// The application object: start-up in its fixed order, the message loop, and
// the exit. One executable is at the same time the configuration editor and
// the OPC server; the same start-up runs whether a user or COM starts it.
#include <windows.h>
#include <memory>
#include <string>

#include "ClassObjectThread.h"
#include "CommandLineInfo.h"
#include "Configuration.h"
#include "ServeConsole.h"
#include "ServerModule.h"
#include "UaEndpoint.h"
#include "UaSecurityAudit.h"
#include "UaSecuritySettings.h"
#include "UaSecurityWatch.h"

class CMainFrame;
class OPCS_Doc;

class OPCS_App {
public:
    // arguments: the command line after the program name.
    OPCS_App(HINSTANCE instance, std::wstring arguments, int showCommand);
    ~OPCS_App();
    OPCS_App(const OPCS_App&) = delete;
    OPCS_App& operator=(const OPCS_App&) = delete;

    // Start-up, loop and exit; gives the process's exit code.
    int Main();
    // False ends the process (also after a registration action).
    bool InitInstance();
    int Run();
    int ExitInstance(int exitCode);

    // File > New: confirms, then starts an empty configuration.
    void OnFileNew();

    const CommandLineInfo& CommandLine() const noexcept { return m_commandLine; }

private:
    void RunRegistrationSwitch(RegistrationSwitch action);
    bool CreateMainFrame();
    // "/Replay FILE": plays it (or loads it into the history), or says why not.
    // False when the replay named on the command line is refused while
    // serving: the run ends, having said why.
    bool StartCommandLineReplay();
    bool OpenStartConfiguration();
    bool OpenConfiguration(const std::wstring& path);
    bool NewConfiguration();
    // The OPC UA endpoint on the port of /UaPort or the settings; one that
    // cannot serve is said in the event log and the status bar, nothing more.
    void StartUaEndpoint();
    void StartUaEndpoint(unsigned port);  // 0: none
    // Whether this run offers DA 3.0: /Da3, else the option.
    void ApplyDa3Offer();
    // "/Serve": no window; what is served (and, from the serve console, who
    // comes and goes) on standard output.
    void ReportServing();

    HINSTANCE m_instance;
    std::wstring m_arguments;
    int m_showCommand;
    CommandLineInfo m_commandLine;
    bool m_oleInitialized = false;
    bool m_da3OptionHeard = true;  // "Offer OPC DA 3.0" as last applied
    int m_startExitCode = 1;       // the exit code when start-up ends the process (0 after a switch's action)
    // Served to clients and edited by the operator; made first, gone last.
    Configuration m_configuration;
    ServerModule m_module;
    // Serves the same tags to OPC UA clients; stopped before the configuration goes.
    UaEndpoint m_uaEndpoint{m_configuration};
    UaSecuritySettings m_uaSecurity;  // what the endpoint was started with
    // Hears of changes to who may connect made by the command line or another copy.
    UaSecurityWatch m_uaSecurityWatch;
    UaSecurityState m_uaSecurityHeard;  // as last seen, to record what others changed
    ClassObjectThread m_classObjectThread;
    std::unique_ptr<OPCS_Doc> m_document;
    std::unique_ptr<CMainFrame> m_frame;
    std::unique_ptr<ServeConsole> m_serveConsole;
};

// The body of the program's entry point.
int RunApplication(HINSTANCE instance, const wchar_t* arguments, int showCommand);
