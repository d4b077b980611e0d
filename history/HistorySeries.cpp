#include "HistorySeries.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <string_view>
#include <utility>

#include "HistoryShared.h"
#include "HistoryStore.h"

namespace {
// A series starts with small chunks and doubles them, so that thousands of
// quiet tags cost little and a busy one pays next to nothing per chunk.
constexpr std::uint32_t kFirstCapacity = 8;
constexpr std::uint32_t kMaxCapacity = 1024;
constexpr std::uint32_t kTextMaxCapacity = 256;
constexpr std::uint32_t kTextCharsPerSample = 16;
constexpr std::uint32_t kTextMaxArena = kTextMaxCapacity * kTextCharsPerSample;
// What a materialized sample costs at least: it decides whether an edit in
// the computed past fits in the memory bound.
constexpr std::uint64_t kBytesPerSample = sizeof(HistoryTime) + sizeof(double) + sizeof(HistoryQuality);

bool IsText(HistoryValueKind kind) { return kind == HistoryValueKind::Text; }

// The bytes of one series, and of the store it counts into.
struct Account {
    std::shared_ptr<HistoryShared> store;
    std::atomic<std::size_t> bytes{0};
};

// Samples in columns. Written only by its series under the series' lock, and
// only at indexes no reader has taken: a reader copies (chunk, end) under
// that lock and reads the indexes below `end` without it.
struct Chunk {
    Chunk(std::shared_ptr<Account> owner, std::uint32_t capacityIn, bool text, std::uint32_t arenaCharsIn)
        : account(std::move(owner)), capacity(capacityIn), arenaChars(arenaCharsIn) {
        times = std::make_unique_for_overwrite<HistoryTime[]>(capacity);
        qualities = std::make_unique_for_overwrite<HistoryQuality[]>(capacity);
        bytes = sizeof(Chunk) + capacity * (sizeof(HistoryTime) + sizeof(HistoryQuality));
        if (text) {
            offsets = std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 1);
            offsets[0] = 0;
            arena = std::make_unique_for_overwrite<wchar_t[]>(arenaChars);
            bytes += (capacity + 1) * sizeof(std::uint32_t) + arenaChars * sizeof(wchar_t);
        } else {
            numbers = std::make_unique_for_overwrite<double[]>(capacity);
            bytes += capacity * sizeof(double);
        }
        account->bytes.fetch_add(bytes, std::memory_order_relaxed);
        account->store->Add(bytes);
    }
    ~Chunk() {
        account->bytes.fetch_sub(bytes, std::memory_order_relaxed);
        account->store->Release(bytes);
    }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;

    bool Text() const { return offsets != nullptr; }
    bool Fits(const HistorySample& sample, bool text) const {
        if (text != Text() || count >= capacity) return false;
        return !text || offsets[count] + sample.text.size() <= arenaChars;
    }
    void Append(const HistorySample& sample) {
        times[count] = sample.time;
        qualities[count] = sample.quality;
        if (Text()) {
            std::copy(sample.text.begin(), sample.text.end(), arena.get() + offsets[count]);
            offsets[count + 1] = offsets[count] + static_cast<std::uint32_t>(sample.text.size());
        } else {
            numbers[count] = sample.number;
        }
        ++count;
    }
    // A numeric chunk no reader holds, made larger or given a sample before its
    // newest ones; the shifts cost far less than packing the chunk anew.
    bool Grow(std::uint32_t newCapacity) {
        if (Text() || newCapacity <= capacity) return false;
        auto newTimes = std::make_unique_for_overwrite<HistoryTime[]>(newCapacity);
        auto newNumbers = std::make_unique_for_overwrite<double[]>(newCapacity);
        auto newQualities = std::make_unique_for_overwrite<HistoryQuality[]>(newCapacity);
        std::copy(times.get(), times.get() + count, newTimes.get());
        std::copy(numbers.get(), numbers.get() + count, newNumbers.get());
        std::copy(qualities.get(), qualities.get() + count, newQualities.get());
        times = std::move(newTimes);
        numbers = std::move(newNumbers);
        qualities = std::move(newQualities);
        const std::size_t added =
            std::size_t{newCapacity - capacity} * (sizeof(HistoryTime) + sizeof(double) + sizeof(HistoryQuality));
        capacity = newCapacity;
        bytes += added;
        account->bytes.fetch_add(added, std::memory_order_relaxed);
        account->store->Add(added);
        return true;
    }
    void InsertAt(std::uint32_t at, const HistorySample& sample) {
        std::copy_backward(times.get() + at, times.get() + count, times.get() + count + 1);
        std::copy_backward(numbers.get() + at, numbers.get() + count, numbers.get() + count + 1);
        std::copy_backward(qualities.get() + at, qualities.get() + count, qualities.get() + count + 1);
        times[at] = sample.time;
        numbers[at] = sample.number;
        qualities[at] = sample.quality;
        ++count;
    }
    double Number(std::uint32_t i) const { return numbers ? numbers[i] : 0; }
    std::wstring_view TextAt(std::uint32_t i) const {
        if (!Text()) return {};
        return {arena.get() + offsets[i], offsets[i + 1] - offsets[i]};
    }
    HistorySample Sample(std::uint32_t i) const {
        return HistorySample{times[i], Number(i), std::wstring(TextAt(i)), qualities[i]};
    }

    std::shared_ptr<Account> account;
    std::uint32_t capacity;
    std::uint32_t count = 0;
    std::uint32_t arenaChars;
    std::size_t bytes = 0;
    std::unique_ptr<HistoryTime[]> times;
    std::unique_ptr<double[]> numbers;  // numeric chunks
    std::unique_ptr<HistoryQuality[]> qualities;
    std::unique_ptr<std::uint32_t[]> offsets;  // text chunks: where each string starts in the arena
    std::unique_ptr<wchar_t[]> arena;
};

// The part [begin, end) of a chunk that belongs to the series: trimming the
// oldest samples moves `begin` without copying.
struct ChunkRef {
    std::shared_ptr<const Chunk> chunk;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    HistoryTime First() const { return chunk->times[begin]; }
    HistoryTime Last() const { return chunk->times[end - 1]; }
    std::uint32_t LowerBound(HistoryTime t) const {
        const HistoryTime* times = chunk->times.get();
        return static_cast<std::uint32_t>(std::lower_bound(times + begin, times + end, t) - times);
    }
    std::uint32_t UpperBound(HistoryTime t) const {
        const HistoryTime* times = chunk->times.get();
        return static_cast<std::uint32_t>(std::upper_bound(times + begin, times + end, t) - times);
    }
};

// One sample as a read meets it, recorded (chunk and index) or computed.
struct Item {
    HistoryTime time = 0;
    const Chunk* chunk = nullptr;
    std::uint32_t index = 0;
    const HistorySample* computed = nullptr;

    double Number() const { return chunk ? chunk->Number(index) : computed->number; }
    HistoryQuality Quality() const { return chunk ? chunk->qualities[index] : computed->quality; }
    HistorySample Sample() const { return chunk ? chunk->Sample(index) : *computed; }
};

// The recorded samples a read took, walked one way or the other.
class RecordedCursor {
public:
    RecordedCursor(const std::vector<ChunkRef>& refs, bool forward, std::uint32_t first)
        : m_refs(refs), m_forward(forward), m_index(first) {}
    bool Valid() const { return m_ref < m_refs.size(); }
    HistoryTime Time() const { return m_refs[m_ref].chunk->times[m_index]; }
    Item Current() const { return Item{Time(), m_refs[m_ref].chunk.get(), m_index, nullptr}; }
    void Next() {
        const ChunkRef& ref = m_refs[m_ref];
        if (m_forward) {
            if (++m_index < ref.end) return;
            if (++m_ref < m_refs.size()) m_index = m_refs[m_ref].begin;
        } else {
            if (m_index-- > ref.begin) return;
            if (++m_ref < m_refs.size()) m_index = m_refs[m_ref].end - 1;
        }
    }

private:
    const std::vector<ChunkRef>& m_refs;
    bool m_forward;
    std::size_t m_ref = 0;
    std::uint32_t m_index;
};

// The computed past's grid times inside [low, high], one way or the other.
class PastCursor {
public:
    PastCursor(const HistoryPast* past, HistoryTime low, HistoryTime high, bool forward) : m_past(past) {
        if (!past || past->stepTicks <= 0 || !past->at) return;
        high = std::min(high, past->end - 1);
        if (low > high) return;
        const HistoryTime step = past->stepTicks;
        m_step = forward ? step : -step;
        m_time = forward ? past->end - (past->end - low) / step * step
                         : past->end - (past->end - high + step - 1) / step * step;
        m_stop = forward ? high : low;
        m_valid = forward ? m_time <= high : m_time >= low;
        if (m_valid) Load();
    }
    bool Valid() const { return m_valid; }
    HistoryTime Time() const { return m_time; }
    Item Current() const { return Item{m_time, nullptr, 0, &m_sample}; }
    void Next() {
        m_time += m_step;
        m_valid = m_step > 0 ? m_time <= m_stop : m_time >= m_stop;
        if (m_valid) Load();
    }

private:
    void Load() {
        m_sample = m_past->at(m_time);
        m_sample.time = m_time;
    }
    const HistoryPast* m_past;
    bool m_valid = false;
    HistoryTime m_time = 0;
    HistoryTime m_step = 0;
    HistoryTime m_stop = 0;
    HistorySample m_sample;
};

std::size_t SaturatingAdd(std::size_t a, std::size_t b) { return a + b < a ? static_cast<std::size_t>(-1) : a + b; }
HistorySample SampleOf(const Item& item) { return item.Sample(); }
HistoryPoint PointOf(const Item& item) { return HistoryPoint{item.time, item.Number(), item.Quality()}; }
}  // namespace

struct HistorySeries::State {
    std::shared_ptr<HistoryShared> shared;
    std::shared_ptr<Account> account;
    std::atomic<HistoryValueKind> kind;
    mutable std::mutex lock;
    std::vector<ChunkRef> refs;  // in time order; the last one's chunk may still grow
    std::shared_ptr<const HistoryPast> past;
    std::uint32_t nextCapacity = kFirstCapacity;

    HistoryTime SpanStart() const { return shared->Now() - shared->spanTicks.load(); }

    // Index of the first ref that holds a time >= t (or > t when `after`).
    std::size_t RefFrom(HistoryTime t, bool after = false) const {
        return std::partition_point(refs.begin(), refs.end(),
                                    [&](const ChunkRef& r) { return after ? r.Last() <= t : r.Last() < t; }) -
               refs.begin();
    }
    // Index of the first ref that starts after t (or at or after t when `atToo`).
    std::size_t RefStartingAfter(HistoryTime t, bool atToo = false) const {
        return std::partition_point(refs.begin(), refs.end(),
                                    [&](const ChunkRef& r) { return atToo ? r.First() < t : r.First() <= t; }) -
               refs.begin();
    }

    std::shared_ptr<Chunk> NewChunk(std::uint32_t capacity, std::uint32_t arenaChars) {
        const bool text = IsText(kind.load());
        return std::make_shared<Chunk>(account, capacity, text, text ? arenaChars : 0);
    }

    // Adds a sample at or after the newest one.
    void Append(const HistorySample& sample) {
        const bool text = IsText(kind.load());
        if (!refs.empty()) {
            ChunkRef& last = refs.back();
            // Only this series writes its chunks, and a shared tail is never
            // written below a count a reader took.
            auto* chunk = const_cast<Chunk*>(last.chunk.get());
            if (last.end == chunk->count && chunk->Fits(sample, text)) {
                chunk->Append(sample);
                last.end = chunk->count;
                return;
            }
        }
        std::uint32_t capacity = nextCapacity;
        nextCapacity = std::min(nextCapacity * 2, text ? kTextMaxCapacity : kMaxCapacity);
        std::uint32_t arenaChars = capacity * kTextCharsPerSample;
        if (text && sample.text.size() > arenaChars) {
            // A long string gets a chunk of its own rather than a wasted arena.
            arenaChars = static_cast<std::uint32_t>(sample.text.size());
            if (arenaChars > kTextMaxArena) capacity = 1;
        }
        auto chunk = NewChunk(capacity, arenaChars);
        chunk->Append(sample);
        refs.push_back(ChunkRef{std::move(chunk), 0, 1});
    }

    // Packs samples into full chunks (the copy of an edit).
    std::vector<ChunkRef> Build(const std::vector<HistorySample>& samples) {
        std::vector<ChunkRef> built;
        const bool text = IsText(kind.load());
        for (std::size_t i = 0; i < samples.size();) {
            std::size_t n = 0;
            std::size_t chars = 0;
            if (text) {
                while (i + n < samples.size() && n < kTextMaxCapacity &&
                       (n == 0 || chars + samples[i + n].text.size() <= kTextMaxArena)) {
                    chars += samples[i + n].text.size();
                    ++n;
                }
            } else {
                n = std::min<std::size_t>(samples.size() - i, kMaxCapacity);
            }
            auto chunk = NewChunk(static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(chars));
            for (std::size_t k = 0; k < n; ++k) chunk->Append(samples[i + k]);
            built.push_back(ChunkRef{std::move(chunk), 0, static_cast<std::uint32_t>(n)});
            i += n;
        }
        return built;
    }

    // Copy-on-write of refs [first, last): their samples are edited and packed anew.
    template <class Edit>
    void Rewrite(std::size_t first, std::size_t last, Edit&& edit) {
        std::vector<HistorySample> samples;
        for (std::size_t r = first; r < last; ++r) {
            for (std::uint32_t i = refs[r].begin; i < refs[r].end; ++i) samples.push_back(refs[r].chunk->Sample(i));
        }
        edit(samples);
        std::vector<ChunkRef> built = Build(samples);
        refs.erase(refs.begin() + first, refs.begin() + last);
        refs.insert(refs.begin() + first, std::make_move_iterator(built.begin()), std::make_move_iterator(built.end()));
    }

    // Keeps time order; after any samples of the same time.
    void Insert(const HistorySample& sample) {
        if (refs.empty() || refs.back().Last() <= sample.time) {
            Append(sample);
            return;
        }
        const std::size_t r = RefFrom(sample.time, true);
        if (InsertInPlace(refs[r], sample)) return;
        Rewrite(r, r + 1, [&](std::vector<HistorySample>& samples) {
            auto at = std::upper_bound(samples.begin(), samples.end(), sample.time,
                                       [](HistoryTime t, const HistorySample& s) { return t < s.time; });
            samples.insert(at, sample);
        });
    }

    // A back-fill before the newest samples goes into its chunk in place when
    // no reader holds that chunk (they copy their refs under the lock held
    // here) and it is numeric, whole and not yet at the largest size.
    bool InsertInPlace(ChunkRef& ref, const HistorySample& sample) {
        auto* chunk = const_cast<Chunk*>(ref.chunk.get());
        if (IsText(kind.load()) || chunk->Text() || ref.begin != 0 || ref.end != chunk->count) return false;
        if (ref.chunk.use_count() != 1) return false;
        // A reader lets go of its copy with a release: its reads come before these writes.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (chunk->count == chunk->capacity &&
            !chunk->Grow(std::min(std::max(chunk->capacity * 2, kFirstCapacity), kMaxCapacity))) {
            return false;
        }
        chunk->InsertAt(ref.UpperBound(sample.time), sample);
        ref.end = chunk->count;
        return true;
    }

    bool RecordedAt(HistoryTime t) const {
        const std::size_t r = RefFrom(t);
        return r < refs.size() && refs[r].chunk->times[refs[r].LowerBound(t)] == t;
    }

    void Replace(const HistorySample& sample) {
        const std::size_t r = RefFrom(sample.time);
        const std::uint32_t offset = refs[r].LowerBound(sample.time) - refs[r].begin;
        Rewrite(r, r + 1, [&](std::vector<HistorySample>& samples) { samples[offset] = sample; });
    }

    std::size_t DeleteRecorded(HistoryTime start, HistoryTime end) {
        const std::size_t first = RefFrom(start);
        const std::size_t last = RefStartingAfter(end, true);
        if (first >= last) return 0;
        std::size_t removed = 0;
        Rewrite(first, last, [&](std::vector<HistorySample>& samples) {
            const auto gone = std::remove_if(samples.begin(), samples.end(),
                                             [&](const HistorySample& s) { return s.time >= start && s.time < end; });
            removed = static_cast<std::size_t>(samples.end() - gone);
            samples.erase(gone, samples.end());
        });
        return removed;
    }

    // Turns the computed samples at or after `from` into recorded ones and
    // moves the computed past's end back to `from`'s step. False when they
    // would not fit in the memory bound. Takes and releases the lock.
    bool Materialize(HistoryTime from, HistoryTime spanStart) {
        for (;;) {
            std::shared_ptr<const HistoryPast> taken;
            {
                std::lock_guard guard(lock);
                taken = past;
            }
            if (!taken || from >= taken->end) return true;
            const HistoryTime step = taken->stepTicks;
            from = std::max(from, spanStart);
            if (from >= taken->end) return true;
            // The step at or before `from`: the edit's own time is then recorded.
            const HistoryTime newEnd = taken->end - (taken->end - from + step - 1) / step * step;
            if (static_cast<std::uint64_t>((taken->end - newEnd) / step) * kBytesPerSample >
                shared->memoryBytes.load()) {
                return false;
            }
            // Computed without the lock: the recorder must not wait for it.
            std::vector<HistorySample> computed;
            for (PastCursor c(taken.get(), newEnd, taken->end - 1, true); c.Valid(); c.Next()) {
                computed.push_back(c.Current().Sample());
            }
            std::lock_guard guard(lock);
            if (past != taken) continue;  // another edit moved it first
            const std::size_t first = RefFrom(newEnd);
            const std::size_t last = RefStartingAfter(taken->end, true);
            Rewrite(first, last, [&](std::vector<HistorySample>& samples) {
                std::vector<HistorySample> merged;
                merged.reserve(samples.size() + computed.size());
                std::merge(std::make_move_iterator(computed.begin()), std::make_move_iterator(computed.end()),
                           std::make_move_iterator(samples.begin()), std::make_move_iterator(samples.end()),
                           std::back_inserter(merged),
                           [](const HistorySample& a, const HistorySample& b) { return a.time < b.time; });
                samples = std::move(merged);
            });
            auto moved = std::make_shared<HistoryPast>(*taken);
            moved->end = newEnd;
            past = std::move(moved);
            return true;
        }
    }

    // Visits the samples with low <= time <= high, oldest first, until `visit`
    // says stop. `limit` caps how many recorded samples the read takes.
    template <class Visit>
    void Forward(HistoryTime low, HistoryTime high, std::size_t limit, Visit&& visit) const {
        low = std::max(low, SpanStart());
        if (low > high) return;
        std::vector<ChunkRef> taken;
        std::shared_ptr<const HistoryPast> pastTaken;
        std::uint32_t first = 0;
        {
            std::lock_guard guard(lock);
            pastTaken = past;
            std::size_t count = 0;
            for (std::size_t r = RefFrom(low); r < refs.size() && refs[r].First() <= high && count < limit; ++r) {
                taken.push_back(refs[r]);
                if (taken.size() == 1) first = refs[r].LowerBound(low);
                count += taken.back().end - (taken.size() == 1 ? first : taken.back().begin);
            }
        }
        RecordedCursor recorded(taken, true, first);
        PastCursor computed(pastTaken.get(), low, high, true);
        for (;;) {
            const bool r = recorded.Valid() && recorded.Time() <= high;
            if (!r && !computed.Valid()) return;
            // At one time the computed sample comes first: it was there before recording.
            const bool takeComputed = computed.Valid() && (!r || computed.Time() <= recorded.Time());
            const Item item = takeComputed ? computed.Current() : recorded.Current();
            if (!visit(item)) return;
            takeComputed ? computed.Next() : recorded.Next();
        }
    }

    // The same, newest first, with low <= time <= high.
    template <class Visit>
    void Backward(HistoryTime high, HistoryTime low, std::size_t limit, Visit&& visit) const {
        low = std::max(low, SpanStart());
        if (low > high) return;
        std::vector<ChunkRef> taken;
        std::shared_ptr<const HistoryPast> pastTaken;
        std::uint32_t first = 0;
        {
            std::lock_guard guard(lock);
            pastTaken = past;
            std::size_t count = 0;
            for (std::size_t r = RefStartingAfter(high); r-- > 0 && refs[r].Last() >= low && count < limit;) {
                taken.push_back(refs[r]);
                if (taken.size() == 1) first = refs[r].UpperBound(high) - 1;
                count += (taken.size() == 1 ? first + 1 : taken.back().end) - taken.back().begin;
            }
        }
        RecordedCursor recorded(taken, false, first);
        PastCursor computed(pastTaken.get(), low, high, false);
        for (;;) {
            const bool r = recorded.Valid() && recorded.Time() >= low;
            if (!r && !computed.Valid()) return;
            const bool takeComputed = computed.Valid() && (!r || computed.Time() > recorded.Time());
            const Item item = takeComputed ? computed.Current() : recorded.Current();
            if (!visit(item)) return;
            takeComputed ? computed.Next() : recorded.Next();
        }
    }

    // Up to `max` samples one way from `from` towards `to` (exclusive), as
    // `make` gives them, after `skipAtFrom` stamped exactly `from`.
    template <class Value, class Make>
    size_t Read(bool forward, HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max, std::vector<Value>& out,
                Make make) const {
        if (max == 0 || (forward ? from >= to : from <= to)) return 0;
        size_t added = 0;
        auto visit = [&](const Item& item) {
            if (item.time == from && skipAtFrom > 0) {
                --skipAtFrom;
                return true;
            }
            out.push_back(make(item));
            return ++added < max;
        };
        if (forward) {
            Forward(from, to - 1, SaturatingAdd(skipAtFrom, max), visit);
        } else {
            Backward(from, to + 1, SaturatingAdd(skipAtFrom, max), visit);
        }
        return added;
    }
};

HistorySeries::HistorySeries(HistoryStore& store, HistoryValueKind kind) : m_state(std::make_unique<State>()) {
    m_state->shared = store.SharedState();
    m_state->account = std::make_shared<Account>();
    m_state->account->store = m_state->shared;
    m_state->kind = kind;
}

HistorySeries::~HistorySeries() = default;

HistoryValueKind HistorySeries::Kind() const noexcept { return m_state->kind.load(); }

void HistorySeries::SetKind(HistoryValueKind kind) noexcept { m_state->kind = kind; }

void HistorySeries::Record(const HistorySample& sample) {
    std::lock_guard guard(m_state->lock);
    m_state->Insert(sample);
}

void HistorySeries::SetPast(HistoryPast past) {
    std::shared_ptr<const HistoryPast> value;
    if (past.at && past.stepTicks > 0) value = std::make_shared<const HistoryPast>(std::move(past));
    std::lock_guard guard(m_state->lock);
    m_state->past = std::move(value);
}

bool HistorySeries::Extent(HistoryTime& oldest, HistoryTime& newest) const {
    const HistoryTime spanStart = m_state->SpanStart();
    bool any = false;
    auto take = [&](HistoryTime low, HistoryTime high) {
        oldest = any ? std::min(oldest, low) : low;
        newest = any ? std::max(newest, high) : high;
        any = true;
    };
    std::lock_guard guard(m_state->lock);
    const std::size_t r = m_state->RefFrom(spanStart);
    if (r < m_state->refs.size()) {
        const ChunkRef& ref = m_state->refs[r];
        take(ref.chunk->times[ref.LowerBound(spanStart)], m_state->refs.back().Last());
    }
    const HistoryPast* past = m_state->past.get();
    if (past && past->end > spanStart) {
        const HistoryTime first = past->end - (past->end - spanStart) / past->stepTicks * past->stepTicks;
        if (first < past->end) take(first, past->end - past->stepTicks);
    }
    return any;
}

size_t HistorySeries::ReadForward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                                  std::vector<HistorySample>& out) const {
    return m_state->Read(true, from, to, skipAtFrom, max, out, SampleOf);
}

size_t HistorySeries::ReadBackward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                                   std::vector<HistorySample>& out) const {
    return m_state->Read(false, from, to, skipAtFrom, max, out, SampleOf);
}

size_t HistorySeries::ReadPointsForward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                                        std::vector<HistoryPoint>& out) const {
    return m_state->Read(true, from, to, skipAtFrom, max, out, PointOf);
}

size_t HistorySeries::ReadPointsBackward(HistoryTime from, HistoryTime to, size_t skipAtFrom, size_t max,
                                         std::vector<HistoryPoint>& out) const {
    return m_state->Read(false, from, to, skipAtFrom, max, out, PointOf);
}

size_t HistorySeries::ReadPoints(HistoryTime from, HistoryTime to, size_t max, std::vector<HistoryPoint>& out) const {
    if (max == 0 || from >= to) return 0;
    size_t added = 0;
    m_state->Forward(from, to - 1, max, [&](const Item& item) {
        out.push_back(HistoryPoint{item.time, item.Number(), item.Quality()});
        return ++added < max;
    });
    return added;
}

bool HistorySeries::Before(HistoryTime time, bool inclusive, bool goodOnly, HistorySample& out) const {
    if (!inclusive) {
        if (time == std::numeric_limits<HistoryTime>::min()) return false;
        --time;
    }
    bool found = false;
    m_state->Backward(time, std::numeric_limits<HistoryTime>::min(), static_cast<std::size_t>(-1),
                      [&](const Item& item) {
                          if (goodOnly && !IsGoodQuality(item.Quality())) return true;
                          out = item.Sample();
                          found = true;
                          return false;
                      });
    return found;
}

bool HistorySeries::After(HistoryTime time, bool inclusive, bool goodOnly, HistorySample& out) const {
    if (!inclusive) {
        if (time == kHistoryTimeMax) return false;
        ++time;
    }
    bool found = false;
    m_state->Forward(time, kHistoryTimeMax, static_cast<std::size_t>(-1), [&](const Item& item) {
        if (goodOnly && !IsGoodQuality(item.Quality())) return true;
        out = item.Sample();
        found = true;
        return false;
    });
    return found;
}

HistoryUpdateOutcome HistorySeries::Update(HistoryUpdateKind kind, const HistorySample& sample) {
    const bool text = IsText(m_state->kind.load());
    if (!text && !sample.text.empty()) return HistoryUpdateOutcome::WrongKind;
    if (text && sample.text.empty() && sample.number != 0) return HistoryUpdateOutcome::WrongKind;
    const HistoryTime spanStart = m_state->SpanStart();
    if (sample.time < spanStart || sample.time < 0 || sample.time == kHistoryTimeMax) {
        return HistoryUpdateOutcome::OutOfRange;
    }
    for (;;) {
        std::shared_ptr<const HistoryPast> taken;
        {
            std::lock_guard guard(m_state->lock);
            taken = m_state->past;
            const bool inPast = taken && sample.time < taken->end;
            bool exists = m_state->RecordedAt(sample.time);
            if (inPast && (taken->end - sample.time) % taken->stepTicks == 0) exists = true;
            if (kind == HistoryUpdateKind::Insert && exists) return HistoryUpdateOutcome::EntryExists;
            if (kind == HistoryUpdateKind::Replace && !exists) return HistoryUpdateOutcome::NoEntryExists;
            if (!inPast) {
                if (exists) {
                    m_state->Replace(sample);
                    return HistoryUpdateOutcome::Replaced;
                }
                m_state->Insert(sample);
                return HistoryUpdateOutcome::Inserted;
            }
        }
        // Inside the computed past: made recorded first, then edited as such.
        if (!m_state->Materialize(sample.time, spanStart)) return HistoryUpdateOutcome::OutOfRange;
    }
}

size_t HistorySeries::Delete(HistoryTime start, HistoryTime end) {
    const HistoryTime spanStart = m_state->SpanStart();
    start = std::max(start, spanStart);
    if (start >= end) return 0;
    bool computedInRange = false;
    {
        std::lock_guard guard(m_state->lock);
        const HistoryPast* past = m_state->past.get();
        if (past && past->end > start) {
            const HistoryTime first = past->end - (past->end - start) / past->stepTicks * past->stepTicks;
            computedInRange = first < end && first < past->end;
        }
    }
    if (computedInRange) m_state->Materialize(start, spanStart);
    std::lock_guard guard(m_state->lock);
    return m_state->DeleteRecorded(start, end);
}

std::size_t HistorySeries::BytesUsed() const noexcept { return m_state->account->bytes.load(); }

void HistorySeries::TrimBefore(HistoryTime cutoff) {
    std::shared_ptr<const HistoryPast> gone;  // released without the lock: it may hold much
    std::lock_guard guard(m_state->lock);
    auto& refs = m_state->refs;
    refs.erase(refs.begin(), refs.begin() + m_state->RefFrom(cutoff));
    if (!refs.empty()) refs.front().begin = refs.front().LowerBound(cutoff);
    if (m_state->past && m_state->past->end - m_state->past->stepTicks < cutoff) gone = std::move(m_state->past);
}

bool HistorySeries::OldestChunk(HistoryTime& newestInIt) const {
    std::lock_guard guard(m_state->lock);
    if (m_state->refs.empty()) return false;
    newestInIt = m_state->refs.front().Last();
    return true;
}

bool HistorySeries::DropOldestChunk() {
    ChunkRef gone;
    std::lock_guard guard(m_state->lock);
    if (m_state->refs.empty()) return false;
    gone = std::move(m_state->refs.front());
    m_state->refs.erase(m_state->refs.begin());
    return true;
}
