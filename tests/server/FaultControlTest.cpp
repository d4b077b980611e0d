// Faults through OPC: the control items below each device's `_Control` branch,
// there only while the option allows, and the response delay that slows one
// device's reads and writes and no other's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "ForcedQuality.h"
#include "ServerTestSupport.h"
#include "TempFolder.h"
#include "TvfBuilder.h"
#include "ValueReplay.h"

namespace {
struct ItemGroup {
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    std::vector<OPCHANDLE> handles;
};

ItemGroup GroupOf(IOPCServer* server, const std::vector<std::pair<LPCWSTR, VARTYPE>>& items) {
    ItemGroup g;
    OPCHANDLE handle = 0;
    DWORD rate = 0;
    if (FAILED(server->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &rate, IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(g.items.GetAddressOf())))) {
        return g;
    }
    g.items.As(&g.io);
    g.handles = AddItemsOf(g.items.Get(), items, TRUE);
    return g;
}

HRESULT AddError(IOPCItemMgt* items, LPCWSTR itemId) {
    OPCITEMDEF def{};
    def.szItemID = const_cast<LPWSTR>(itemId);
    def.bActive = TRUE;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = items->AddItems(1, &def, &results, &errors);
    const HRESULT error = SUCCEEDED(hr) ? errors[0] : hr;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return error;
}

struct Reading {
    HRESULT hr;
    Variant value;
    WORD quality;
};

Reading Read(const ItemGroup& g, size_t item, OPCDATASOURCE source = OPC_DS_CACHE) {
    OPCHANDLE handle = g.handles.at(item);
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    Reading r{g.io->Read(source, 1, &handle, &states, &errors), Variant(), 0};
    if (SUCCEEDED(r.hr)) {
        r.value = Variant::Adopt(states[0].vDataValue);
        r.quality = states[0].wQuality;
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return r;
}

HRESULT Write(const ItemGroup& g, size_t item, Variant value) {
    OPCHANDLE handle = g.handles.at(item);
    HRESULT* errors = nullptr;
    const HRESULT hr = g.io->Write(1, &handle, value.Get(), &errors);
    const HRESULT error = hr == S_OK || hr == S_FALSE ? errors[0] : hr;
    CoTaskMemFree(errors);
    return error;
}

template <class Call>
long long MillisecondsOf(Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

class FaultControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        config.flow->SetValueNow(Variant::FromDouble(7.5));
        server = NewServer(config.doc);
        ASSERT_TRUE(server);
    }
    ConfiguredDocument config;
    ComPtr<IOPCServer> server;
};
}  // namespace

TEST_F(FaultControlTest, ControlItemsExistWhileAllowedApplyWholeValuesAndRefuseTheRest) {
    ItemGroup g = GroupOf(server.Get(), {{L"Pump1.Flow", VT_EMPTY}});
    ASSERT_EQ(g.handles.size(), 1u);
    EXPECT_EQ(AddError(g.items.Get(), L"Pump1._Control.Quality"), OPC_E_UNKNOWNITEMID) << "off by default";

    config.doc.EnableFaultControl(true);
    g.handles = AddItemsOf(g.items.Get(),
                           {{L"Pump1.Flow", VT_EMPTY},
                            {L"PUMP1._control.Quality", VT_EMPTY},
                            {L"Pump1._Control.InService", VT_EMPTY},
                            {L"Pump1._Control.ResponseDelayMs", VT_EMPTY},
                            {L"Pump1._Control.Freeze", VT_EMPTY},
                            {L"Pump1._Control.AlarmStorm", VT_EMPTY}},
                           TRUE);
    ASSERT_EQ(g.handles.size(), 6u);
    EXPECT_EQ(AddError(g.items.Get(), L"Pump1._Control.Nothing"), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(config.pump->FindTag(L"_Control.Quality"), nullptr) << "not part of the device's own tree";

    struct Case {
        size_t item;
        Variant value;
        HRESULT result;
    };
    const Case cases[] = {
        {1, Variant::FromLong(OPC_QUALITY_COMM_FAILURE), S_OK},
        {1, Variant::FromString(L"bad"), OPC_E_BADTYPE},
        {1, Variant::FromLong(0x80), OPC_E_RANGE},
        {3, Variant::FromLong(250), S_OK},
        {3, Variant::FromLong(kMaxResponseDelayMs + 1), OPC_E_RANGE},
        {3, Variant::FromLong(-1), OPC_E_RANGE},
        {2, Variant::FromBool(false), S_OK},
        {4, Variant::FromString(L"true"), S_OK},  // converts, as any OPC write does
        {4, Variant::FromString(L"perhaps"), OPC_E_BADTYPE},
        {5, Variant::FromLong(1000), S_OK},
        {5, Variant::FromLong(kMaxAlarmStormRate + 1), OPC_E_RANGE},
        {5, Variant::FromDouble(4294967295.0), OPC_E_RANGE},
    };
    for (const Case& c : cases) EXPECT_EQ(Write(g, c.item, c.value), c.result) << "item " << c.item;
    // What was refused left the accepted settings as they were.
    EXPECT_EQ(config.pump->GetForcedQuality(), OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(config.pump->GetResponseDelay(), 250u);
    EXPECT_FALSE(config.pump->IsInService());
    EXPECT_TRUE(config.pump->IsFrozen());
    EXPECT_EQ(config.pump->GetAlarmStormRate(), 1000u);
    EXPECT_EQ(config.boiler->GetResponseDelay(), 0u);
    EXPECT_EQ(config.boiler->GetAlarmStormRate(), 0u);
    // The items read the device's settings, and the device's tags the forced quality.
    EXPECT_EQ(V_I4(&Read(g, 1).value.Ref()), OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(V_BOOL(&Read(g, 2).value.Ref()), VARIANT_FALSE);
    EXPECT_EQ(V_I4(&Read(g, 3).value.Ref()), 250);
    EXPECT_EQ(V_BOOL(&Read(g, 4).value.Ref()), VARIANT_TRUE);
    EXPECT_EQ(Read(g, 5).value.Type(), VT_UI4);
    EXPECT_EQ(V_UI4(&Read(g, 5).value.Ref()), 1000u);
    EXPECT_EQ(Read(g, 0).quality, OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(Read(g, 1).quality, OPC_QUALITY_GOOD) << "a forced quality never reaches the control items";
    // A setting made in the editor shows too.
    config.pump->SetInService(true);
    EXPECT_EQ(V_BOOL(&Read(g, 2).value.Ref()), VARIANT_TRUE);
    EXPECT_EQ(Write(g, 1, Variant::FromLong(kNotForced)), S_OK);
    EXPECT_EQ(Read(g, 0).quality, OPC_QUALITY_GOOD);

    // Off again: items held refuse writes, new ones are unknown.
    config.doc.EnableFaultControl(false);
    EXPECT_EQ(Write(g, 1, Variant::FromLong(OPC_QUALITY_BAD)), OPC_E_BADRIGHTS);
    EXPECT_EQ(config.pump->GetForcedQuality(), kNotForced);
    EXPECT_EQ(AddError(g.items.Get(), L"Pump1._Control.Freeze"), OPC_E_UNKNOWNITEMID);

    // The device goes although clients hold its control items; they read a configuration error.
    config.doc.EnableFaultControl(true);
    ItemGroup boiler = GroupOf(server.Get(), {{L"Boiler._Control.Freeze", VT_EMPTY}});
    ASSERT_EQ(boiler.handles.size(), 1u);
    EXPECT_EQ(config.doc.DeleteItem(config.boiler), Configuration::DeleteResult::Deleted);
    EXPECT_EQ(Read(boiler, 0).quality, OPC_QUALITY_CONFIG_ERROR);
    EXPECT_EQ(Write(boiler, 0, Variant::FromBool(true)), E_FAIL);
}

TEST_F(FaultControlTest, BrowsingShowsTheControlBranchWhileAllowed) {
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(server);
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pump1"), S_OK);
    EXPECT_EQ(Browse(browser.Get(), OPC_BRANCH), (Names{L"Motor", L"Valves"}));
    EXPECT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"_Control"), E_INVALIDARG);

    config.doc.EnableFaultControl(true);
    EXPECT_EQ(Browse(browser.Get(), OPC_BRANCH), (Names{L"Motor", L"Valves", L"_Control"}));
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"_control"), S_OK);
    EXPECT_EQ(Browse(browser.Get(), OPC_LEAF),
              (Names{L"Quality", L"InService", L"ResponseDelayMs", L"Freeze", L"AlarmStorm"}));
    EXPECT_EQ(Browse(browser.Get(), OPC_LEAF, L"*", VT_BOOL), (Names{L"InService", L"Freeze"}));
    LPWSTR id = nullptr;
    ASSERT_EQ(browser->GetItemID(const_cast<LPWSTR>(L"ResponseDelayMs"), &id), S_OK);
    EXPECT_STREQ(id, L"Pump1._Control.ResponseDelayMs");
    CoTaskMemFree(id);
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
    EXPECT_EQ(Browse(browser.Get(), OPC_LEAF).front(), L"Flow") << "up from the branch is its device";

    // Turned off, a position inside a branch goes as with a deleted branch: to the root.
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"_Control"), S_OK);
    config.doc.EnableFaultControl(false);
    EXPECT_EQ(Browse(browser.Get(), OPC_LEAF), Names{});
    EXPECT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pump1"), S_OK);
}

TEST_F(FaultControlTest, AResponseDelaySlowsItsOwnDevicesReadsAndWritesOnly) {
    constexpr long long kDelayMs = 400;
    config.pump->SetResponseDelay(kDelayMs);
    ItemGroup slow = GroupOf(server.Get(), {{L"Pump1.Flow", VT_EMPTY}});
    ItemGroup fast = GroupOf(server.Get(), {{L"Boiler.Burner.Pressure", VT_EMPTY}});
    ASSERT_EQ(slow.handles.size(), 1u);
    ASSERT_EQ(fast.handles.size(), 1u);

    long long other = -1;
    std::thread beside;
    const long long deviceRead = MillisecondsOf([&] {
        beside = std::thread([&] {
            Sleep(100);  // well inside the slow read's wait
            other = MillisecondsOf([&] { Read(fast, 0, OPC_DS_DEVICE); });
        });
        EXPECT_EQ(Read(slow, 0, OPC_DS_DEVICE).hr, S_OK);
    });
    beside.join();
    EXPECT_GE(deviceRead, kDelayMs - 20);  // the tick's granularity
    EXPECT_LT(other, kDelayMs / 2) << "another device's client waited";
    EXPECT_LT(MillisecondsOf([&] { Read(slow, 0, OPC_DS_CACHE); }), kDelayMs / 2) << "the cache answers at once";
    EXPECT_GE(MillisecondsOf([&] { EXPECT_EQ(Write(slow, 0, Variant::FromDouble(1)), S_OK); }), kDelayMs - 20);
}

TEST_F(FaultControlTest, TheRootsReplayItemsPlayAFileOrNameItsBadRows) {
    TempFolder folder;
    const std::wstring good = folder.Path() + L"good.csv";
    const std::wstring bad = folder.Path() + L"bad.csv";
    const auto write = [](const std::wstring& path, const char* text) {
        return WriteBytes(path, std::vector<BYTE>(text, text + strlen(text)));
    };
    ASSERT_TRUE(write(good,
                      "Timestamp,ItemID,Value\r\n2026-01-01T00:00:00.0000000Z,Pump1.Flow,1.5\r\n"
                      "2026-01-01T00:00:00.2000000Z,Pump1.Flow,2.5\r\n"));
    ASSERT_TRUE(
        write(bad, "2026-01-01T00:00:00.0000000Z,Pump1.Flow,1.5\r\n2026-01-01T00:00:01.0000000Z,Pump1.Gone,2\r\n"));

    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(server);
    EXPECT_EQ(Browse(browser.Get(), OPC_BRANCH), (Names{L"Pump1", L"Boiler", L"Empty"}));
    config.doc.EnableFaultControl(true);
    EXPECT_EQ(Browse(browser.Get(), OPC_BRANCH), (Names{L"Pump1", L"Boiler", L"Empty", L"_Control"}));
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"_Control"), S_OK);
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Replay"), S_OK);
    EXPECT_EQ(Browse(browser.Get(), OPC_LEAF), (Names{L"File", L"Speed", L"Loop", L"Run", L"Status"}));

    ItemGroup g = GroupOf(server.Get(), {{L"_Control.Replay.File", VT_EMPTY},
                                         {L"_Control.Replay.Speed", VT_EMPTY},
                                         {L"_Control.Replay.Run", VT_EMPTY},
                                         {L"_Control.Replay.Status", VT_EMPTY},
                                         {L"Pump1.Flow", VT_EMPTY}});
    ASSERT_EQ(g.handles.size(), 5u);
    EXPECT_EQ(Write(g, 1, Variant::FromDouble(0)), OPC_E_RANGE);
    EXPECT_EQ(Write(g, 3, Variant::FromString(L"Busy")), OPC_E_BADRIGHTS) << "the status is read only";
    // A file with a bad row plays nothing and says which row.
    ASSERT_EQ(Write(g, 0, Variant::FromString(bad)), S_OK);
    EXPECT_EQ(Write(g, 2, Variant::FromBool(true)), E_FAIL);
    const Reading refused = Read(g, 3, OPC_DS_DEVICE);
    EXPECT_NE(std::wstring(V_BSTR(&refused.value.Ref())).find(L"Refused: line 2"), std::wstring::npos)
        << V_BSTR(&refused.value.Ref());
    EXPECT_EQ(V_R8(&Read(g, 4, OPC_DS_DEVICE).value.Ref()), 7.5);
    // A sound one plays to its last value.
    ASSERT_EQ(Write(g, 0, Variant::FromString(good)), S_OK);
    ASSERT_EQ(Write(g, 1, Variant::FromDouble(4)), S_OK);
    ASSERT_EQ(Write(g, 2, Variant::FromBool(true)), S_OK);
    for (int i = 0; i < 200 && V_R8(&Read(g, 4, OPC_DS_DEVICE).value.Ref()) != 2.5; ++i) Sleep(10);
    EXPECT_EQ(V_R8(&Read(g, 4, OPC_DS_DEVICE).value.Ref()), 2.5);
    for (int i = 0; i < 200 && config.doc.Replay().IsPlaying(); ++i) Sleep(10);
    EXPECT_EQ(V_BOOL(&Read(g, 2, OPC_DS_DEVICE).value.Ref()), VARIANT_FALSE);
    EXPECT_EQ(std::wstring(V_BSTR(&Read(g, 3, OPC_DS_DEVICE).value.Ref())), L"Idle");
}
