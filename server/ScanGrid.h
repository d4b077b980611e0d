#pragma once
// When a group's next scan is due. The scans keep to a grid of the update
// rate, so that a wake-up's delay does not push every later scan back: a
// client at 1,000 ms gets a report each second, not each second and the
// delays, and a value changing once a second is never skipped as the scans
// slide past its changes.
#include <windows.h>

// The scan that started at `scanStart` was due at `previousDue` (0: it is the
// first). A scan begun before its time (an activation, a client's write
// reported soon) starts a new grid a whole period after it; one late by a
// period or more gives up the points it missed, not its phase.
ULONGLONG NextScanDue(ULONGLONG previousDue, ULONGLONG scanStart, DWORD rate) noexcept;
