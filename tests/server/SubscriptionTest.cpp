// Subscriptions in process: the streams byte for byte, the data object's
// refusals, scans delivered to advise sinks, and asynchronous requests
// completed through the connection they name.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "OPCGroup.h"
#include "OpcConstants.h"
#include "RecordingSink.h"
#include "ServerTestSupport.h"
#include "StreamBlock.h"
#include "StreamFormats.h"

// The records are copied into the streams byte for byte: their declared
// layout must be the wire layout on every build, enumerations 32 bits in memory.
static_assert(sizeof(OPCGROUPHEADER) == 20 && offsetof(OPCGROUPHEADER, hrStatus) == 16);
static_assert(sizeof(OPCITEMHEADER1) == 20 && offsetof(OPCITEMHEADER1, wQuality) == 8 &&
              offsetof(OPCITEMHEADER1, ftTimeStampItem) == 12);
static_assert(sizeof(OPCITEMHEADER2) == 12 && offsetof(OPCITEMHEADER2, wReserved) == 10);
static_assert(sizeof(OPCGROUPHEADERWRITE) == 16 && offsetof(OPCGROUPHEADERWRITE, hrStatus) == 12);
static_assert(sizeof(OPCITEMHEADERWRITE) == 8 && offsetof(OPCITEMHEADERWRITE, dwError) == 4);
static_assert(sizeof(OPCDATASOURCE) == 4 && sizeof(OPCSERVERSTATE) == 4 && sizeof(OPCEUTYPE) == 4);

namespace {
constexpr DWORD kWaitMs = 5000;

FORMATETC FormatOf(UINT format, DWORD tymed = TYMED_HGLOBAL, LONG index = -1) {
    return FORMATETC{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, index, tymed};
}

ReceivedStream Get(IDataObject* data, UINT format) {
    FORMATETC fmt = FormatOf(format);
    STGMEDIUM medium{};
    ReceivedStream stream;
    if (data->GetData(&fmt, &medium) != S_OK) return stream;
    EXPECT_EQ(DWORD(TYMED_HGLOBAL), medium.tymed);
    EXPECT_EQ(nullptr, medium.pUnkForRelease);
    EXPECT_EQ(0u, GlobalSize(medium.hGlobal) % 4096) << "grown in whole steps";
    const auto* bytes = static_cast<const std::uint8_t*>(GlobalLock(medium.hGlobal));
    stream.format = fmt.cfFormat;
    stream.bytes.assign(bytes, bytes + GlobalSize(medium.hGlobal));
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    stream.bytes.resize(stream.Size());
    return stream;
}

// A sink that knows whether it is still held: a call after its last release
// is counted as a use of a released sink.
class CountingSink final : public ComHeld<IAdviseSink> {
public:
    CountingSink() : ComHeld(0) {}
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override {
        if (References() == 0) ++callsUnheld;
        ++calls;
        SwitchToThread();  // widens the window in which the connection may go
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
    std::atomic<long> calls{0};
    std::atomic<long> callsUnheld{0};
};

class SubscriptionTest : public ::testing::Test {
protected:
    // A group of the server with items on Pump1's tags, requested as given.
    void MakeGroup(BOOL active, DWORD rate, std::vector<std::pair<LPCWSTR, VARTYPE>> items) {
        ASSERT_EQ(S_OK, server->AddGroup(L"", active, rate, 77, nullptr, nullptr, 0, &groupHandle, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(mgt.GetAddressOf())));
        mgt.As(&data);
        mgt.As(&sync);
        mgt.As(&async);
        mgt.As(&state);
        handles = AddItemsOf(mgt.Get(), items, TRUE);
        ASSERT_EQ(items.size(), handles.size());
    }
    // A synchronous read: every item takes its tag's state and is marked.
    void ReadAll() {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_TRUE(
            SUCCEEDED(sync->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors)));
        for (size_t i = 0; i < handles.size(); ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    DWORD Advise(RecordingSink& sink, UINT format) {
        FORMATETC fmt = FormatOf(format);
        DWORD connection = 0;
        EXPECT_EQ(S_OK, data->DAdvise(&fmt, 0, &sink, &connection));
        sink.SetWriteCompleteFormat(static_cast<CLIPFORMAT>(StreamFormatWriteComplete()));
        return connection;
    }

    ConfiguredDocument config;
    // Before the server and its groups, so that they outlive every connection.
    RecordingSink sink, other;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> mgt;
    ComPtr<IDataObject> data;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCAsyncIO> async;
    ComPtr<IOPCGroupStateMgt> state;
    std::vector<OPCHANDLE> handles;
};
}  // namespace

TEST_F(SubscriptionTest, StreamsAreTheWireLayoutByteForByte) {
    OPCS_Tag* speed = config.pump->FindTag(L"Speed");
    ASSERT_NE(nullptr, speed);
    const FILETIME stamp{0x11223344, 0x01D00000};
    speed->SetValue(Variant::FromLong(7), OPC_QUALITY_GOOD, stamp);
    MakeGroup(FALSE, 1000, {{L"Pump1.Speed", VT_EMPTY}, {L"Pump1.Speed", VT_I4}, {L"Pump1.Speed", VT_I4}});
    ReadAll();

    ReceivedStream timed = Get(data.Get(), StreamFormatDataTime());
    ASSERT_EQ(128u, timed.Size());
    EXPECT_EQ(3u, timed.Count());
    EXPECT_EQ(77u, timed.U32(8));
    EXPECT_EQ(0u, timed.TransactionId());
    EXPECT_EQ(0u, timed.U32(16));
    for (std::uint32_t i = 0; i < 3; ++i) {
        const size_t record = 20 + 20 * i;
        EXPECT_EQ(i + 1, timed.U32(record));
        EXPECT_EQ(80 + 16 * i, timed.U32(record + 4));
        EXPECT_EQ(OPC_QUALITY_GOOD, timed.U16(record + 8));
        EXPECT_EQ(0, timed.U16(record + 10));
        EXPECT_EQ(stamp.dwLowDateTime, timed.U32(record + 12));
        EXPECT_EQ(stamp.dwHighDateTime, timed.U32(record + 16));
        const size_t value = 80 + 16 * i;
        EXPECT_EQ(VT_I4, timed.U16(value));
        EXPECT_EQ(0u, timed.U32(value + 2) | timed.U16(value + 6)) << "reserved words";
        EXPECT_EQ(7u, timed.U32(value + 8));
        EXPECT_EQ(0u, timed.U32(value + 12));
    }
    // The client was sent them: its next stream is empty.
    ReceivedStream empty = Get(data.Get(), StreamFormatData());
    EXPECT_EQ(20u, empty.Size());
    EXPECT_EQ(0u, empty.Count());

    ReadAll();
    ReceivedStream plain = Get(data.Get(), StreamFormatData());
    ASSERT_EQ(104u, plain.Size());
    EXPECT_EQ(56u, plain.U32(20 + 4));
    EXPECT_EQ(72u, plain.U32(32 + 4));
    EXPECT_EQ(7u, plain.U32(56 + 8));
}

TEST_F(SubscriptionTest, StringsConversionsAndUnconvertibleValues) {
    OPCS_Tag* label = config.pump->FindTag(L"Label");
    label->SetValueNow(Variant::FromString(L"abc"));
    config.flow->SetValueNow(Variant::FromDouble(2.5));
    MakeGroup(FALSE, 1000, {{L"Pump1.Label", VT_BSTR}, {L"Pump1.Flow", VT_R4}, {L"Pump1.Label", VT_I4}});
    ReadAll();
    ReceivedStream s = Get(data.Get(), StreamFormatData());
    ASSERT_EQ(3u, s.Count());
    const std::uint32_t first = s.U32(20 + 4);
    EXPECT_EQ(56u, first);
    EXPECT_EQ(VT_BSTR, s.U16(first));
    EXPECT_EQ(6u, s.U32(first + 16));
    EXPECT_EQ(0, memcmp(s.bytes.data() + first + 20, L"abc", 8)) << "characters and the null";
    const std::uint32_t second = s.U32(32 + 4);
    EXPECT_EQ(first + 28, second) << "16 + 4 + 6 + 2 bytes, no alignment";
    EXPECT_EQ(VT_R4, s.U16(second));
    float r4 = 0;
    memcpy(&r4, s.bytes.data() + second + 8, 4);
    EXPECT_EQ(2.5f, r4);
    EXPECT_EQ(OPC_QUALITY_GOOD, s.U16(32 + 8));
    // "abc" cannot be a VT_I4: the cached string, marked bad.
    const std::uint32_t third = s.U32(44 + 4);
    EXPECT_EQ(second + 16, third);
    EXPECT_EQ(VT_BSTR, s.U16(third));
    EXPECT_EQ(OPC_QUALITY_BAD, s.U16(44 + 8));
    EXPECT_EQ(third + 28, s.Size());
}

TEST(StreamBlockTest, ArraysAndLongStreamsGrowTheBlockInSteps) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I2, 5, 3);
    ASSERT_NE(nullptr, array);
    for (LONG i = 0; i < 3; ++i) {
        LONG index = 5 + i;
        SHORT value = static_cast<SHORT>(100 + i);
        SafeArrayPutElement(array, &index, &value);
    }
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ARRAY | VT_I2;
    V_ARRAY(&v) = array;
    StreamBlock block;
    size_t written = 0;
    ASSERT_TRUE(block.PutVariant(4090, v, written));  // across the first step
    EXPECT_EQ(16u + 24u + 6u, written);
    EXPECT_EQ(8192u, block.Capacity());
    HGLOBAL h = block.Detach();
    const auto* b = static_cast<const std::uint8_t*>(GlobalLock(h)) + 4090;
    std::uint16_t u16[3];
    std::uint32_t u32[5];
    memcpy(u16, b, 2);
    EXPECT_EQ(VT_ARRAY | VT_I2, u16[0]);
    memcpy(u16, b + 16, 4);
    EXPECT_EQ(1, u16[0]) << "one dimension";
    memcpy(u32, b + 20, 20);
    EXPECT_EQ(2u, u32[0]) << "element size";
    EXPECT_EQ(0u, u32[2]) << "no address";
    EXPECT_EQ(3u, u32[3]);
    EXPECT_EQ(5u, u32[4]) << "lower bound";
    memcpy(u16, b + 40, 6);
    EXPECT_EQ(100, u16[0]);
    EXPECT_EQ(102, u16[2]);
    GlobalUnlock(h);
    GlobalFree(h);
    VariantClear(&v);
}

TEST_F(SubscriptionTest, TheDataObjectRefusesWhatItDoesNotServe) {
    MakeGroup(FALSE, 1000, {{L"Pump1.Flow", VT_EMPTY}});
    FORMATETC fmt = FormatOf(StreamFormatData(), TYMED_ISTREAM);
    STGMEDIUM medium{};
    EXPECT_EQ(E_INVALIDARG, data->QueryGetData(nullptr));
    EXPECT_EQ(DV_E_TYMED, data->QueryGetData(&fmt));
    EXPECT_EQ(DV_E_TYMED, data->GetData(&fmt, &medium));
    fmt = FormatOf(StreamFormatWriteComplete());
    EXPECT_EQ(DV_E_FORMATETC, data->QueryGetData(&fmt));
    EXPECT_EQ(DV_E_FORMATETC, data->GetData(&fmt, &medium));
    DWORD connection = 0;
    EXPECT_EQ(OLE_E_NOCONNECTION, data->DUnadvise(1));
    ComPtr<IEnumSTATDATA> connections;
    EXPECT_EQ(OLE_E_NOCONNECTION, data->EnumDAdvise(connections.GetAddressOf()));

    FORMATETC wrong[] = {FormatOf(StreamFormatData(), TYMED_HGLOBAL, 0), FormatOf(StreamFormatData(), TYMED_ISTREAM),
                         FormatOf(StreamFormatData()), FormatOf(StreamFormatData())};
    wrong[2].dwAspect = DVASPECT_ICON;
    DVTARGETDEVICE device{};
    wrong[3].ptd = &device;
    for (FORMATETC& f : wrong) EXPECT_EQ(E_FAIL, data->DAdvise(&f, 0, &sink, &connection));
    // Only the three stream formats make a connection.
    FORMATETC any = FormatOf(0xC123);
    EXPECT_EQ(DV_E_FORMATETC, data->DAdvise(&any, ADVF_NODATA, &sink, &connection));
    fmt = FormatOf(StreamFormatData());
    EXPECT_EQ(S_OK, data->DAdvise(&fmt, ADVF_NODATA, &sink, &connection));
    EXPECT_EQ(S_OK, data->EnumDAdvise(connections.GetAddressOf()));
    EXPECT_NE(S_OK, data->DUnadvise(connection + 100));
    EXPECT_EQ(S_OK, data->DUnadvise(connection));
    EXPECT_EQ(E_NOTIMPL, data->GetDataHere(&any, &medium));
    EXPECT_EQ(E_NOTIMPL, data->SetData(&any, &medium, FALSE));
    EXPECT_EQ(E_NOTIMPL, data->EnumFormatEtc(DATADIR_GET, nullptr));
    EXPECT_EQ(E_NOTIMPL, data->GetCanonicalFormatEtc(&any, &any));
}

TEST_F(SubscriptionTest, ScansReachEverySinkWithAllTheChangesInItsOwnFormat) {
    MakeGroup(FALSE, 100000, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Speed", VT_EMPTY}});
    RecordingSink& first = sink;
    RecordingSink& second = other;
    Advise(first, StreamFormatData());
    Advise(second, StreamFormatDataTime());
    BOOL on = TRUE;
    Sleep(100);  // the new group's data thread waits out its period, so that one scan follows the activation
    // Nothing pending yet: the activating flush sends nothing; the first scan follows at once.
    EXPECT_EQ(S_OK, state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(first.WaitFor(1, kWaitMs));
    ASSERT_TRUE(second.WaitFor(1, kWaitMs));
    ReceivedStream a = first.Streams()[0];
    ReceivedStream b = second.Streams()[0];
    EXPECT_EQ(2u, a.Count());
    EXPECT_EQ(20u + 2 * 12 + 2 * 16, a.Size());
    EXPECT_EQ(2u, b.Count()) << "the first connection's stream took nothing from the second's";
    EXPECT_EQ(20u + 2 * 20 + 2 * 16, b.Size());
    // Each block is freed once its sink returns: a subscription must not grow the server.
    for (HGLOBAL block : {a.handle, b.handle}) {
        for (int i = 0; i < 100 && GlobalSize(block) != 0; ++i) Sleep(10);
        EXPECT_EQ(0u, GlobalSize(block)) << "a delivered stream still allocated";
    }

    // A rate change applies after the current wait.
    Sleep(200);  // the thread is waiting out its period by now
    DWORD rate = 20;
    state->SetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    Sleep(300);
    EXPECT_EQ(1u, first.Count()) << "still waiting out the old period";
}

TEST_F(SubscriptionTest, AsynchronousRequestsCompleteInOrderOnTheirConnection) {
    config.flow->SetValueNow(Variant::FromDouble(1.0));
    MakeGroup(FALSE, 1000, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Speed", VT_EMPTY}, {L"Pump1.Ratio", VT_EMPTY}});
    const DWORD connection = Advise(sink, StreamFormatDataTime());
    DWORD tid = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, async->Read(connection, OPC_DS_DEVICE, 2, handles.data(), &tid, &errors));
    EXPECT_EQ(2u, tid);
    EXPECT_EQ(S_OK, errors[0]);
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, async->Refresh(connection, OPC_DS_CACHE, &tid));
    EXPECT_EQ(3u, tid);

    // Held at the gate, the thread cannot start the next request: an item
    // removed meanwhile is left out of the write's completion.
    ASSERT_TRUE(sink.WaitFor(2, kWaitMs));
    sink.Close();
    ASSERT_EQ(S_OK, async->Read(connection, OPC_DS_CACHE, 1, handles.data(), &tid, &errors));
    CoTaskMemFree(errors);
    Sleep(100);
    VARIANT values[3];
    for (VARIANT& v : values) {
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = 4.5;
    }
    ASSERT_EQ(S_OK, async->Write(connection, 3, handles.data(), values, &tid, &errors));
    EXPECT_EQ(5u, tid);
    CoTaskMemFree(errors);
    HRESULT* removeErrors = nullptr;
    ASSERT_EQ(S_OK, mgt->RemoveItems(1, &handles[2], &removeErrors));
    CoTaskMemFree(removeErrors);
    sink.Open();
    ASSERT_TRUE(sink.WaitFor(4, kWaitMs));
    std::vector<ReceivedStream> got = sink.Streams();
    EXPECT_EQ(2u, got[0].TransactionId());
    EXPECT_EQ(2u, got[0].Count()) << "the read items only, from the device although inactive";
    EXPECT_EQ(OPC_QUALITY_GOOD, got[0].U16(20 + 8));
    EXPECT_EQ(3u, got[1].TransactionId());
    EXPECT_EQ(1u, got[1].Count()) << "a refresh of an inactive group updates nothing: the third, not read since added";
    EXPECT_EQ(4u, got[2].TransactionId());
    const ReceivedStream& write = got[3];
    EXPECT_EQ(StreamFormatWriteComplete(), write.format);
    ASSERT_EQ(16u + 2 * 8, write.bytes.size());
    EXPECT_EQ(2u, write.U32(0));
    EXPECT_EQ(77u, write.U32(4));
    EXPECT_EQ(5u, write.U32(8));
    EXPECT_EQ(static_cast<std::uint32_t>(S_FALSE), write.U32(12)) << "an item was refused";
    EXPECT_EQ(1u, write.U32(16));
    EXPECT_EQ(0u, write.U32(20));
    EXPECT_EQ(2u, write.U32(24));
    EXPECT_EQ(static_cast<std::uint32_t>(OPC_E_BADRIGHTS), write.U32(28));
    EXPECT_EQ(4.5, config.flow->GetValue().Ref().dblVal);

    // An invalid handle queues nothing; a connection nobody advised still writes.
    OPCHANDLE bad[] = {handles[0], 12345};
    EXPECT_EQ(E_FAIL, async->Read(connection, OPC_DS_CACHE, 2, bad, &tid, &errors));
    V_R8(&values[0]) = 8.0;
    ASSERT_EQ(S_OK, async->Write(connection + 50, 1, handles.data(), values, &tid, &errors));
    EXPECT_EQ(6u, tid) << "the refused read took no transaction";
    CoTaskMemFree(errors);
    for (int i = 0; i < 100 && config.flow->GetValue().Ref().dblVal != 8.0; ++i) Sleep(20);
    EXPECT_EQ(8.0, config.flow->GetValue().Ref().dblVal);
    Sleep(100);
    EXPECT_EQ(4u, sink.Count()) << "no completion for a connection nobody advised";
    EXPECT_EQ(E_FAIL, async->Cancel(2)) << "completed long ago";
    // A request still queued behind a held completion leaves the queue.
    sink.Close();
    ASSERT_EQ(S_OK, async->Refresh(connection, OPC_DS_CACHE, &tid));
    Sleep(100);
    ASSERT_EQ(S_OK, async->Refresh(connection, OPC_DS_CACHE, &tid));
    EXPECT_EQ(S_OK, async->Cancel(tid));
    EXPECT_EQ(E_FAIL, async->Cancel(tid));
    EXPECT_EQ(E_FAIL, async->Cancel(tid - 1)) << "under way";
    sink.Open();
    ASSERT_TRUE(sink.WaitFor(5, kWaitMs));
    Sleep(100);
    EXPECT_EQ(5u, sink.Count()) << "the cancelled refresh never completes";
    EXPECT_EQ(E_INVALIDARG, async->Refresh(connection, OPC_DS_CACHE, nullptr));
}

// Each advise connection keeps its own marks: a 1.0a read's completion
// reports its items to its connection, whose next refresh of the inactive
// group leaves them out, while the other connection still has them to come.
TEST_F(SubscriptionTest, ARefreshReportsOnlyWhatItsOwnConnectionWasNotSent) {
    MakeGroup(FALSE, 1000, {{L"Pump1.Flow", VT_EMPTY}, {L"Pump1.Speed", VT_EMPTY}, {L"Pump1.Ratio", VT_EMPTY}});
    const DWORD first = Advise(sink, StreamFormatDataTime());
    const DWORD second = Advise(other, StreamFormatDataTime());
    enum class Call { kDeviceRead, kCacheRead, kRefresh };
    const struct {
        Call call;
        bool onFirst;
        DWORD items;  // read: the first so many items
        std::uint32_t reported;
        const char* why;
    } steps[] = {
        {Call::kDeviceRead, true, 2, 2, "the items read"},
        {Call::kRefresh, true, 0, 1, "the third only: the read reported the others"},
        {Call::kRefresh, true, 0, 0, "nothing left to report"},
        {Call::kRefresh, false, 0, 3, "the first connection's read and refresh took nothing from the second"},
        {Call::kCacheRead, false, 3, 3, "inactive items read from the cache: out of service, a change"},
        {Call::kRefresh, false, 0, 0, "its read reported that change"},
        {Call::kRefresh, true, 0, 3, "the change the second connection's read made is still the first's to see"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.why);
        RecordingSink& target = step.onFirst ? sink : other;
        const DWORD connection = step.onFirst ? first : second;
        const size_t before = target.Count();
        DWORD tid = 0;
        if (step.call == Call::kRefresh) {
            ASSERT_EQ(S_OK, async->Refresh(connection, OPC_DS_CACHE, &tid));
        } else {
            HRESULT* errors = nullptr;
            ASSERT_EQ(S_OK, async->Read(connection, step.call == Call::kDeviceRead ? OPC_DS_DEVICE : OPC_DS_CACHE,
                                        step.items, handles.data(), &tid, &errors));
            CoTaskMemFree(errors);
        }
        ASSERT_TRUE(target.WaitFor(before + 1, kWaitMs));
        const ReceivedStream got = target.Streams()[before];
        EXPECT_EQ(tid, got.TransactionId());
        EXPECT_EQ(step.reported, got.Count());
    }
    EXPECT_EQ(3u, other.Count()) << "a completion goes to its own connection only";
}

TEST_F(SubscriptionTest, AGroupAtRateZeroScansWithoutWaitingAndStillStops) {
    MakeGroup(TRUE, 0, {{L"Pump1.Flow", VT_EMPTY}});
    Advise(sink, StreamFormatData());
    EXPECT_TRUE(sink.WaitFor(20, kWaitMs));
    data.Reset();
    sync.Reset();
    async.Reset();
    state.Reset();
    mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(groupHandle, FALSE)) << "the last reference: its threads are stopped";
    const size_t delivered = sink.Count();
    Sleep(100);
    EXPECT_EQ(delivered, sink.Count());
}

TEST_F(SubscriptionTest, AdviseConnectionsComeAndGoWhileStreamsAreSent) {
    // A cookie is never given twice: a late DUnadvise of a connection that has
    // gone (an ADVF_ONLYONCE stream ended it) never ends a newer one.
    MakeGroup(FALSE, 100000, {{L"Pump1.Speed", VT_EMPTY}});
    CountingSink held;
    FORMATETC fmt = FormatOf(StreamFormatData());
    DWORD cookies[3] = {};
    for (DWORD& cookie : cookies) {
        ASSERT_EQ(S_OK, data->DAdvise(&fmt, 0, &held, &cookie));
        ASSERT_EQ(S_OK, data->DUnadvise(cookie));
    }
    EXPECT_NE(cookies[0], cookies[1]);
    EXPECT_NE(cookies[1], cookies[2]);
    DWORD live = 0;
    ASSERT_EQ(S_OK, data->DAdvise(&fmt, 0, &held, &live));
    for (DWORD cookie : cookies) EXPECT_EQ(OLE_E_NOCONNECTION, data->DUnadvise(cookie));
    EXPECT_EQ(S_OK, data->DUnadvise(live)) << "the live connection survived the stale ones";
    EXPECT_EQ(0u, held.References());

    // Many threads advise and unadvise while a group at rate zero sends a
    // stream on every change; every DUnadvise finds its connection (an
    // ADVF_ONLYONCE one may have ended with its stream), no sink is called
    // once let go, and none is kept.
    BOOL on = TRUE;
    ASSERT_EQ(S_OK, state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr));
    DWORD rate = 0;
    ASSERT_EQ(S_OK, state->SetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    constexpr int kThreads = 4;
    constexpr int kRounds = 1500;
    CountingSink sinks[kThreads];
    std::atomic<int> wrong{0};
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (double v = 0; writing.load(); v += 1) {
            VARIANT value;
            VariantInit(&value);
            V_VT(&value) = VT_R8;
            V_R8(&value) = v;
            HRESULT* errors = nullptr;
            if (sync->Write(1, handles.data(), &value, &errors) == S_OK) CoTaskMemFree(errors);
        }
        CoUninitialize();
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < kRounds; ++i) {
                const DWORD advf = i % 3 == 0 ? ADVF_ONLYONCE : 0;
                FORMATETC format = FormatOf(i % 2 == 0 ? StreamFormatData() : StreamFormatDataTime());
                DWORD cookie = 0;
                if (data->DAdvise(&format, advf, &sinks[t], &cookie) != S_OK) {
                    ++wrong;
                    continue;
                }
                if (i % 5 == 0) SwitchToThread();
                const HRESULT hr = data->DUnadvise(cookie);
                if (hr != S_OK && !(advf == ADVF_ONLYONCE && hr == OLE_E_NOCONNECTION)) ++wrong;
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads) thread.join();
    writing.store(false);
    writer.join();
    EXPECT_EQ(0, wrong.load());
    // The group goes with a stream under way: its end waits for the sender.
    CountingSink last;
    ASSERT_EQ(S_OK, data->DAdvise(&fmt, 0, &last, &live));
    for (int i = 0; i < 100 && last.calls.load() == 0; ++i) {
        ReadAll();
        Sleep(10);
    }
    data.Reset();
    sync.Reset();
    async.Reset();
    state.Reset();
    mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(groupHandle, FALSE));
    long calls = 0;
    for (CountingSink* s : {&sinks[0], &sinks[1], &sinks[2], &sinks[3], &last}) {
        EXPECT_EQ(0, s->callsUnheld.load());
        EXPECT_EQ(0u, s->References()) << "a sink kept after its connection ended";
        calls += s->calls.load();
    }
    EXPECT_GT(calls, 0) << "streams were sent meanwhile";
}
