#pragma once
// The "RegServer" and "UnregServer" actions of the command line.
#include <windows.h>

class ServerModule;

// Writes the AppID, class and ProgID keys, registers the OPC interfaces'
// proxy/stub beside the program when no proxy is registered for them, then
// saves the settings (which creates their key). A failure of the class script is shown in a "COM Error"
// box; the result is the first failure, or S_OK.
HRESULT RegisterServer(const ServerModule& module);

// Removes what the scripts wrote, then the program's own registry keys, its
// last used configuration file and its event log file. Never shows a box;
// the result is that of the scripts (the rest is removed whatever it was).
HRESULT UnregisterServer(const ServerModule& module);
