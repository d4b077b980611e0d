#pragma once
// The transport floor: an out-of-process object whose methods take the OPC
// item arrays, hand back result arrays of the right size and do nothing else.
#include <windows.h>

#include "EchoShapes.h"

// Serves the echo class from this process until its last object is released
// (or, never used, after a minute). The process exit code.
int RunEchoServer();

// Writes (or removes) the echo class's local-server key for this executable
// and registers (or unregisters) the echo proxy/stub DLL beside it.
HRESULT RegisterEchoServer(bool unregister);

// An echo object in this process: the same calls with neither marshalling nor
// any server code, a floor for the server's objects called in process.
HRESULT CreateEchoObject(IItemShapeEcho** echo);
