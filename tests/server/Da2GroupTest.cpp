// The group's 2.0 side in process: the callback connection point and its bad
// inputs, IOPCAsyncIO2 results and completions, change-driven callbacks by
// exception beside the 1.0a streams, reads from the device, and clients that
// die, block or call back into the group.
#include <gtest/gtest.h>

#include <thread>

#include "FileTime.h"
#include "OPCGroup.h"
#include "OpcConstants.h"
#include "RecordingCallback.h"
#include "RecordingSink.h"
#include "ScratchLog.h"
#include "ServerTestSupport.h"
#include "StreamFormats.h"
#include "WaitFor.h"

namespace {
constexpr DWORD kWaitMs = 5000;

class Da2GroupTest : public ::testing::Test {
protected:
    // A group of the server (client handle 77) with items on the given tags,
    // client handles 1, 2, ...
    void MakeGroup(BOOL active, DWORD rate, std::vector<std::pair<LPCWSTR, VARTYPE>> items, BOOL itemsActive = TRUE) {
        ASSERT_EQ(S_OK, server->AddGroup(L"", active, rate, 77, nullptr, nullptr, 0, &groupHandle, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(mgt.GetAddressOf())));
        ASSERT_EQ(S_OK, mgt.As(&io2));
        ASSERT_EQ(S_OK, mgt.As(&container));
        ASSERT_EQ(S_OK, mgt.As(&state));
        ASSERT_EQ(S_OK, mgt.As(&sync));
        handles = AddItemsOf(mgt.Get(), items, itemsActive);
        ASSERT_EQ(items.size(), handles.size());
    }
    DWORD Advise(IUnknown* sink, HRESULT expected = S_OK) {
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, &point));
        DWORD cookie = 0;
        EXPECT_EQ(expected, point->Advise(sink, &cookie));
        return cookie;
    }
    // The 1.0a data stream of the group, to `stream`.
    DWORD AdviseStream() {
        ComPtr<IDataObject> data;
        EXPECT_EQ(S_OK, mgt.As(&data));
        FORMATETC format{static_cast<CLIPFORMAT>(StreamFormatData()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        EXPECT_EQ(S_OK, data->DAdvise(&format, 0, &stream, &connection));
        return connection;
    }
    HRESULT Unadvise(DWORD cookie) {
        ComPtr<IConnectionPoint> point;
        container->FindConnectionPoint(IID_IOPCDataCallback, &point);
        return point->Unadvise(cookie);
    }
    HRESULT Read2(std::vector<OPCHANDLE> h, DWORD tid, std::vector<HRESULT>* errors = nullptr,
                  DWORD* cancel = nullptr) {
        DWORD id = 0;
        HRESULT* e = nullptr;
        const HRESULT hr = io2->Read(static_cast<DWORD>(h.size()), h.data(), tid, &id, &e);
        if (e != nullptr && errors != nullptr) errors->assign(e, e + h.size());
        CoTaskMemFree(e);
        if (cancel != nullptr) *cancel = id;
        return hr;
    }
    void SetActive(BOOL on) {
        EXPECT_EQ(S_OK, state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr));
    }
    OPCGroup::SubscriptionCount Subscriptions() {
        return static_cast<OPCGroup*>(static_cast<IOPCItemMgt*>(mgt.Get()))->Subscriptions();
    }

    ConfiguredDocument config;
    // Before the server and its groups, so that they outlive every connection.
    RecordingCallback callback, other;
    RecordingSink stream;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> mgt;
    ComPtr<IOPCAsyncIO2> io2;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IOPCGroupStateMgt> state;
    ComPtr<IOPCSyncIO> sync;
    std::vector<OPCHANDLE> handles;
};
}  // namespace

TEST_F(Da2GroupTest, TheCallbackPointTakesOneSinkOfItsInterfaceAndNothingWorksWithoutIt) {
    MakeGroup(TRUE, 100000, {{L"Pump1.Flow", VT_EMPTY}});
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IOPCShutdown, &point));
    EXPECT_EQ(E_POINTER, container->FindConnectionPoint(IID_IOPCDataCallback, nullptr));
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    IConnectionPoint* found[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, found, &fetched));
    ASSERT_EQ(1u, fetched);
    point.Attach(found[0]);
    IID iid{};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_EQ(IID_IOPCDataCallback, iid);
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, point->GetConnectionPointContainer(&back));
    EXPECT_EQ(container.Get(), back.Get());

    // Every IOPCAsyncIO2 call without a connection, and nothing done.
    DWORD cancel = 9;
    BOOL enabled = FALSE;
    HRESULT* errors = nullptr;
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io2->Read(1, handles.data(), 1, &cancel, &errors));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io2->Write(1, handles.data(), &value, 1, &cancel, &errors));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io2->Refresh2(OPC_DS_CACHE, 1, &cancel));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io2->Cancel2(1));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io2->SetEnable(FALSE));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io2->GetEnable(&enabled));
    EXPECT_EQ(nullptr, errors);
    EXPECT_EQ(0u, cancel);

    RecordingSink foreign;
    DWORD cookie = 5;
    EXPECT_EQ(E_POINTER, point->Advise(nullptr, &cookie));
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&foreign, &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(0));
    cookie = Advise(&callback);
    EXPECT_NE(0u, cookie);
    DWORD refused = 7;
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, point->Advise(&other, &refused)) << "one connection per group";
    EXPECT_EQ(0u, refused);
    EXPECT_EQ(1u, other.References()) << "the refused sink is not kept";
    EXPECT_EQ(1u, Subscriptions().callback);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(&connections));
    CONNECTDATA data[2]{};
    EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(cookie, data[0].dwCookie);
    data[0].pUnk->Release();
    connections.Reset();
    EXPECT_EQ(S_OK, io2->GetEnable(&enabled));
    EXPECT_TRUE(enabled) << "a new group is enabled";
    EXPECT_EQ(E_INVALIDARG, io2->GetEnable(nullptr));
    EXPECT_EQ(E_INVALIDARG, io2->Read(0, handles.data(), 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, io2->Refresh2(OPC_DS_CACHE, 1, nullptr));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie + 1));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
    EXPECT_EQ(1u, callback.References()) << "the sink was let go";
    EXPECT_EQ(0u, Subscriptions().callback);
}

TEST_F(Da2GroupTest, TransactionsCarryTheClientsIdAndOnlyTheItemsThatPassed) {
    // Flow R8 rw, Speed I4 ro (inactive item in an inactive group), Label BSTR ro.
    config.flow->SetValueNow(Variant::FromDouble(2.5));
    config.pump->FindTag(L"Speed")->SetValueNow(Variant::FromLong(7));
    config.pump->FindTag(L"Label")->SetValueNow(Variant::FromString(L"abc"));
    MakeGroup(FALSE, 100000, {{L"Pump1.Flow", VT_I4}, {L"Pump1.Speed", VT_BSTR}, {L"Pump1.Label", VT_R8}}, FALSE);
    Advise(&callback);

    std::vector<HRESULT> errors;
    DWORD cancel = 0;
    ASSERT_EQ(S_FALSE, Read2({handles[0], 4242, handles[1], handles[2]}, 0xABCD, &errors, &cancel));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK, S_OK}), errors);
    EXPECT_NE(0u, cancel);
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    CallbackCall read = callback.Calls()[0];
    EXPECT_EQ(CallbackCall::ReadComplete, read.kind);
    EXPECT_EQ(0xABCDu, read.transactionId);
    EXPECT_EQ(77u, read.hGroup);
    EXPECT_EQ(S_FALSE, read.masterQuality);
    EXPECT_EQ(S_FALSE, read.masterError);
    ASSERT_EQ(3u, read.items.size());
    // From the device although nothing is active; in the requested types;
    // "abc" is no number.
    const struct {
        OPCHANDLE client;
        VARTYPE type;
        std::wstring text;
        WORD quality;
        HRESULT error;
    } want[] = {{1, VT_I4, L"2", OPC_QUALITY_GOOD, S_OK},
                {2, VT_BSTR, L"7", OPC_QUALITY_GOOD, S_OK},
                {3, VT_EMPTY, L"", OPC_QUALITY_BAD, OPC_E_BADTYPE}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(want[i].client, read.items[i].hClient) << i;
        EXPECT_EQ(want[i].type, read.items[i].type) << i;
        EXPECT_EQ(want[i].text, read.items[i].text) << i;
        EXPECT_EQ(want[i].quality, read.items[i].quality) << i;
        EXPECT_EQ(want[i].error, read.items[i].error) << i;
    }
    EXPECT_EQ(S_FALSE, Read2({4242}, 1, &errors, &cancel)) << "no item passed: no transaction";
    EXPECT_EQ(0u, cancel);

    // Writes: rights are checked at once; the completion has the others.
    VARIANT values[3];
    for (VARIANT& v : values) VariantInit(&v);
    V_VT(&values[0]) = VT_BSTR;
    V_BSTR(&values[0]) = SysAllocString(L"9.5");
    HRESULT* e = nullptr;
    ASSERT_EQ(S_FALSE, io2->Write(3, handles.data(), values, 0x55, &cancel, &e));
    EXPECT_EQ(S_OK, e[0]);
    EXPECT_EQ(OPC_E_BADRIGHTS, e[1]);
    CoTaskMemFree(e);
    VariantClear(&values[0]);
    ASSERT_TRUE(callback.WaitFor(2, kWaitMs));
    CallbackCall write = callback.Calls()[1];
    EXPECT_EQ(CallbackCall::WriteComplete, write.kind);
    EXPECT_EQ(0x55u, write.transactionId);
    ASSERT_EQ(1u, write.items.size());
    EXPECT_EQ(1u, write.items[0].hClient);
    EXPECT_EQ(S_OK, write.masterError);
    EXPECT_EQ(9.5, config.flow->GetValue().Ref().dblVal);

    // A sync read: the device gives the tag, the cache the inactive item's 0x1C.
    for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
        OPCITEMSTATE* states = nullptr;
        const bool device = source == OPC_DS_DEVICE;
        ASSERT_EQ(device ? S_FALSE : S_OK, sync->Read(source, 3, handles.data(), &states, &e)) << source;
        EXPECT_EQ(device ? OPC_QUALITY_GOOD : OPC_QUALITY_OUT_OF_SERVICE, states[0].wQuality);
        EXPECT_EQ(device ? VT_I4 : VT_EMPTY, V_VT(&states[0].vDataValue)) << "never taken while inactive";
        if (device) {
            EXPECT_EQ(10, V_I4(&states[0].vDataValue)) << "9.5 rounds to even";
        }
        EXPECT_EQ(S_OK, e[1]);
        EXPECT_EQ(device ? OPC_E_BADTYPE : S_OK, e[2]) << "an empty cache converts to anything";
        for (int i = 0; i < 3; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(e);
    }

    // Refresh2 wants an active group with an active item.
    EXPECT_EQ(E_FAIL, io2->Refresh2(OPC_DS_CACHE, 3, &cancel));
    SetActive(TRUE);
    EXPECT_EQ(E_FAIL, io2->Refresh2(OPC_DS_DEVICE, 3, &cancel));
    EXPECT_EQ(E_INVALIDARG, io2->Refresh2(static_cast<OPCDATASOURCE>(7), 3, &cancel));
}

TEST_F(Da2GroupTest, CancelRemovesQueuedTransactionsEvenThousandsAndIsTooLateOnceBegun) {
    MakeGroup(FALSE, 100000, {{L"Pump1.Flow", VT_EMPTY}});
    Advise(&callback);
    callback.Close();
    DWORD first = 0;
    ASSERT_EQ(S_OK, Read2(handles, 1, nullptr, &first));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] {
        // The thread has taken the first and waits at the gate.
        return io2->Cancel2(first) == E_FAIL;
    }));
    constexpr DWORD kMany = 3000;
    std::vector<DWORD> ids(kMany);
    for (DWORD i = 0; i < kMany; ++i) ASSERT_EQ(S_OK, Read2(handles, 100 + i, nullptr, &ids[i]));
    for (DWORD i = 0; i < kMany; i += 2) EXPECT_EQ(S_OK, io2->Cancel2(ids[i]));
    EXPECT_EQ(E_FAIL, io2->Cancel2(ids[0])) << "cancelled already";
    EXPECT_EQ(E_FAIL, io2->Cancel2(0x7FFFFFFF)) << "unknown";
    callback.Open();
    ASSERT_TRUE(callback.WaitFor(1 + kMany, 60000));
    for (DWORD i = 0; i < kMany; ++i) {
        const bool cancelled = i % 2 == 0;
        ASSERT_EQ(cancelled ? 1u : 0u, callback.Count(CallbackCall::CancelComplete, 100 + i)) << i;
        ASSERT_EQ(cancelled ? 0u : 1u, callback.Count(CallbackCall::ReadComplete, 100 + i)) << i;
    }
    EXPECT_EQ(E_FAIL, io2->Cancel2(ids[1])) << "completed";
}

TEST_F(Da2GroupTest, ARequestWaitingForASlowDeviceCanStillBeCancelled) {
    constexpr DWORD kDelayMs = 2000;
    config.pump->SetResponseDelay(kDelayMs);
    config.flow->SetValueNow(Variant::FromDouble(1));
    MakeGroup(FALSE, 100000, {{L"Pump1.Flow", VT_EMPTY}});  // inactive: nothing but the answers
    Advise(&callback);
    const DWORD connection = AdviseStream();
    ComPtr<IOPCAsyncIO> io1;
    ASSERT_EQ(S_OK, mgt.As(&io1));
    const size_t streams = stream.Count();

    // Each is taken off the queue by the group's thread and waits for the
    // device, one after the other; each is cancelled while it waits, and a
    // 2.0 cancel is confirmed long before the device would have answered.
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, Read2(handles, 41, nullptr, &cancel));
    Sleep(300);
    EXPECT_EQ(S_OK, io2->Cancel2(cancel));
    EXPECT_EQ(E_FAIL, io2->Cancel2(cancel)) << "cancelled already";
    ASSERT_TRUE(callback.WaitFor(1, kDelayMs / 2));

    VARIANT value = Variant::FromDouble(9).Detach();
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, io2->Write(1, handles.data(), &value, 42, &cancel, &e));
    CoTaskMemFree(e);
    Sleep(300);
    EXPECT_EQ(S_OK, io2->Cancel2(cancel));
    ASSERT_TRUE(callback.WaitFor(2, kDelayMs / 2));

    DWORD transaction = 0;
    ASSERT_EQ(S_OK, io1->Read(connection, OPC_DS_DEVICE, 1, handles.data(), &transaction, &e));
    CoTaskMemFree(e);
    Sleep(300);
    EXPECT_EQ(S_OK, io1->Cancel(transaction));
    EXPECT_EQ(E_FAIL, io1->Cancel(transaction));
    Sleep(kDelayMs + 300);  // a cancelled request that still ran would have answered by now

    EXPECT_EQ(1u, callback.Count(CallbackCall::CancelComplete, 41));
    EXPECT_EQ(1u, callback.Count(CallbackCall::CancelComplete, 42));
    EXPECT_EQ(2u, callback.Count()) << "no completion besides the cancels";
    EXPECT_EQ(1.0, config.flow->GetValue().Ref().dblVal) << "the cancelled write was carried out";
    EXPECT_EQ(streams, stream.Count()) << "the cancelled 1.0a read was answered";
    VariantClear(&value);
}

TEST_F(Da2GroupTest, ChangesAreReportedByExceptionWhileTheDataObjectHearsEveryScan) {
    // Flow without limits, Pressure (Boiler) with limits 0..200 and 1 % deadband.
    OPCS_Tag* pressure = config.doc.FindTag(L"Boiler.Burner.Pressure");
    ASSERT_NE(nullptr, pressure);
    pressure->EnableValueLimits(true);
    pressure->SetValueLimits(0, 200);
    pressure->SetDeadband(1);
    pressure->SetValueNow(Variant::FromDouble(50));
    config.flow->SetValueNow(Variant::FromDouble(1));
    MakeGroup(FALSE, 50, {{L"Pump1.Flow", VT_R4}, {L"Boiler.Burner.Pressure", VT_EMPTY}, {L"Pump1.Label", VT_EMPTY}});
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, mgt->SetActiveState(1, &handles[2], FALSE, &e));
    CoTaskMemFree(e);
    Advise(&callback);
    AdviseStream();
    EXPECT_EQ(1u, Subscriptions().dataObject);
    SetActive(TRUE);

    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));
    CallbackCall first = callback.Calls()[0];
    EXPECT_EQ(0u, first.transactionId);
    EXPECT_EQ(S_OK, first.masterQuality);
    ASSERT_EQ(2u, first.items.size()) << "every active item, not the inactive one";
    EXPECT_EQ(VT_R4, first.items[0].type);
    // Idle: the 1.0a stream keeps its heartbeat, the callback stays silent.
    const size_t streams = stream.Count();
    Sleep(500);
    EXPECT_GE(stream.Count(), streams + 4);
    EXPECT_EQ(1u, callback.Count());

    // Inside the deadband nothing; beyond it, or a quality change, the item alone.
    pressure->SetValueNow(Variant::FromDouble(51));
    Sleep(300);
    EXPECT_EQ(1u, callback.Count());
    config.flow->SetValueNow(Variant::FromDouble(3));
    pressure->SetValueNow(Variant::FromDouble(53));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] {
        size_t n = 0;
        for (const CallbackCall& c : callback.Calls()) n += c.items.size();
        return n >= 4;
    }));
    config.flow->SetQuality(OPC_QUALITY_UNCERTAIN);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Calls().back().items[0].quality == OPC_QUALITY_UNCERTAIN; }));
    CallbackCall last = callback.Calls().back();
    ASSERT_EQ(1u, last.items.size());
    EXPECT_EQ(1u, last.items[0].hClient);
    EXPECT_EQ(S_FALSE, last.masterQuality);

    // Disabled: no change-driven call, but Refresh2 still completes with every active item.
    ASSERT_EQ(S_OK, io2->SetEnable(FALSE));
    const size_t before = callback.Count();
    config.flow->SetValueNow(Variant::FromDouble(4));
    Sleep(300);
    EXPECT_EQ(before, callback.Count());
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, io2->Refresh2(OPC_DS_CACHE, 0x77, &cancel));
    ASSERT_TRUE(callback.WaitFor(before + 1, kWaitMs));
    CallbackCall refresh = callback.Calls()[before];
    EXPECT_EQ(CallbackCall::DataChange, refresh.kind);
    EXPECT_EQ(0x77u, refresh.transactionId);
    EXPECT_EQ(2u, refresh.items.size());
    ASSERT_EQ(S_OK, io2->SetEnable(TRUE));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Calls().back().items[0].number == 4; }))
        << "enabled again, what moved meanwhile is reported";
}

TEST_F(Da2GroupTest, AClientsWriteIsReportedAsSoonAsTheUpdateRateAllowsAndNoSooner) {
    constexpr DWORD kRate = 1000;
    MakeGroup(TRUE, kRate, {{L"Pump1.Flow", VT_EMPTY}});
    Advise(&callback);
    auto changes = [&] { return callback.Count(CallbackCall::DataChange, 0); };
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return changes() == 1; }));
    // A whole period with nothing to report: a write goes out at once, not
    // at the next scan most of a period later.
    Sleep(kRate + 200);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = 5;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync->Write(1, handles.data(), &v, &errors));
    CoTaskMemFree(errors);
    const ULONGLONG written = GetTickCount64();
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return changes() == 2; }));
    const ULONGLONG reported = GetTickCount64();
    EXPECT_LT(reported - written, kRate / 3);
    // Written again at once (here through IOPCAsyncIO2): not before a period has passed.
    V_R8(&v) = 6;
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, io2->Write(1, handles.data(), &v, 0x42, &cancel, &errors));
    CoTaskMemFree(errors);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return changes() == 3; }));
    EXPECT_GE(GetTickCount64() - reported, kRate - 150);
    const std::vector<CallbackCall> calls = callback.Calls();
    for (auto c = calls.rbegin(); c != calls.rend(); ++c) {
        if (c->kind == CallbackCall::DataChange) {
            EXPECT_EQ(6, c->items[0].number);
            break;
        }
    }
}

TEST_F(Da2GroupTest, AWriteWakesTheDataThreadOnlyForAGroupWithASubscription) {
    // Each scan stamps the server's last update: a stamp that moves between a
    // periodic scan and the next is a scan the write woke.
    constexpr DWORD kRate = 1000;
    auto lastUpdate = [&] {
        OPCSERVERSTATUS* status = nullptr;
        if (FAILED(server->GetStatus(&status))) return ~0ull;
        const std::uint64_t stamp = FileTimeToU64(status->ftLastUpdateTime);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        return stamp;
    };
    enum class Subscription { kNone, kStream, kCallback };
    const struct {
        Subscription subscription;
        const char* name;
    } cases[] = {{Subscription::kNone, "no subscription"},
                 {Subscription::kStream, "a 1.0a stream"},
                 {Subscription::kCallback, "a 2.0 callback"}};
    // With value limits a 1.0a stream carries a value when it changes, not at every scan.
    config.flow->SetValueLimits(0.0, 1000.0);
    config.flow->SetDeadband(0.0);
    double value = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeGroup(TRUE, kRate, {{L"Pump1.Flow", VT_EMPTY}});
        const bool subscribed = c.subscription != Subscription::kNone;
        if (c.subscription == Subscription::kStream) AdviseStream();
        if (c.subscription == Subscription::kCallback) Advise(&callback);
        auto reports = [&] { return stream.Count() + callback.Count(); };
        const size_t first = reports();
        if (subscribed) {
            ASSERT_TRUE(WaitFor(kWaitMs, [&] { return reports() > first; }));
        }
        // A whole period with nothing to report, then a periodic scan just done.
        Sleep(kRate + 200);
        const std::uint64_t periodic = lastUpdate();
        std::uint64_t before = 0;
        ASSERT_TRUE(WaitFor(kWaitMs, [&] { return (before = lastUpdate()) != periodic; }));
        const size_t reported = reports();
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = ++value;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, sync->Write(1, handles.data(), &v, &errors));
        CoTaskMemFree(errors);
        EXPECT_EQ(value, config.flow->GetValue().Ref().dblVal);
        Sleep(kRate / 4);
        EXPECT_EQ(subscribed, lastUpdate() != before) << "a scan woken by the write";
        EXPECT_EQ(subscribed, reports() > reported) << "the write reported before the next period";
    }
}

TEST_F(Da2GroupTest, ADeadClientIsDroppedABlockedOneHoldsOnlyItsGroupAndCallsBackIntoTheGroupWork) {
    MakeGroup(TRUE, 20, {{L"Pump1.Flow", VT_EMPTY}});
    // Calls into the group from inside the callback: no group lock is held.
    callback.OnCall([this] {
        OPCITEMSTATE* states = nullptr;
        HRESULT* e = nullptr;
        if (SUCCEEDED(sync->Read(OPC_DS_CACHE, 1, handles.data(), &states, &e))) {
            VariantClear(&states[0].vDataValue);
            CoTaskMemFree(states);
            CoTaskMemFree(e);
        }
        BOOL enabled = FALSE;
        io2->GetEnable(&enabled);
    });
    Advise(&callback);
    ASSERT_TRUE(callback.WaitFor(1, kWaitMs));

    // A second group whose sink blocks does not slow this one.
    ComPtr<IOPCItemMgt> blockedMgt;
    OPCHANDLE h = 0;
    ASSERT_EQ(S_OK, server->AddGroup(L"Blocked", TRUE, 20, 1, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                                     reinterpret_cast<LPUNKNOWN*>(blockedMgt.GetAddressOf())));
    OPCITEMDEF def{};
    def.szItemID = const_cast<LPWSTR>(L"Pump1.Flow");
    def.bActive = TRUE;
    OPCITEMRESULT* results = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, blockedMgt->AddItems(1, &def, &results, &e));
    CoTaskMemFree(results);
    CoTaskMemFree(e);
    ComPtr<IConnectionPointContainer> blockedContainer;
    ASSERT_EQ(S_OK, blockedMgt.As(&blockedContainer));
    ComPtr<IConnectionPoint> blockedPoint;
    ASSERT_EQ(S_OK, blockedContainer->FindConnectionPoint(IID_IOPCDataCallback, &blockedPoint));
    other.Close();
    DWORD blockedCookie = 0;
    ASSERT_EQ(S_OK, blockedPoint->Advise(&other, &blockedCookie));
    Sleep(100);  // its data thread is held in the call by now
    const size_t before = callback.Count();
    for (int i = 0; i < 10; ++i) {
        config.flow->SetValueNow(Variant::FromDouble(100 + i));
        Sleep(60);
    }
    EXPECT_GE(callback.Count(), before + 8) << "this group kept its rate";
    EXPECT_EQ(0u, other.Count());
    other.Open();
    ASSERT_TRUE(other.WaitFor(1, kWaitMs));

    // A client gone: the first failed call drops it and lets the sink go.
    callback.Answer(RPC_E_DISCONNECTED);
    config.flow->SetValueNow(Variant::FromDouble(-1));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return Subscriptions().callback == 0; }));
    EXPECT_TRUE(WaitFor(kWaitMs, [&] { return callback.References() == 1; })) << "the sink was let go";
    const size_t after = callback.Count();
    config.flow->SetValueNow(Variant::FromDouble(-2));
    Sleep(200);
    EXPECT_EQ(after, callback.Count());

    // A blocked client that lets go of its group is not waited for beyond a
    // short grace; the call, left to its own thread, ends with the group gone.
    ScratchLog log;
    other.Close();
    const size_t answered = other.Count();
    config.flow->SetValueNow(Variant::FromDouble(7));
    Sleep(100);  // in the call by now
    blockedPoint.Reset();
    blockedContainer.Reset();
    blockedMgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(h, FALSE)) << "the last reference";
    const char kNotAnswering[] =
        "OPC client not answering - Name: (not set) Process: (unknown) Id: 0 Call: "
        "IOPCDataCallback::OnDataChange";
    EXPECT_TRUE(log.Contains(kNotAnswering)) << log.Text();
    other.Open();
    EXPECT_TRUE(other.WaitFor(answered + 1, kWaitMs));

    // A callback that releases its group's last reference ends the group at
    // once, from inside the call: nothing waits for it, and it did answer.
    callback.Answer(S_OK);
    callback.Close();
    Advise(&callback);
    ULONGLONG removing = 0;
    callback.OnCall([&] {
        if (removing != 0) return;
        removing = GetTickCount64();
        EXPECT_EQ(S_OK, server->RemoveGroup(groupHandle, FALSE));
        removing = GetTickCount64() - removing + 1;
    });
    mgt.Reset();
    io2.Reset();
    container.Reset();
    state.Reset();
    sync.Reset();
    const size_t held = callback.Count();
    callback.Open();
    ASSERT_TRUE(callback.WaitFor(held + 1, kWaitMs));
    EXPECT_LT(removing, ClientCaller::kAnswerMs);
    const std::string text = log.Text();
    EXPECT_EQ(text.find(kNotAnswering), text.rfind(kNotAnswering)) << "said once, of the blocked client only";
}

// A client's write of a quality and a timestamp (DA 3.0 or UA) reaches a
// 2.0 subscriber as the tag's own, and a forcing over it as the forcing.
TEST_F(Da2GroupTest, AWrittenQualityAndTimestampReachTheSubscriber) {
    config.doc.AllowClientQualityWrites(true);
    MakeGroup(TRUE, 50, {{L"Pump1.Flow", VT_EMPTY}});
    Advise(&callback);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::DataChange, 0) == 1; }));
    const FILETIME old{0x12345600u, 0x01D00000u};
    const WORD quality = OPC_QUALITY_LAST_USABLE;
    Variant value = Variant::FromDouble(7);
    ASSERT_EQ(S_OK, config.flow->ClientWriteVqt(value, &quality, &old));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::DataChange, 0) == 2; }));
    CallbackItem seen = callback.Calls().back().items.at(0);
    EXPECT_EQ(7, seen.number);
    EXPECT_EQ(quality, seen.quality);
    EXPECT_EQ(0x12345600u, seen.timeStamp.dwLowDateTime);
    EXPECT_EQ(0x01D00000u, seen.timeStamp.dwHighDateTime);
    config.flow->ForceQuality(OPC_QUALITY_COMM_FAILURE);
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::DataChange, 0) == 3; }));
    EXPECT_EQ(OPC_QUALITY_COMM_FAILURE, callback.Calls().back().items.at(0).quality);
}
