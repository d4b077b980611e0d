#pragma once
// What the benchmarks' floor servers share: the stack set up as the program
// sets up its endpoint, less the secure policies, and the run until Ctrl+C
// or the process's end.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// naptypes.h (through iphlpapi.h) defines this as a macro; the stack's
// structures have a member of that name.
#undef maxStringLength

#include <open62541/server.h>

// A quiet logger, listening on loopback only at `port`, None security,
// anonymous access. On failure the configuration is cleaned and the reason
// printed.
UA_StatusCode ConfigureFloor(UA_ServerConfig& config, long port);

// Starts `server`, prints `banner` once it listens, serves until stopped and
// deletes it; the process's exit code.
int RunFloor(UA_Server* server, long port, const char* banner);
