#include "ItemCycle.h"

#include <algorithm>
#include <cstdio>

#include "BenchConfiguration.h"
#include "TaskMem.h"

namespace {
constexpr DWORD kChunk = 100;

class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&m_start); }
    double Seconds() const {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_start;
};

std::string Failure(const char* operation, const char* what, HRESULT hr, DWORD index) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: %s (0x%08lX, item %lu)", operation, what, static_cast<unsigned long>(hr),
                  static_cast<unsigned long>(index));
    return text;
}

// First item whose error is not S_OK, or count.
DWORD FirstError(const HRESULT* errors, DWORD count) {
    return static_cast<DWORD>(std::find_if(errors, errors + count, [](HRESULT e) { return e != S_OK; }) - errors);
}

struct ItemResults {
    TaskMemPtr<OPCITEMRESULT> results;
    TaskMemPtr<HRESULT> errors;
    DWORD count = 0;
    ~ItemResults() {
        for (DWORD i = 0; results && i < count; ++i) CoTaskMemFree(results.get()[i].pBlob);
    }
};

struct StateResults {
    TaskMemPtr<OPCITEMSTATE> states;
    TaskMemPtr<HRESULT> errors;
    DWORD count = 0;
    ~StateResults() {
        for (DWORD i = 0; states && i < count; ++i) VariantClear(&states.get()[i].vDataValue);
    }
};

// The call's outcome, checked for shape always and for content when the
// target does real work.
std::string CheckAdded(const char* operation, HRESULT hr, const ItemResults& r, bool real) {
    if (hr != S_OK || !r.results || !r.errors) return Failure(operation, "call failed", hr, 0);
    const DWORD bad = FirstError(r.errors.get(), r.count);
    if (bad != r.count) return Failure(operation, "item refused", r.errors.get()[bad], bad);
    if (!real) return {};
    for (DWORD i = 0; i < r.count; ++i) {
        const OPCITEMRESULT& result = r.results.get()[i];
        if (result.vtCanonicalDataType != VT_R8 || result.dwAccessRights != (OPC_READABLE | OPC_WRITEABLE)) {
            return Failure(operation, "wrong type or access rights", S_OK, i);
        }
    }
    return {};
}

float WrittenValue(DWORD index, int round) {
    return static_cast<float>(index % 500) + 0.25f * static_cast<float>(round % 4);
}

std::string CheckRead(const char* operation, HRESULT hr, const StateResults& r, const ItemSet& items, int round,
                      bool real) {
    if (hr != S_OK || !r.states || !r.errors) return Failure(operation, "call failed", hr, 0);
    const DWORD bad = FirstError(r.errors.get(), r.count);
    if (bad != r.count) return Failure(operation, "item not read", r.errors.get()[bad], bad);
    if (!real) return {};
    for (DWORD i = 0; i < items.Count(); ++i) {
        const OPCITEMSTATE& s = r.states.get()[i];
        if (s.hClient != items.Def(i).hClient) return Failure(operation, "wrong client handle", S_OK, i);
        if (s.vDataValue.vt != VT_R8 || s.vDataValue.dblVal != static_cast<double>(WrittenValue(i, round))) {
            return Failure(operation, "value is not the one written", S_OK, i);
        }
    }
    return {};
}

std::string Remove(ItemTarget& target, std::vector<OPCHANDLE>& handles, double* seconds) {
    TaskMemPtr<HRESULT> errors;
    HRESULT* raw = nullptr;
    const Stopwatch watch;
    const HRESULT hr = target.RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &raw);
    if (seconds != nullptr) *seconds = watch.Seconds();
    errors.reset(raw);
    if (hr != S_OK || !errors) return Failure("RemoveItems", "call failed", hr, 0);
    const DWORD bad = FirstError(errors.get(), static_cast<DWORD>(handles.size()));
    return bad == handles.size() ? std::string() : Failure("RemoveItems", "item not removed", errors.get()[bad], bad);
}
}  // namespace

const char* OperationName(int operation) {
    static const char* const names[kOperationCount] = {"AddItems",   "AddItems x100", "ValidateItems", "Write VT_R4",
                                                       "Read cache", "Read device",   "RemoveItems"};
    return operation >= 0 && operation < kOperationCount ? names[operation] : "?";
}

ItemSet::ItemSet(const std::vector<int>& tagIndexes) {
    m_ids.reserve(tagIndexes.size());
    for (int index : tagIndexes) m_ids.push_back(BenchItemId(index));
    m_defs.resize(m_ids.size());
    for (size_t i = 0; i < m_ids.size(); ++i) {
        OPCITEMDEF& d = m_defs[i];
        d.szAccessPath = const_cast<LPWSTR>(L"");
        d.szItemID = m_ids[i].data();
        d.bActive = TRUE;
        d.hClient = static_cast<OPCHANDLE>(i + 1);
        d.vtRequestedDataType = VT_EMPTY;
    }
}

std::string RunItemCycle(ItemTarget& target, ItemSet& items, int round, CycleSeconds& seconds) {
    const bool real = target.DoesWork();
    const DWORD n = items.Count();
    std::vector<OPCHANDLE> handles(n);
    {
        ItemResults added;
        added.count = n;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const Stopwatch watch;
        const HRESULT hr = target.AddItems(n, items.Defs(), &results, &errors);
        seconds[kAddItems] = watch.Seconds();
        added.results.reset(results);
        added.errors.reset(errors);
        if (std::string e = CheckAdded("AddItems", hr, added, real); !e.empty()) return e;
        for (DWORD i = 0; i < n; ++i) handles[i] = added.results.get()[i].hServer;
    }
    {
        ItemResults validated;
        validated.count = n;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const Stopwatch watch;
        const HRESULT hr = target.ValidateItems(n, items.Defs(), &results, &errors);
        seconds[kValidateItems] = watch.Seconds();
        validated.results.reset(results);
        validated.errors.reset(errors);
        if (std::string e = CheckAdded("ValidateItems", hr, validated, real); !e.empty()) return e;
    }
    {
        std::vector<VARIANT> values(n);
        for (DWORD i = 0; i < n; ++i) {
            values[i].vt = VT_R4;
            values[i].fltVal = WrittenValue(i, round);
        }
        HRESULT* raw = nullptr;
        const Stopwatch watch;
        const HRESULT hr = target.Write(n, handles.data(), values.data(), &raw);
        seconds[kWrite] = watch.Seconds();
        TaskMemPtr<HRESULT> errors(raw);
        if (hr != S_OK || !errors) return Failure("Write", "call failed", hr, 0);
        const DWORD bad = FirstError(errors.get(), n);
        if (bad != n) return Failure("Write", "item not written", errors.get()[bad], bad);
    }
    for (const auto& [operation, source] :
         {std::pair{kReadCache, OPC_DS_CACHE}, std::pair{kReadDevice, OPC_DS_DEVICE}}) {
        StateResults read;
        read.count = n;
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const Stopwatch watch;
        const HRESULT hr = target.Read(source, n, handles.data(), &states, &errors);
        seconds[operation] = watch.Seconds();
        read.states.reset(states);
        read.errors.reset(errors);
        if (std::string e = CheckRead(OperationName(operation), hr, read, items, round, real); !e.empty()) return e;
    }
    if (std::string e = Remove(target, handles, &seconds[kRemoveItems]); !e.empty()) return e;

    double chunked = 0;
    for (DWORD first = 0; first < n; first += kChunk) {
        const DWORD count = std::min(kChunk, n - first);
        ItemResults added;
        added.count = count;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const Stopwatch watch;
        const HRESULT hr = target.AddItems(count, items.Defs() + first, &results, &errors);
        chunked += watch.Seconds();
        added.results.reset(results);
        added.errors.reset(errors);
        if (std::string e = CheckAdded("AddItems x100", hr, added, real); !e.empty()) return e;
        for (DWORD i = 0; i < count; ++i) handles[first + i] = added.results.get()[i].hServer;
    }
    seconds[kAddItemsBy100] = chunked;
    return Remove(target, handles, nullptr);
}
