#pragma once
// A storm of alarm transitions for load tests: a device's tags with enabled
// limit or off-normal alarms are driven, one at a time and round robin in the
// device's tree order, into their alarm and back to normal, at a rate a client
// sets through the device's `_Control.AlarmStorm` item. Each transition is an
// ordinary write of the tag's value, so that its alarm is judged and its
// subscribers told as for any change. Worked by the device's poll thread
// between its cycles: no thread of its own.
#include <windows.h>

#include <optional>
#include <vector>

#include "AlarmSettings.h"
#include "Variant.h"

class OPCS_Tag;

// The value just beyond a tag's first upper limit (High, else HighHigh, else
// below Low, else LowLow), or off its normal value; and one back inside every
// limit by more than the deadband, or the normal value. Nothing for settings
// that alarm on nothing.
struct AlarmStormValues {
    Variant into;
    Variant normal;
};
std::optional<AlarmStormValues> StormValuesOf(const AlarmSettings& settings);

class AlarmStorm {
public:
    // Does the transitions due at `nowMs` at `perSecond` (0: off) over the
    // alarmed tags of `tags` (the list rebuilt when `tagsVersion` moves);
    // gives the milliseconds until the next is due, INFINITE when none is.
    // Switched off, it first brings back to normal the tags it left in alarm.
    DWORD RunDue(const std::vector<OPCS_Tag*>& tags, DWORD tagsVersion, DWORD perSecond, ULONGLONG nowMs);
    // The device stands still (frozen or out of service): the schedule starts
    // again from the next run, without a burst to catch up.
    void Pause() noexcept { m_started = false; }
    // Off: from the first tag, every one at normal.
    void Reset() noexcept;
    size_t TagCount() const noexcept { return m_tags.size(); }

private:
    struct Entry {
        OPCS_Tag* tag;
        bool inAlarm;
    };
    void Rebuild(const std::vector<OPCS_Tag*>& tags);
    // The next tag's transition; false when no tag is left to take one.
    bool Step();
    static bool Drive(Entry& entry, bool intoAlarm);

    std::vector<Entry> m_tags;
    size_t m_next = 0;
    std::optional<DWORD> m_builtVersion;
    DWORD m_perSecond = 0;
    bool m_started = false;
    ULONGLONG m_startMs = 0;
    unsigned long long m_done = 0;  // transitions since m_startMs
};
