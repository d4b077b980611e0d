#pragma once
// The tool's output: whole lines, UTF-8, flushed at once (a watch is read
// while it runs), from any thread.
#include <windows.h>
#include <string>

void PrintLine(const std::string& line);
// "tovi-opc: error: ..." on the error stream.
void PrintError(const std::string& line);
// "tovi-opc: ..." on the error stream: worth knowing, not a failure, and out
// of the way of csv and json output.
void PrintNote(const std::string& line);

// Set by Ctrl+C, Ctrl+Break or the console's closing while CatchStop(true)
// holds: a watch ends on it.
HANDLE StopEvent();
void CatchStop(bool on);
