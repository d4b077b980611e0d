#include "AlarmStorm.h"

#include <algorithm>
#include <unordered_map>

#include "OPCS_Tag.h"

namespace {
// A run on a slow machine catches up in chunks, so that the poll thread still
// hears a stop or a wake-up between them.
constexpr unsigned long long kMostPerRun = 2000;

// A step beyond `limit`, short of the next limit out when there is one: the
// tag enters the first state and not the one past it.
double Beyond(double limit, const std::optional<double>& next, double direction) {
    double step = 1;
    if (next && (*next - limit) * direction > 0) step = std::min(step, (*next - limit) * direction / 2);
    return limit + step * direction;
}
}  // namespace

std::optional<AlarmStormValues> StormValuesOf(const AlarmSettings& s) {
    if (!s.enabled) return std::nullopt;
    if (s.kind == AlarmKind::OffNormal) {
        const Variant& normal = s.normalValue;
        switch (normal.Type()) {
        case VT_BOOL: return AlarmStormValues{Variant::FromBool(V_BOOL(&normal.Ref()) == VARIANT_FALSE), normal};
        case VT_BSTR: {
            const BSTR text = V_BSTR(&normal.Ref());
            const std::wstring other = (text != nullptr ? std::wstring(text) : std::wstring()) + L"!";
            return AlarmStormValues{Variant::FromString(other), normal};
        }
        default: {
            HRESULT hr = S_OK;
            const Variant number = normal.ConvertedTo(VT_R8, &hr);
            if (FAILED(hr)) return std::nullopt;
            return AlarmStormValues{Variant::FromDouble(V_R8(&number.Ref()) + 1), normal};
        }
        }
    }
    if (s.kind != AlarmKind::ExclusiveLimit && s.kind != AlarmKind::NonExclusiveLimit) return std::nullopt;
    double into = 0;
    if (s.high) {
        into = Beyond(*s.high, s.highHigh, 1);
    } else if (s.highHigh) {
        into = Beyond(*s.highHigh, std::nullopt, 1);
    } else if (s.low) {
        into = Beyond(*s.low, s.lowLow, -1);
    } else if (s.lowLow) {
        into = Beyond(*s.lowLow, std::nullopt, -1);
    } else {
        return std::nullopt;
    }
    // Inside by more than the deadband, or an active state would hold.
    std::optional<double> upper = s.high ? s.high : s.highHigh;
    std::optional<double> lower = s.low ? s.low : s.lowLow;
    if (s.high && s.highHigh) upper = std::min(*s.high, *s.highHigh);
    if (s.low && s.lowLow) lower = std::max(*s.low, *s.lowLow);
    double normal = 0;
    if (upper && lower) {
        normal = (*upper + *lower) / 2;
    } else if (upper) {
        normal = *upper - s.deadband - 1;
    } else {
        normal = *lower + s.deadband + 1;
    }
    return AlarmStormValues{Variant::FromDouble(into), Variant::FromDouble(normal)};
}

void AlarmStorm::Reset() noexcept {
    m_tags.clear();
    m_next = 0;
    m_builtVersion.reset();
    m_started = false;
}

void AlarmStorm::Rebuild(const std::vector<OPCS_Tag*>& tags) {
    // Tags kept from before keep where they stand, and the turn goes on from
    // where it was, past tags that left.
    std::unordered_map<OPCS_Tag*, bool> inAlarm;
    for (const Entry& entry : m_tags) inAlarm.emplace(entry.tag, entry.inAlarm);
    std::vector<Entry> fresh;
    std::unordered_map<OPCS_Tag*, size_t> position;
    for (OPCS_Tag* tag : tags) {
        if (!OPCS_Tag::IsValidTag(tag) || !tag->HasAlarm()) continue;
        const auto before = inAlarm.find(tag);
        position.emplace(tag, fresh.size());
        fresh.push_back(Entry{tag, before != inAlarm.end() && before->second});
    }
    size_t next = 0;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        const auto kept = position.find(m_tags[(m_next + i) % m_tags.size()].tag);
        if (kept != position.end()) {
            next = kept->second;
            break;
        }
    }
    m_tags.swap(fresh);
    m_next = next;
}

bool AlarmStorm::Drive(Entry& entry, bool intoAlarm) {
    if (!OPCS_Tag::IsValidTag(entry.tag)) return false;
    const std::optional<AlarmStormValues> values = StormValuesOf(entry.tag->GetAlarmSettings());
    if (!values) return false;
    Variant value = intoAlarm ? values->into : values->normal;
    entry.tag->WriteValue(value);
    entry.inAlarm = intoAlarm;
    return true;
}

bool AlarmStorm::Step() {
    // A tag whose alarm went or was disabled meanwhile gives its turn to the next.
    for (size_t tried = 0; tried < m_tags.size(); ++tried) {
        Entry& entry = m_tags[m_next];
        m_next = (m_next + 1) % m_tags.size();
        if (Drive(entry, !entry.inAlarm)) return true;
    }
    return false;
}

DWORD AlarmStorm::RunDue(const std::vector<OPCS_Tag*>& tags, DWORD tagsVersion, DWORD perSecond, ULONGLONG nowMs) {
    if (perSecond == 0) {
        for (Entry& entry : m_tags) {
            if (entry.inAlarm) Drive(entry, false);
        }
        Reset();
        m_perSecond = 0;
        return INFINITE;
    }
    // A new rate also takes up alarms set since the tags last changed.
    if (m_builtVersion != tagsVersion || perSecond != m_perSecond) {
        Rebuild(tags);
        m_builtVersion = tagsVersion;
    }
    if (!m_started || perSecond != m_perSecond) {
        // Counted from now on: a new rate owes nothing for the time before.
        m_started = true;
        m_perSecond = perSecond;
        m_startMs = nowMs;
        m_done = 0;
    }
    if (m_tags.empty()) return INFINITE;
    // By the time since the start, not by summed waits: the count stays exact
    // however late each wake-up comes.
    const unsigned long long due = (nowMs - m_startMs) * perSecond / 1000;
    const unsigned long long now = std::min(due, m_done + kMostPerRun);
    while (m_done < now) {
        if (!Step()) {
            m_done = due;  // no tag alarms any more: nothing owed either
            break;
        }
        ++m_done;
    }
    if (m_done < due) return 0;
    // The first millisecond at which the next transition is due.
    const unsigned long long nextMs = ((m_done + 1) * 1000 + perSecond - 1) / perSecond;
    return static_cast<DWORD>(std::min<unsigned long long>(m_startMs + nextMs - nowMs, INFINITE - 1));
}
