#pragma once
// The tool's commands. Each gives the process's exit code: 0 when every
// item succeeded, 1 when anything failed, 2 for a command line it cannot use.
#include "Arguments.h"

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunServers(const Arguments& args);
int RunBrowse(const Arguments& args);
int RunRead(const Arguments& args);
int RunWrite(const Arguments& args);
// write --vqt: values with qualities and timestamps (OPC DA 3.0).
int RunWriteVqt(const Arguments& args);
int RunWatch(const Arguments& args);
int RunProps(const Arguments& args);
int RunFault(const Arguments& args);
int RunReplay(const Arguments& args);
// The same commands against an OPC UA endpoint (--ua URL).
int RunUaBrowse(const Arguments& args);
int RunUaRead(const Arguments& args);
int RunUaWrite(const Arguments& args);
int RunUaWatch(const Arguments& args);
// OPC UA only: alarms and refresh, and the condition methods (ack, confirm,
// comment, enable, disable, by the command's name).
int RunUaAlarms(const Arguments& args);
int RunUaCondition(const Arguments& args);
// OPC UA only: a history read (raw, processed or at times).
int RunUaHistory(const Arguments& args);

// The help of a command ("" for the tool's own), and whether it knows it.
bool PrintHelp(const std::wstring& command);
