// The group's DA 3.0 interfaces out of process, through the registered proxy
// with the real program: each derived interface carries its base's methods
// in the slots before its own (IOPCAsyncIO3 has twelve), the keep-alive's
// empty callback crosses, and the item settings answer per item. The rules
// themselves are the in-process suite's.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include "OpcClient.h"
#include "OpcConstants.h"
#include "ProcessSuite.h"
#include "RecordingCallback.h"
#include "RegistryProbe.h"
#include "ServerProcess.h"
#include "ServerUnderTest.h"
#include "TvfBuilder.h"
#include "WaitFor.h"

namespace {
constexpr DWORD kWaitMs = 10000;
constexpr DWORD kAnyAge = 0xFFFFFFFF;

// Speed R8 rw 12.5 with value limits (0 to 100), Count I4 ro 7.
std::vector<FileGroup> Plant() {
    FileGroup pump{"Pump1", {}, {}};
    pump.tags = {{"Speed", VT_R8, 1, 12.5, {}, true}, {"Count", VT_I4, 0, 7, {}}};
    return {pump};
}

VARIANT Number(double x) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = x;
    return v;
}

std::vector<HRESULT> Take(HRESULT* errors, size_t count) {
    std::vector<HRESULT> out;
    if (errors != nullptr) out.assign(errors, errors + count);
    CoTaskMemFree(errors);
    return out;
}

const CallbackCall* FindCall(const std::vector<CallbackCall>& calls, CallbackCall::Kind kind, DWORD tid) {
    for (const CallbackCall& c : calls) {
        if (c.kind == kind && c.transactionId == tid) return &c;
    }
    return nullptr;
}

class Da3GroupProcessTest : public ProcessSuite {
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

    RecordingCallback callback;  // before the server's objects, so that it outlives them
    ComPtr<IOPCServer> server;
};
}  // namespace

TEST_F(Da3GroupProcessTest, EveryDa3GroupInterfaceCrossesWithItsBaseMethods) {
    OPCHANDLE group = 0;
    DWORD revised = 0;
    ComPtr<IOPCSyncIO2> sync2;
    ASSERT_EQ(S_OK, server->AddGroup(L"Da3", FALSE, 100, 9, nullptr, nullptr, 0, &group, &revised, IID_IOPCSyncIO2,
                                     reinterpret_cast<LPUNKNOWN*>(sync2.GetAddressOf())));
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCAsyncIO3> async3;
    ComPtr<IOPCGroupStateMgt2> state2;
    ComPtr<IOPCItemDeadbandMgt> deadbands;
    ComPtr<IOPCItemSamplingMgt> sampling;
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, sync2.As(&items));
    ASSERT_EQ(S_OK, sync2.As(&async3));
    ASSERT_EQ(S_OK, sync2.As(&state2));
    ASSERT_EQ(S_OK, sync2.As(&deadbands));
    ASSERT_EQ(S_OK, sync2.As(&sampling));
    ASSERT_EQ(S_OK, sync2.As(&container));
    OPCITEMDEF defs[2] = {};
    defs[0].szAccessPath = defs[1].szAccessPath = const_cast<LPWSTR>(L"");
    defs[0].szItemID = const_cast<LPWSTR>(L"Pump1.Speed");
    defs[1].szItemID = const_cast<LPWSTR>(L"Pump1.Count");
    defs[0].bActive = defs[1].bActive = TRUE;
    defs[0].hClient = 1;
    defs[1].hClient = 2;
    OPCITEMRESULT* results = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, items->AddItems(2, defs, &results, &e));
    OPCHANDLE h[3] = {results[0].hServer, results[1].hServer, 4242};
    CoTaskMemFree(results);
    CoTaskMemFree(e);

    // IOPCSyncIO2: Read and Write (its base's slots), then its own.
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(S_OK, sync2->Read(OPC_DS_DEVICE, 2, h, &states, &e));
    EXPECT_EQ(12.5, V_R8(&states[0].vDataValue));
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(e);
    VARIANT v = Number(20);
    ASSERT_EQ(S_OK, sync2->Write(1, h, &v, &e));
    CoTaskMemFree(e);
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    DWORD ages[3] = {0, kAnyAge, 0};
    ASSERT_EQ(S_FALSE, sync2->ReadMaxAge(3, h, ages, &values, &qualities, &times, &e));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, OPC_E_INVALIDHANDLE}), Take(e, 3));
    EXPECT_EQ(20.0, V_R8(&values[0]));
    EXPECT_EQ(7, V_I4(&values[1])) << "an inactive group reads the device";
    EXPECT_EQ(OPC_QUALITY_GOOD, qualities[1]);
    EXPECT_NE(0u, times[0].dwHighDateTime);
    for (int i = 0; i < 3; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    OPCITEMVQT records[3] = {};
    records[0].vDataValue = Number(30);
    records[1].vDataValue = Number(8);
    records[2].vDataValue = Number(31);
    records[2].bQualitySpecified = TRUE;
    records[2].wQuality = OPC_QUALITY_GOOD;
    OPCHANDLE written[3] = {h[0], h[1], h[0]};
    ASSERT_EQ(S_FALSE, sync2->WriteVQT(3, written, records, &e));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS, OPC_E_NOTSUPPORTED}), Take(e, 3));

    // IOPCAsyncIO3: the six slots of IOPCAsyncIO2, then its three.
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, &point));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&callback, &cookie));
    BOOL enabled = FALSE;
    EXPECT_EQ(S_OK, async3->GetEnable(&enabled));
    EXPECT_TRUE(enabled);
    EXPECT_EQ(S_OK, async3->SetEnable(TRUE));
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, async3->Read(1, h, 0x11, &cancel, &e));
    CoTaskMemFree(e);
    ASSERT_EQ(S_OK, async3->Write(1, h, &v, 0x12, &cancel, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(E_FAIL, async3->Cancel2(0x7FFFFFFF));
    EXPECT_EQ(E_FAIL, async3->Refresh2(OPC_DS_CACHE, 0x13, &cancel)) << "inactive";
    ASSERT_EQ(S_OK, async3->ReadMaxAge(2, h, ages, 0x14, &cancel, &e));
    CoTaskMemFree(e);
    records[0].vDataValue = Number(40);
    ASSERT_EQ(S_OK, async3->WriteVQT(1, h, records, 0x15, &cancel, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(E_FAIL, async3->RefreshMaxAge(kAnyAge, 0x16, &cancel)) << "inactive";
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count() >= 4; }));
    std::vector<CallbackCall> calls = callback.Calls();
    ASSERT_NE(nullptr, FindCall(calls, CallbackCall::ReadComplete, 0x11));
    ASSERT_NE(nullptr, FindCall(calls, CallbackCall::WriteComplete, 0x12));
    const CallbackCall* aged = FindCall(calls, CallbackCall::ReadComplete, 0x14);
    ASSERT_NE(nullptr, aged);
    ASSERT_EQ(2u, aged->items.size());
    EXPECT_EQ(7, aged->items[1].number);
    const CallbackCall* vqt = FindCall(calls, CallbackCall::WriteComplete, 0x15);
    ASSERT_NE(nullptr, vqt);
    ASSERT_EQ(1u, vqt->items.size());
    EXPECT_EQ(S_OK, vqt->items[0].error);

    // IOPCGroupStateMgt2: its base's GetState and SetState, then the keep-alive.
    LPWSTR name = nullptr;
    DWORD rate = 0;
    BOOL active = TRUE;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE client = 0, serverHandle = 0;
    ASSERT_EQ(S_OK, state2->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &serverHandle));
    EXPECT_STREQ(L"Da3", name);
    CoTaskMemFree(name);
    EXPECT_EQ(100u, rate);
    BOOL on = TRUE;
    // Counted first: the activation's callback may arrive before SetState's return is seen here.
    const size_t before = callback.Count();
    ASSERT_EQ(S_OK, state2->SetState(nullptr, &rate, &on, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(callback.WaitFor(before + 1, kWaitMs)) << "the first change";
    ASSERT_EQ(S_OK, async3->RefreshMaxAge(kAnyAge, 0x17, &cancel));
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return callback.Count(CallbackCall::DataChange, 0x17) == 1; }));
    EXPECT_EQ(2u, FindCall(callback.Calls(), CallbackCall::DataChange, 0x17)->items.size());
    DWORD keptAlive = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state2->SetKeepAlive(20, &keptAlive));
    EXPECT_EQ(100u, keptAlive);
    ASSERT_EQ(S_OK, state2->SetKeepAlive(400, &keptAlive));
    EXPECT_EQ(S_OK, state2->GetKeepAlive(&keptAlive));
    EXPECT_EQ(400u, keptAlive);
    const size_t idle = callback.Count();
    ASSERT_TRUE(callback.WaitFor(idle + 2, kWaitMs));
    calls = callback.Calls();
    for (size_t i = idle; i < idle + 2; ++i) {
        EXPECT_EQ(CallbackCall::DataChange, calls[i].kind);
        EXPECT_EQ(0u, calls[i].transactionId);
        EXPECT_EQ(9u, calls[i].hGroup);
        EXPECT_TRUE(calls[i].items.empty()) << "the keep-alive crossed with no item";
    }

    // The item settings, per item.
    FLOAT percents[3] = {5, 5, 5};
    ASSERT_EQ(S_FALSE, deadbands->SetItemDeadband(3, h, percents, &e));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_DEADBANDNOTSUPPORTED, OPC_E_INVALIDHANDLE}), Take(e, 3));
    FLOAT* got = nullptr;
    ASSERT_EQ(S_OK, deadbands->GetItemDeadband(1, h, &got, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(5.0f, got[0]);
    CoTaskMemFree(got);
    ASSERT_EQ(S_OK, deadbands->ClearItemDeadband(1, h, &e));
    CoTaskMemFree(e);
    DWORD asked[2] = {0, 250};
    DWORD* rates = nullptr;
    ASSERT_EQ(S_OK, sampling->SetItemSamplingRate(2, h, asked, &rates, &e));
    EXPECT_EQ((std::vector<HRESULT>{OPC_S_UNSUPPORTEDRATE, S_OK}), Take(e, 2));
    EXPECT_EQ(10u, rates[0]);
    EXPECT_EQ(250u, rates[1]);
    CoTaskMemFree(rates);
    ASSERT_EQ(S_OK, sampling->GetItemSamplingRate(2, h, &rates, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(250u, rates[1]);
    CoTaskMemFree(rates);
    ASSERT_EQ(S_OK, sampling->ClearItemSamplingRate(2, h, &e));
    CoTaskMemFree(e);
    BOOL buffer[2] = {TRUE, FALSE};
    ASSERT_EQ(S_OK, sampling->SetItemBufferEnable(2, h, buffer, &e));
    CoTaskMemFree(e);
    BOOL* buffered = nullptr;
    ASSERT_EQ(S_OK, sampling->GetItemBufferEnable(2, h, &buffered, &e));
    CoTaskMemFree(e);
    EXPECT_EQ(TRUE, buffered[0]);
    EXPECT_EQ(FALSE, buffered[1]);
    CoTaskMemFree(buffered);

    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}
