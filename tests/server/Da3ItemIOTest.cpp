// DA 3.0 reads and writes by item ID on the server object: what a group's
// device read gives, MaxAge between the polled value and the device, one
// wait for the slowest device, value-only writes; and the switch that offers
// the DA 3.0 interfaces, with the version the operator sees.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "OpcConstants.h"
#include "OpcDaInterfaces.h"
#include "ServerTestSupport.h"

namespace {
struct Reading {
    HRESULT error = E_FAIL;
    Variant value;
    WORD quality = 0;
    FILETIME time{};
};

struct ReadResult {
    HRESULT hr = E_FAIL;
    std::vector<Reading> items;
};

ReadResult ReadById(IOPCItemIO* io, const std::vector<std::wstring>& ids, const std::vector<DWORD>& maxAges) {
    ReadResult result;
    std::vector<LPCWSTR> names;
    for (const std::wstring& id : ids) names.push_back(id.c_str());
    std::vector<DWORD> ages = maxAges;
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    result.hr =
        io->Read(static_cast<DWORD>(names.size()), names.data(), ages.data(), &values, &qualities, &times, &errors);
    if (FAILED(result.hr)) return result;
    for (size_t i = 0; i < ids.size(); ++i) {
        Reading r;
        r.error = errors[i];
        r.value = Variant(values[i]);
        r.quality = qualities[i];
        r.time = times[i];
        VariantClear(&values[i]);
        result.items.push_back(std::move(r));
    }
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    return result;
}

long long MillisecondsOf(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The items of an inactive group, read from the device as 2.05a clients do.
std::vector<OPCITEMSTATE> GroupDeviceRead(IOPCServer* server, const std::vector<std::wstring>& ids) {
    OPCHANDLE handle = 0;
    DWORD rate = 0;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    std::vector<OPCITEMSTATE> states;
    if (FAILED(server->AddGroup(L"", FALSE, 1000, 1, nullptr, nullptr, 0, &handle, &rate, IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf()))) ||
        FAILED(items.As(&io))) {
        return states;
    }
    std::vector<std::pair<LPCWSTR, VARTYPE>> defs;
    for (const std::wstring& id : ids) defs.emplace_back(id.c_str(), VT_EMPTY);
    std::vector<OPCHANDLE> handles = AddItemsOf(items.Get(), defs, FALSE);
    OPCITEMSTATE* read = nullptr;
    HRESULT* errors = nullptr;
    if (handles.size() == ids.size() &&
        SUCCEEDED(io->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), &read, &errors))) {
        states.assign(read, read + handles.size());
        CoTaskMemFree(read);
        CoTaskMemFree(errors);
    }
    server->RemoveGroup(handle, TRUE);
    return states;
}

OPCITEMVQT Vqt(const Variant& value) {
    OPCITEMVQT vqt{};
    vqt.vDataValue = Variant(value).Detach();
    return vqt;
}

class Da3ItemIOTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, server.As(&io));
        ASSERT_TRUE(config.flow->SetValueNow(Variant::FromDouble(7.5)));
    }
    void TearDown() override { SetDa3Offered(true); }

    ConfiguredDocument config;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    ComPtr<IOPCItemIO> io;
};
}  // namespace

TEST_F(Da3ItemIOTest, ReadsGiveWhatAGroupsDeviceReadGivesAndFailItemByItem) {
    config.doc.EnableFaultControl(true);
    config.pump->ForceQuality(OPC_QUALITY_LAST_KNOWN);
    const std::vector<std::wstring> ids = {L"Pump1.Flow",
                                           L"pump1.motor.TEMP",
                                           L"Pump1.Label",
                                           L"Boiler.Burner.Pressure",
                                           L"Pump1._Control.InService",
                                           L"Pump1.Valves.Inlet.Open"};
    const std::vector<OPCITEMSTATE> expected = GroupDeviceRead(server.Get(), ids);
    ASSERT_EQ(expected.size(), ids.size());
    for (DWORD maxAge : {0u, 0xFFFFFFFFu}) {
        const ReadResult read = ReadById(io.Get(), ids, std::vector<DWORD>(ids.size(), maxAge));
        ASSERT_EQ(read.hr, S_OK);
        for (size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ(read.items[i].error, S_OK) << ToUtf8(ids[i]);
            EXPECT_TRUE(read.items[i].value.Type() == V_VT(&expected[i].vDataValue) &&
                        VarCmp(const_cast<VARIANT*>(&read.items[i].value.Ref()),
                               const_cast<VARIANT*>(&expected[i].vDataValue), LOCALE_INVARIANT, 0) == VARCMP_EQ)
                << ToUtf8(ids[i]);
            EXPECT_EQ(read.items[i].quality, expected[i].wQuality) << ToUtf8(ids[i]);
            EXPECT_EQ(CompareFileTime(&read.items[i].time, &expected[i].ftTimeStamp), 0) << ToUtf8(ids[i]);
        }
    }
    EXPECT_EQ(ReadById(io.Get(), {L"Pump1.Flow"}, {0}).items[0].quality, OPC_QUALITY_LAST_KNOWN) << "the forcing";
    for (OPCITEMSTATE state : expected) VariantClear(&state.vDataValue);

    // Unknown and malformed IDs fail alone; the call is S_FALSE.
    const ReadResult mixed =
        ReadById(io.Get(), {L"Pump1.Nope", L"Pump1.Flow", L"Pump1..Flow", L"", L"Pump1"}, {0, 0, 0, 0, 0});
    ASSERT_EQ(mixed.hr, S_FALSE);
    const HRESULT errors[] = {OPC_E_UNKNOWNITEMID, S_OK, OPC_E_INVALIDITEMID, OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(mixed.items[i].error, errors[i]) << i;
        EXPECT_EQ(mixed.items[i].value.Type(), FAILED(errors[i]) ? VT_EMPTY : VT_R8) << i;
    }
    EXPECT_EQ(mixed.items[1].value.Ref().dblVal, 7.5);
    LPCWSTR id = L"Pump1.Flow";
    DWORD age = 0;
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errs = nullptr;
    EXPECT_EQ(io->Read(0, &id, &age, &values, &qualities, &times, &errs), E_INVALIDARG);
    EXPECT_EQ(values, nullptr);
}

TEST_F(Da3ItemIOTest, MaxAgeTakesThePolledValueOrGoesToTheDevice) {
    constexpr long long kDelayMs = 300;
    config.pump->SetResponseDelay(kDelayMs);
    config.boiler->SetResponseDelay(kDelayMs);
    config.pump->SetUpdateInterval(600);  // one cycle at the start of the run, then none for the test's life
    config.pump->SetOperatorPolling(true);
    for (int i = 0; i < 500 && config.pump->LastCycleEndedMs() == 0; ++i) Sleep(10);
    ASSERT_NE(config.pump->LastCycleEndedMs(), 0u);
    Sleep(60);  // the polled value is now at least this old
    struct Case {
        const wchar_t* id;
        DWORD maxAge;
        bool fromDevice;
    };
    const Case cases[] = {
        {L"Pump1.Flow", 0, true},
        {L"Pump1.Flow", 1, true},
        {L"Pump1.Flow", 30, true},
        {L"Pump1.Flow", 600000, false},
        {L"Pump1.Flow", 0x7FFFFFFF, false},
        {L"Pump1.Flow", 0xFFFFFFFF, false},
        {L"Pump1.Motor.Temp", 0x7FFFFFFE, false},
        // A device that does not poll keeps no value for reads without a group.
        {L"Boiler.Burner.Pressure", 0xFFFFFFFF, true},
        {L"Boiler.Burner.Pressure", 600000, true},
    };
    for (const Case& c : cases) {
        ReadResult read;
        const long long ms = MillisecondsOf([&] { read = ReadById(io.Get(), {c.id}, {c.maxAge}); });
        EXPECT_EQ(read.hr, S_OK) << ToUtf8(c.id) << " " << c.maxAge;
        if (c.fromDevice) {
            EXPECT_GE(ms, kDelayMs - 20) << ToUtf8(c.id) << " " << c.maxAge;
        } else {
            EXPECT_LT(ms, kDelayMs / 2) << ToUtf8(c.id) << " " << c.maxAge;
        }
    }
    // Out of service the device polls no more: the value ages, and the device
    // answers as it answers a group's device read.
    config.pump->SetInService(false);
    const ULONGLONG stopped = config.pump->LastCycleEndedMs();
    Sleep(100);
    EXPECT_EQ(config.pump->LastCycleEndedMs(), stopped);
    const std::vector<OPCITEMSTATE> group = GroupDeviceRead(server.Get(), {L"Pump1.Flow"});
    ASSERT_EQ(group.size(), 1u);
    ReadResult read;
    EXPECT_GE(MillisecondsOf([&] { read = ReadById(io.Get(), {L"Pump1.Flow"}, {50}); }), kDelayMs - 20);
    EXPECT_EQ(read.items.at(0).quality, group[0].wQuality);
    EXPECT_LT(MillisecondsOf([&] { read = ReadById(io.Get(), {L"Pump1.Flow"}, {0xFFFFFFFF}); }), kDelayMs / 2);
    config.pump->SetOperatorPolling(false);
    for (int i = 0; i < 500 && config.pump->LastCycleEndedMs() != 0; ++i) Sleep(10);
    EXPECT_EQ(config.pump->LastCycleEndedMs(), 0u) << "a run that ended keeps no value";
}

TEST_F(Da3ItemIOTest, ACallWaitsOnceForItsSlowestDeviceAndBlocksNoOtherClient) {
    config.pump->SetResponseDelay(400);
    config.boiler->SetResponseDelay(250);
    ComPtr<IOPCServer> otherServer = NewServer(config.doc);
    ComPtr<IOPCItemIO> other;
    ComPtr<IOPCBrowse> otherBrowse;
    ASSERT_EQ(S_OK, otherServer.As(&other));
    ASSERT_EQ(S_OK, otherServer.As(&otherBrowse));
    long long beside = -1;
    std::thread thread;
    const long long both = MillisecondsOf([&] {
        thread = std::thread([&] {
            Sleep(100);  // well inside the slow read's wait
            beside = MillisecondsOf([&] {
                // The same device, answering at once now: nothing of the other read stands in the way.
                config.pump->SetResponseDelay(0);
                EXPECT_EQ(ReadById(other.Get(), {L"Pump1.Flow"}, {0}).hr, S_OK);
                LPWSTR point = nullptr;
                BOOL more = FALSE;
                DWORD count = 0;
                OPCBROWSEELEMENT* elements = nullptr;
                otherBrowse->Browse(const_cast<LPWSTR>(L"Pump1"), &point, 0, OPC_BROWSE_FILTER_ALL,
                                    const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), FALSE, FALSE, 0, nullptr, &more,
                                    &count, &elements);
                for (DWORD i = 0; i < count; ++i) {
                    CoTaskMemFree(elements[i].szName);
                    CoTaskMemFree(elements[i].szItemID);
                }
                CoTaskMemFree(elements);
                CoTaskMemFree(point);
                config.pump->SetResponseDelay(400);
            });
        });
        const ReadResult read =
            ReadById(io.Get(), {L"Pump1.Flow", L"Boiler.Burner.Pressure", L"Pump1.Speed"}, {0, 0, 0});
        EXPECT_EQ(read.hr, S_OK);
    });
    thread.join();
    EXPECT_GE(both, 380);
    EXPECT_LT(both, 400 + 250) << "one wait, not one per device";
    EXPECT_GE(beside, 0);
    EXPECT_LT(beside, 200) << "another client waited on this one's read";
    // Writes wait as a group's write does.
    OPCITEMVQT vqt = Vqt(Variant::FromDouble(3));
    LPCWSTR id = L"Pump1.Flow";
    HRESULT* errors = nullptr;
    EXPECT_GE(MillisecondsOf([&] { EXPECT_EQ(io->WriteVQT(1, &id, &vqt, &errors), S_OK); }), 380);
    CoTaskMemFree(errors);
    VariantClear(&vqt.vDataValue);
}

TEST_F(Da3ItemIOTest, WriteVqtWritesValuesAndRefusesQualityAndTimestampWhileNotAllowed) {
    FILETIME when{};
    when.dwHighDateTime = 30000000;
    struct Case {
        const wchar_t* id;
        Variant value;
        bool quality;
        bool timestamp;
        HRESULT expected;
        Variant after;  // VT_EMPTY: not read back
    };
    const Case cases[] = {
        {L"Pump1.Flow", Variant::FromString(L"twelve"), false, false, OPC_E_BADTYPE, Variant()},
        {L"Pump1.Flow", Variant::FromDouble(12.25), false, false, S_OK, Variant::FromDouble(12.25)},
        {L"Pump1.Code", Variant::FromString(L"42"), false, false, S_OK, Variant::FromByte(42)},
        {L"Pump1.Flow", Variant::FromDouble(99), true, false, OPC_E_NOTSUPPORTED, Variant::FromDouble(12.25)},
        {L"Pump1.Flow", Variant::FromDouble(98), false, true, OPC_E_NOTSUPPORTED, Variant::FromDouble(12.25)},
        {L"Pump1.Flow", Variant::FromDouble(97), true, true, OPC_E_NOTSUPPORTED, Variant::FromDouble(12.25)},
        {L"Pump1.Speed", Variant::FromLong(5), false, false, OPC_E_BADRIGHTS, Variant()},
        {L"Pump1.Nope", Variant::FromDouble(1), false, false, OPC_E_UNKNOWNITEMID, Variant()},
        {L"Pump1..Flow", Variant::FromDouble(1), false, false, OPC_E_INVALIDITEMID, Variant()},
    };
    std::vector<LPCWSTR> ids;
    std::vector<OPCITEMVQT> vqts;
    for (const Case& c : cases) {
        ids.push_back(c.id);
        OPCITEMVQT vqt = Vqt(c.value);
        vqt.bQualitySpecified = c.quality;
        vqt.wQuality = OPC_QUALITY_UNCERTAIN;
        vqt.bTimeStampSpecified = c.timestamp;
        vqt.ftTimeStamp = when;
        vqts.push_back(vqt);
    }
    // One item at a time, so that each case sees the value the ones before left.
    for (size_t i = 0; i < ids.size(); ++i) {
        HRESULT* errors = nullptr;
        const FILETIME before = config.flow->GetTimestamp();
        ASSERT_EQ(io->WriteVQT(1, &ids[i], &vqts[i], &errors), FAILED(cases[i].expected) ? S_FALSE : S_OK)
            << ToUtf8(cases[i].id);
        EXPECT_EQ(errors[0], cases[i].expected) << ToUtf8(cases[i].id) << " case " << i;
        CoTaskMemFree(errors);
        if (cases[i].after.IsEmpty()) continue;
        const ReadResult read = ReadById(io.Get(), {cases[i].id}, {0});
        EXPECT_EQ(read.items.at(0).value.Type(), cases[i].after.Type()) << i;
        EXPECT_EQ(VarCmp(const_cast<VARIANT*>(&read.items[0].value.Ref()), const_cast<VARIANT*>(&cases[i].after.Ref()),
                         LOCALE_INVARIANT, 0),
                  VARCMP_EQ)
            << "case " << i;
        EXPECT_EQ(read.items[0].quality, OPC_QUALITY_GOOD) << i;
        if (cases[i].expected == OPC_E_NOTSUPPORTED) {
            const FILETIME after = config.flow->GetTimestamp();
            EXPECT_EQ(CompareFileTime(&before, &after), 0) << "nothing written, case " << i;
        }
    }
    // All at once: each item's own result, S_FALSE for the call.
    HRESULT* errors = nullptr;
    ASSERT_EQ(io->WriteVQT(static_cast<DWORD>(ids.size()), ids.data(), vqts.data(), &errors), S_FALSE);
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(errors[i], cases[i].expected) << i;
    CoTaskMemFree(errors);
    // A 2.05a client sees the value a 3.0 client wrote.
    const std::vector<OPCITEMSTATE> seen = GroupDeviceRead(server.Get(), {L"Pump1.Flow"});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].vDataValue.dblVal, 12.25);
    errors = nullptr;
    EXPECT_EQ(io->WriteVQT(0, ids.data(), vqts.data(), &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    for (OPCITEMVQT& vqt : vqts) VariantClear(&vqt.vDataValue);
}

TEST_F(Da3ItemIOTest, TheSwitchHidesTheDa3InterfacesAndTheClientsVersionIsRecorded) {
    ComPtr<IOPCServer> fresh = NewServer(config.doc);
    auto* object = static_cast<OPCServer*>(fresh.Get());
    EXPECT_EQ(object->Describe().daVersion, L"1.0a") << "IOPCServer";
    ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(fresh.As(&properties), S_OK);
    EXPECT_EQ(object->Describe().daVersion, L"2.05a");

    SetDa3Offered(false);
    ComPtr<IOPCBrowse> browse;
    ComPtr<IOPCItemIO> itemIo;
    EXPECT_EQ(fresh.As(&browse), E_NOINTERFACE);
    EXPECT_EQ(fresh.As(&itemIo), E_NOINTERFACE);
    EXPECT_EQ(server.As(&itemIo), E_NOINTERFACE) << "whoever asks";
    EXPECT_EQ(browse, nullptr);
    EXPECT_EQ(object->Describe().daVersion, L"2.05a") << "refused interfaces count for nothing";
    EXPECT_EQ(ReadById(io.Get(), {L"Pump1.Flow"}, {0}).hr, S_OK) << "held before: it keeps working";
    ComPtr<IOPCServer> offOther = NewServer(config.doc);
    EXPECT_EQ(offOther.As(&browse), E_NOINTERFACE);
    ComPtr<IOPCCommon> common;
    EXPECT_EQ(offOther.As(&common), S_OK);

    SetDa3Offered(true);
    EXPECT_EQ(offOther.As(&browse), S_OK);
    EXPECT_EQ(static_cast<OPCServer*>(offOther.Get())->Describe().daVersion, L"3.0");
    ComPtr<IOPCServer> back;
    ASSERT_EQ(browse.As(&back), S_OK);
    EXPECT_EQ(static_cast<OPCServer*>(offOther.Get())->Describe().daVersion, L"3.0") << "never goes down";

    // A group reports its own through the link.
    ServerLink link(nullptr, config.doc, {});
    link.NoteDaVersion(DaVersion::Da30);
    link.NoteDaVersion(DaVersion::Da205a);
    EXPECT_EQ(link.HighestDaVersion(), DaVersion::Da30);
    struct Case {
        const IID* iid;
        DaVersion version;
    };
    for (const Case& c : {Case{&IID_IOPCServer, DaVersion::Da10a}, Case{&IID_IDataObject, DaVersion::Da10a},
                          Case{&IID_IOPCAsyncIO2, DaVersion::Da205a}, Case{&IID_IOPCCommon, DaVersion::Da205a},
                          Case{&IID_IOPCSyncIO2, DaVersion::Da30}, Case{&IID_IOPCItemIO, DaVersion::Da30},
                          Case{&IID_IUnknown, DaVersion::None}, Case{&IID_IMarshal, DaVersion::None}}) {
        EXPECT_EQ(DaVersionOf(*c.iid), c.version);
    }
}
