#pragma once
// The program's command line, read twice at start-up: once for the
// registration switches, then as the application framework reads it.
#include <string>
#include <string_view>

enum class RegistrationSwitch { None, Unregister, Register, Help };

// Splits the raw arguments at every "-", "/" and blank; the first token that
// is "UnregServer", "RegServer" or "?" (any letter case) decides.
RegistrationSwitch ScanRegistrationSwitch(std::wstring_view arguments);

// The text of the help message box.
std::wstring RegistrationHelpText();

// "/Import FILE" or "/Export FILE" (any letter case, "-" as well): tags
// between a CSV file and a configuration, without a window. The configuration
// is the argument that is not a switch, or else the last used file.
struct TagFileSwitch {
    enum class Action { None, Import, Export };
    Action action = Action::None;
    std::wstring csvFile;
    std::wstring configuration;  // empty: the last used file
    std::wstring error;          // a switch given wrongly, in words
};
TagFileSwitch ScanTagFileSwitch(std::wstring_view arguments);

// "/Close [SECONDS]" (any letter case, "-" as well): asks every running copy
// of the program to close, waits at most SECONDS (30 when not given) and ends
// those still running. Nothing else on the line counts then.
struct CloseSwitch {
    static constexpr unsigned kDefaultSeconds = 30;
    static constexpr unsigned kMostSeconds = 3600;
    bool present = false;
    unsigned seconds = kDefaultSeconds;
};
CloseSwitch ScanCloseSwitch(std::wstring_view arguments);

// "/Replay FILE [/Speed N] [/Loop]" (any letter case, "-" as well): the
// program starts as usual and plays the recorded values of FILE into its tags;
// "/Replay FILE /IntoHistory" loads them into the tags' history instead.
struct ReplaySwitch {
    bool present = false;
    std::wstring file;
    double speed = 1;
    bool loop = false;
    bool intoHistory = false;
    std::wstring error;  // a switch given wrongly, in words
};
ReplaySwitch ScanReplaySwitch(std::wstring_view arguments);

// "/UaPort N" (any letter case, "-" as well): the OPC UA endpoint's port for
// this run; 0 serves no endpoint.
struct UaPortSwitch {
    bool present = false;
    unsigned port = 0;
    std::wstring error;  // a switch given wrongly, in words
};
UaPortSwitch ScanUaPortSwitch(std::wstring_view arguments);

// "/Da3 on" or "/Da3 off" (any letter case, "-" as well): whether this run
// offers the DA 3.0 interfaces, whatever the option "Offer OPC DA 3.0" says.
struct Da3Switch {
    bool present = false;
    bool offered = true;
    std::wstring error;  // a switch given wrongly, in words
};
Da3Switch ScanDa3Switch(std::wstring_view arguments);

// Who may connect to the OPC UA endpoint, changed without a window:
// "/UaUser add NAME read|readwrite" (the password from standard input),
// "/UaUser remove NAME", "/UaTrust CERT-FILE", "/UaRemote on|off",
// "/UaAllow unsecured|anonymous on|off".
struct UaSecuritySwitch {
    enum class Action { None, AddUser, RemoveUser, Trust, Remote, AllowUnsecured, AllowAnonymous };
    Action action = Action::None;
    std::wstring subject;  // the user name or the certificate file
    bool readWrite = false;
    bool on = false;
    std::wstring error;  // a switch given wrongly, in words
};
UaSecuritySwitch ScanUaSecuritySwitch(std::wstring_view arguments);

struct CommandLineInfo {
    bool runEmbedded = false;   // "-Embedding": started by COM for a client
    bool runAutomated = false;  // "-Automation"
    bool showSplash = true;
    bool serve = false;     // "/Serve": serves without a window until closed
    std::wstring fileName;  // the first argument that is not a switch

    bool StartedByCom() const noexcept { return runEmbedded || runAutomated; }
};

// Switches start with "-" or "/"; "Embedding" and "Automation" are recognised
// in any letter case, others are ignored (the words after /Replay, /Speed,
// /UaPort and /Da3 with them).
CommandLineInfo ParseCommandLine(std::wstring_view arguments);
