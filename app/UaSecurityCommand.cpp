#include "UaSecurityCommand.h"

#include <windows.h>

#include <string>

#include "ConsoleReport.h"
#include "EventLog.h"
#include "ProgramPaths.h"
#include "Text.h"
#include "UaCertificateFacts.h"
#include "UaPkiStore.h"
#include "WholeFile.h"
#include "UaSecuritySettings.h"
#include "UaUserStore.h"

namespace {
using Action = UaSecuritySwitch::Action;

// One line of standard input, without its line end. A console hides what
// is typed; a pipe or file is taken as UTF-8.
bool ReadPassword(std::string& password, const ConsoleReport& console) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        console.Line(L"Password:");
        SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        wchar_t buffer[1024];
        DWORD read = 0;
        const BOOL got = ReadConsoleW(input, buffer, 1024, &read, nullptr);
        SetConsoleMode(input, mode);
        if (!got) return false;
        std::wstring line(buffer, read);
        SecureZeroMemory(buffer, sizeof buffer);
        line = line.substr(0, line.find_first_of(L"\r\n"));
        password = ToUtf8(line);
        SecureZeroMemory(line.data(), line.size() * sizeof(wchar_t));
        return true;
    }
    char c = 0;
    DWORD read = 0;
    // Byte by byte: nothing past the line is taken from whoever feeds the pipe.
    while (ReadFile(input, &c, 1, &read, nullptr) && read == 1 && c != '\n') {
        password += c;
        if (password.size() > 4096) return false;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

int AddUser(const UaSecuritySwitch& command, const ConsoleReport& console) {
    UaUserStore users;
    std::wstring error;
    if (!users.Load(error)) {
        console.Line(error);
        return 1;
    }
    std::string password;
    if (!ReadPassword(password, console) || password.empty()) {
        console.Line(L"No password was given on standard input: the user was not added.");
        return 1;
    }
    const bool known = users.Contains(command.subject);
    const UaRole role = command.readWrite ? UaRole::ReadWrite : UaRole::Read;
    const bool set = users.Set(command.subject, role, password, error);
    SecureZeroMemory(password.data(), password.size());
    if (!set || !users.Save(error)) {
        console.Line(error);
        return 1;
    }
    CountUaSecurityChange();
    theEventLog << (known ? L"OPC UA user changed:" : L"OPC UA user added:")
                << command.subject + L" (" + RoleName(role) + L")" << EventLog::EndEntry;
    console.Line(L"OPC UA user " + command.subject + (known ? L" changed: " : L" added: ") + RoleName(role) + L".");
    return 0;
}

int RemoveUser(const UaSecuritySwitch& command, const ConsoleReport& console) {
    UaUserStore users;
    std::wstring error;
    if (!users.Load(error)) {
        console.Line(error);
        return 1;
    }
    if (!users.Remove(command.subject)) {
        console.Line(L"There is no OPC UA user " + command.subject + L".");
        return 1;
    }
    if (!users.Save(error)) {
        console.Line(error);
        return 1;
    }
    CountUaSecurityChange();
    theEventLog << L"OPC UA user removed:" << command.subject << EventLog::EndEntry;
    console.Line(L"OPC UA user " + command.subject + L" removed.");
    return 0;
}

int Trust(const UaSecuritySwitch& command, const ConsoleReport& console) {
    const std::wstring path = FullPath(command.subject);
    const UaPkiStore store(UaPkiFolder());
    std::wstring error;
    if (!store.Prepare(error) || !store.TrustFile(path, error)) {
        console.Line(error);
        return 1;
    }
    CountUaSecurityChange();
    // Named as the dialog and the event log name it, so the operator can check the thumbprint.
    std::vector<BYTE> bytes;
    DWORD readError = ERROR_SUCCESS;
    std::string der;
    UaCertificateRow row;
    if (ReadWholeFile(path, bytes, readError) &&
        CertificateDer(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), der, error)) {
        ReadCertificate(der, row);
    }
    console.Line(L"Trusted: " + (row.subject.empty() ? path : row.subject) +
                 (row.thumbprint.empty() ? L"" : L" (thumbprint " + row.thumbprint + L")") +
                 L". OPC UA clients that present it are accepted.");
    return 0;
}

// What each setting now lets in, said once it is stored.
std::wstring SettingText(Action action, bool on) {
    switch (action) {
    case Action::Remote:
        return on ? L"The OPC UA endpoint accepts clients from other computers: secure connections only, with a user "
                    L"or a trusted certificate, unless /UaAllow says otherwise."
                  : L"The OPC UA endpoint accepts clients on this computer only.";
    case Action::AllowUnsecured:
        return on ? L"Clients from other computers may connect without security (None): what they read and write "
                    L"crosses the network in the clear."
                  : L"Clients from other computers must sign and encrypt.";
    default:
        return on ? L"Clients from other computers may connect anonymously, without a user name."
                  : L"Clients from other computers must log in with a user name and password.";
    }
}

int ChangeSetting(const UaSecuritySwitch& command, const ConsoleReport& console) {
    UaSecuritySettings settings = LoadUaSecuritySettings();
    bool& setting = command.action == Action::Remote           ? settings.remote
                    : command.action == Action::AllowUnsecured ? settings.allowUnsecured
                                                               : settings.allowAnonymous;
    setting = command.on;
    if (!SaveUaSecuritySettings(settings)) {
        console.Line(L"The settings could not be stored: the program's registry key cannot be written.");
        return 1;
    }
    std::wstring text = SettingText(command.action, command.on);
    if (command.action != Action::Remote && !settings.remote) {
        text += L" (This counts once clients from other computers are accepted: /UaRemote on.)";
    }
    console.Line(text);
    return 0;
}
}  // namespace

int RunUaSecuritySwitch(const UaSecuritySwitch& command) {
    const ConsoleReport console(STD_OUTPUT_HANDLE);
    if (!command.error.empty()) {
        console.Line(command.error);
        return 1;
    }
    switch (command.action) {
    case Action::AddUser: return AddUser(command, console);
    case Action::RemoveUser: return RemoveUser(command, console);
    case Action::Trust: return Trust(command, console);
    case Action::None: return 0;
    default: return ChangeSetting(command, console);
    }
}
