#pragma once
// The compiled HTML help file next to the program, opened at a topic number.
#include <windows.h>
#include <htmlhelp.h>
#include <string>

// Topic numbers of the windows that ask for help (command HH_HELP_CONTEXT).
enum HelpContext : DWORD {
    kHelpMainFrame = 100,
    kHelpDeviceTree = 101,
    kHelpTagList = 102,
    kHelpGroupDialog = 105,
    kHelpTagDialog = 106,
    kHelpOptionsDialog = 110,
    kHelpWriteTagDialog = 112,
    kHelpColumnsDialog = 113,
    kHelpClientsWindow = 114,
    kHelpForceQualityDialog = 115,
    kHelpReplayValues = 116,
    kHelpUaUsers = 117,
    kHelpUaCertificates = 118,
    kHelpAlarmsWindow = 119,
    kHelpAlarmSettings = 120,
    kHelpTrendWindow = 121,
};

// Every topic number above: the help file must have a page for each.
inline constexpr HelpContext kHelpContexts[] = {
    kHelpMainFrame,      kHelpDeviceTree,         kHelpTagList,        kHelpGroupDialog,
    kHelpTagDialog,      kHelpOptionsDialog,      kHelpWriteTagDialog, kHelpColumnsDialog,
    kHelpClientsWindow,  kHelpForceQualityDialog, kHelpReplayValues,   kHelpUaUsers,
    kHelpUaCertificates, kHelpAlarmsWindow,       kHelpAlarmSettings,  kHelpTrendWindow,
};

// The program directory + "ToviExplorer.chm"; worked out once.
std::wstring GetHelpFilePath();
// Whether the platform's HTML Help control is registered; asked once.
bool IsHtmlHelpInstalled();
// Opens the help file with an HTML Help command (HH_HELP_CONTEXT and a
// topic number, usually), or tells the user in a message box why not.
void ShowHelp(UINT command, DWORD_PTR data);
// ShowHelp(HH_HELP_CONTEXT, context).
inline void ShowHelpTopic(HelpContext context) { ShowHelp(HH_HELP_CONTEXT, context); }
