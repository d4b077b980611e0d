// The group's DA 3.0 side in process: the offer switch, reads by maximum age
// (synchronous, asynchronous, refreshes) beside the 2.05a reads of the same
// items, writes of value-quality-timestamp records, the keep-alive, per-item
// deadbands and sampling rates, and buffered samples with their bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>

#include "CallbackBatch.h"
#include "ItemRequestRules.h"
#include "OPCGroup.h"
#include "OpcConstants.h"
#include "OpcDaInterfaces.h"
#include "RecordingCallback.h"
#include "SampleBuffer.h"
#include "ServerTestSupport.h"
#include "WaitFor.h"

namespace {
constexpr DWORD kWaitMs = 5000;
constexpr DWORD kAnyAge = 0xFFFFFFFF;

VARIANT Number(double x) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = x;
    return v;
}

// One entry of a ReadMaxAge answer.
struct AgedValue {
    std::wstring text;  // the value as VT_BSTR, "" when empty
    VARTYPE type = VT_EMPTY;
    WORD quality = 0;
    FILETIME timeStamp{};
    HRESULT error = S_OK;
};

std::wstring TextOf(const VARIANT& v) {
    VARIANT x;
    VariantInit(&x);
    std::wstring text;
    if (SUCCEEDED(VariantChangeType(&x, const_cast<VARIANT*>(&v), 0, VT_BSTR))) text = V_BSTR(&x);
    VariantClear(&x);
    return text;
}

// The items' entries of every OnDataChange with transaction id 0, in order
// of arrival, for one client handle.
std::vector<CallbackItem> EntriesOf(const std::vector<CallbackCall>& calls, OPCHANDLE client) {
    std::vector<CallbackItem> entries;
    for (const CallbackCall& c : calls) {
        if (c.kind != CallbackCall::DataChange || c.transactionId != 0) continue;
        for (const CallbackItem& item : c.items) {
            if (item.hClient == client) entries.push_back(item);
        }
    }
    return entries;
}

// The offer switch as a test sets it, put back however the test ends.
class Da3Offer {
public:
    explicit Da3Offer(bool offered) : m_before(IsDa3Offered()) { SetDa3Offered(offered); }
    ~Da3Offer() { SetDa3Offered(m_before); }

private:
    bool m_before;
};

class Da3GroupTest : public ::testing::Test {
protected:
    void SetUp() override {
        pressure = config.doc.FindTag(L"Boiler.Burner.Pressure");
        ASSERT_NE(nullptr, pressure);
        pressure->EnableValueLimits(true);
        pressure->SetValueLimits(0, 200);
        pressure->SetDeadband(1);  // 2.0 of the range
        pressure->SetValueNow(Variant::FromDouble(50));
        config.flow->SetValueNow(Variant::FromDouble(1));
    }
    // A group (client handle 77, the given group deadband) with items on
    // the given tags, client handles 1, 2, ...
    void MakeGroup(BOOL active, DWORD rate, std::vector<std::pair<LPCWSTR, VARTYPE>> items, FLOAT deadband = 0) {
        ASSERT_EQ(S_OK, server->AddGroup(L"", active, rate, 77, nullptr, &deadband, 0, &groupHandle, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(mgt.GetAddressOf())));
        ASSERT_EQ(S_OK, mgt.As(&sync));
        ASSERT_EQ(S_OK, mgt.As(&sync2));
        ASSERT_EQ(S_OK, mgt.As(&io3));
        ASSERT_EQ(S_OK, mgt.As(&state2));
        ASSERT_EQ(S_OK, mgt.As(&deadbands));
        ASSERT_EQ(S_OK, mgt.As(&sampling));
        ASSERT_EQ(S_OK, mgt.As(&container));
        handles = AddItemsOf(mgt.Get(), items, TRUE);
        ASSERT_EQ(items.size(), handles.size());
    }
    void Advise() {
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, &point));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(&callback, &cookie));
    }
    void SetActive(BOOL on) {
        EXPECT_EQ(S_OK, state2->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr));
    }
    // The first scan has taken every active item into the cache.
    void WaitForFirstScan() {
        ASSERT_TRUE(WaitFor(kWaitMs, [&] {
            std::vector<AgedValue> v;
            ReadAged(handles, std::vector<DWORD>(handles.size(), kAnyAge), v);
            return !v.empty() && v[0].quality == OPC_QUALITY_GOOD;
        }));
    }
    HRESULT ReadAged(std::vector<OPCHANDLE> h, std::vector<DWORD> ages, std::vector<AgedValue>& out) {
        VARIANT* values = nullptr;
        WORD* qualities = nullptr;
        FILETIME* times = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = sync2->ReadMaxAge(static_cast<DWORD>(h.size()), h.data(), ages.data(), &values, &qualities,
                                             &times, &errors);
        out.clear();
        if (SUCCEEDED(hr)) {
            for (size_t i = 0; i < h.size(); ++i) {
                out.push_back({TextOf(values[i]), V_VT(&values[i]), qualities[i], times[i], errors[i]});
                VariantClear(&values[i]);
            }
        }
        CoTaskMemFree(values);
        CoTaskMemFree(qualities);
        CoTaskMemFree(times);
        CoTaskMemFree(errors);
        return hr;
    }
    // The same items through IOPCSyncIO::Read.
    std::vector<AgedValue> ReadFrom(OPCDATASOURCE source, std::vector<OPCHANDLE> h) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        std::vector<AgedValue> out;
        if (FAILED(sync->Read(source, static_cast<DWORD>(h.size()), h.data(), &states, &errors))) return out;
        for (size_t i = 0; i < h.size(); ++i) {
            out.push_back({TextOf(states[i].vDataValue), V_VT(&states[i].vDataValue), states[i].wQuality,
                           states[i].ftTimeStamp, errors[i]});
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return out;
    }
    std::vector<HRESULT> TakeErrors(HRESULT* errors, size_t count) {
        std::vector<HRESULT> out;
        if (errors != nullptr) out.assign(errors, errors + count);
        CoTaskMemFree(errors);
        return out;
    }

    ConfiguredDocument config;
    OPCS_Tag* pressure = nullptr;
    RecordingCallback callback;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> mgt;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCSyncIO2> sync2;
    ComPtr<IOPCAsyncIO3> io3;
    ComPtr<IOPCGroupStateMgt2> state2;
    ComPtr<IOPCItemDeadbandMgt> deadbands;
    ComPtr<IOPCItemSamplingMgt> sampling;
    ComPtr<IConnectionPointContainer> container;
    std::vector<OPCHANDLE> handles;
};
}  // namespace

TEST_F(Da3GroupTest, TheSwitchHidesEveryDa3InterfaceAndLeavesTheirBases) {
    MakeGroup(FALSE, 100000, {{L"Pump1.Flow", VT_EMPTY}});
    const IID da3[] = {IID_IOPCSyncIO2, IID_IOPCAsyncIO3, IID_IOPCGroupStateMgt2, IID_IOPCItemDeadbandMgt,
                       IID_IOPCItemSamplingMgt};
    const IID bases[] = {IID_IOPCSyncIO, IID_IOPCAsyncIO2, IID_IOPCGroupStateMgt, IID_IOPCItemMgt,
                         IID_IConnectionPointContainer};
    {
        Da3Offer off(false);
        for (const IID& iid : da3) {
            ComPtr<IUnknown> unknown;
            EXPECT_EQ(E_NOINTERFACE, mgt->QueryInterface(iid, reinterpret_cast<void**>(unknown.GetAddressOf())));
            EXPECT_EQ(nullptr, unknown.Get());
        }
        for (const IID& iid : bases) {
            ComPtr<IUnknown> unknown;
            EXPECT_EQ(S_OK, mgt->QueryInterface(iid, reinterpret_cast<void**>(unknown.GetAddressOf())));
        }
        // A group asked for by a 3.0 interface is refused too.
        ComPtr<IUnknown> refused;
        OPCHANDLE h = 0;
        EXPECT_EQ(E_NOINTERFACE, server->AddGroup(L"Refused", FALSE, 1000, 1, nullptr, nullptr, 0, &h, &revised,
                                                  IID_IOPCSyncIO2, refused.GetAddressOf()));
        // An interface the client already holds keeps working.
        std::vector<AgedValue> v;
        EXPECT_EQ(S_OK, ReadAged(handles, {0}, v));
    }
    // Offered: a 3.0 interface and its base are one object's, and the base
    // answers through the derived one's table.
    ComPtr<IOPCSyncIO> base;
    ComPtr<IOPCSyncIO2> derived;
    ASSERT_EQ(S_OK, mgt.As(&derived));
    ASSERT_EQ(S_OK, derived.As(&base));
    EXPECT_EQ(static_cast<IOPCSyncIO*>(derived.Get()), base.Get());
    ComPtr<IOPCGroupStateMgt> stateBase;
    ASSERT_EQ(S_OK, mgt.As(&stateBase));
    EXPECT_EQ(static_cast<IOPCGroupStateMgt*>(state2.Get()), stateBase.Get());
}

TEST_F(Da3GroupTest, AReadByAgeTakesTheCacheOnlyWhileItIsYoungEnoughAndAgreesWithRead) {
    // Pressure with a 1 % deadband: after 50 the cache keeps 50 when the
    // tag moves to 51, the device says 51. Three items on it (one inactive
    // later), one of Label asking for a number, one of Flow asking for text.
    MakeGroup(TRUE, 100000,
              {{L"Boiler.Burner.Pressure", VT_EMPTY},
               {L"Boiler.Burner.Pressure", VT_BSTR},
               {L"Boiler.Burner.Pressure", VT_EMPTY},
               {L"Pump1.Label", VT_R8},
               {L"Pump1.Flow", VT_BSTR}});
    config.pump->FindTag(L"Label")->SetValueNow(Variant::FromString(L"abc"));
    WaitForFirstScan();
    pressure->SetValueNow(Variant::FromDouble(51));
    const OPCHANDLE p = handles[0];

    const struct {
        DWORD maxAge;
        DWORD sleepMs;  // before the read
        const wchar_t* value;
    } cases[] = {
        {0, 0, L"51"},    {kAnyAge, 0, L"50"}, {0x7FFFFFFF, 0, L"50"}, {100000, 0, L"50"},
        {200, 50, L"50"}, {1, 60, L"51"},      {30, 80, L"51"},        {0xFFFFFFFE, 0, L"50"},
    };
    for (const auto& c : cases) {
        Sleep(c.sleepMs);
        std::vector<AgedValue> v;
        ASSERT_EQ(S_OK, ReadAged({p}, {c.maxAge}, v)) << c.maxAge;
        EXPECT_EQ(c.value, v[0].text) << c.maxAge;
        EXPECT_EQ(OPC_QUALITY_GOOD, v[0].quality) << c.maxAge;
    }

    // Requested types, a value that does not convert, and a handle that is none.
    std::vector<AgedValue> v;
    ASSERT_EQ(S_FALSE, ReadAged({handles[1], handles[3], 4242, handles[4]}, {kAnyAge, 0, 0, 0}, v));
    EXPECT_EQ(VT_BSTR, v[0].type);
    EXPECT_EQ(L"50", v[0].text);
    EXPECT_EQ(OPC_E_BADTYPE, v[1].error);
    EXPECT_EQ(OPC_QUALITY_BAD, v[1].quality);
    EXPECT_EQ(VT_EMPTY, v[1].type);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, v[2].error) << "the walk goes on past it";
    EXPECT_EQ(S_OK, v[3].error);
    EXPECT_EQ(L"1", v[3].text);

    // The same items alike through IOPCSyncIO: 0 is the device, any age the cache.
    for (auto [source, age] : {std::pair{OPC_DS_DEVICE, DWORD{0}}, std::pair{OPC_DS_CACHE, kAnyAge}}) {
        const std::vector<OPCHANDLE> all(handles.begin(), handles.end());
        const std::vector<AgedValue> read = ReadFrom(source, all);
        ASSERT_EQ(S_FALSE, ReadAged(all, std::vector<DWORD>(all.size(), age), v));
        ASSERT_EQ(read.size(), v.size());
        for (size_t i = 0; i < v.size(); ++i) {
            EXPECT_EQ(read[i].text, v[i].text) << source << " " << i;
            EXPECT_EQ(read[i].type, v[i].type) << source << " " << i;
            EXPECT_EQ(read[i].quality, v[i].quality) << source << " " << i;
            EXPECT_EQ(read[i].error, v[i].error) << source << " " << i;
            EXPECT_EQ(read[i].timeStamp.dwLowDateTime, v[i].timeStamp.dwLowDateTime) << source << " " << i;
        }
    }

    // No cache, no caching: an inactive item, then an inactive group, read the device.
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, mgt->SetActiveState(1, &handles[2], FALSE, &e));
    CoTaskMemFree(e);
    ASSERT_EQ(S_OK, ReadAged({handles[2], p}, {kAnyAge, kAnyAge}, v));
    EXPECT_EQ(L"51", v[0].text);
    EXPECT_EQ(OPC_QUALITY_GOOD, v[0].quality) << "not the cache's out-of-service";
    EXPECT_EQ(L"50", v[1].text);
    SetActive(FALSE);
    ASSERT_EQ(S_OK, ReadAged({p}, {kAnyAge}, v));
    EXPECT_EQ(L"51", v[0].text);

    // Bad calls.
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    DWORD age = 0;
    EXPECT_EQ(E_INVALIDARG, sync2->ReadMaxAge(0, &handles[0], &age, &values, &qualities, &times, &e));
    EXPECT_EQ(E_INVALIDARG, sync2->ReadMaxAge(1, &handles[0], nullptr, &values, &qualities, &times, &e));
    EXPECT_EQ(E_INVALIDARG, sync2->ReadMaxAge(1, &handles[0], &age, &values, nullptr, &times, &e));
    EXPECT_EQ(nullptr, values);
}

TEST_F(Da3GroupTest, ADeviceIsWaitedForOncePerCallAndOnlyWhenAnItemNeedsIt) {
    constexpr DWORD kDelayMs = 400;
    MakeGroup(TRUE, 100000, {{L"Boiler.Burner.Pressure", VT_EMPTY}, {L"Boiler.Burner.Pressure", VT_EMPTY}});
    WaitForFirstScan();
    config.boiler->SetResponseDelay(kDelayMs);
    const struct {
        std::vector<DWORD> ages;
        bool waits;
    } cases[] = {{{kAnyAge, kAnyAge}, false}, {{0, kAnyAge}, true}, {{0, 0}, true}, {{100000, 0x7FFFFFFF}, false}};
    for (const auto& c : cases) {
        std::vector<AgedValue> v;
        const ULONGLONG start = GetTickCount64();
        ASSERT_EQ(S_OK, ReadAged(handles, c.ages, v));
        const ULONGLONG took = GetTickCount64() - start;
        if (c.waits) {
            EXPECT_GE(took, kDelayMs - 20) << c.ages[0];
            EXPECT_LT(took, 2 * kDelayMs - 50) << "once per call, not once per item";
        } else {
            EXPECT_LT(took, kDelayMs / 2) << c.ages[0];
        }
    }
}

TEST_F(Da3GroupTest, AsynchronousReadsAndRefreshesByAgeCompleteThroughTheCallback) {
    MakeGroup(TRUE, 100000, {{L"Boiler.Burner.Pressure", VT_EMPTY}, {L"Boiler.Burner.Pressure", VT_I4}});
    DWORD cancel = 7;
    HRESULT* e = nullptr;
    DWORD ages[] = {kAnyAge, 0};
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io3->ReadMaxAge(2, handles.data(), ages, 1, &cancel, &e));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io3->RefreshMaxAge(0, 1, &cancel));
    EXPECT_EQ(0u, cancel);
    WaitForFirstScan();
    Advise();
    pressure->SetValueNow(Variant::FromDouble(51));

    OPCHANDLE three[] = {handles[0], 4242, handles[1]};
    DWORD threeAges[] = {kAnyAge, 0, 0};
    ASSERT_EQ(S_FALSE, io3->ReadMaxAge(3, three, threeAges, 0x31, &cancel, &e));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}), TakeErrors(e, 3));
    EXPECT_NE(0u, cancel);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::ReadComplete, 0x31) == 1; }));
    for (DWORD age : {kAnyAge, DWORD{0}}) {
        const DWORD tid = 0x40 + (age == 0 ? 1 : 0);
        ASSERT_EQ(S_OK, io3->RefreshMaxAge(age, tid, &cancel));
        ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::DataChange, tid) == 1; }));
    }
    const std::vector<CallbackCall> calls = callback.Calls();
    const struct {
        CallbackCall::Kind kind;
        DWORD tid;
        std::vector<std::wstring> texts;
    } want[] = {{CallbackCall::ReadComplete, 0x31, {L"50", L"51"}},
                {CallbackCall::DataChange, 0x40, {L"50", L"50"}},
                {CallbackCall::DataChange, 0x41, {L"51", L"51"}}};
    for (const auto& w : want) {
        const CallbackCall* found = nullptr;
        for (const CallbackCall& c : calls) found = c.kind == w.kind && c.transactionId == w.tid ? &c : found;
        ASSERT_NE(nullptr, found) << w.tid;
        ASSERT_EQ(w.texts.size(), found->items.size()) << w.tid;
        for (size_t i = 0; i < w.texts.size(); ++i) EXPECT_EQ(w.texts[i], found->items[i].text) << w.tid << " " << i;
        EXPECT_EQ(VT_I4, found->items[1].type) << "the requested type";
    }

    // A slow device: a refresh waiting for it is cancelled, and says so.
    config.boiler->SetResponseDelay(2000);
    ASSERT_EQ(S_OK, io3->RefreshMaxAge(0, 0x50, &cancel));
    Sleep(200);
    EXPECT_EQ(S_OK, io3->Cancel2(cancel));
    ASSERT_TRUE(WaitFor(1000, [&] { return callback.Count(CallbackCall::CancelComplete, 0x50) == 1; }));
    config.boiler->SetResponseDelay(0);

    // Refreshes want an active group with an active item; reads their arrays.
    EXPECT_EQ(E_INVALIDARG, io3->RefreshMaxAge(0, 1, nullptr));
    EXPECT_EQ(E_INVALIDARG, io3->ReadMaxAge(1, handles.data(), nullptr, 1, &cancel, &e));
    EXPECT_EQ(E_INVALIDARG, io3->ReadMaxAge(0, handles.data(), ages, 1, &cancel, &e));
    ASSERT_EQ(S_OK, mgt->SetActiveState(2, handles.data(), FALSE, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(E_FAIL, io3->RefreshMaxAge(kAnyAge, 1, &cancel));
    ASSERT_EQ(S_OK, mgt->SetActiveState(2, handles.data(), TRUE, &e));
    CoTaskMemFree(e);
    SetActive(FALSE);
    EXPECT_EQ(E_FAIL, io3->RefreshMaxAge(kAnyAge, 1, &cancel));
}

TEST_F(Da3GroupTest, WritesOfRecordsAreAllOrNothingPerItemOnBothPaths) {
    // Flow R8 rw, Speed I4 ro, Running BOOL rw. Qualities and timestamps are
    // not for clients to write while the configuration's option is off.
    MakeGroup(TRUE, 1000, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Speed", VT_EMPTY}, {L"Pump1.Running", VT_EMPTY}});
    const OPCHANDLE flow = handles[0], speed = handles[1];
    auto record = [](VARIANT value, int quality = -1, bool badTime = false, bool time = false) {
        OPCITEMVQT r{};
        r.vDataValue = value;
        r.bQualitySpecified = quality >= 0;
        r.wQuality = static_cast<WORD>(quality < 0 ? 0 : quality);
        r.bTimeStampSpecified = badTime || time;
        r.ftTimeStamp = badTime ? FILETIME{0, 0x80000000u} : FILETIME{0x1000, 0x01D00000};
        return r;
    };
    VARIANT empty;
    VariantInit(&empty);
    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"abc");
    const struct {
        OPCHANDLE handle;
        OPCITEMVQT vqt;
        HRESULT error;
        bool immediate;  // the asynchronous call refuses it at once
    } cases[] = {
        {flow, record(Number(5)), S_OK, false},
        {flow, record(Number(6), OPC_QUALITY_UNCERTAIN), OPC_E_NOTSUPPORTED, false},
        {flow, record(Number(6), -1, false, true), OPC_E_NOTSUPPORTED, false},
        {flow, record(empty), E_INVALIDARG, true},
        {flow, record(Number(6), 0x1C0), E_INVALIDARG, true},
        {flow, record(Number(6), -1, true), E_INVALIDARG, true},
        {speed, record(Number(6)), OPC_E_BADRIGHTS, true},
        {flow, record(text), OPC_E_BADTYPE, false},
        {4242, record(Number(6)), OPC_E_INVALIDHANDLE, true},
    };
    const DWORD n = static_cast<DWORD>(std::size(cases));
    std::vector<OPCHANDLE> h;
    std::vector<OPCITEMVQT> records;
    for (const auto& c : cases) {
        h.push_back(c.handle);
        records.push_back(c.vqt);
    }
    HRESULT* e = nullptr;
    // Synchronous: each record alone, so that its effect is its own.
    for (DWORD i = 0; i < n; ++i) {
        config.flow->SetValueNow(Variant::FromDouble(1));
        config.flow->SetQuality(OPC_QUALITY_GOOD);
        const HRESULT hr = sync2->WriteVQT(1, &h[i], &records[i], &e);
        EXPECT_EQ(cases[i].error == S_OK ? S_OK : S_FALSE, hr) << i;
        EXPECT_EQ(cases[i].error, TakeErrors(e, 1)[0]) << i;
        const double value = config.flow->GetValue().Ref().dblVal;
        EXPECT_EQ(cases[i].error == S_OK ? 5.0 : 1.0, value) << i << ": all or nothing";
        EXPECT_EQ(OPC_QUALITY_GOOD, config.flow->GetQuality()) << i;
    }
    // All in one call: the same answers.
    ASSERT_EQ(S_FALSE, sync2->WriteVQT(n, h.data(), records.data(), &e));
    const std::vector<HRESULT> all = TakeErrors(e, n);
    for (DWORD i = 0; i < n; ++i) EXPECT_EQ(cases[i].error, all[i]) << i;

    // Asynchronous: the refusals at once, the rest in the completion.
    Advise();
    config.flow->SetValueNow(Variant::FromDouble(1));
    DWORD cancel = 0;
    ASSERT_EQ(S_FALSE, io3->WriteVQT(n, h.data(), records.data(), 0x77, &cancel, &e));
    const std::vector<HRESULT> immediate = TakeErrors(e, n);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::WriteComplete, 0x77) == 1; }));
    const CallbackCall* done = nullptr;
    const std::vector<CallbackCall> calls = callback.Calls();
    for (const CallbackCall& c : calls) done = c.kind == CallbackCall::WriteComplete ? &c : done;
    ASSERT_NE(nullptr, done);
    EXPECT_EQ(S_FALSE, done->masterError);
    size_t next = 0;
    for (DWORD i = 0; i < n; ++i) {
        EXPECT_EQ(cases[i].immediate ? cases[i].error : S_OK, immediate[i]) << i;
        if (cases[i].immediate) continue;
        ASSERT_LT(next, done->items.size());
        EXPECT_EQ(cases[i].error, done->items[next].error) << i;
        EXPECT_EQ(1u, done->items[next].hClient) << i;
        ++next;
    }
    EXPECT_EQ(next, done->items.size());
    EXPECT_EQ(5.0, config.flow->GetValue().Ref().dblVal);

    // A write reaches the subscribers as any write does: at once after an idle period.
    ASSERT_TRUE(WaitFor(kWaitMs, [&] {
        const std::vector<CallbackItem> entries = EntriesOf(callback.Calls(), 1);
        return !entries.empty() && entries.back().number == 5;
    }));
    Sleep(1200);
    records[0].vDataValue = Number(8);
    const size_t before = EntriesOf(callback.Calls(), 1).size();
    const ULONGLONG written = GetTickCount64();
    ASSERT_EQ(S_OK, sync2->WriteVQT(1, &h[0], &records[0], &e));
    CoTaskMemFree(e);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return EntriesOf(callback.Calls(), 1).size() > before; }));
    EXPECT_LT(GetTickCount64() - written, 400u);
    EXPECT_EQ(8.0, EntriesOf(callback.Calls(), 1).back().number);

    EXPECT_EQ(E_INVALIDARG, sync2->WriteVQT(0, h.data(), records.data(), &e));
    EXPECT_EQ(E_INVALIDARG, sync2->WriteVQT(1, h.data(), nullptr, &e));
    EXPECT_EQ(E_INVALIDARG, io3->WriteVQT(1, h.data(), nullptr, 1, &cancel, &e));
    VariantClear(&text);
}

TEST_F(Da3GroupTest, KeepAliveTimesAreRevisedAndReported) {
    MakeGroup(FALSE, 100, {{L"Pump1.Flow", VT_EMPTY}});
    DWORD kept = 7;
    EXPECT_EQ(S_OK, state2->GetKeepAlive(&kept));
    EXPECT_EQ(0u, kept) << "a new group has none";
    const struct {
        DWORD asked, kept;
        HRESULT hr;
    } cases[] = {
        {300, 300, S_OK},
        {50, 100, OPC_S_UNSUPPORTEDRATE},  // never below the update rate
        {1, 100, OPC_S_UNSUPPORTEDRATE},
        {3 * 24 * 3600 * 1000u, 3 * 24 * 3600 * 1000u, S_OK},  // days
        {0xFFFFFFFF, 0xFFFFFFFF, S_OK},
        {0, 0, S_OK},
    };
    for (const auto& c : cases) {
        DWORD revisedTime = 1;
        EXPECT_EQ(c.hr, state2->SetKeepAlive(c.asked, &revisedTime)) << c.asked;
        EXPECT_EQ(c.kept, revisedTime) << c.asked;
        EXPECT_EQ(S_OK, state2->GetKeepAlive(&kept));
        EXPECT_EQ(c.kept, kept) << c.asked;
    }
    EXPECT_EQ(E_INVALIDARG, state2->SetKeepAlive(300, nullptr));
    EXPECT_EQ(E_INVALIDARG, state2->GetKeepAlive(nullptr));
}

TEST_F(Da3GroupTest, AnEmptyCallbackComesWhenTheKeepAliveTimePassesWithoutData) {
    // Scans far apart: the data thread must wake for the keep-alive itself.
    constexpr DWORD kKeepAliveMs = 500;
    MakeGroup(TRUE, 300, {{L"Pump1.Flow", VT_EMPTY}});
    std::mutex mutex;
    std::vector<ULONGLONG> arrivals;  // of every call, in order
    callback.OnCall([&] {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(GetTickCount64());
    });
    Advise();
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    DWORD kept = 0;
    ASSERT_EQ(S_OK, state2->SetKeepAlive(kKeepAliveMs, &kept));
    // Three empty ones, then data, then the time counts from the data.
    ASSERT_TRUE(callback.WaitFor(4, 3 * kKeepAliveMs + 1000));
    Sleep(kKeepAliveMs / 2);  // data well inside the time, so that a timer not restarted shows
    config.flow->SetValueNow(Variant::FromDouble(2));
    ASSERT_TRUE(callback.WaitFor(6, 2 * kKeepAliveMs + 1000));
    const std::vector<CallbackCall> calls = callback.Calls();
    std::vector<ULONGLONG> at;
    {
        std::lock_guard<std::mutex> lock(mutex);
        at = arrivals;
    }
    ASSERT_GE(at.size(), 6u);
    for (size_t i = 1; i < 6; ++i) {
        const CallbackCall& c = calls[i];
        EXPECT_EQ(CallbackCall::DataChange, c.kind);
        EXPECT_EQ(0u, c.transactionId);
        EXPECT_EQ(77u, c.hGroup);
        if (c.items.empty()) {
            // Within a tenth of the time after the call before, whatever it was.
            const ULONGLONG gap = at[i] - at[i - 1];
            EXPECT_GE(gap, kKeepAliveMs - kKeepAliveMs / 10) << i;
            EXPECT_LE(gap, kKeepAliveMs + kKeepAliveMs / 10) << i;
        }
    }
    EXPECT_TRUE(calls[1].items.empty() && calls[2].items.empty() && calls[3].items.empty());
    EXPECT_EQ(1u, calls[4].items.size()) << "the data";
    EXPECT_TRUE(calls[5].items.empty());

    // Days: nothing in the next second; none while the group is inactive.
    ASSERT_EQ(S_OK, state2->SetKeepAlive(3 * 24 * 3600 * 1000u, &kept));
    const size_t count = callback.Count();
    Sleep(1000);
    EXPECT_EQ(count, callback.Count());
    ASSERT_EQ(S_OK, state2->SetKeepAlive(300, &kept));
    SetActive(FALSE);
    Sleep(100);
    const size_t inactive = callback.Count();
    Sleep(700);
    EXPECT_EQ(inactive, callback.Count());
}

TEST_F(Da3GroupTest, AnItemsDeadbandReplacesTheTagsAndClearingGoesBack) {
    // The group's own 50 % is stored only; each item follows the tag's 1 %
    // unless it has its own.
    MakeGroup(TRUE, 50,
              {{L"Boiler.Burner.Pressure", VT_EMPTY},
               {L"Boiler.Burner.Pressure", VT_EMPTY},
               {L"Boiler.Burner.Pressure", VT_EMPTY},
               {L"Pump1.Flow", VT_EMPTY}},
              50.0f);
    const FLOAT nan = std::numeric_limits<FLOAT>::quiet_NaN();
    OPCHANDLE h[] = {handles[1], handles[2], handles[1], handles[1], handles[1], handles[3], 4242};
    FLOAT percents[] = {10, 0, nan, -1, 100.5f, 5, 5};
    HRESULT* e = nullptr;
    FLOAT* got = nullptr;
    // None set yet.
    ASSERT_EQ(S_FALSE, deadbands->GetItemDeadband(2, h, &got, &e));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_DEADBANDNOTSET, OPC_E_DEADBANDNOTSET}), TakeErrors(e, 2));
    CoTaskMemFree(got);
    ASSERT_EQ(S_FALSE, deadbands->SetItemDeadband(7, h, percents, &e));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, OPC_E_DEADBANDNOTSUPPORTED,
                                    OPC_E_INVALIDHANDLE}),
              TakeErrors(e, 7));
    OPCHANDLE asked[] = {handles[0], handles[1], handles[2], handles[3]};
    ASSERT_EQ(S_FALSE, deadbands->GetItemDeadband(4, asked, &got, &e));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_DEADBANDNOTSET, S_OK, S_OK, OPC_E_DEADBANDNOTSUPPORTED}), TakeErrors(e, 4));
    EXPECT_EQ(10.0f, got[1]) << "the bad values after it changed nothing";
    EXPECT_EQ(0.0f, got[2]);
    CoTaskMemFree(got);
    FLOAT hundred = 100;
    ASSERT_EQ(S_OK, deadbands->SetItemDeadband(1, &handles[0], &hundred, &e));
    CoTaskMemFree(e);
    ASSERT_EQ(S_OK, deadbands->ClearItemDeadband(1, &handles[0], &e));
    CoTaskMemFree(e);

    Advise();
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    // Tag's 1 % (2.0), item's 10 % (20.0), item's 0 %: who reports which move.
    const struct {
        double value;
        bool reported[3];
    } moves[] = {{51, {false, false, true}}, {53, {true, false, true}}, {75, {true, true, true}}};
    for (const auto& m : moves) {
        const std::vector<CallbackCall> before = callback.Calls();
        pressure->SetValueNow(Variant::FromDouble(m.value));
        Sleep(300);
        const std::vector<CallbackCall> after = callback.Calls();
        for (OPCHANDLE client = 1; client <= 3; ++client) {
            const bool reported = EntriesOf(after, client).size() > EntriesOf(before, client).size();
            EXPECT_EQ(m.reported[client - 1], reported) << m.value << " item " << client;
        }
    }
    // Cleared, the item follows the tag's deadband again; a second clear has nothing to clear.
    ASSERT_EQ(S_OK, deadbands->ClearItemDeadband(2, &asked[1], &e));
    CoTaskMemFree(e);
    ASSERT_EQ(S_FALSE, deadbands->ClearItemDeadband(2, &asked[0], &e));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_DEADBANDNOTSET, OPC_E_DEADBANDNOTSET}), TakeErrors(e, 2));
    const size_t second = EntriesOf(callback.Calls(), 2).size();
    pressure->SetValueNow(Variant::FromDouble(78));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return EntriesOf(callback.Calls(), 2).size() > second; }));
    EXPECT_EQ(78, EntriesOf(callback.Calls(), 2).back().number);

    EXPECT_EQ(E_INVALIDARG, deadbands->SetItemDeadband(0, h, percents, &e));
    EXPECT_EQ(E_INVALIDARG, deadbands->SetItemDeadband(1, h, nullptr, &e));
    EXPECT_EQ(E_INVALIDARG, deadbands->GetItemDeadband(1, h, nullptr, &e));
}

TEST_F(Da3GroupTest, SamplingRatesAreRevisedKeptAndCleared) {
    MakeGroup(TRUE, 1000, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Speed", VT_EMPTY}});
    const OPCHANDLE f = handles[0], s = handles[1];
    DWORD* rates = nullptr;
    HRESULT* e = nullptr;
    OPCHANDLE h[] = {f, s, f, f, f, 4242};
    DWORD asked[] = {0, 5, 10, 250, kAnyAge, 20};
    ASSERT_EQ(S_FALSE, sampling->GetItemSamplingRate(1, h, &rates, &e));
    EXPECT_EQ(OPC_E_RATENOTSET, TakeErrors(e, 1)[0]);
    CoTaskMemFree(rates);
    // One item at a time: each revision is its own.
    const struct {
        DWORD asked, kept;
        HRESULT error;
    } cases[] = {{0, kFastestSamplingMs, OPC_S_UNSUPPORTEDRATE},
                 {5, kFastestSamplingMs, OPC_S_UNSUPPORTEDRATE},
                 {10, 10, S_OK},
                 {250, 250, S_OK},
                 {kAnyAge, kAnyAge, S_OK}};
    for (const auto& c : cases) {
        DWORD one = c.asked;
        ASSERT_EQ(S_OK, sampling->SetItemSamplingRate(1, &h[0], &one, &rates, &e)) << c.asked;
        EXPECT_EQ(c.error, TakeErrors(e, 1)[0]) << c.asked;
        EXPECT_EQ(c.kept, rates[0]) << c.asked;
        CoTaskMemFree(rates);
        ASSERT_EQ(S_OK, sampling->GetItemSamplingRate(1, &h[0], &rates, &e));
        CoTaskMemFree(e);
        EXPECT_EQ(c.kept, rates[0]) << c.asked;
        CoTaskMemFree(rates);
    }
    ASSERT_EQ(S_FALSE, sampling->SetItemSamplingRate(6, h, asked, &rates, &e));
    EXPECT_EQ(
        (std::vector<HRESULT>{OPC_S_UNSUPPORTEDRATE, OPC_S_UNSUPPORTEDRATE, S_OK, S_OK, S_OK, OPC_E_INVALIDHANDLE}),
        TakeErrors(e, 6));
    CoTaskMemFree(rates);
    ASSERT_EQ(S_OK, sampling->ClearItemSamplingRate(2, h, &e));
    CoTaskMemFree(e);
    ASSERT_EQ(S_FALSE, sampling->ClearItemSamplingRate(2, h, &e));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_RATENOTSET, OPC_E_RATENOTSET}), TakeErrors(e, 2));
    ASSERT_EQ(S_FALSE, sampling->GetItemSamplingRate(1, h, &rates, &e));
    EXPECT_EQ(OPC_E_RATENOTSET, TakeErrors(e, 1)[0]);
    EXPECT_EQ(0u, rates[0]);
    CoTaskMemFree(rates);

    // Buffering: off for a new item, on and off per item.
    BOOL* enabled = nullptr;
    BOOL on[] = {TRUE, FALSE, TRUE};
    OPCHANDLE b[] = {f, s, 4242};
    ASSERT_EQ(S_FALSE, sampling->SetItemBufferEnable(3, b, on, &e));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, OPC_E_INVALIDHANDLE}), TakeErrors(e, 3));
    ASSERT_EQ(S_OK, sampling->GetItemBufferEnable(2, b, &enabled, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(TRUE, enabled[0]);
    EXPECT_EQ(FALSE, enabled[1]);
    CoTaskMemFree(enabled);
    EXPECT_EQ(E_INVALIDARG, sampling->SetItemSamplingRate(0, h, asked, &rates, &e));
    EXPECT_EQ(E_INVALIDARG, sampling->SetItemSamplingRate(1, h, nullptr, &rates, &e));
    EXPECT_EQ(E_INVALIDARG, sampling->GetItemBufferEnable(1, b, nullptr, &e));
    // Removed with its settings, an item leaves no sampling behind.
    ASSERT_EQ(S_OK, mgt->RemoveItems(2, handles.data(), &e));
    CoTaskMemFree(e);
}

TEST_F(Da3GroupTest, AnItemSampledOnItsOwnBeatBuffersEveryChangeInOrder) {
    // The group reports once a second; Flow (buffered) and a second item of
    // Flow (not buffered) are sampled every 20 ms; Speed every 600 ms,
    // slower than a second group of 50 ms would scan it.
    MakeGroup(TRUE, 1000, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Flow", VT_EMPTY}});
    DWORD* rates = nullptr;
    HRESULT* e = nullptr;
    DWORD fast[] = {20, 20};
    ASSERT_EQ(S_OK, sampling->SetItemSamplingRate(2, handles.data(), fast, &rates, &e));
    CoTaskMemFree(rates);
    CoTaskMemFree(e);
    BOOL on = TRUE;
    ASSERT_EQ(S_OK, sampling->SetItemBufferEnable(1, &handles[0], &on, &e));
    CoTaskMemFree(e);
    Advise();
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    const size_t first = callback.Count();
    for (int i = 2; i <= 9; ++i) {
        config.flow->SetValueNow(Variant::FromDouble(i));
        Sleep(60);
    }
    ASSERT_TRUE(WaitFor(kWaitMs, [&] {
        const std::vector<CallbackItem> entries = EntriesOf(callback.Calls(), 1);
        return !entries.empty() && entries.back().number == 9;
    }));
    const std::vector<CallbackCall> calls = callback.Calls();
    std::vector<double> buffered, plain;
    size_t mostInOneCall = 0;
    for (size_t i = first; i < calls.size(); ++i) {
        size_t mine = 0;
        for (const CallbackItem& item : calls[i].items) {
            if (item.hClient == 1) {
                buffered.push_back(item.number);
                EXPECT_EQ(S_OK, item.error);
                ++mine;
            }
            if (item.hClient == 2) plain.push_back(item.number);
        }
        mostInOneCall = std::max(mostInOneCall, mine);
    }
    EXPECT_EQ((std::vector<double>{2, 3, 4, 5, 6, 7, 8, 9}), buffered) << "every change, oldest first";
    EXPECT_GE(mostInOneCall, 4u) << "several entries of the item in one callback";
    EXPECT_LT(plain.size(), buffered.size()) << "unbuffered, the latest sample only";
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(9, plain.back());
}

TEST_F(Da3GroupTest, AnItemSampledSlowerThanTheGroupScansIsReportedAtItsOwnRate) {
    MakeGroup(TRUE, 50, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Flow", VT_EMPTY}});
    DWORD* rates = nullptr;
    HRESULT* e = nullptr;
    DWORD slow = 600;
    ASSERT_EQ(S_OK, sampling->SetItemSamplingRate(1, &handles[1], &slow, &rates, &e));
    CoTaskMemFree(rates);
    CoTaskMemFree(e);
    Advise();
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    const size_t first = callback.Count();
    for (int i = 0; i < 24; ++i) {
        config.flow->SetValueNow(Variant::FromDouble(100 + i));
        Sleep(50);
    }
    Sleep(700);
    const std::vector<CallbackCall> all = callback.Calls();
    const std::vector<CallbackCall> calls(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
    const size_t scanned = EntriesOf(calls, 1).size(), sampled = EntriesOf(calls, 2).size();
    EXPECT_GE(scanned, 15u);
    EXPECT_GE(sampled, 2u);
    EXPECT_LE(sampled, 4u) << "about 1.9 s at 600 ms";
    ASSERT_FALSE(EntriesOf(calls, 2).empty());
    EXPECT_EQ(123, EntriesOf(calls, 2).back().number) << "its last sample came after the last change";
}

TEST_F(Da3GroupTest, AFullBufferDropsItsOldestSamplesAndSaysSo) {
    // Through the buffer and the budget themselves: 10,000 items changing
    // every 10 ms would take minutes to show it through a group.
    RecordingCallback sink;
    const struct {
        size_t budget;
        size_t pushed;
        size_t kept;
        HRESULT status;
    } cases[] = {
        {SampleBudget::kGroupBound, 3, 3, S_OK},
        {SampleBudget::kGroupBound, SampleBuffer::kItemBound + 50, SampleBuffer::kItemBound, OPC_S_DATAQUEUEOVERFLOW},
        {5, 20, 5, OPC_S_DATAQUEUEOVERFLOW},
        {0, 4, 1, OPC_S_DATAQUEUEOVERFLOW}};
    for (const auto& c : cases) {
        SampleBudget budget(c.budget);
        SampleBuffer buffer;
        for (size_t i = 0; i < c.pushed; ++i) {
            ItemReading r;
            r.hClient = 5;
            r.value = Variant::FromDouble(static_cast<double>(i));
            r.quality = OPC_QUALITY_GOOD;
            buffer.Push(std::move(r), budget);
        }
        EXPECT_EQ(c.kept, buffer.Count()) << c.pushed;
        EXPECT_EQ(c.kept, budget.Held()) << c.pushed;
        CallbackBatch batch;
        buffer.MoveTo(batch, budget);
        EXPECT_EQ(0u, budget.Held()) << "given back";
        const size_t before = sink.Count();
        ASSERT_EQ(S_OK, batch.SendData(&sink, 0, 1, false));
        const CallbackCall call = sink.Calls()[before];
        ASSERT_EQ(c.kept, call.items.size());
        for (size_t i = 0; i < c.kept; ++i) {
            EXPECT_EQ(static_cast<double>(c.pushed - c.kept + i), call.items[i].number) << "the newest, in order";
            EXPECT_EQ(c.status, call.items[i].error);
        }
        // Moved once, the overflow is forgotten.
        ItemReading again;
        again.value = Variant::FromDouble(1);
        buffer.Push(std::move(again), budget);
        CallbackBatch next;
        buffer.MoveTo(next, budget);
        ASSERT_EQ(S_OK, next.SendData(&sink, 0, 1, false));
        EXPECT_EQ(S_OK, sink.Calls().back().items[0].error);
    }
}

TEST_F(Da3GroupTest, AGroupOfManyBufferedItemsStaysWithinItsBudget) {
    // 2,000 buffered items of one tag sampled every 10 ms while the tag
    // moves, reported every 3 s: the group holds no more than its bound.
    std::vector<std::pair<LPCWSTR, VARTYPE>> many(2000, {L"Pump1.Flow", VT_EMPTY});
    MakeGroup(TRUE, 3000, many);
    std::vector<DWORD> rate(handles.size(), 10);
    std::vector<BOOL> on(handles.size(), TRUE);
    DWORD* rates = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, sampling->SetItemSamplingRate(static_cast<DWORD>(handles.size()), handles.data(), rate.data(),
                                                  &rates, &e));
    CoTaskMemFree(rates);
    CoTaskMemFree(e);
    ASSERT_EQ(S_OK, sampling->SetItemBufferEnable(static_cast<DWORD>(handles.size()), handles.data(), on.data(), &e));
    CoTaskMemFree(e);
    Advise();
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    const size_t first = callback.Count();
    std::atomic<bool> run{true};
    std::thread mover([&] {
        for (int i = 0; run.load(); ++i) {
            config.flow->SetValueNow(Variant::FromDouble(i));
            Sleep(5);
        }
    });
    ASSERT_TRUE(callback.WaitFor(first + 1, 8000));
    run.store(false);
    mover.join();
    const CallbackCall call = callback.Calls()[first];
    EXPECT_LE(call.items.size(), SampleBudget::kGroupBound + handles.size());
    EXPECT_GT(call.items.size(), handles.size()) << "more than one sample an item";
    size_t overflowed = 0;
    for (const CallbackItem& item : call.items) overflowed += item.error == OPC_S_DATAQUEUEOVERFLOW ? 1 : 0;
    EXPECT_GT(overflowed, 0u);
}
