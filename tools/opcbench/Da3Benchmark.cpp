// The DA 3.0 benchmark. Starts the real program on a configuration whose
// branch "Bench.Area0" holds 100,000 tags and times, as an OPC client in
// another process:
//   IOPCBrowse::Browse of the whole branch in pages of 10,000;
//   IOPCItemIO::WriteVQT and IOPCSyncIO2::WriteVQT of 10,000 values, each
//   with a quality and a time stamp;
//   IOPCItemIO::Read of the same 10,000 items from the cache (MaxAge
//   0xFFFFFFFF) and from the device (MaxAge 0);
// each against the echo object's method of the same shape in the same run
// (the transport floor), rounds interleaved so that both see the same
// machine; every server result is checked, so that no figure comes from a
// call that failed. Then the keep-alive: two groups of unchanging items ask
// for 250 ms and 1,000 ms, and every interval between their empty callbacks
// is held against the time asked.
//
//   da3_benchmark [/Rounds:N] [/KeepAliveSeconds:N]
//
// The program's "Offer OPC DA 3.0" and "Clients may write qualities and
// timestamps" are switched on for the run and put back afterwards.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "BenchConfiguration.h"
#include "BenchFigures.h"
#include "DataCallbackSink.h"
#include "Da3Target.h"
#include "OPCS_Registry.h"
#include "OpcConstants.h"
#include "ServerSession.h"
#include "TaskMem.h"
#include "Watchdog.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr int kBranchTags = 100000;
constexpr DWORD kPage = 10000;
constexpr DWORD kItems = 10000;
constexpr double kRatioLimit = 1.25;
constexpr double kKeepAliveTolerance = 0.10;
constexpr DWORD kKeepAliveTimes[] = {250, 1000};
const wchar_t kBranch[] = L"Bench.Area0";

enum Operation : int { kBrowse, kWriteItemsVqt, kWriteVqt, kReadCache, kReadDevice, kOperationCount };
const char* const kOperationNames[kOperationCount] = {
    "IOPCBrowse::Browse 100,000 in pages of 10,000", "IOPCItemIO::WriteVQT of 10,000",
    "IOPCSyncIO2::WriteVQT of 10,000", "IOPCItemIO::Read of 10,000, cache", "IOPCItemIO::Read of 10,000, device"};

std::string Failure(const char* operation, const char* what, HRESULT hr, DWORD index) {
    char text[200];
    std::snprintf(text, sizeof text, "%s: %s (0x%08lX, item %lu)", operation, what, static_cast<unsigned long>(hr),
                  static_cast<unsigned long>(index));
    return text;
}

// The items of the round: IDs, group handles and what is written to them.
struct Round {
    std::vector<std::wstring> ids;
    std::vector<LPCWSTR> idPointers;
    std::vector<OPCHANDLE> serverHandles, echoHandles;  // the echo's are the positions
    std::vector<OPCITEMVQT> first, second;
};

// Values inside the tags' limits, a quality and a time stamp that differ
// from round to round, so that a read sees this round's second write.
std::vector<OPCITEMVQT> Vqts(int round, double offset) {
    std::vector<OPCITEMVQT> vqts(kItems);
    ULARGE_INTEGER stamp;
    stamp.QuadPart = 134100000000000000ULL + static_cast<ULONGLONG>(round) * 10000000ULL;  // 2025 and on
    for (DWORD i = 0; i < kItems; ++i) {
        OPCITEMVQT& v = vqts[i];
        V_VT(&v.vDataValue) = VT_R8;
        V_R8(&v.vDataValue) = static_cast<double>(i % 500) + 0.25 * (round % 4) + offset;
        v.bQualitySpecified = TRUE;
        v.wQuality = round % 2 == 0 ? OPC_QUALITY_GOOD : OPC_QUALITY_UNCERTAIN;
        v.bTimeStampSpecified = TRUE;
        v.ftTimeStamp = {stamp.LowPart, stamp.HighPart};
    }
    return vqts;
}

class Stopwatch {
public:
    Stopwatch() { m_start = NowMs(); }
    double Ms() const { return NowMs() - m_start; }

private:
    double m_start;
};

void FreeElements(OPCBROWSEELEMENT* elements, DWORD count) {
    for (DWORD i = 0; elements != nullptr && i < count; ++i) {
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        CoTaskMemFree(elements[i].ItemProperties.pItemProperties);
    }
    CoTaskMemFree(elements);
}

// Every page of the branch; the time of the calls alone.
std::string BrowseBranch(Da3Target& target, double& ms) {
    const bool real = target.DoesWork();
    std::unordered_set<std::wstring> names;
    LPWSTR point = nullptr;
    DWORD total = 0;
    ms = 0;
    for (int page = 0;; ++page) {
        BOOL more = FALSE;
        DWORD count = 0;
        OPCBROWSEELEMENT* elements = nullptr;
        const Stopwatch watch;
        const HRESULT hr = target.Browse(const_cast<LPWSTR>(kBranch), &point, kPage, &more, &count, &elements);
        ms += watch.Ms();
        std::string e;
        if (hr != S_OK || (count != 0 && elements == nullptr) || point == nullptr) {
            e = Failure("Browse", "call failed", hr, total);
        } else if (count > kPage) {
            e = Failure("Browse", "more elements than asked", S_OK, total);
        } else if ((more != FALSE) != (*point != L'\0')) {
            e = Failure("Browse", "more elements without a continuation point, or the reverse", S_OK, total);
        }
        const std::wstring prefix = std::wstring(kBranch) + L".";
        for (DWORD i = 0; e.empty() && real && i < count; ++i) {
            const OPCBROWSEELEMENT& el = elements[i];
            if (el.szName == nullptr || el.szItemID == nullptr || prefix + el.szName != el.szItemID ||
                !(el.dwFlagValue & OPC_BROWSE_ISITEM) || !names.insert(el.szName).second) {
                e = Failure("Browse", "an element is not a new leaf of the branch", S_OK, total + i);
            }
        }
        total += count;
        FreeElements(elements, count);
        if (!e.empty() || !more) {
            CoTaskMemFree(point);
            if (!e.empty()) return e;
            break;
        }
        if (page > kBranchTags) return Failure("Browse", "the pages never end", S_OK, total);
    }
    return total == kBranchTags ? std::string() : Failure("Browse", "not every leaf was returned", S_OK, total);
}

std::string CheckErrors(const char* operation, HRESULT hr, const HRESULT* errors) {
    if (hr != S_OK || errors == nullptr) return Failure(operation, "call failed", hr, 0);
    const HRESULT* bad = std::find_if(errors, errors + kItems, [](HRESULT e) { return e != S_OK; });
    return bad == errors + kItems ? std::string() : Failure(operation, "item refused", *bad, bad - errors);
}

// A read of every item at one MaxAge, checked against what was written last.
std::string ReadItems(Da3Target& target, Round& round, DWORD maxAge, bool checkStamps, double& ms) {
    std::vector<DWORD> maxAges(kItems, maxAge);
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    const Stopwatch watch;
    const HRESULT hr =
        target.Read(kItems, round.idPointers.data(), maxAges.data(), &values, &qualities, &times, &errors);
    ms = watch.Ms();
    const char* name = maxAge == 0 ? "Read from the device" : "Read from the cache";
    std::string e = CheckErrors(name, hr, errors);
    for (DWORD i = 0; e.empty() && target.DoesWork() && i < kItems; ++i) {
        const OPCITEMVQT& want = round.second[i];
        if (V_VT(&values[i]) != VT_R8 || V_R8(&values[i]) != V_R8(&want.vDataValue)) {
            e = Failure(name, "value is not the one written", S_OK, i);
        } else if (qualities[i] != want.wQuality) {
            e = Failure(name, "quality is not the one written", qualities[i], i);
        } else if (checkStamps && CompareFileTime(&times[i], &want.ftTimeStamp) != 0) {
            e = Failure(name, "time stamp is not the one written", S_OK, i);
        }
    }
    for (DWORD i = 0; values != nullptr && i < kItems; ++i) VariantClear(&values[i]);
    for (void* p : {static_cast<void*>(values), static_cast<void*>(qualities), static_cast<void*>(times),
                    static_cast<void*>(errors)}) {
        CoTaskMemFree(p);
    }
    return e;
}

// One round of every operation on the target; `ms` gets each one's time.
std::string RunRound(Da3Target& target, Round& round, double (&ms)[kOperationCount]) {
    if (std::string e = BrowseBranch(target, ms[kBrowse]); !e.empty()) return e;
    HRESULT* errors = nullptr;
    Stopwatch watch;
    HRESULT hr = target.WriteItemsVqt(kItems, round.idPointers.data(), round.first.data(), &errors);
    ms[kWriteItemsVqt] = watch.Ms();
    std::string e = CheckErrors("IOPCItemIO::WriteVQT", hr, errors);
    CoTaskMemFree(errors);
    if (!e.empty()) return e;
    errors = nullptr;
    watch = Stopwatch();
    std::vector<OPCHANDLE>& handles = target.DoesWork() ? round.serverHandles : round.echoHandles;
    hr = target.WriteVqt(kItems, handles.data(), round.second.data(), &errors);
    ms[kWriteVqt] = watch.Ms();
    e = CheckErrors("IOPCSyncIO2::WriteVQT", hr, errors);
    CoTaskMemFree(errors);
    if (!e.empty()) return e;
    if (e = ReadItems(target, round, 0xFFFFFFFF, true, ms[kReadCache]); !e.empty()) return e;
    return ReadItems(target, round, 0, false, ms[kReadDevice]);
}

// The group whose items the WriteVQT of IOPCSyncIO2 names; "" or why not.
std::string AddWriteGroup(IOPCServer* server, Round& round, ComPtr<IOPCSyncIO2>& io, OPCHANDLE& group) {
    ComPtr<IOPCItemMgt> items;
    DWORD revised = 0;
    HRESULT hr = server->AddGroup(L"Da3Bench", FALSE, 3600000, 1, nullptr, nullptr, 0, &group, &revised,
                                  IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf()));
    if (FAILED(hr)) return "AddGroup gives " + HresultText(hr);
    if (FAILED(hr = items.As(&io))) return "the group gives no IOPCSyncIO2 (" + HresultText(hr) + ")";
    std::vector<OPCITEMDEF> defs(kItems);
    for (DWORD i = 0; i < kItems; ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(round.idPointers[i]);
        defs[i].bActive = TRUE;
        defs[i].hClient = i;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(kItems, defs.data(), &results, &errors);
    if (hr == S_OK) {
        for (DWORD i = 0; i < kItems; ++i) round.serverHandles[i] = results[i].hServer;
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return hr == S_OK ? std::string() : "AddItems gives " + HresultText(hr);
}

struct KeepAliveFigures {
    DWORD asked = 0, revised = 0;
    std::vector<double> intervals;
};

// Groups of unchanging items, one per keep-alive time, advised to the sink for
// `seconds`; the intervals between each group's empty callbacks.
std::string MeasureKeepAlive(IOPCServer* server, int seconds, std::vector<KeepAliveFigures>& figures) {
    DataCallbackSink sink;
    struct Subscription {
        OPCHANDLE handle = 0;
        ComPtr<IOPCItemMgt> items;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
    };
    std::vector<Subscription> groups(std::size(kKeepAliveTimes));
    std::string e;
    for (size_t g = 0; g < groups.size() && e.empty(); ++g) {
        Subscription& s = groups[g];
        DWORD revised = 0;
        HRESULT hr = server->AddGroup(L"", FALSE, 100, static_cast<OPCHANDLE>(10 + g), nullptr, nullptr, 0, &s.handle,
                                      &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(s.items.GetAddressOf()));
        if (FAILED(hr)) return "AddGroup gives " + HresultText(hr);
        const std::wstring id = BenchItemId(kBranchTags - 1 - static_cast<int>(g), kBranchTags);
        OPCITEMDEF def{const_cast<LPWSTR>(L""), const_cast<LPWSTR>(id.c_str()), TRUE, 0, 0, nullptr, VT_EMPTY, 0};
        OPCITEMRESULT* result = nullptr;
        HRESULT* errors = nullptr;
        hr = s.items->AddItems(1, &def, &result, &errors);
        CoTaskMemFree(result);
        CoTaskMemFree(errors);
        ComPtr<IOPCGroupStateMgt2> state;
        ComPtr<IConnectionPointContainer> container;
        KeepAliveFigures f;
        f.asked = kKeepAliveTimes[g];
        if (hr != S_OK) e = "AddItems gives " + HresultText(hr);
        if (e.empty() && FAILED(hr = s.items.As(&state))) e = "no IOPCGroupStateMgt2 (" + HresultText(hr) + ")";
        if (e.empty() && FAILED(hr = state->SetKeepAlive(f.asked, &f.revised)))
            e = "SetKeepAlive gives " + HresultText(hr);
        if (e.empty() && FAILED(hr = s.items.As(&container))) e = "no connection points";
        if (e.empty()) hr = container->FindConnectionPoint(IID_IOPCDataCallback, &s.point);
        if (e.empty() && SUCCEEDED(hr)) hr = s.point->Advise(static_cast<IOPCDataCallback*>(&sink), &s.cookie);
        if (e.empty() && FAILED(hr)) e = "no IOPCDataCallback connection (" + HresultText(hr) + ")";
        figures.push_back(f);
    }
    for (Subscription& s : groups) {
        if (!e.empty() || !s.items) break;
        ComPtr<IOPCGroupStateMgt> state;
        s.items.As(&state);
        DWORD revised = 0;
        BOOL active = TRUE;
        state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    }
    if (e.empty()) {
        Sleep(static_cast<DWORD>(seconds) * 1000);
        std::vector<double> last(groups.size(), NAN);
        for (const Arrival& a : sink.Since(0)) {
            if (a.kind != Delivery::kDataChange || a.count != 0 || a.group < 10 || a.group >= 10 + groups.size()) {
                continue;
            }
            const size_t g = a.group - 10;
            if (!std::isnan(last[g])) figures[g].intervals.push_back(a.ms - last[g]);
            last[g] = a.ms;
        }
    }
    for (Subscription& s : groups) {
        if (s.point) s.point->Unadvise(s.cookie);
        if (s.items) server->RemoveGroup(s.handle, FALSE);
    }
    return e;
}

// The two options the run needs, on, with what they were.
struct Options {
    bool da3 = true, qualityWrites = false;
};

Options SetOptions(Options wanted) {
    OPCS_Registry settings;
    settings.Load();
    const Options before{settings.IsDa3Offered(), settings.AreClientQualityWritesAllowed()};
    settings.SetDa3Offered(wanted.da3);
    settings.SetClientQualityWritesAllowed(wanted.qualityWrites);
    settings.Save();
    return before;
}

// Everything measured against the running server; "" or why it stopped.
std::string Measure(IOPCServer* server, IDa3ShapeEcho* echo, int rounds, int keepAliveSeconds, Watchdog& dog,
                    std::vector<double> (&serverMs)[kOperationCount], std::vector<double> (&floorMs)[kOperationCount],
                    std::vector<KeepAliveFigures>& keepAlive) {
    ComPtr<IOPCBrowse> browse;
    ComPtr<IOPCItemIO> itemIo;
    if (HRESULT hr = server->QueryInterface(IID_PPV_ARGS(&browse)); FAILED(hr)) {
        return "the server gives no IOPCBrowse (" + HresultText(hr) + ")";
    }
    if (HRESULT hr = server->QueryInterface(IID_PPV_ARGS(&itemIo)); FAILED(hr)) {
        return "the server gives no IOPCItemIO (" + HresultText(hr) + ")";
    }
    Round round;
    round.ids.reserve(kItems);
    for (DWORD i = 0; i < kItems; ++i) round.ids.push_back(BenchItemId(static_cast<int>(i * 10), kBranchTags));
    for (const std::wstring& id : round.ids) round.idPointers.push_back(id.c_str());
    round.serverHandles.resize(kItems);
    for (DWORD i = 0; i < kItems; ++i) round.echoHandles.push_back(i);
    ComPtr<IOPCSyncIO2> groupIo;
    OPCHANDLE group = 0;
    dog.Arm(300, "adding the write group");
    if (std::string e = AddWriteGroup(server, round, groupIo, group); !e.empty()) return e;
    echo->SetBranchSize(kBranchTags);
    Da3ServerTarget serverTarget(browse.Get(), itemIo.Get(), groupIo.Get());
    Da3EchoTarget echoTarget(echo);
    std::string failure;
    for (int r = 0; r <= rounds && failure.empty(); ++r) {
        round.first = Vqts(r, 0.125);
        round.second = Vqts(r, 0.0);
        for (Da3Target* target : {static_cast<Da3Target*>(&serverTarget), static_cast<Da3Target*>(&echoTarget)}) {
            const bool real = target->DoesWork();
            double ms[kOperationCount] = {};
            dog.Arm(600, real ? "a round on the server" : "a round on the echo");
            failure = RunRound(*target, round, ms);
            if (!failure.empty()) {
                failure = std::string(real ? "server: " : "echo: ") + failure;
                break;
            }
            for (int op = 0; op < kOperationCount && r > 0; ++op) (real ? serverMs : floorMs)[op].push_back(ms[op]);
        }
    }
    server->RemoveGroup(group, FALSE);
    if (!failure.empty()) return failure;
    dog.Arm(static_cast<DWORD>(keepAliveSeconds) + 300, "the keep-alive groups");
    return MeasureKeepAlive(server, keepAliveSeconds, keepAlive);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = SwitchNumber(argc, argv, L"Rounds", 7);
    const int keepAliveSeconds = SwitchNumber(argc, argv, L"KeepAliveSeconds", 20);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    Watchdog dog;
    dog.Arm(60, "starting the echo server");
    ComPtr<IDa3ShapeEcho> echo;
    HRESULT hr = CoCreateInstance(CLSID_ItemShapeEcho, nullptr, CLSCTX_LOCAL_SERVER, IID_IDa3ShapeEcho,
                                  reinterpret_cast<void**>(echo.GetAddressOf()));
    if (FAILED(hr)) {
        std::fprintf(stderr, "da3_benchmark: the echo server cannot be reached (%s): run opc_benchmark /RegServer\n",
                     HresultText(hr).c_str());
        return 2;
    }
    wchar_t folder[MAX_PATH + 1];
    const std::wstring config = std::wstring(folder, GetTempPathW(MAX_PATH + 1, folder)) + L"da3-benchmark.tvf";
    dog.Arm(300, "writing the configuration");
    if (!WriteBenchConfiguration(config, kBranchTags, kBranchTags, kBranchTags)) {
        std::fprintf(stderr, "da3_benchmark: the configuration cannot be written\n");
        return 2;
    }
    const Options before = SetOptions({true, true});
    std::vector<double> serverMs[kOperationCount], floorMs[kOperationCount];
    std::vector<KeepAliveFigures> keepAlive;
    std::string failure;
    {
        ServerSession session;
        dog.Arm(180, "starting the server");
        failure = session.Start(config, 120000);
        dog.SetServerProcess(session.ProcessId());
        if (failure.empty()) {
            failure =
                Measure(session.Server(), echo.Get(), rounds, keepAliveSeconds, dog, serverMs, floorMs, keepAlive);
        }
        dog.Arm(60, "closing the server");
        session.End();
        dog.SetServerProcess(0);
    }
    SetOptions(before);  // after the server's own save at its end
    dog.Disarm();
    echo.Reset();
    DeleteFileW(config.c_str());
    if (!failure.empty()) {
        std::fprintf(stderr, "da3_benchmark: %s\n", failure.c_str());
        CoUninitialize();
        return 2;
    }

    bool met = true;
    std::printf("OPC DA 3.0, a branch of %d tags, %lu items (%d rounds)\n", kBranchTags,
                static_cast<unsigned long>(kItems), rounds);
    std::printf("%-46s %10s %10s %7s\n", "operation", "server ms", "floor ms", "ratio");
    for (int op = 0; op < kOperationCount; ++op) {
        const double s = MedianOf(serverMs[op]), f = MedianOf(floorMs[op]);
        std::printf("%-46s %s %s %s\n", kOperationNames[op], Cell(s, 10, 1).c_str(), Cell(f, 10, 1).c_str(),
                    Cell(s / f, 7, 2).c_str());
    }
    for (int op = 0; op < kOperationCount; ++op) {
        const double ratio = MedianOf(serverMs[op]) / MedianOf(floorMs[op]);
        const bool ok = ratio <= kRatioLimit;
        met = met && ok;
        std::printf("goal %-46s at most %.2fx the floor: %s\n", kOperationNames[op], kRatioLimit,
                    ok ? "met" : "MISSED");
    }
    for (const KeepAliveFigures& k : keepAlive) {
        const auto [lo, hi] = std::minmax_element(k.intervals.begin(), k.intervals.end());
        const bool measured = k.intervals.size() >= 5;
        const bool ok = measured && k.revised == k.asked && std::fabs(*lo - k.asked) <= kKeepAliveTolerance * k.asked &&
                        std::fabs(*hi - k.asked) <= kKeepAliveTolerance * k.asked;
        met = met && ok;
        std::printf("keep-alive %4lu ms (revised %lu): %zu empty callbacks, intervals median %s ms, %s..%s ms\n",
                    static_cast<unsigned long>(k.asked), static_cast<unsigned long>(k.revised), k.intervals.size(),
                    Cell(MedianOf(k.intervals), 0, 1).c_str(), Cell(measured ? *lo : NAN, 0, 1).c_str(),
                    Cell(measured ? *hi : NAN, 0, 1).c_str());
        std::printf("goal keep-alive %4lu ms: every interval within %.0f%%: %s\n", static_cast<unsigned long>(k.asked),
                    100 * kKeepAliveTolerance,
                    !measured ? "not measured"
                    : ok      ? "met"
                              : "MISSED");
    }
    CoUninitialize();
    return met ? 0 : 1;
}
