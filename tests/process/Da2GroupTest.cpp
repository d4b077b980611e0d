// The group's 2.0 side out of process, through the registered proxy with the
// real program: the callback point, IOPCAsyncIO2 and its completions, the
// mended reads, change-driven callbacks beside the 1.0a streams of the same
// group, a sink that blocks, and a client killed with a live connection;
// beside them, which 1.0a connection gets which stream, and refused writes on
// every write path; several advise connections of one group, each with its
// own stream of every change; and the scan rate an item's property reports.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include <optional>

#include "TvfBuilder.h"
#include "OpcClient.h"
#include "OpcConstants.h"
#include "RecordingCallback.h"
#include "RecordingSink.h"
#include "ProcessSuite.h"
#include "RegistryProbe.h"
#include "ServerProcess.h"
#include "ServerUnderTest.h"

namespace {
constexpr DWORD kStartMs = 30000;
constexpr DWORD kWaitMs = 10000;

// Speed R8 rw 12.5, Status BSTR rw "running", Ratio R4 rw 0.5, Count I4 rw 7,
// Tank.Level R8 rw 0.75.
std::vector<FileGroup> Plant() {
    FileGroup pump{"Pump1", {}, {}};
    pump.groups.push_back({"Motors", {}, {{"Speed", VT_R8, 1, 12.5, {}}}});
    pump.tags = {{"Status", VT_BSTR, 1, 0, L"running"}, {"Ratio", VT_R4, 1, 0.5, {}}, {"Count", VT_I4, 1, 7, {}}};
    return {pump, FileGroup{"Tank", {}, {{"Level", VT_R8, 1, 0.75, {}}}}};
}

struct Group {
    OPCHANDLE handle = 0;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCAsyncIO2> io2;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCGroupStateMgt> state;
    ComPtr<IConnectionPoint> point;
    std::vector<OPCHANDLE> handles;
};

// A group (client handle 9) with items (client handles 1, 2, ...).
void AddGroup(IOPCServer* server, LPCWSTR name, BOOL active, DWORD rate,
              std::vector<std::tuple<LPCWSTR, VARTYPE, BOOL>> items, Group& g) {
    DWORD revised = 0;
    ASSERT_EQ(S_OK, server->AddGroup(name, active, rate, 9, nullptr, nullptr, 0, &g.handle, &revised, IID_IOPCItemMgt,
                                     reinterpret_cast<LPUNKNOWN*>(g.items.GetAddressOf())));
    ASSERT_EQ(S_OK, g.items.As(&g.io2));
    ASSERT_EQ(S_OK, g.items.As(&g.sync));
    ASSERT_EQ(S_OK, g.items.As(&g.state));
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, g.items.As(&container));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, &g.point));
    std::vector<OPCITEMDEF> defs;
    for (size_t i = 0; i < items.size(); ++i) {
        OPCITEMDEF d{};
        d.szAccessPath = const_cast<LPWSTR>(L"");
        d.szItemID = const_cast<LPWSTR>(std::get<0>(items[i]));
        d.vtRequestedDataType = std::get<1>(items[i]);
        d.bActive = std::get<2>(items[i]);
        d.hClient = static_cast<OPCHANDLE>(i + 1);
        defs.push_back(d);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, g.items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors));
    for (size_t i = 0; i < defs.size(); ++i) g.handles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
}

HRESULT SyncWrite(Group& g, OPCHANDLE handle, VARIANT value) {
    HRESULT* errors = nullptr;
    const HRESULT hr = g.sync->Write(1, &handle, &value, &errors);
    CoTaskMemFree(errors);
    return hr;
}

VARIANT Number(double x) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = x;
    return v;
}

const CallbackCall* FindCall(const std::vector<CallbackCall>& calls, CallbackCall::Kind kind, DWORD tid) {
    for (const CallbackCall& c : calls) {
        if (c.kind == kind && c.transactionId == tid) return &c;
    }
    return nullptr;
}

// The VT_I4 value that client handle `item` carries in a data stream, once
// the walk of its records and values found each record pointing at the value
// right after the one before (strings included) and the values ending where
// the header says; none otherwise.
std::optional<LONG> LongOf(const ReceivedStream& s, bool withTime, OPCHANDLE item) {
    using namespace OpcStream;
    const size_t recordSize = withTime ? kItemWithTimeSize : kItemWithoutTimeSize;
    std::optional<LONG> found;
    size_t next = kGroupHeaderSize + s.Count() * recordSize;
    for (std::uint32_t i = 0; i < s.Count(); ++i) {
        const size_t record = kGroupHeaderSize + i * recordSize;
        if (s.U32(record + kItemValueOffset) != next) return std::nullopt;
        const VARTYPE type = s.U16(next);
        if (s.U32(record + kItemClientHandle) == item && type == VT_I4) found = static_cast<LONG>(s.U32(next + 8));
        next += sizeof(ValueRecord) + (type == VT_BSTR ? 4 + s.U32(next + sizeof(ValueRecord)) + 2 : 0);
    }
    return next == s.Size() && s.Size() == s.bytes.size() ? found : std::nullopt;
}

class Da2GroupProcessTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        ASSERT_NO_FATAL_FAILURE(Prepare(ConfigurationBytes(Plant()), false));
        ASSERT_EQ(S_OK, ConnectServer(server));
    }
    void TearDown() override {
        server.Reset();
        ProcessSuite::TearDown();
    }

    // Before the objects of the server, so that they outlive every connection.
    RecordingCallback callback, blocked;
    RecordingSink stream, timed, timedToo;
    ComPtr<IOPCServer> server;
};
}  // namespace

TEST_F(Da2GroupProcessTest, EveryAsyncIO2MethodTheCallbackPointAndTheMendedReads) {
    Group g;
    ASSERT_NO_FATAL_FAILURE(AddGroup(server.Get(), L"Da2", FALSE, 100,
                                     {{L"Pump1.Motors.Speed", VT_I4, TRUE},
                                      {L"Pump1.Status", VT_R8, TRUE},
                                      {L"Pump1.Status", VT_EMPTY, TRUE},
                                      {L"Tank.Level", VT_BSTR, FALSE}},
                                     g));
    // The rules of the callback point and of IOPCAsyncIO2 are the in-process
    // suite's; here every method and every kind of callback crosses the proxy.
    DWORD cancel = 5;
    HRESULT* errors = nullptr;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, g.point->Advise(&callback, &cookie));

    // A string written and read back from the device in an inactive group.
    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"hello");
    ASSERT_EQ(S_OK, SyncWrite(g, g.handles[2], text));
    VariantClear(&text);
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(S_FALSE, g.sync->Read(OPC_DS_DEVICE, 4, g.handles.data(), &states, &errors));
    EXPECT_EQ(VT_I4, V_VT(&states[0].vDataValue));
    EXPECT_EQ(12, V_I4(&states[0].vDataValue)) << "12.5 in the requested type";
    EXPECT_EQ(OPC_E_BADTYPE, errors[1]) << "\"hello\" is no number";
    ASSERT_EQ(VT_BSTR, V_VT(&states[2].vDataValue));
    EXPECT_STREQ(L"hello", V_BSTR(&states[2].vDataValue));
    EXPECT_EQ(OPC_QUALITY_GOOD, states[2].wQuality);
    EXPECT_NE(0u, states[2].ftTimeStamp.dwHighDateTime);
    EXPECT_EQ(VT_BSTR, V_VT(&states[3].vDataValue)) << "an inactive item too";
    for (int i = 0; i < 4; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // Read and Write complete with the client's transaction id.
    ASSERT_EQ(S_OK, g.io2->Read(4, g.handles.data(), 0x1234, &cancel, &errors));
    CoTaskMemFree(errors);
    OPCHANDLE targets[2] = {g.handles[0], g.handles[2]};
    VARIANT values[2] = {text, Number(41)};
    V_VT(&values[0]) = VT_BSTR;
    V_BSTR(&values[0]) = SysAllocString(L"abc");
    ASSERT_EQ(S_OK, g.io2->Write(2, targets, values, 0x5678, &cancel, &errors));
    VariantClear(&values[0]);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_FAIL, g.io2->Refresh2(OPC_DS_CACHE, 0x9, &cancel)) << "inactive group";
    ASSERT_TRUE(callback.WaitFor(2, kWaitMs));
    std::vector<CallbackCall> calls = callback.Calls();
    const CallbackCall* read = FindCall(calls, CallbackCall::ReadComplete, 0x1234);
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(9u, read->hGroup);
    EXPECT_EQ(S_FALSE, read->masterError);
    ASSERT_EQ(4u, read->items.size());
    EXPECT_EQ(OPC_E_BADTYPE, read->items[1].error);
    EXPECT_EQ(L"0.75", read->items[3].text);
    const CallbackCall* write = FindCall(calls, CallbackCall::WriteComplete, 0x5678);
    ASSERT_NE(nullptr, write);
    ASSERT_EQ(2u, write->items.size());
    EXPECT_EQ(OPC_E_BADTYPE, write->items[0].error) << "\"abc\" is no number for Speed";
    EXPECT_EQ(S_OK, write->items[1].error);

    // Activation answers S_OK; both subscriptions then run on the same group.
    DWORD connection = 0;
    ASSERT_EQ(S_OK, AdviseStream(g.items.Get(), OPC_STREAM_FORMAT_DATATIME, &stream, &connection));
    const size_t before = callback.Count();
    BOOL on = TRUE;
    DWORD revised = 0;  // an [out] pointer: never null across the proxy
    EXPECT_EQ(S_OK, g.state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(callback.WaitFor(before + 1, kWaitMs));
    const CallbackCall first = callback.Calls()[before];
    EXPECT_EQ(CallbackCall::DataChange, first.kind);
    EXPECT_EQ(0u, first.transactionId);
    EXPECT_EQ(3u, first.items.size()) << "the active items";
    EXPECT_TRUE(stream.WaitFor(1, kWaitMs)) << "the 1.0a stream of the same group";

    // Refresh2 carries every active item and the client's id; disabled, only changes stop.
    ASSERT_EQ(S_OK, g.io2->SetEnable(FALSE));
    BOOL enabled = TRUE;
    EXPECT_EQ(S_OK, g.io2->GetEnable(&enabled));
    EXPECT_FALSE(enabled);
    ASSERT_EQ(S_OK, g.io2->Refresh2(OPC_DS_DEVICE, 0x99, &cancel));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::DataChange, 0x99) == 1; }));
    EXPECT_EQ(3u, FindCall(callback.Calls(), CallbackCall::DataChange, 0x99)->items.size());
    ASSERT_EQ(S_OK, g.io2->SetEnable(TRUE));

    // Cancel2 and the 1.0a Cancel of requests queued behind a held completion.
    callback.Close();
    ASSERT_EQ(S_OK, g.io2->Read(1, g.handles.data(), 0x100, &cancel, &errors));
    CoTaskMemFree(errors);
    Sleep(300);  // the server's thread is held in that completion
    DWORD queued = 0;
    ASSERT_EQ(S_OK, g.io2->Read(1, g.handles.data(), 0x101, &queued, &errors));
    CoTaskMemFree(errors);
    ComPtr<IOPCAsyncIO> io1;
    ASSERT_EQ(S_OK, g.items.As(&io1));
    DWORD tid = 0;
    ASSERT_EQ(S_OK, io1->Refresh(connection, OPC_DS_CACHE, &tid));
    EXPECT_EQ(S_OK, g.io2->Cancel2(queued));
    EXPECT_EQ(E_FAIL, g.io2->Cancel2(queued));
    EXPECT_EQ(E_FAIL, g.io2->Cancel2(cancel)) << "under way";
    EXPECT_EQ(S_OK, io1->Cancel(tid));
    EXPECT_EQ(E_FAIL, io1->Cancel(tid));
    callback.Open();
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::CancelComplete, 0x101) == 1; }));
    EXPECT_EQ(1u, callback.Count(CallbackCall::ReadComplete, 0x100));
    EXPECT_EQ(0u, callback.Count(CallbackCall::ReadComplete, 0x101));

    EXPECT_EQ(S_OK, UnadviseStream(g.items.Get(), connection));
    EXPECT_EQ(S_OK, g.point->Unadvise(cookie));
}

TEST_F(Da2GroupProcessTest, ABlockingSinkHoldsOnlyItsGroupAndAKilledClientIsDropped) {
    Group fast, slow;
    ASSERT_NO_FATAL_FAILURE(AddGroup(server.Get(), L"Fast", TRUE, 50, {{L"Tank.Level", VT_EMPTY, TRUE}}, fast));
    ASSERT_NO_FATAL_FAILURE(AddGroup(server.Get(), L"Slow", TRUE, 50, {{L"Tank.Level", VT_EMPTY, TRUE}}, slow));
    DWORD cookie = 0, slowCookie = 0;
    ASSERT_EQ(S_OK, fast.point->Advise(&callback, &cookie));
    blocked.Close();
    ASSERT_EQ(S_OK, slow.point->Advise(&blocked, &slowCookie));
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));

    // A client process that dies with a live callback connection.
    std::string why;
    ASSERT_TRUE(KillWorkerOnceSubscribed(TOVI_CLIENT_WORKER, L"callback", kStartMs, &why)) << why;

    // Every change reaches the fast group at its rate, whatever the blocked
    // sink and the dead client's group do meanwhile.
    const size_t start = callback.Count();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(S_OK, SyncWrite(fast, fast.handles[0], Number(100 + i)));
        Sleep(200);
    }
    EXPECT_GE(callback.Count(), start + 9);
    EXPECT_EQ(0u, blocked.Count());
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    blocked.Open();
    ASSERT_TRUE(blocked.WaitFor(1, kWaitMs));
    EXPECT_EQ(S_OK, slow.point->Unadvise(slowCookie));
    EXPECT_EQ(S_OK, fast.point->Unadvise(cookie));
}

TEST_F(Da2GroupProcessTest, StreamsGoWhereTheirFormatSaysAndARefusedWriteIsNoSuccessOnAnyPath) {
    Group g;
    ASSERT_NO_FATAL_FAILURE(AddGroup(
        server.Get(), L"Formats", TRUE, 50,
        {{L"Pump1.Ratio", VT_EMPTY, TRUE}, {L"Pump1.Motors.Speed", VT_EMPTY, TRUE}, {L"Pump1.Count", VT_EMPTY, TRUE}},
        g));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, g.point->Advise(&callback, &cookie));
    ComPtr<IOPCAsyncIO> io1;
    ASSERT_EQ(S_OK, g.items.As(&io1));
    auto advise = [&](LPCWSTR name, DWORD* connection) {
        return AdviseStream(g.items.Get(), name, &stream, connection);
    };
    DWORD writes = 0, values = 0, other = 0;
    ASSERT_EQ(S_OK, advise(OPC_STREAM_FORMAT_WRITECOMPLETE, &writes));
    ASSERT_EQ(S_OK, advise(OPC_STREAM_FORMAT_DATATIME, &values));
    EXPECT_EQ(DV_E_FORMATETC, advise(L"NotAnOpcStream", &other));
    const auto writeFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPC_STREAM_FORMAT_WRITECOMPLETE));
    stream.SetWriteCompleteFormat(writeFormat);

    // A read or refresh addressed to the write-complete connection is refused;
    // to the data connection it completes there.
    DWORD tid = 0;
    HRESULT* errors = nullptr;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io1->Read(writes, OPC_DS_CACHE, 1, g.handles.data(), &tid, &errors));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io1->Refresh(writes, OPC_DS_CACHE, &tid));
    ASSERT_EQ(S_OK, io1->Read(values, OPC_DS_CACHE, 1, g.handles.data(), &tid, &errors));
    CoTaskMemFree(errors);

    // Values the tags cannot take in their types, on every write path.
    struct Refused {
        size_t item;
        VARIANT value;
    };
    VARIANT huge = Number(1e300), notANumber, empty;
    VariantInit(&notANumber);
    V_VT(&notANumber) = VT_BSTR;
    V_BSTR(&notANumber) = SysAllocString(L"not a number");
    VariantInit(&empty);
    V_VT(&empty) = VT_BSTR;
    V_BSTR(&empty) = SysAllocString(L"");
    const Refused cases[] = {{0, huge}, {1, notANumber}, {2, empty}};
    std::vector<DWORD> asyncIds;
    for (DWORD c = 0; c < 3; ++c) {
        const Refused& r = cases[c];
        OPCHANDLE h = g.handles[r.item];
        VARIANT v = r.value;
        SCOPED_TRACE(testing::Message() << "item " << r.item);
        EXPECT_EQ(S_FALSE, g.sync->Write(1, &h, &v, &errors));
        EXPECT_EQ(OPC_E_BADTYPE, errors[0]);
        CoTaskMemFree(errors);
        ASSERT_EQ(S_OK, io1->Write(writes, 1, &h, &v, &tid, &errors));
        CoTaskMemFree(errors);
        asyncIds.push_back(tid);
        DWORD cancel = 0;
        ASSERT_EQ(S_OK, g.io2->Write(1, &h, &v, 0x700 + c, &cancel, &errors));
        CoTaskMemFree(errors);
        ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::WriteComplete, 0x700 + c) == 1; }));
        const CallbackCall* done = FindCall(callback.Calls(), CallbackCall::WriteComplete, 0x700 + c);
        EXPECT_EQ(S_FALSE, done->masterError);
        ASSERT_EQ(1u, done->items.size());
        EXPECT_EQ(OPC_E_BADTYPE, done->items[0].error);
    }
    VariantClear(&notANumber);
    VariantClear(&empty);

    // The write-complete connection got the three write completions and
    // nothing else, while the data connection had a stream at every scan.
    ASSERT_TRUE(WaitFor(kWaitMs, [&] {
        size_t n = 0;
        for (const ReceivedStream& s : stream.Streams()) n += s.format == writeFormat ? 1 : 0;
        return n >= 3;
    }));
    Sleep(300);
    std::vector<ReceivedStream> completions, dataStreams;
    for (const ReceivedStream& s : stream.Streams()) (s.format == writeFormat ? completions : dataStreams).push_back(s);
    EXPECT_GE(dataStreams.size(), 5u);
    ASSERT_EQ(3u, completions.size());
    for (size_t c = 0; c < 3; ++c) {
        EXPECT_EQ(1u, completions[c].U32(0)) << "one record";
        EXPECT_EQ(asyncIds[c], completions[c].U32(8));
        EXPECT_EQ(static_cast<std::uint32_t>(S_FALSE), completions[c].U32(12)) << "hrStatus";
        EXPECT_EQ(static_cast<std::uint32_t>(OPC_E_BADTYPE), completions[c].U32(20));
    }

    // Nothing was written.
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(S_OK, g.sync->Read(OPC_DS_DEVICE, 3, g.handles.data(), &states, &errors));
    EXPECT_EQ(0.5f, V_R4(&states[0].vDataValue));
    EXPECT_EQ(12.5, V_R8(&states[1].vDataValue));
    EXPECT_EQ(7, V_I4(&states[2].vDataValue));
    for (int i = 0; i < 3; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    EXPECT_EQ(S_OK, UnadviseStream(g.items.Get(), writes));
    EXPECT_EQ(S_OK, UnadviseStream(g.items.Get(), values));
    EXPECT_EQ(S_OK, g.point->Unadvise(cookie));
}

// One group, three advise connections (two of the same format): each hears
// every change, in its own layout, with every item the scan found; none is
// sent an empty stream as if all were well.
TEST_F(Da2GroupProcessTest, EveryAdviseConnectionHearsEveryChangeInItsOwnFormat) {
    Group g;
    ASSERT_NO_FATAL_FAILURE(AddGroup(
        server.Get(), L"Three", TRUE, 50,
        {{L"Pump1.Count", VT_EMPTY, TRUE}, {L"Pump1.Status", VT_EMPTY, TRUE}, {L"Pump1.Motors.Speed", VT_I4, TRUE}},
        g));
    struct Connection {
        RecordingSink& sink;
        LPCWSTR format;
        DWORD cookie;
    };
    Connection connections[] = {{stream, OPC_STREAM_FORMAT_DATA, 0},
                                {timed, OPC_STREAM_FORMAT_DATATIME, 0},
                                {timedToo, OPC_STREAM_FORMAT_DATATIME, 0}};
    for (Connection& c : connections) ASSERT_EQ(S_OK, AdviseStream(g.items.Get(), c.format, &c.sink, &c.cookie));
    auto withTime = [](const Connection& c) { return std::wstring(c.format) == OPC_STREAM_FORMAT_DATATIME; };
    for (LONG value = 100; value < 106; ++value) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_I4;
        V_I4(&v) = value;
        ASSERT_EQ(S_OK, SyncWrite(g, g.handles[0], v));
        for (Connection& c : connections) {
            EXPECT_TRUE(WaitFor(kWaitMs,
                                [&] {
                                    for (const ReceivedStream& s : c.sink.Streams()) {
                                        if (LongOf(s, withTime(c), 1) == value) return true;
                                    }
                                    return false;
                                }))
                << "value " << value << " on connection " << c.cookie;
        }
    }
    for (Connection& c : connections) {
        EXPECT_EQ(S_OK, UnadviseStream(g.items.Get(), c.cookie));
        const auto format = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(c.format));
        for (const ReceivedStream& s : c.sink.Streams()) {
            EXPECT_EQ(format, s.format);
            EXPECT_TRUE(LongOf(s, withTime(c), 1).has_value()) << "a stream of its own layout, with the first item";
            EXPECT_EQ(3u, s.Count()) << "every good item changes at every scan";
        }
    }
}

// Property 6: how often a client can see the value change. A group's scan
// shows a change no sooner than the signal or the device's refresh makes it,
// and the fastest active group of any client that scans the item counts.
class ScanRateProcessTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        // Polled refreshes its values every 2 s; Manual refreshes none, and
        // its Counter counts every 3 s, its Sine moves every tick.
        DeviceFields polled{.interval = 2, .refreshEnabled = 1, .refreshMode = 1, .refreshPeriod = 2};
        polled.group.name = "Polled";
        polled.group.tags = {TagRecord({.name = "Plain"})};
        DeviceFields manual;
        manual.group.name = "Manual";
        manual.group.ordinal = 1;
        manual.group.tags = {
            TagRecord({.name = "Plain"}),
            TagRecord({.name = "Counter", .simulationEnabled = true, .simulationPeriod = 30, .simulationKind = 6}),
            TagRecord({.name = "Sine", .simulationEnabled = true, .simulationPeriod = 50, .simulationKind = 3})};
        ASSERT_NO_FATAL_FAILURE(Prepare(ConfigFile({DeviceRecord(polled), DeviceRecord(manual)}).data, false));
        ASSERT_EQ(S_OK, ConnectServer(server));
        ASSERT_EQ(S_OK, ConnectServer(other));
    }
    void TearDown() override {
        server.Reset();
        other.Reset();
        ProcessSuite::TearDown();
    }
    // Property 6 of each item ID, in milliseconds (-1 when it is not a VT_R4).
    std::vector<float> ScanRates(std::vector<LPCWSTR> ids) {
        ComPtr<IOPCItemProperties> properties;
        server.As(&properties);
        std::vector<float> rates;
        for (LPCWSTR id : ids) {
            DWORD property = 6;
            VARIANT* values = nullptr;
            HRESULT* errors = nullptr;
            const bool ok =
                properties->GetItemProperties(const_cast<LPWSTR>(id), 1, &property, &values, &errors) == S_OK;
            rates.push_back(ok && V_VT(&values[0]) == VT_R4 ? V_R4(&values[0]) : -1);
            CoTaskMemFree(values);  // a VT_R4 holds nothing to free
            CoTaskMemFree(errors);
        }
        return rates;
    }

    ComPtr<IOPCServer> server, other;
};

TEST_F(ScanRateProcessTest, TheRateIsTheFastestScanningGroupsButNoFasterThanTheValueMoves) {
    const std::vector<LPCWSTR> ids = {L"Polled.Plain", L"Manual.Plain", L"Manual.Counter", L"Manual.Sine"};
    // Scanned by nobody: the pace at which the server keeps each (Manual.Plain, changed by writes only, is left out).
    const std::vector<float> alone = ScanRates(ids);
    EXPECT_EQ((std::vector<float>{2000, alone[1], 3000, 100}), alone);

    Group slow, fast;
    ASSERT_NO_FATAL_FAILURE(AddGroup(
        server.Get(), L"Slow", TRUE, 500,
        {{ids[0], VT_EMPTY, TRUE}, {ids[1], VT_EMPTY, TRUE}, {ids[2], VT_EMPTY, TRUE}, {ids[3], VT_EMPTY, TRUE}},
        slow));
    EXPECT_EQ((std::vector<float>{2000, 500, 3000, 500}), ScanRates(ids));
    // Another client's faster group, with one item inactive.
    ASSERT_NO_FATAL_FAILURE(
        AddGroup(other.Get(), L"Fast", TRUE, 200, {{ids[1], VT_EMPTY, TRUE}, {ids[3], VT_EMPTY, FALSE}}, fast));
    EXPECT_EQ((std::vector<float>{2000, 200, 3000, 500}), ScanRates(ids));
    // The slow group made inactive leaves the fast one.
    BOOL off = FALSE;
    DWORD revised = 0;  // an [out] that crosses the proxy
    ASSERT_EQ(S_OK, slow.state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ((std::vector<float>{2000, 200, 3000, 100}), ScanRates(ids));
}
