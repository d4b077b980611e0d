#pragma once
// Ends every other running copy of the program, for an uninstall or an
// update: each main window is asked to close (see CloseRequest.h; an older
// version gets WM_CLOSE), copies without a window that run this very program
// file are waited for too, and whatever still runs after `waitMs` is
// terminated. The result is the process's exit code.
#include <windows.h>

enum class CloseResult : int {
    Ended = 0,         // none runs any more (or none ran)
    StillRunning = 1,  // one could not be ended
    EndedByForce = 2,  // none runs any more, but one had to be terminated
};

CloseResult CloseRunningInstances(DWORD waitMs);
