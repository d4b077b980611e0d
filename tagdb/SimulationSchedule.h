#pragma once
// A device's simulated signals: the simulated tags of its flat list in one
// bucket per update rate, each bucket with the time it is next due, worked
// by the device's poll thread between its cycles. No thread per tag.
#include <windows.h>

#include <random>
#include <vector>

class OPCS_Tag;

class SimulationSchedule {
public:
    // Takes the simulated tags of `tags`; a tag kept from before keeps where
    // its signal stands. Every bucket is due at `nowMs`.
    void Rebuild(const std::vector<OPCS_Tag*>& tags, ULONGLONG nowMs);
    // Gives every signal due at `nowMs` its next value; the milliseconds until
    // the next bucket is due, INFINITE when there is none.
    DWORD RunDue(ULONGLONG nowMs);
    size_t SignalCount() const noexcept;

private:
    struct Signal {
        OPCS_Tag* tag;
        DWORD kind;
        DWORD step;
        double periodMs;
        double phase = 0;    // waveforms: where in the period the signal stands
        double written = 0;  // the value as the tag took it at the last write
        bool hasWritten = false;
    };
    struct Bucket {
        DWORD everyMs;
        ULONGLONG dueMs;
        std::vector<Signal> signals;
    };
    void Advance(Signal& signal, unsigned long long ticks, DWORD everyMs);

    std::vector<Bucket> m_buckets;
    std::mt19937 m_random{0x5EED};
};
