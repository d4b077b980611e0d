#include "SimulatedSignal.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kTwoPi = 6.283185307179586;

double Fraction(double x) noexcept {
    const double f = x - std::floor(x);
    return f >= 1.0 ? 0.0 : f;
}
}  // namespace

double WaveAt(DWORD kind, double phase, double low, double high) noexcept {
    phase = Fraction(phase);
    const double span = high - low;
    switch (kind) {
    case kSimulateRamp: return low + span * phase;
    case kSimulateTriangle: return low + span * (phase < 0.5 ? 2 * phase : 2 - 2 * phase);
    case kSimulateSine: return low + span * 0.5 * (1 + std::sin(kTwoPi * phase));
    case kSimulateSquare: return phase < 0.5 ? high : low;
    default: return low;
    }
}

double PhaseOf(DWORD kind, double value, double low, double high) noexcept {
    const double span = high - low;
    if (!(span > 0)) return 0;
    const double at = std::clamp((value - low) / span, 0.0, 1.0);
    switch (kind) {
    case kSimulateRamp: return at >= 1.0 ? 0.0 : at;
    case kSimulateTriangle: return at / 2;
    // asin gives the rising side, -1/4 .. 1/4 of a period.
    case kSimulateSine: return Fraction(std::asin(2 * at - 1) / kTwoPi);
    case kSimulateSquare: return at >= 0.5 ? 0.0 : 0.5;
    default: return 0;
    }
}

DWORD SimulationUpdateMs(DWORD kind, DWORD periodTicks) noexcept {
    if (IsWaveform(kind)) return kSimulationTickMs;
    const unsigned long long ms = std::max<unsigned long long>(periodTicks, 1) * kSimulationTickMs;
    return static_cast<DWORD>(std::min<unsigned long long>(ms, 0x7FFFFFFFull));
}
