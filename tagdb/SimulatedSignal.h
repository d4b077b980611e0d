#pragma once
// The signals a simulated tag follows while its device polls. The kinds are
// stored in configuration files as these numbers: never renumber them.
#include <windows.h>

enum SimulationKind : DWORD {
    kSimulateRamp = 1,      // rises from low to high over the period, then starts again at low
    kSimulateTriangle = 2,  // rises over the first half of the period, falls over the second
    kSimulateSine = 3,      // one sine wave per period, centred between low and high
    kSimulateSquare = 4,    // high for the first half of the period, low for the second
    kSimulateRandom = 5,    // a new value between low and high, drawn evenly, once per period
    kSimulateCount = 6,     // adds the step once per period; past high it starts again at low
};
inline constexpr DWORD kFirstSimulationKind = kSimulateRamp;
inline constexpr DWORD kLastSimulationKind = kSimulateCount;

// The period is counted in ticks; the waveforms take a new value every tick.
inline constexpr DWORD kSimulationTickMs = 100;
// The range of a tag without value limits (Bool tags: 0 and 1).
inline constexpr double kDefaultSimulationLow = 0;
inline constexpr double kDefaultSimulationHigh = 100;

constexpr bool IsSimulationKind(DWORD kind) noexcept {
    return kind >= kFirstSimulationKind && kind <= kLastSimulationKind;
}
constexpr bool IsWaveform(DWORD kind) noexcept { return kind >= kSimulateRamp && kind <= kSimulateSquare; }

// A waveform's value at `phase` (0 <= phase < 1) of its period.
double WaveAt(DWORD kind, double phase, double low, double high) noexcept;
// The phase at which a waveform has `value`, on its rising side: a value
// written to the tag is where the signal goes on from.
double PhaseOf(DWORD kind, double value, double low, double high) noexcept;
// Milliseconds between two new values: every tick for the waveforms, once per
// period for random and count. A period of 0 counts as one tick.
DWORD SimulationUpdateMs(DWORD kind, DWORD periodTicks) noexcept;
