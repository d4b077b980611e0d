#pragma once
// The past a simulated tag's history shows from before its recording began:
// one sample per step the signal would have taken, computed when read, so
// that a fresh server already has a history and it leads without a jump
// into the live signal.
#include <windows.h>
#include <cstdint>

#include "HistorySeries.h"

// What the past is computed from, taken by value from the tag as its
// recording begins (the past must not refer to the tag).
struct SimulatedPastSignal {
    DWORD kind = 0;
    DWORD step = 0;
    DWORD period = 10;  // in ticks of 100 ms
    double low = 0, high = 100;
    double current = 0;      // where the signal stands: the tag's value
    VARTYPE type = VT_R8;    // the value as the tag takes it (rounding, float precision)
    std::uint64_t seed = 0;  // the random signal's draws
};

// The past ending at `end` (its last step is one step before it).
HistoryPast SimulatedPast(const SimulatedPastSignal& signal, HistoryTime end);
