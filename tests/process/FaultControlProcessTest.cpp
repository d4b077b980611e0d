// Faults through OPC with the real program: a configuration with forced
// qualities in its 1.7 blocks loads, the control items are refused while the
// option is off, each forced quality reaches a 1.0a stream and a 2.0 callback,
// a device's response delay slows no other device's client, and a DA 2.0
// browser goes straight to every kind of branch by its full name.
#include <gtest/gtest.h>

#include <ocidl.h>

#include <atomic>
#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "OpcClient.h"
#include "OpcConstants.h"
#include "OpcStreamLayout.h"
#include "RecordingCallback.h"
#include "RecordingSink.h"
#include "ProcessSuite.h"
#include "RegistryProbe.h"
#include "ServerProcess.h"
#include "TvfBuilder.h"

namespace {
constexpr DWORD kStartMs = 30000;
// Every quality a client may force: Good, Local Override, Uncertain and Bad, alone and with each substatus.
constexpr WORD kForcible[] = {0xC0, 0xD8, 0x40, 0x44, 0x50, 0x54, 0x58, 0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C};
constexpr DWORD kWaitMs = 10000;

std::string Narrow(const std::wstring& text) {
    std::string s;
    for (wchar_t c : text) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

// Pump1 { Flow R8 rw 3, Area (forced Uncertain in a 1.7 block) { Inlet { Open R8 }, Level R8 rw 12.5 } },
// Tank { Level R8 rw 0.5 }.
std::vector<BYTE> PlantFile() {
    DeviceFields pump;
    pump.group.name = "Pump1";
    pump.group.tags = {TagRecord({.name = "Flow", .value = VR8(3)})};
    pump.group.groups = {GroupRecord({.version = 1.7,
                                      .name = "Area",
                                      .groups = {GroupRecord({.name = "Inlet", .tags = {TagRecord({.name = "Open"})}})},
                                      .tags = {TagRecord({.name = "Level", .value = VR8(12.5)})},
                                      .forcedQuality = OPC_QUALITY_UNCERTAIN})};
    DeviceFields tank;
    tank.group.name = "Tank";
    tank.group.ordinal = 1;
    tank.group.tags = {TagRecord({.name = "Level", .value = VR8(0.5)})};
    return ConfigFile({DeviceRecord(pump), DeviceRecord(tank)}).data;
}

struct Group {
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> sync;
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> errors;
};

// An active group at `rate` ms with the items (client handles 1, 2, ...).
Group AddGroup(IOPCServer* server, DWORD rate, std::vector<LPCWSTR> ids) {
    Group g;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    if (FAILED(server->AddGroup(L"", TRUE, rate, 9, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(g.items.GetAddressOf())))) {
        return g;
    }
    g.items.As(&g.sync);
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (SUCCEEDED(g.items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &results, &errors))) {
        for (size_t i = 0; i < ids.size(); ++i) {
            g.handles.push_back(results[i].hServer);
            g.errors.push_back(errors[i]);
        }
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return g;
}

HRESULT WriteLong(Group& g, size_t item, LONG value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    HRESULT* errors = nullptr;
    const HRESULT hr = g.sync->Write(1, &g.handles.at(item), &v, &errors);
    const HRESULT error = SUCCEEDED(hr) ? errors[0] : hr;
    CoTaskMemFree(errors);
    return error;
}

HRESULT DeviceRead(Group& g, size_t item, WORD* quality = nullptr) {
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = g.sync->Read(OPC_DS_DEVICE, 1, &g.handles.at(item), &states, &errors);
    if (SUCCEEDED(hr)) {
        if (quality != nullptr) *quality = states[0].wQuality;
        VariantClear(&states[0].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return hr;
}

// The quality of client handle `item` in the last 1.0a data stream that carried it.
bool StreamCarries(RecordingSink& sink, OPCHANDLE item, WORD quality) {
    using namespace OpcStream;
    for (const ReceivedStream& s : sink.Streams()) {
        for (std::uint32_t i = 0; i < s.Count(); ++i) {
            const size_t record = kGroupHeaderSize + i * kItemWithTimeSize;
            if (s.U32(record + kItemClientHandle) == item && s.U16(record + kItemQuality) == quality) return true;
        }
    }
    return false;
}

bool CallbackCarries(RecordingCallback& callback, OPCHANDLE item, WORD quality) {
    for (const CallbackCall& call : callback.Calls()) {
        if (call.kind != CallbackCall::DataChange) continue;
        for (const CallbackItem& i : call.items) {
            if (i.hClient == item && i.quality == quality) return true;
        }
    }
    return false;
}

class FaultControlProcessTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        ASSERT_NO_FATAL_FAILURE(Prepare(PlantFile(), false));
    }
    void TearDown() override {
        server.Reset();
        ProcessSuite::TearDown();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Allow Fault Control");
    }
    // A server started by COM with the option as given.
    void Connect(bool allowFaultControl) {
        server.Reset();
        // A COM-started server ends with its last client: the next one reads the settings anew.
        WaitUntilNoServerRuns(kStartMs);
        KillRunningServers();
        WriteServerSettings(L"", configFile);
        const DWORD on = 1;
        if (allowFaultControl) {
            ASSERT_EQ(
                RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Allow Fault Control", REG_DWORD, &on, sizeof(on)),
                ERROR_SUCCESS);
        }
        ASSERT_EQ(S_OK, ConnectServer(server));
    }

    // Before the server's objects, so that they outlive every connection.
    RecordingCallback callback;
    RecordingSink stream;
    ComPtr<IOPCServer> server;
};
}  // namespace

TEST_F(FaultControlProcessTest, ForcedQualitiesLoadAndEachReachesStreamsAndCallbacksOnlyWhileAllowed) {
    ASSERT_NO_FATAL_FAILURE(Connect(false));
    Group off = AddGroup(server.Get(), 50, {L"Pump1.Area.Level", L"Pump1._Control.Quality"});
    ASSERT_EQ(off.errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}));
    WORD quality = 0;
    ASSERT_EQ(DeviceRead(off, 0, &quality), S_OK);
    EXPECT_EQ(quality, OPC_QUALITY_UNCERTAIN) << "the group's forcing from the 1.7 block";
    off = Group();

    ASSERT_NO_FATAL_FAILURE(Connect(true));
    Group g = AddGroup(server.Get(), 50, {L"Pump1.Flow", L"Pump1._Control.Quality"});
    ASSERT_EQ(g.errors, (std::vector<HRESULT>{S_OK, S_OK}));
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, g.items.As(&container));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, &point));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&callback, &cookie));
    DWORD connection = 0;
    ASSERT_EQ(S_OK, AdviseStream(g.items.Get(), OPC_STREAM_FORMAT_DATATIME, &stream, &connection));

    for (WORD forced : kForcible) {
        SCOPED_TRACE(testing::Message() << "quality " << forced);
        ASSERT_EQ(WriteLong(g, 1, forced), S_OK);
        EXPECT_TRUE(WaitFor(kWaitMs, [&] { return StreamCarries(stream, 1, forced); }));
        EXPECT_TRUE(WaitFor(kWaitMs, [&] { return CallbackCarries(callback, 1, forced); }));
    }
    EXPECT_EQ(WriteLong(g, 1, 0x80), OPC_E_RANGE);
    ASSERT_EQ(WriteLong(g, 1, -1), S_OK);  // none
    EXPECT_TRUE(WaitFor(kWaitMs, [&] { return CallbackCarries(callback, 1, OPC_QUALITY_GOOD); }));
    EXPECT_EQ(S_OK, UnadviseStream(g.items.Get(), connection));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}

TEST_F(FaultControlProcessTest, ADeviceAnsweringInTwoSecondsSlowsNoOtherDevicesClient) {
    ASSERT_NO_FATAL_FAILURE(Connect(true));
    Group control = AddGroup(server.Get(), 0, {L"Pump1._Control.ResponseDelayMs"});
    ASSERT_EQ(WriteLong(control, 0, 2000), S_OK);
    Group slow = AddGroup(server.Get(), 100, {L"Pump1.Flow"});
    Group fast = AddGroup(server.Get(), 100, {L"Tank.Level"});
    ASSERT_EQ(slow.errors, std::vector<HRESULT>{S_OK});
    ASSERT_EQ(fast.errors, std::vector<HRESULT>{S_OK});

    // Another client thread reads the other device from the device while the slow read waits.
    std::atomic<bool> slowDone{false};
    std::atomic<long long> longestOther{0};
    std::atomic<int> otherReads{0};
    ComPtr<IStream> marshalled;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IOPCSyncIO, fast.sync.Get(), &marshalled));
    std::thread other([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ComPtr<IOPCSyncIO> io;
            CoGetInterfaceAndReleaseStream(marshalled.Detach(), IID_IOPCSyncIO,
                                           reinterpret_cast<void**>(io.GetAddressOf()));
            OPCHANDLE handle = fast.handles[0];
            while (io && !slowDone.load()) {
                const auto start = std::chrono::steady_clock::now();
                OPCITEMSTATE* states = nullptr;
                HRESULT* errors = nullptr;
                if (SUCCEEDED(io->Read(OPC_DS_DEVICE, 1, &handle, &states, &errors))) {
                    VariantClear(&states[0].vDataValue);
                    ++otherReads;
                }
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
                const long long ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count();
                longestOther.store(std::max(longestOther.load(), ms));
                Sleep(50);
            }
        }
        CoUninitialize();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceRead(slow, 0), S_OK);
    const long long slowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    slowDone = true;
    other.join();
    EXPECT_GE(slowMs, 1980);
    EXPECT_GE(otherReads.load(), 5) << "the other device's client was served meanwhile";
    EXPECT_LT(longestOther.load(), 1000) << "and never waited for the slow device";
}

// What a DA 2.0 browser does: "" for the root, then straight to a branch by
// its full name (any letter case), the control branches only while allowed;
// a name that is no branch is refused and the position stays where it was.
TEST_F(FaultControlProcessTest, BrowseToReachesEveryKindOfBranchByItsFullNameAndRefusesTheRestInPlace) {
    using Names = std::vector<std::wstring>;
    struct Step {
        OPCBROWSEDIRECTION direction;
        LPCWSTR to;
        HRESULT result;
        Names branches, leaves;  // at the position after the step
    };
    const Names inlet{L"Open"}, area{L"Level"}, control{L"_Control"};
    const Step offSteps[] = {{OPC_BROWSE_TO, L"Pump1.Area.Inlet", S_OK, {}, inlet},
                             {OPC_BROWSE_TO, L"Pump1._Control", E_FAIL, {}, inlet},
                             {OPC_BROWSE_TO, L"", S_OK, {L"Pump1", L"Tank"}, {}}};
    const Step onSteps[] = {
        {OPC_BROWSE_TO, L"", S_OK, {L"Pump1", L"Tank", L"_Control"}, {}},
        {OPC_BROWSE_TO, L"pump1.AREA.inlet", S_OK, {}, inlet},
        {OPC_BROWSE_UP, L"", S_OK, {L"Inlet"}, area},                    // the way up from a position reached directly
        {OPC_BROWSE_TO, L"Pump1.Area.Level", E_FAIL, {L"Inlet"}, area},  // a tag
        {OPC_BROWSE_TO, L"Inlet", E_FAIL, {L"Inlet"}, area},             // full names only
        {OPC_BROWSE_TO, L"Pump1.Area.", E_FAIL, {L"Inlet"}, area},
        {OPC_BROWSE_TO, L"Pump1..Area", E_FAIL, {L"Inlet"}, area},
        {OPC_BROWSE_TO,
         L"Pump1._Control",
         S_OK,
         {},
         {L"Quality", L"InService", L"ResponseDelayMs", L"Freeze", L"AlarmStorm"}},
        {OPC_BROWSE_UP, L"", S_OK, {L"Area", L"_Control"}, {L"Flow"}},
        {OPC_BROWSE_TO, L"_Control.Replay", S_OK, {}, {L"File", L"Speed", L"Loop", L"Run", L"Status"}},
        {OPC_BROWSE_TO, L"Tank", S_OK, control, area},
    };
    for (bool allowed : {false, true}) {
        ASSERT_NO_FATAL_FAILURE(Connect(allowed));
        ComPtr<IOPCBrowseServerAddressSpace> browse;
        ASSERT_EQ(S_OK, server.As(&browse));
        for (const Step& step : allowed ? std::span<const Step>(onSteps) : std::span<const Step>(offSteps)) {
            SCOPED_TRACE(testing::Message() << "allowed " << allowed << ", to \"" << Narrow(step.to) << "\"");
            EXPECT_EQ(step.result, browse->ChangeBrowsePosition(step.direction, step.to));
            EXPECT_EQ(step.branches, Browse(browse.Get(), OPC_BRANCH));
            EXPECT_EQ(step.leaves, Browse(browse.Get(), OPC_LEAF));
        }
    }
    // Item IDs from a position reached directly.
    std::wstring id;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(&browse));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Pump1.Area.Inlet"));
    EXPECT_EQ(S_OK, ItemId(browse.Get(), L"Open", &id));
    EXPECT_EQ(L"Pump1.Area.Inlet.Open", id);
}
