#include "SimulatedPast.h"

#include <algorithm>
#include <cmath>

#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "Variant.h"

namespace {
// A well-mixed 64-bit number of (seed, index): the same draw at every read.
std::uint64_t Mix(std::uint64_t seed, std::uint64_t index) {
    std::uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The value as the tag would have taken it (its type's conversion), as a number.
double AsTaken(double value, VARTYPE type) {
    Variant v = Variant::FromDouble(value);
    if (FAILED(v.ChangeType(type)) || FAILED(v.ChangeType(VT_R8))) return value;
    const double taken = V_R8(&v.Ref());
    return type == VT_BOOL ? (taken != 0 ? 1 : 0) : taken;
}

// What the count stood at `back` steps before `current` (SimulationSchedule
// counts up by `step` and starts again at low past high).
double CountBefore(double current, double low, double high, double step, std::uint64_t back) {
    if (!(current >= low && current <= high)) current = low;
    const auto down = static_cast<std::uint64_t>(std::floor((current - low) / step));
    if (back <= down) return current - step * static_cast<double>(back);
    const auto cycle = static_cast<std::uint64_t>(std::floor((high - low) / step)) + 1;
    const std::uint64_t onGrid = (back - down - 1) % cycle;  // steps down from the grid's top
    return low + step * static_cast<double>(cycle - 1 - onGrid);
}
}  // namespace

HistoryPast SimulatedPast(const SimulatedPastSignal& signal, HistoryTime end) {
    const DWORD periodTicks = std::max<DWORD>(signal.period, 1);
    const HistoryTime stepTicks =
        static_cast<HistoryTime>(SimulationUpdateMs(signal.kind, signal.period)) * kHistoryTicksPerMs;
    const bool isBool = signal.type == VT_BOOL;
    // As the live signal does when it takes up a value: its phase on the rising side.
    const double phase = IsWaveform(signal.kind) ? PhaseOf(signal.kind, signal.current, signal.low, signal.high) : 0;
    const SimulatedPastSignal s = signal;
    auto at = [s, end, stepTicks, periodTicks, isBool, phase](HistoryTime time) {
        const auto back = static_cast<std::uint64_t>((end - time) / stepTicks);
        double value = s.low;
        if (s.kind == kSimulateRandom) {
            const double unit = static_cast<double>(Mix(s.seed, back) >> 11) * 0x1.0p-53;
            value = s.low + (s.high - s.low) * unit;
            if (isBool) value = value >= 0.5 ? 1 : 0;
        } else if (s.kind == kSimulateCount) {
            value = CountBefore(s.current, s.low, s.high, s.step == 0 ? 1.0 : static_cast<double>(s.step), back);
        } else {
            double p = std::fmod(phase - static_cast<double>(back % periodTicks) / periodTicks, 1.0);
            if (p < 0) p += 1;
            value = WaveAt(s.kind, p, s.low, s.high);
            if (isBool) value = value >= 0.5 ? 1 : 0;
        }
        return HistorySample{time, AsTaken(value, s.type), {}, OPC_QUALITY_GOOD};
    };
    return HistoryPast{end, stepTicks, at};
}
