#pragma once
// Tells the clients that the server is going: every IOPCShutdown sink
// advised on a live server object gets ShutdownRequest with the reason. Each
// call runs on a thread of its own and the whole batch waits at most
// `limitMs`, so that a dead or hung client cannot hold up the end; a call
// still running then is left to the end of the process, and the event log
// names its client. No lock is held across the calls. Gives the number of
// sinks called.
#include <windows.h>

size_t NotifyShutdown(const wchar_t* reason, DWORD limitMs = 2000);
