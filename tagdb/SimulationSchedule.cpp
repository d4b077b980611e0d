#include "SimulationSchedule.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "SimulatedSignal.h"
#include "OPCS_Tag.h"

namespace {
bool AsDouble(const Variant& value, double& result) {
    HRESULT hr = S_OK;
    const Variant converted = value.ConvertedTo(VT_R8, &hr);
    if (FAILED(hr)) return false;
    result = V_R8(&converted.Ref());
    return std::isfinite(result);
}
}  // namespace

void SimulationSchedule::Rebuild(const std::vector<OPCS_Tag*>& tags, ULONGLONG nowMs) {
    std::unordered_map<OPCS_Tag*, Signal> before;
    for (Bucket& bucket : m_buckets) {
        for (Signal& signal : bucket.signals) before.emplace(signal.tag, signal);
    }
    m_buckets.clear();
    for (OPCS_Tag* tag : tags) {
        if (!OPCS_Tag::IsValidTag(tag) || !tag->IsSimulated()) continue;
        const TagSimulation settings = tag->GetSimulation();
        if (!settings.enabled || !IsSimulationKind(settings.kind)) continue;
        Signal signal{tag, settings.kind, settings.step,
                      static_cast<double>(std::max<DWORD>(settings.period, 1)) * kSimulationTickMs};
        if (auto old = before.find(tag); old != before.end() && old->second.kind == settings.kind) {
            signal.phase = old->second.phase;
            signal.written = old->second.written;
            signal.hasWritten = old->second.hasWritten;
        }
        const DWORD everyMs = SimulationUpdateMs(settings.kind, settings.period);
        auto bucket = std::find_if(m_buckets.begin(), m_buckets.end(),
                                   [everyMs](const Bucket& b) { return b.everyMs == everyMs; });
        if (bucket == m_buckets.end()) bucket = m_buckets.insert(m_buckets.end(), Bucket{everyMs, nowMs, {}});
        bucket->signals.push_back(signal);
    }
}

DWORD SimulationSchedule::RunDue(ULONGLONG nowMs) {
    ULONGLONG next = ~0ull;
    for (Bucket& bucket : m_buckets) {
        if (bucket.dueMs <= nowMs) {
            // A late run catches up in one step: the signals move by the time
            // that passed, without a burst of writes.
            const unsigned long long ticks = (nowMs - bucket.dueMs) / bucket.everyMs + 1;
            bucket.dueMs += ticks * bucket.everyMs;
            for (Signal& signal : bucket.signals) Advance(signal, ticks, bucket.everyMs);
        }
        next = std::min(next, bucket.dueMs);
    }
    if (next == ~0ull) return INFINITE;
    return static_cast<DWORD>(std::min<ULONGLONG>(next - nowMs, INFINITE - 1));
}

void SimulationSchedule::Advance(Signal& signal, unsigned long long ticks, DWORD everyMs) {
    if (!OPCS_Tag::IsValidTag(signal.tag)) return;
    const TagChangeState now = signal.tag->GetChangeState();
    const bool isBool = now.type == VT_BOOL;
    double low = kDefaultSimulationLow, high = kDefaultSimulationHigh;
    if (isBool) {
        high = 1;
    } else if (now.deadband.limitsSet && now.deadband.high > now.deadband.low) {
        low = now.deadband.low;
        high = now.deadband.high;
    }
    // Bool's true is -1 as a number: the signals know it as 1.
    auto read = [isBool](const Variant& v, double& out) {
        if (!AsDouble(v, out)) return false;
        if (isBool) out = out != 0 ? 1 : 0;
        return true;
    };
    double current = 0;
    const bool hasCurrent = read(now.state.value, current);
    // A value someone else wrote (a client, the operator) is where the signal goes on from.
    const bool rewritten = hasCurrent && (!signal.hasWritten || current != signal.written);
    double value = low;
    switch (signal.kind) {
    case kSimulateRandom:
        value = std::uniform_real_distribution<double>(low, high)(m_random);
        if (isBool) value = value >= 0.5 ? 1 : 0;
        break;
    case kSimulateCount: {
        const double step = signal.step == 0 ? 1.0 : static_cast<double>(signal.step);
        value = hasCurrent && current >= low && current <= high ? current : low - step;
        unsigned long long left = ticks;
        while (left > 0) {
            --left;
            value += step;
            if (value > high) {
                value = low;
                break;
            }
        }
        if (left > 0) {  // past the first wrap the count runs on the grid from low
            const auto cycle = static_cast<unsigned long long>(std::floor((high - low) / step)) + 1;
            value = low + step * static_cast<double>(left % cycle);
        }
        break;
    }
    default:
        if (rewritten) signal.phase = PhaseOf(signal.kind, current, low, high);
        signal.phase = std::fmod(signal.phase + static_cast<double>(ticks) * everyMs / signal.periodMs, 1.0);
        value = WaveAt(signal.kind, signal.phase, low, high);
        if (isBool) value = value >= 0.5 ? 1 : 0;
        break;
    }
    Variant next = Variant::FromDouble(value);
    if (signal.tag->WriteValue(next)) {
        signal.hasWritten = read(signal.tag->GetValue(), signal.written);
    }
}

size_t SimulationSchedule::SignalCount() const noexcept {
    size_t n = 0;
    for (const Bucket& bucket : m_buckets) n += bucket.signals.size();
    return n;
}
