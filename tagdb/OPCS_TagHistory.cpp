// The tag's history: its setting, the recording of its changes and the poll
// request that keeps a historized tag's device polling.
#include <cstdint>
#include <functional>

#include "Configuration.h"
#include "FileTime.h"
#include "HistoryStore.h"
#include "OPCS_Device.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "SimulatedPast.h"
#include "SimulatedSignal.h"

namespace {
HistoryValueKind KindOfType(DWORD type) {
    switch (type) {
    case VT_BOOL: return HistoryValueKind::Boolean;
    case VT_R4:
    case VT_R8: return HistoryValueKind::Float;
    case VT_BSTR: return HistoryValueKind::Text;
    default: return HistoryValueKind::Integer;
    }
}

HistoryTime Ticks(const FILETIME& time) { return static_cast<HistoryTime>(FileTimeToU64(time)); }

bool IsZero(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }
}  // namespace

void OPCS_Tag::SetHistorize(bool on) {
    {
        ScopedLock guard(m_lock);
        if (on == m_historize.load()) return;
        m_historize.store(on, std::memory_order_release);
        MarkModifiedIfOwned();
    }
    SyncHistory();
}

std::shared_ptr<HistorySeries> OPCS_Tag::History() {
    ScopedLock guard(m_lock);
    return m_history != nullptr ? m_history->series : nullptr;
}

HistorySample OPCS_Tag::HistorySampleOf(const Variant& value, VARTYPE type, HistoryValueKind kind) {
    HistorySample sample;
    // In the tag's type first: a value counted before its conversion (SetValue) is recorded as readers get it.
    Variant typed = value;
    if (!typed.IsEmpty() && typed.Type() != type) typed.ChangeType(type);
    if (kind == HistoryValueKind::Text) {
        if (!typed.IsEmpty() && SUCCEEDED(typed.ChangeType(VT_BSTR)) && V_BSTR(&typed.Ref()) != nullptr) {
            sample.text.assign(V_BSTR(&typed.Ref()), SysStringLen(V_BSTR(&typed.Ref())));
        }
        return sample;
    }
    if (!typed.IsEmpty() && SUCCEEDED(typed.ChangeType(VT_R8))) sample.number = V_R8(&typed.Ref());
    if (kind == HistoryValueKind::Boolean) sample.number = sample.number != 0 ? 1 : 0;
    return sample;
}

HistorySample OPCS_Tag::HistorySampleNow(HistoryValueKind kind) const {
    HistorySample sample = HistorySampleOf(m_value, static_cast<VARTYPE>(m_dataType), kind);
    sample.quality = QualityInEffect();
    return sample;
}

void OPCS_Tag::BeginHistory(HistoryStore& store) {
    const HistoryValueKind kind = KindOfType(m_dataType);
    OPCS_Device* pollDevice = m_history != nullptr ? m_history->pollDevice : nullptr;
    m_history = std::make_unique<TagHistory>();
    m_history->pollDevice = pollDevice;
    m_history->store = &store;
    m_history->series = store.CreateSeries(kind);
    HistorySample first = HistorySampleNow(kind);
    first.time = Ticks(FileTimeNow());
    m_history->series->Record(first);
    m_history->last = first;
    m_history->seenTimestamp = m_timestamp;
    if (!m_simulationEnabled.load() || !IsSimulationKind(m_simulationKind) || kind == HistoryValueKind::Text) return;
    // The signal's range as the schedule takes it (SimulationSchedule::Advance).
    SimulatedPastSignal signal;
    signal.kind = m_simulationKind;
    signal.step = m_simulationStep;
    signal.period = m_simulationPeriod;
    signal.type = static_cast<VARTYPE>(m_dataType);
    signal.low = kDefaultSimulationLow;
    signal.high = kDefaultSimulationHigh;
    if (m_dataType == VT_BOOL) {
        signal.high = 1;
    } else if (m_valueLimitsSet && m_valueHigh > m_valueLow) {
        signal.low = m_valueLow;
        signal.high = m_valueHigh;
    }
    signal.current = first.number;
    signal.seed = std::hash<std::wstring>{}(GetName()) ^ static_cast<std::uint64_t>(first.time);
    m_history->series->SetPast(SimulatedPast(signal, first.time));
}

void OPCS_Tag::RecordHistory() {
    if (m_history == nullptr) return;
    const HistoryValueKind kind = KindOfType(m_dataType);
    const HistoryValueKind had = m_history->series->Kind();
    if (kind != had) {
        // A number stays a number; text and numbers do not share a series.
        if (kind != HistoryValueKind::Text && had != HistoryValueKind::Text) {
            m_history->series->SetKind(kind);
        } else {
            BeginHistory(*m_history->store);
            return;
        }
    }
    HistorySample sample = HistorySampleNow(kind);
    const bool moved = !(m_timestamp == m_history->seenTimestamp);
    const HistorySample& last = m_history->last;
    if (!moved && sample.number == last.number && sample.text == last.text && sample.quality == last.quality) return;
    // A change that kept the timestamp (a forcing) happened now; so did one that cleared it.
    sample.time = moved && !IsZero(m_timestamp) ? Ticks(m_timestamp) : Ticks(FileTimeNow());
    m_history->series->Record(sample);
    m_history->last = std::move(sample);
    m_history->seenTimestamp = m_timestamp;
}

void OPCS_Tag::SyncHistory() {
    OPCS_Device* release = nullptr;
    OPCS_Device* request = nullptr;
    {
        ScopedLock guard(m_lock);
        Configuration* configuration = m_historize.load() ? OwnerConfiguration() : nullptr;
        if (configuration == nullptr) {
            if (m_history == nullptr) return;
            release = m_history->pollDevice;
            m_history.reset();
        } else {
            if (m_history == nullptr || m_history->store != &configuration->History()) {
                BeginHistory(configuration->History());
            }
            OPCS_Device* wanted = nullptr;
            if (configuration->IsAlarmPollingOn()) {
                // Only a device carries a configuration: the top of the tree is one.
                OPCS_TagGroup* top = m_owner;
                while (OPCS_TagGroup* parent = top->GetParent()) top = parent;
                wanted = static_cast<OPCS_Device*>(top);
            }
            if (wanted == m_history->pollDevice) return;
            release = m_history->pollDevice;
            request = wanted;
            m_history->pollDevice = wanted;
        }
    }
    ReleaseAlarmPoll(release);
    if (request != nullptr && OPCS_TagGroup::IsValidGroup(request)) request->AddAlarmPoll();
}

OPCS_Device* OPCS_Tag::RetireHistory() {
    ScopedLock guard(m_lock);
    if (m_history == nullptr) return nullptr;
    OPCS_Device* device = m_history->pollDevice;
    m_history.reset();
    return device;
}
