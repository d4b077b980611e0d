#include "CommandLineInfo.h"

#include <windows.h>
#include <shellapi.h>
#include <algorithm>
#include <cmath>
#include <cwchar>
#include <vector>

#include "Text.h"

namespace {
bool IsSeparator(wchar_t c) noexcept { return c == L'-' || c == L'/' || c == L' ' || c == L'\t'; }

// The arguments as the C runtime would hand them to main: quotes group,
// backslashes before quotes escape.
std::vector<std::wstring> SplitArguments(std::wstring_view arguments) {
    std::vector<std::wstring> result;
    // CommandLineToArgvW treats its first word as the program name, so give it one.
    const std::wstring line = L"x " + std::wstring(arguments);
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    if (argv == nullptr) {
        return result;
    }
    for (int i = 1; i < count; ++i) {
        result.emplace_back(argv[i]);
    }
    LocalFree(argv);
    return result;
}

bool IsSwitch(const std::wstring& word, std::wstring_view name) {
    return word.size() > 1 && (word[0] == L'-' || word[0] == L'/') &&
           EqualsNoCase(std::wstring_view(word).substr(1), name);
}

// A plain decimal number, the whole word.
bool ParseSpeed(const std::wstring& word, double& speed) {
    if (word.empty() || word.find_first_not_of(L"0123456789.") != std::wstring::npos) return false;
    wchar_t* end = nullptr;
    speed = std::wcstod(word.c_str(), &end);
    return end == word.c_str() + word.size() && std::isfinite(speed);
}

// Switches whose next word is their value, not a file to open.
bool TakesValue(const std::wstring& word) {
    return IsSwitch(word, L"Replay") || IsSwitch(word, L"Speed") || IsSwitch(word, L"UaPort") || IsSwitch(word, L"Da3");
}
}  // namespace

RegistrationSwitch ScanRegistrationSwitch(std::wstring_view arguments) {
    size_t pos = 0;
    while (pos < arguments.size()) {
        while (pos < arguments.size() && IsSeparator(arguments[pos])) ++pos;
        size_t end = pos;
        while (end < arguments.size() && !IsSeparator(arguments[end])) ++end;
        const std::wstring_view token = arguments.substr(pos, end - pos);
        if (EqualsNoCase(token, L"UnregServer")) return RegistrationSwitch::Unregister;
        if (EqualsNoCase(token, L"RegServer")) return RegistrationSwitch::Register;
        if (token == L"?") return RegistrationSwitch::Help;
        pos = end;
    }
    return RegistrationSwitch::None;
}

TagFileSwitch ScanTagFileSwitch(std::wstring_view arguments) {
    TagFileSwitch result;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        const bool isSwitch = !word.empty() && (word[0] == L'-' || word[0] == L'/');
        const std::wstring_view name = isSwitch ? std::wstring_view(word).substr(1) : std::wstring_view();
        const bool import = isSwitch && EqualsNoCase(name, L"Import");
        const bool exportTags = isSwitch && EqualsNoCase(name, L"Export");
        if (import || exportTags) {
            if (result.action != TagFileSwitch::Action::None) {
                result.error = L"Give only one /Import or /Export switch.";
                return result;
            }
            result.action = import ? TagFileSwitch::Action::Import : TagFileSwitch::Action::Export;
            if (i + 1 >= words.size() || words[i + 1].empty()) {
                result.error = L"The " + word + L" switch needs the name of a CSV file after it.";
                return result;
            }
            result.csvFile = words[++i];
        } else if (!isSwitch && !word.empty() && result.configuration.empty()) {
            result.configuration = word;
        }
    }
    return result;
}

CloseSwitch ScanCloseSwitch(std::wstring_view arguments) {
    CloseSwitch result;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    for (size_t i = 0; i < words.size() && !result.present; ++i) {
        const std::wstring& word = words[i];
        if (word.size() < 2 || (word[0] != L'-' && word[0] != L'/')) continue;
        if (!EqualsNoCase(std::wstring_view(word).substr(1), L"Close")) continue;
        result.present = true;
        if (i + 1 < words.size()) {
            const std::wstring& next = words[i + 1];
            const bool number =
                !next.empty() && next.size() <= 5 && next.find_first_not_of(L"0123456789") == std::wstring::npos;
            if (number) result.seconds = std::min<unsigned>(std::stoul(next), CloseSwitch::kMostSeconds);
        }
    }
    return result;
}

std::wstring RegistrationHelpText() {
    return L"\"The OPC Server takes the following parameters:\n"
           L"/RegServer - Register the server\n"
           L"/UnRegServer -  Unregister the server\n\"";
}

ReplaySwitch ScanReplaySwitch(std::wstring_view arguments) {
    ReplaySwitch result;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    bool speedGiven = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        const bool replay = IsSwitch(word, L"Replay");
        if (replay || IsSwitch(word, L"Speed")) {
            const bool hasValue = i + 1 < words.size() && !words[i + 1].empty();
            const std::wstring value = hasValue ? words[++i] : std::wstring();
            if (replay) {
                result.present = true;
                result.file = value;
                if (!hasValue) result.error = L"The " + word + L" switch needs the name of a CSV file after it.";
            } else {
                speedGiven = true;
                if (!ParseSpeed(value, result.speed) || !(result.speed > 0) || result.speed > 1e9) {
                    result.error = L"The " + word +
                                   L" switch needs a positive number after it (2 plays twice as "
                                   L"fast), not \"" +
                                   value + L"\".";
                }
            }
        } else if (IsSwitch(word, L"Loop")) {
            result.loop = true;
        } else if (IsSwitch(word, L"IntoHistory")) {
            result.intoHistory = true;
        }
    }
    if (!result.error.empty()) return result;
    if (!result.present && result.intoHistory) {
        result.error = L"/IntoHistory goes with /Replay FILE.";
    } else if (!result.present && (speedGiven || result.loop)) {
        result.error = L"/Speed and /Loop go with /Replay FILE.";
    } else if (result.intoHistory && (speedGiven || result.loop)) {
        result.error = L"/IntoHistory loads the file at once, without /Speed or /Loop.";
    }
    return result;
}

UaSecuritySwitch ScanUaSecuritySwitch(std::wstring_view arguments) {
    using Action = UaSecuritySwitch::Action;
    UaSecuritySwitch result;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    auto word = [&words](size_t i) { return i < words.size() ? words[i] : std::wstring(); };
    auto onOff = [&result](const std::wstring& text) {
        result.on = EqualsNoCase(text, L"on");
        return result.on || EqualsNoCase(text, L"off");
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const bool user = IsSwitch(words[i], L"UaUser"), trust = IsSwitch(words[i], L"UaTrust");
        const bool remote = IsSwitch(words[i], L"UaRemote"), allow = IsSwitch(words[i], L"UaAllow");
        if (!user && !trust && !remote && !allow) continue;
        if (result.action != Action::None) {
            result.error = L"Give one of /UaUser, /UaTrust, /UaRemote and /UaAllow at a time.";
            return result;
        }
        if (user && EqualsNoCase(word(i + 1), L"add") && !word(i + 2).empty() &&
            (EqualsNoCase(word(i + 3), L"read") || EqualsNoCase(word(i + 3), L"readwrite"))) {
            result.action = Action::AddUser;
            result.subject = word(i + 2);
            result.readWrite = EqualsNoCase(word(i + 3), L"readwrite");
        } else if (user && EqualsNoCase(word(i + 1), L"remove") && !word(i + 2).empty()) {
            result.action = Action::RemoveUser;
            result.subject = word(i + 2);
        } else if (user) {
            result.error =
                L"/UaUser takes \"add NAME read\", \"add NAME readwrite\" (the password on standard input) "
                L"or \"remove NAME\".";
        } else if (trust && !word(i + 1).empty()) {
            result.action = Action::Trust;
            result.subject = word(i + 1);
        } else if (trust) {
            result.error = L"/UaTrust takes the file of a client's certificate (DER or PEM).";
        } else if (remote && onOff(word(i + 1))) {
            result.action = Action::Remote;
        } else if (remote) {
            result.error = L"/UaRemote takes on or off.";
        } else if (allow && (EqualsNoCase(word(i + 1), L"unsecured") || EqualsNoCase(word(i + 1), L"anonymous")) &&
                   onOff(word(i + 2))) {
            result.action = EqualsNoCase(word(i + 1), L"unsecured") ? Action::AllowUnsecured : Action::AllowAnonymous;
        } else {
            result.error = L"/UaAllow takes unsecured or anonymous, then on or off.";
        }
        if (!result.error.empty()) return result;
    }
    return result;
}

UaPortSwitch ScanUaPortSwitch(std::wstring_view arguments) {
    UaPortSwitch result;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    for (size_t i = 0; i < words.size(); ++i) {
        if (!IsSwitch(words[i], L"UaPort")) continue;
        result.present = true;
        const std::wstring next = i + 1 < words.size() ? words[i + 1] : std::wstring();
        const bool number =
            !next.empty() && next.size() <= 5 && next.find_first_not_of(L"0123456789") == std::wstring::npos;
        if (!number || std::stoul(next) > 65535) {
            result.error = L"/UaPort takes a port number from 0 (no OPC UA endpoint) to 65535.";
            return result;
        }
        result.port = static_cast<unsigned>(std::stoul(next));
    }
    return result;
}

Da3Switch ScanDa3Switch(std::wstring_view arguments) {
    Da3Switch result;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    for (size_t i = 0; i < words.size(); ++i) {
        if (!IsSwitch(words[i], L"Da3")) continue;
        result.present = true;
        const std::wstring next = i + 1 < words.size() ? words[i + 1] : std::wstring();
        if (!EqualsNoCase(next, L"on") && !EqualsNoCase(next, L"off")) {
            result.error = L"/Da3 takes on or off.";
            return result;
        }
        result.offered = EqualsNoCase(next, L"on");
    }
    return result;
}

CommandLineInfo ParseCommandLine(std::wstring_view arguments) {
    CommandLineInfo info;
    const std::vector<std::wstring> words = SplitArguments(arguments);
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& argument = words[i];
        if (TakesValue(argument)) {
            ++i;
            continue;
        }
        if (!argument.empty() && (argument[0] == L'-' || argument[0] == L'/')) {
            const std::wstring_view flag = std::wstring_view(argument).substr(1);
            if (EqualsNoCase(flag, L"Embedding")) {
                info.runEmbedded = true;
                info.showSplash = false;
            } else if (EqualsNoCase(flag, L"Automation")) {
                info.runAutomated = true;
                info.showSplash = false;
            } else if (EqualsNoCase(flag, L"Serve")) {
                info.serve = true;
                info.showSplash = false;
            }
        } else if (info.fileName.empty() && !argument.empty()) {
            info.fileName = argument;
        }
    }
    return info;
}
