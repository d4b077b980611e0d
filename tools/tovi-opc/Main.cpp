// tovi-opc: the command line of the tool, and the COM apartment its commands
// run in.
#include <windows.h>
#include <objbase.h>

#include "Arguments.h"
#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "Text.h"

namespace {
using Runner = int (*)(const Arguments&);

struct Command {
    const wchar_t* name;
    Runner run;
    Runner ua;  // with --ua; none for the DA-only commands
    // The UA-only commands have no DA runner.
};

const Command kCommands[] = {
    {L"servers", RunServers, nullptr},     {L"browse", RunBrowse, RunUaBrowse},  {L"read", RunRead, RunUaRead},
    {L"write", RunWrite, RunUaWrite},      {L"watch", RunWatch, RunUaWatch},     {L"props", RunProps, nullptr},
    {L"fault", RunFault, nullptr},         {L"replay", RunReplay, nullptr},      {L"alarms", nullptr, RunUaAlarms},
    {L"refresh", nullptr, RunUaAlarms},    {L"ack", nullptr, RunUaCondition},    {L"confirm", nullptr, RunUaCondition},
    {L"comment", nullptr, RunUaCondition}, {L"enable", nullptr, RunUaCondition}, {L"disable", nullptr, RunUaCondition},
    {L"history", nullptr, RunUaHistory},
};

const Command* Find(const std::wstring& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    Arguments args;
    std::string why;
    if (!ParseArguments(argc, argv, args, &why)) {
        PrintError(why);
        return kExitUsage;
    }
    if (args.command.empty() || args.command == L"help") {
        PrintHelp(args.command.empty() ? L"" : args.words.empty() ? L"" : args.words[0]);
        return args.help || args.command == L"help" ? kExitOk : kExitUsage;
    }
    const Command* command = Find(args.command);
    if (command == nullptr) {
        PrintError("unknown command \"" + ToUtf8(args.command) + "\" (see tovi-opc --help)");
        return kExitUsage;
    }
    if (args.help) {
        PrintHelp(args.command);
        return kExitOk;
    }
    if (command->run == nullptr && args.uaUrl.empty()) {
        PrintError(ToUtf8(args.command) + " is an OPC UA command: it needs --ua URL");
        return kExitUsage;
    }
    if (!args.uaUrl.empty()) {
        if (command->ua == nullptr) {
            PrintError(ToUtf8(args.command) +
                       " is an OPC DA command: --ua goes with browse, read, write, watch and the alarm commands");
            return kExitUsage;
        }
        // OPC UA needs no COM.
        return command->ua(args);
    }
    // Data changes arrive on RPC threads: the whole tool lives in the MTA.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        PrintError("COM cannot be initialised: " + ResultText(hr));
        return kExitFailed;
    }
    // Servers call the sink back without authenticating as this user.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    const int code = command->run(args);
    CoUninitialize();
    return code;
}
