#include "ValueReplay.h"

#include <cmath>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "Configuration.h"
#include "CsvFields.h"
#include "CsvStream.h"
#include "EventLog.h"
#include "FileTime.h"
#include "HistorySeries.h"
#include "HistoryStore.h"
#include "LiveObjectSet.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "OPCS_Device.h"
#include "OpcConstants.h"
#include "Text.h"

namespace {
constexpr VARTYPE kUnknownItem = 0xFFFF;
constexpr std::uint64_t kTicksPerMs = 10000;

// A monotonic clock in 100 ns ticks: the schedule must not follow changes of the wall clock.
std::uint64_t ClockTicks() noexcept {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const auto count = static_cast<std::uint64_t>(now.QuadPart);
    return count / frequency * 10000000 + count % frequency * 10000000 / frequency;
}

bool IsHeader(const CsvRecord& record) { return !record.fields.empty() && SameCsvText(record.fields[0], L"Timestamp"); }

bool ParseQuality(const std::wstring& text, WORD& quality) {
    unsigned long long n = OPC_QUALITY_GOOD;
    if (!text.empty() && !ParseCsvUnsigned(text, 0xFFFF, n)) return false;
    quality = static_cast<WORD>(n);
    return true;
}

// Rows that fall due together share their timestamp's text: it is read once.
class TimeReader {
public:
    bool Read(const std::wstring& text, std::uint64_t& ticks) {
        if (!m_valid || text != m_text) {
            FILETIME time{};
            m_valid = !text.empty() && ParseCsvTime(text, time);
            m_text = text;
            m_ticks = FileTimeToU64(time);
        }
        ticks = m_ticks;
        return m_valid;
    }

private:
    std::wstring m_text;
    std::uint64_t m_ticks = 0;
    bool m_valid = false;
};

std::wstring Quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

class CheckList {
public:
    explicit CheckList(ReplayCheck& check) : m_check(check) {}
    void Add(size_t line, const std::wstring& problem) {
        if (line != m_line) {
            m_line = line;
            if (m_check.errors.size() == ReplayCheck::kMostErrors) {
                ++m_check.moreErrors;
                m_full = true;
                return;
            }
            m_full = false;
            m_check.errors.push_back(L"line " + std::to_wstring(line) + L": " + problem);
            return;
        }
        if (!m_full) m_check.errors.back() += L"; " + problem;
    }

private:
    ReplayCheck& m_check;
    size_t m_line = 0;
    bool m_full = false;
};
}  // namespace

std::wstring ReplayCheck::Text() const {
    std::wstring text;
    for (const std::wstring& error : errors) text += error + L"\n";
    if (moreErrors > 0) text += L"and " + std::to_wstring(moreErrors) + L" more bad rows\n";
    return text;
}

ValueReplay::ValueReplay(Configuration& configuration) : m_configuration(configuration) {}

ValueReplay::~ValueReplay() { Stop(); }

ReplayCheck ValueReplay::Check(const std::wstring& path) {
    ReplayCheck check;
    CheckList list(check);
    CsvStream stream;
    DWORD openError = ERROR_SUCCESS;
    if (!stream.Open(path, openError)) {
        check.errors.push_back(L"the file cannot be read: " + SystemErrorText(openError));
        return check;
    }
    // A tag's type by its item ID as the file spells it: one resolution per item.
    std::unordered_map<std::wstring, VARTYPE> types;
    TimeReader times;
    CsvRecord record;
    std::wstring error;
    Variant value;
    std::uint64_t previous = 0;
    bool first = true;
    for (;;) {
        const CsvStream::Result result = stream.Next(record, error);
        if (result == CsvStream::Result::End) break;
        if (result == CsvStream::Result::Failed) {
            check.errors.push_back(error);
            return check;
        }
        const bool wasFirst = first;
        first = false;
        if (result == CsvStream::Result::BadLine) {
            ++check.rows;
            list.Add(record.line, error);
            continue;
        }
        if (wasFirst && IsHeader(record)) continue;
        ++check.rows;
        const std::vector<std::wstring>& f = record.fields;
        if (f.size() < 3 || f.size() > 4) {
            list.Add(record.line, std::to_wstring(f.size()) +
                                      L" fields where a row has 3 or 4 "
                                      L"(Timestamp,ItemID,Value[,Quality])");
            continue;
        }
        std::uint64_t ticks = 0;
        if (!times.Read(f[0], ticks)) {
            list.Add(record.line,
                     L"the timestamp " + Quoted(f[0]) + L" is not a UTC time like 2026-12-07T10:15:00.0000000Z");
        } else {
            if (ticks < previous) {
                list.Add(record.line, L"timestamps out of order: " + f[0] + L" is earlier than the row before");
            }
            previous = ticks;
        }
        auto known = types.find(f[1]);
        if (known == types.end()) {
            VARTYPE type = kUnknownItem;
            {
                ScopedLock guard(m_configuration.Lock());
                if (OPCS_Tag* tag = m_configuration.FindTag(f[1])) type = tag->GetDataType();
            }
            known = types.emplace(f[1], type).first;
        }
        if (known->second == kUnknownItem) {
            list.Add(record.line, L"unknown item ID " + Quoted(f[1]));
        } else if (!ParseCsvValue(f[2], known->second, value)) {
            list.Add(record.line, L"the value " + Quoted(f[2]) + L" does not convert to " + CsvTypeText(known->second));
        }
        WORD quality = 0;
        if (f.size() == 4 && !ParseQuality(f[3], quality)) {
            list.Add(record.line, L"the quality " + Quoted(f[3]) + L" is not a number from 0 to 65535");
        }
    }
    if (check.rows == 0 && check.errors.empty()) check.errors.push_back(L"the file has no rows");
    return check;
}

ReplayCheck ValueReplay::Start(const std::wstring& path, const ReplayOptions& options, EndHandler onEnd) {
    auto refuse = [&](const std::wstring& why) {
        ReplayCheck refused;
        refused.errors.push_back(why);
        return refused;
    };
    if (!(options.speed > 0) || !std::isfinite(options.speed)) return refuse(L"the speed must be a positive number");
    if (CurrentThreadId() == m_threadId.load()) return refuse(L"a replay cannot be started from its own end");
    if (m_playing.load() || m_starting.exchange(true)) return refuse(L"a replay is already playing");
    ReplayCheck check = Check(path);
    ScopedLock guard(m_lock);
    m_lastCheck = check;
    m_fileName = path;
    if (!check.Passed()) {
        m_starting.store(false);
        theEventLog << L"Value replay refused:" << path << check.Text() << EventLog::EndEntry;
        return check;
    }
    m_thread.Join();  // a replay that ended by itself
    m_stop.Reset();
    m_rowsPlayed.store(0);
    m_rowsInFile.store(check.rows);
    m_loopsCompleted.store(0);
    m_rowsSkipped.store(0);
    m_playing.store(true);
    m_starting.store(false);
    theEventLog << L"Value replay started:" << path << EventLog::EndEntry;
    if (!m_thread.Start([this, path, options, onEnd = std::move(onEnd)] { return Play(path, options, onEnd); })) {
        m_playing.store(false);
        m_lastCheck = refuse(L"the replay's thread cannot be started");
        return m_lastCheck;
    }
    return check;
}

ReplayLoad ValueReplay::LoadIntoHistory(const std::wstring& path) {
    ReplayLoad load;
    load.check = Check(path);
    auto refused = [&] {
        theEventLog << L"Value replay refused:" << path << load.check.Text() << EventLog::EndEntry;
        return load;
    };
    if (!load.check.Passed()) return refused();
    // Every row is judged before the first is written.
    struct Target {
        std::shared_ptr<HistorySeries> series;  // null: unknown or not historized
        VARTYPE type = VT_EMPTY;
        bool known = false;
    };
    struct Row {
        HistorySeries* series;
        HistorySample sample;
        size_t line;
    };
    std::unordered_map<std::wstring, Target> targets;
    std::vector<Row> rows;
    rows.reserve(static_cast<size_t>(load.check.rows));
    HistoryStore& store = m_configuration.History();
    const HistoryTime spanStart = store.Now() - store.Limits().spanTicks;
    CheckList list(load.check);
    CsvStream stream;
    DWORD openError = ERROR_SUCCESS;
    if (!stream.Open(path, openError)) {
        load.check.errors.push_back(L"the file cannot be read: " + SystemErrorText(openError));
        return refused();
    }
    CsvRecord record;
    std::wstring error;
    Variant value;
    TimeReader times;
    bool firstRecord = true;
    for (;;) {
        const CsvStream::Result result = stream.Next(record, error);
        if (result == CsvStream::Result::End) break;
        if (result == CsvStream::Result::Failed) {
            load.check.errors.push_back(error);
            return refused();
        }
        const bool header = firstRecord && result == CsvStream::Result::Record && IsHeader(record);
        firstRecord = false;
        if (header) continue;
        const std::vector<std::wstring>& f = record.fields;
        std::uint64_t recorded = 0;
        WORD quality = OPC_QUALITY_GOOD;
        if (result != CsvStream::Result::Record || f.size() < 3 || f.size() > 4 || !times.Read(f[0], recorded) ||
            (f.size() == 4 && !ParseQuality(f[3], quality))) {
            list.Add(record.line, L"the row changed since the file was checked");
            continue;
        }
        Target& target = targets[f[1]];
        if (!target.known) {
            target.known = true;
            ScopedLock guard(m_configuration.Lock());
            if (OPCS_Tag* tag = m_configuration.FindTag(f[1])) {
                target.type = tag->GetDataType();
                if (tag->IsHistorized()) target.series = tag->History();
            }
        }
        if (target.series == nullptr) {
            list.Add(record.line, L"the tag " + Quoted(f[1]) + L" is not historized");
            continue;
        }
        const auto time = static_cast<HistoryTime>(recorded);
        if (time < spanStart) {
            list.Add(record.line, L"the timestamp " + f[0] + L" is older than the history keeps");
            continue;
        }
        if (!ParseCsvValue(f[2], target.type, value)) {
            list.Add(record.line, L"the row changed since the file was checked");
            continue;
        }
        HistorySample sample = OPCS_Tag::HistorySampleOf(value, target.type, target.series->Kind());
        sample.time = time;
        sample.quality = quality;
        rows.push_back(Row{target.series.get(), std::move(sample), record.line});
    }
    if (!load.check.Passed()) return refused();
    std::unordered_set<HistorySeries*> written;
    for (const Row& row : rows) {
        const HistoryUpdateOutcome outcome = row.series->Update(HistoryUpdateKind::Upsert, row.sample);
        if (outcome == HistoryUpdateOutcome::Inserted || outcome == HistoryUpdateOutcome::Replaced) {
            ++load.values;
            written.insert(row.series);
        } else if (load.notKept++ == 0) {
            load.firstNotKeptLine = row.line;
        }
    }
    load.tags = written.size();
    std::wstring what = std::to_wstring(load.values) + L" values of " + std::to_wstring(load.tags) + L" tags";
    if (load.notKept > 0) {
        what.append(L"; ").append(std::to_wstring(load.notKept)).append(L" not kept, the first on line ");
        what.append(std::to_wstring(load.firstNotKeptLine));
    }
    theEventLog << L"Value replay loaded into history:" << path << what << EventLog::EndEntry;
    return load;
}

void ValueReplay::Stop() {
    m_stop.Set();
    if (CurrentThreadId() == m_threadId.load()) return;
    ScopedLock guard(m_lock);
    m_thread.Join();
}

ReplayProgress ValueReplay::Progress() const noexcept {
    return ReplayProgress{m_playing.load(), m_rowsPlayed.load(), m_rowsInFile.load(), m_loopsCompleted.load(),
                          m_rowsSkipped.load()};
}

ReplayCheck ValueReplay::LastCheck() const {
    ScopedLock guard(m_lock);
    return m_lastCheck;
}

std::wstring ValueReplay::FileName() const {
    ScopedLock guard(m_lock);
    return m_fileName;
}

unsigned ValueReplay::Play(std::wstring path, ReplayOptions options, EndHandler onEnd) {
    m_threadId.store(CurrentThreadId());
    const ReplayEnd end = PlayPasses(path, options);
    theEventLog << L"Value replay ended:" << path
                << (end == ReplayEnd::Stopped  ? L"stopped"
                    : end == ReplayEnd::Failed ? L"failed"
                                               : L"finished")
                << EventLog::EndEntry;
    m_playing.store(false);
    if (onEnd) onEnd(end);
    m_threadId.store(0);
    return 0;
}

ReplayEnd ValueReplay::PlayPasses(const std::wstring& path, const ReplayOptions& options) {
    CsvStream stream;
    DWORD openError = ERROR_SUCCESS;
    if (!stream.Open(path, openError)) return ReplayEnd::Failed;
    CsvRecord record;
    std::wstring error;
    Variant value;
    TimeReader times;
    // Item IDs resolved once, used again while no tag has been deleted since.
    struct Resolved {
        OPCS_Tag* tag;
        std::uint64_t removals;
    };
    std::unordered_map<std::wstring, Resolved> tags;
    std::uint64_t base = ClockTicks();
    for (;;) {
        std::uint64_t firstTime = 0;
        std::uint64_t lastTime = 0;
        std::uint64_t distinctTimes = 0;
        bool first = true;
        bool firstRecord = true;
        // Read once for every row that falls due together.
        std::uint64_t now = ClockTicks();
        FILETIME stamp = FileTimeNow();
        for (;;) {
            const CsvStream::Result result = stream.Next(record, error);
            if (result == CsvStream::Result::End) break;
            if (result == CsvStream::Result::Failed) return ReplayEnd::Failed;
            const std::vector<std::wstring>& f = record.fields;
            std::uint64_t recorded = 0;
            WORD quality = OPC_QUALITY_GOOD;
            const bool header = firstRecord && result == CsvStream::Result::Record && IsHeader(record);
            firstRecord = false;
            if (header) continue;
            // The file may have changed since its check: a row that no longer reads is passed over.
            if (result != CsvStream::Result::Record || f.size() < 3 || f.size() > 4 || !times.Read(f[0], recorded) ||
                (f.size() == 4 && !ParseQuality(f[3], quality))) {
                m_rowsSkipped.fetch_add(1, std::memory_order_relaxed);
                m_rowsPlayed.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if (first) firstTime = recorded;
            if (first || recorded != lastTime) ++distinctTimes;
            first = false;
            lastTime = recorded;
            const double offset = static_cast<double>(recorded > firstTime ? recorded - firstTime : 0) / options.speed;
            const std::uint64_t due = base + static_cast<std::uint64_t>(offset);
            if (due > now) {
                now = ClockTicks();
                while (due > now) {
                    const std::uint64_t wait = (due - now + kTicksPerMs - 1) / kTicksPerMs;
                    if (m_stop.Wait(static_cast<DWORD>(wait)) != WaitResult::TimedOut) return ReplayEnd::Stopped;
                    now = ClockTicks();
                }
                stamp = FileTimeNow();
            }
            bool applied = false;
            {
                // Held for one row: a deletion or a file load cannot free the tag meanwhile.
                ScopedLock guard(m_configuration.Lock());
                const std::uint64_t removals = LiveTags().Removals();
                auto known = tags.find(f[1]);
                if (known == tags.end() || known->second.removals != removals) {
                    OPCS_Tag* found = m_configuration.FindTag(f[1]);
                    if (known != tags.end())
                        known->second = {found, removals};
                    else if (found != nullptr)
                        known = tags.emplace(f[1], Resolved{found, removals}).first;
                }
                OPCS_Tag* tag = known != tags.end() ? known->second.tag : nullptr;
                // A frozen device's values stand still: its rows pass by.
                OPCS_TagGroup* owner = tag != nullptr ? tag->GetOwner() : nullptr;
                OPCS_Device* device = owner != nullptr ? owner->GetDevice() : nullptr;
                if (device != nullptr && device->IsFrozen()) tag = nullptr;
                if (tag != nullptr && ParseCsvValue(f[2], tag->GetDataType(), value)) {
                    tag->SetValue(value, quality, stamp);
                    applied = true;
                }
            }
            if (!applied) m_rowsSkipped.fetch_add(1, std::memory_order_relaxed);
            m_rowsPlayed.fetch_add(1, std::memory_order_relaxed);
        }
        if (!options.loop) return ReplayEnd::Finished;
        // The first row comes again one recorded interval (the file's mean) after the last, so
        // that the last value is seen too; a file of one instant repeats once a second.
        const std::uint64_t span = lastTime - firstTime;
        const std::uint64_t interval = distinctTimes > 1 ? span / (distinctTimes - 1) : 10000000;
        base += static_cast<std::uint64_t>(static_cast<double>(span + interval) / options.speed);
        if (m_stop.Wait(0) != WaitResult::TimedOut) return ReplayEnd::Stopped;
        if (!stream.Rewind()) return ReplayEnd::Failed;
        m_loopsCompleted.fetch_add(1);
        m_rowsPlayed.store(0);
    }
}
