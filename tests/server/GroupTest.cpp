// Groups and items in process, on a real document: the server's group table,
// group state, item management, synchronous I/O, the change rule and the
// item enumerator.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "COPCItem.h"
#include "FileTime.h"
#include "OPCGroup.h"
#include "OpcConstants.h"
#include "ServerTestSupport.h"
#include "WaitFor.h"

namespace {
struct AddedGroup {
    HRESULT hr = E_FAIL;
    OPCHANDLE handle = 0;
    DWORD revisedRate = 12345;
    ComPtr<IOPCItemMgt> items;
};

AddedGroup Add(IOPCServer* server, LPCWSTR name, DWORD rate = 1000, BOOL active = FALSE) {
    AddedGroup g;
    g.hr = server->AddGroup(name, active, rate, 77, nullptr, nullptr, 0, &g.handle, &g.revisedRate, IID_IOPCItemMgt,
                            reinterpret_cast<LPUNKNOWN*>(g.items.GetAddressOf()));
    return g;
}

std::wstring NameOf(IUnknown* group) {
    ComPtr<IOPCGroupStateMgt> state;
    group->QueryInterface(IID_PPV_ARGS(&state));
    LPWSTR name = nullptr;
    if (!state || FAILED(state->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr))) {
        return L"<failed>";
    }
    std::wstring result(name);
    CoTaskMemFree(name);
    return result;
}

OPCITEMDEF Def(LPCWSTR itemId, OPCHANDLE client, VARTYPE requested = VT_EMPTY, BOOL active = TRUE) {
    OPCITEMDEF d{};
    d.szAccessPath = const_cast<LPWSTR>(L"");
    d.szItemID = const_cast<LPWSTR>(itemId);
    d.bActive = active;
    d.hClient = client;
    d.vtRequestedDataType = requested;
    return d;
}

// Adds items and gives their server handles (0 where the item failed).
std::vector<OPCHANDLE> AddItems(IOPCItemMgt* items, std::vector<OPCITEMDEF> defs, HRESULT* hr = nullptr,
                                std::vector<HRESULT>* errors = nullptr) {
    OPCITEMRESULT* results = nullptr;
    HRESULT* errs = nullptr;
    const HRESULT result = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errs);
    if (hr != nullptr) *hr = result;
    std::vector<OPCHANDLE> handles;
    if (FAILED(result)) return handles;
    for (size_t i = 0; i < defs.size(); ++i) {
        handles.push_back(results[i].hServer);
        if (errors != nullptr) errors->push_back(errs[i]);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errs);
    return handles;
}

struct ReadResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<OPCITEMSTATE> states;
    ~ReadResult() {
        for (OPCITEMSTATE& s : states) VariantClear(&s.vDataValue);
    }
};

void Read(IOPCItemMgt* items, std::vector<OPCHANDLE> handles, ReadResult& out) {
    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, items->QueryInterface(IID_PPV_ARGS(&io)));
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    out.hr = io->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
    if (states == nullptr || errors == nullptr) return;
    out.states.assign(states, states + handles.size());
    out.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

std::vector<HRESULT> Remove(IOPCItemMgt* items, std::vector<OPCHANDLE> handles, HRESULT* hr) {
    HRESULT* errors = nullptr;
    *hr = items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
    std::vector<HRESULT> result;
    if (errors != nullptr) result.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return result;
}

class GroupTest : public ::testing::Test {
protected:
    ConfiguredDocument config;
    ComPtr<IOPCServer> server = NewServer(config.doc);
};
}  // namespace

TEST_F(GroupTest, GroupNamesAreGeneratedReusedAndUniquePerServer) {
    AddedGroup g1 = Add(server.Get(), L"");
    AddedGroup g2 = Add(server.Get(), nullptr, 0);
    ASSERT_EQ(S_OK, g1.hr);
    ASSERT_EQ(S_OK, g2.hr);
    EXPECT_EQ(L"Group1", NameOf(g1.items.Get()));
    EXPECT_EQ(L"Group2", NameOf(g2.items.Get()));
    EXPECT_EQ(0u, g2.revisedRate) << "the rate is never revised";
    EXPECT_NE(g1.handle, g2.handle);
    EXPECT_EQ(OPC_E_DUPLICATENAME, Add(server.Get(), L"Group2").hr);
    EXPECT_EQ(S_OK, Add(server.Get(), L"group2", 1).hr) << "names differ by case";

    ComPtr<IOPCServer> other = NewServer(config.doc);
    EXPECT_EQ(S_OK, Add(other.Get(), L"Group2").hr) << "names are per connection";

    ComPtr<IUnknown> found;
    EXPECT_EQ(S_OK, server->GetGroupByName(L"Group2", IID_IUnknown, found.GetAddressOf()));
    ComPtr<IUnknown> identity;
    g2.items.As(&identity);
    EXPECT_EQ(identity.Get(), found.Get());
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"GROUP2", IID_IUnknown, found.ReleaseAndGetAddressOf()));
    EXPECT_EQ(nullptr, found.Get());
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(nullptr, IID_IUnknown, found.ReleaseAndGetAddressOf()));
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"Group1", IID_IUnknown, nullptr));
    EXPECT_EQ(E_INVALIDARG,
              server->AddGroup(L"X", FALSE, 0, 0, nullptr, nullptr, 0, nullptr, nullptr, IID_IUnknown, nullptr));

    // Removed, Group1 is free again; its handle is no longer the server's.
    EXPECT_EQ(S_OK, server->RemoveGroup(g1.handle, FALSE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(g1.handle, FALSE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(0, TRUE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(Add(other.Get(), L"Foreign").handle, FALSE));
    AddedGroup again = Add(server.Get(), L"");
    EXPECT_EQ(L"Group1", NameOf(again.items.Get()));
}

TEST_F(GroupTest, ARemovedGroupHeldByItsClientRunsOnUncountedAndOutlivesItsServer) {
    AddedGroup held = Add(server.Get(), L"Held");
    Add(server.Get(), L"Other");
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    EXPECT_EQ(2u, status->dwGroupCount);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    ASSERT_EQ(S_OK, server->RemoveGroup(held.handle, FALSE));
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    EXPECT_EQ(1u, status->dwGroupCount);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    ComPtr<IUnknown> found;
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"Held", IID_IUnknown, found.GetAddressOf()));

    std::vector<OPCHANDLE> handles = AddItems(held.items.Get(), {Def(L"Pump1.Flow", 1)});
    ASSERT_EQ(1u, handles.size());
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, held.items.As(&state));
    server.Reset();  // the client lets go of the server, keeping the group
    ReadResult read;
    Read(held.items.Get(), handles, read);
    EXPECT_EQ(S_OK, read.hr);
    EXPECT_EQ(E_FAIL, state->SetName(L"Renamed"));
    ComPtr<IUnknown> clone;
    EXPECT_EQ(E_FAIL, state->CloneGroup(L"Copy", IID_IUnknown, clone.GetAddressOf()));
    EXPECT_EQ(1, config.flow->GetClientReferenceCount());
    held.items.Reset();
    state.Reset();
    EXPECT_EQ(0, config.flow->GetClientReferenceCount()) << "the last release destroyed the group and its item";
}

TEST_F(GroupTest, StateNamesAndClones) {
    AddedGroup g = Add(server.Get(), L"Main", 500);
    AddedGroup other = Add(server.Get(), L"Other");
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, g.items.As(&state));

    DWORD rate = 0, revised = 0;
    BOOL active = TRUE;
    OPCHANDLE client = 0, handle = 0;
    ASSERT_EQ(S_OK, state->GetState(&rate, &active, nullptr, nullptr, nullptr, nullptr, &client, &handle));
    EXPECT_EQ(500u, rate);
    EXPECT_FALSE(active);
    EXPECT_EQ(77u, client);
    EXPECT_EQ(g.handle, handle);
    EXPECT_EQ(S_OK, state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(500u, revised);
    DWORD requested = 3;
    BOOL on = TRUE;
    EXPECT_EQ(S_OK, state->SetState(&requested, &revised, &on, nullptr, nullptr, nullptr, nullptr))
        << "activating with nothing to flush is no failure";
    EXPECT_EQ(3u, revised);
    EXPECT_EQ(S_OK, state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr)) << "no change";

    EXPECT_EQ(S_OK, state->SetName(L"Main"));
    EXPECT_EQ(OPC_E_DUPLICATENAME, state->SetName(L"Other"));
    EXPECT_EQ(E_FAIL, state->SetName(nullptr));
    EXPECT_EQ(S_OK, state->SetName(L"Renamed"));
    EXPECT_EQ(S_OK, Add(server.Get(), L"Main").hr) << "the old name is free";

    ComPtr<IOPCPublicGroupStateMgt> publicState;
    ASSERT_EQ(S_OK, g.items.As(&publicState));
    BOOL isPublic = TRUE;
    EXPECT_EQ(S_OK, publicState->GetState(&isPublic));
    EXPECT_FALSE(isPublic);
    EXPECT_EQ(E_INVALIDARG, publicState->GetState(nullptr));
    EXPECT_EQ(E_NOTIMPL, publicState->MoveToPublic());

    // A clone is inactive, keeps rate and client handle, and has no items.
    AddItems(g.items.Get(), {Def(L"Pump1.Flow", 1)});
    ComPtr<IOPCItemMgt> clone;
    ASSERT_EQ(S_OK, state->CloneGroup(L"", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(clone.GetAddressOf())));
    EXPECT_EQ(L"Group1", NameOf(clone.Get()));
    ComPtr<IOPCGroupStateMgt> cloneState;
    clone.As(&cloneState);
    ASSERT_EQ(S_OK, cloneState->GetState(&rate, &active, nullptr, nullptr, nullptr, nullptr, &client, nullptr));
    EXPECT_EQ(3u, rate);
    EXPECT_FALSE(active);
    EXPECT_EQ(77u, client);
    ComPtr<IEnumOPCItemAttributes> enumerator;
    ASSERT_EQ(S_OK, clone->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                            reinterpret_cast<LPUNKNOWN*>(enumerator.GetAddressOf())));
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 9;
    EXPECT_EQ(S_FALSE, enumerator->Next(1, &records, &fetched));
    EXPECT_EQ(0u, fetched);
    CoTaskMemFree(records);
    ComPtr<IUnknown> duplicate;
    EXPECT_EQ(OPC_E_DUPLICATENAME, state->CloneGroup(L"Other", IID_IUnknown, duplicate.GetAddressOf()));
    EXPECT_EQ(E_INVALIDARG, state->CloneGroup(L"Fresh", IID_IUnknown, nullptr));
}

TEST_F(GroupTest, AddItemsReportsEachDefinitionAndValidationKeepsNothing) {
    AddedGroup g = Add(server.Get(), L"G");
    std::vector<OPCITEMDEF> defs = {Def(L"pump1.Flow", 10),
                                    Def(L"Pump1.Nothing", 11),
                                    Def(L"Pump1.Speed", 12),
                                    Def(L"", 13),
                                    Def(L".", 14),
                                    Def(L"Pump1.Motor.", 15),
                                    Def(L"Pump1.Motor.Bearings.Vibration", 16, VT_BSTR)};
    std::wstring longId(100000, L'x');
    defs.push_back(Def(longId.c_str(), 17));
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, g.items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(VT_R8, results[0].vtCanonicalDataType);
    EXPECT_EQ(DWORD(OPC_READABLE | OPC_WRITEABLE), results[0].dwAccessRights);
    EXPECT_NE(0u, results[0].hServer);
    EXPECT_EQ(S_OK, errors[2]);
    EXPECT_EQ(DWORD(OPC_READABLE), results[2].dwAccessRights);
    EXPECT_EQ(VT_I4, results[2].vtCanonicalDataType);
    EXPECT_EQ(S_OK, errors[6]);
    for (int unknown : {1, 3, 4, 5, 7}) {
        EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[unknown]) << unknown;
        const OPCITEMRESULT zero{};
        EXPECT_EQ(0, memcmp(&zero, &results[unknown], sizeof zero)) << unknown;
    }
    std::vector<OPCHANDLE> handles{results[0].hServer, results[6].hServer};
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(1, config.flow->GetClientReferenceCount());

    // VT_EMPTY gives the canonical type; a read delivers the requested one.
    config.flow->SetValueNow(Variant::FromDouble(2.5));
    config.vibration->SetValueNow(Variant::FromDouble(7.25));
    ReadResult read;
    Read(g.items.Get(), handles, read);
    ASSERT_EQ(S_OK, read.hr);
    EXPECT_EQ(10u, read.states[0].hClient);
    EXPECT_EQ(VT_R8, V_VT(&read.states[0].vDataValue));
    EXPECT_EQ(2.5, V_R8(&read.states[0].vDataValue));
    EXPECT_EQ(OPC_QUALITY_GOOD, read.states[0].wQuality);
    EXPECT_EQ(VT_BSTR, V_VT(&read.states[1].vDataValue));

    // Validation: the same records, but nothing is kept.
    ASSERT_EQ(S_FALSE, g.items->ValidateItems(2, defs.data(), FALSE, &results, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[1]);
    EXPECT_EQ(VT_R8, results[0].vtCanonicalDataType);
    const OPCHANDLE validated = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(1, config.flow->GetClientReferenceCount());
    ReadResult stale;
    Read(g.items.Get(), {validated}, stale);
    EXPECT_EQ(E_FAIL, stale.hr);

    EXPECT_EQ(E_INVALIDARG, g.items->AddItems(1, nullptr, &results, &errors));
    EXPECT_EQ(E_INVALIDARG, g.items->AddItems(1, defs.data(), nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, g.items->ValidateItems(1, defs.data(), FALSE, &results, nullptr));
    EXPECT_EQ(S_OK, g.items->AddItems(0, defs.data(), &results, &errors));
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
}

TEST_F(GroupTest, HandlesAreValidOnlyInTheirOwnGroupAndCallsStopAtTheFirstInvalidOne) {
    AddedGroup g = Add(server.Get(), L"G");
    AddedGroup other = Add(server.Get(), L"H");
    // Two items with one client handle: both live, each removed by itself.
    std::vector<OPCHANDLE> h =
        AddItems(g.items.Get(), {Def(L"Pump1.Flow", 5), Def(L"Pump1.Flow", 5), Def(L"Pump1.Speed", 6)});
    std::vector<OPCHANDLE> foreign = AddItems(other.items.Get(), {Def(L"Pump1.Flow", 5)});
    ASSERT_EQ(3, config.flow->GetClientReferenceCount());

    HRESULT hr = S_OK;
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, E_FAIL}),
              Remove(g.items.Get(), {h[0], foreign[0], h[1]}, &hr));
    EXPECT_EQ(E_FAIL, hr);
    // A removed item lets go of its tag on the group's thread, soon after the call.
    EXPECT_TRUE(WaitFor(5000, [&] { return config.flow->GetClientReferenceCount() == 2; }))
        << "the first was removed, the foreign one is untouched";
    Sleep(50);
    EXPECT_EQ(2, config.flow->GetClientReferenceCount());

    // A client that never pauses still sees its removed item let go of its tag.
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, g.items.As(&state));
    Remove(g.items.Get(), {h[1]}, &hr);
    bool released = false;
    for (const DWORD start = GetTickCount(); !released && GetTickCount() - start < 3000;) {
        DWORD rate = 0;
        state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        released = config.flow->GetClientReferenceCount() == 1;
    }
    EXPECT_TRUE(released);
    state.Reset();
    h[1] = AddItems(g.items.Get(), {Def(L"Pump1.Flow", 5)})[0];

    // SetClientHandles moves nothing: the item is still found by its server handle.
    HRESULT* errors = nullptr;
    OPCHANDLE newClient[] = {42, 43};
    OPCHANDLE pair[] = {h[1], h[2]};
    ASSERT_EQ(S_OK, g.items->SetClientHandles(2, pair, newClient, &errors));
    CoTaskMemFree(errors);
    VARTYPE types[] = {VT_BSTR, VT_EMPTY};
    ASSERT_EQ(S_OK, g.items->SetDatatypes(2, pair, types, &errors));
    CoTaskMemFree(errors);
    OPCHANDLE withZero[] = {h[1], 0};
    EXPECT_EQ(E_FAIL, g.items->SetActiveState(2, withZero, FALSE, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, g.items->SetClientHandles(1, pair, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, g.items->SetDatatypes(1, nullptr, types, &errors));
    EXPECT_EQ(E_INVALIDARG, g.items->RemoveItems(1, pair, nullptr));

    ReadResult read;
    Read(g.items.Get(), {h[1], h[2]}, read);
    ASSERT_EQ(S_OK, read.hr);
    EXPECT_EQ(42u, read.states[0].hClient);
    EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, read.states[0].wQuality) << "made inactive above";
    EXPECT_EQ(43u, read.states[1].hClient);
    ReadResult partial;
    Read(g.items.Get(), {h[2], foreign[0], h[1]}, partial);
    EXPECT_EQ(E_FAIL, partial.hr);
    EXPECT_EQ(S_OK, partial.errors[0]);
    EXPECT_EQ(43u, partial.states[0].hClient) << "items before the invalid handle are read";

    // The group's end destroys both remaining items; the other group keeps its own.
    g.items.Reset();
    server->RemoveGroup(g.handle, FALSE);
    EXPECT_EQ(1, config.flow->GetClientReferenceCount());
}

TEST_F(GroupTest, ItemsWhoseTagsWentWithTheConfigurationReadAConfigurationError) {
    AddedGroup g = Add(server.Get(), L"G", 100, TRUE);
    const std::vector<OPCHANDLE> h =
        AddItems(g.items.Get(), {Def(L"Pump1.Flow", 1), Def(L"Boiler.Burner.Pressure", 2)});
    ReadResult before;
    Read(g.items.Get(), h, before);
    ASSERT_EQ(S_OK, before.hr);
    // A new file replaces the tags under the items: nothing of them is read again.
    config.doc.Clear();
    for (int pass = 0; pass < 2; ++pass) {
        ReadResult after;
        Read(g.items.Get(), h, after);
        ASSERT_EQ(2u, after.states.size());
        for (const OPCITEMSTATE& state : after.states) EXPECT_EQ(OPC_QUALITY_CONFIG_ERROR, state.wQuality);
    }
}

TEST_F(GroupTest, SyncWriteChecksAccessAndGoesThroughTheTagsClientWrite) {
    AddedGroup g = Add(server.Get(), L"G");
    std::vector<OPCHANDLE> h = AddItems(g.items.Get(), {Def(L"Pump1.Speed", 1), Def(L"Pump1.Flow", 2)});
    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, g.items.As(&io));
    VARIANT values[2];
    VariantInit(&values[0]);
    VariantInit(&values[1]);
    V_VT(&values[0]) = VT_I4;
    V_I4(&values[0]) = 9;
    V_VT(&values[1]) = VT_BSTR;
    V_BSTR(&values[1]) = SysAllocString(L"12.75");
    HRESULT* errors = nullptr;
    EXPECT_EQ(S_FALSE, io->Write(2, h.data(), values, &errors));
    EXPECT_EQ(OPC_E_BADRIGHTS, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    CoTaskMemFree(errors);
    Variant flow = config.flow->GetValue();
    EXPECT_EQ(VT_R8, flow.Type());
    EXPECT_EQ(12.75, flow.Ref().dblVal) << "converted to the tag's type";

    // A value the tag cannot take in its type.
    SysFreeString(V_BSTR(&values[1]));
    V_BSTR(&values[1]) = SysAllocString(L"not a number");
    EXPECT_EQ(S_FALSE, io->Write(1, &h[1], &values[1], &errors));
    EXPECT_EQ(OPC_E_BADTYPE, errors[0]);
    CoTaskMemFree(errors);
    EXPECT_EQ(12.75, config.flow->GetValue().Ref().dblVal);
    VariantClear(&values[1]);
    OPCHANDLE bad[] = {h[1], 999999};
    VARIANT two[2] = {values[0], values[0]};
    EXPECT_EQ(E_FAIL, io->Write(2, bad, two, &errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
    CoTaskMemFree(errors);
    EXPECT_EQ(9.0, config.flow->GetValue().Ref().dblVal) << "written before the invalid handle";
    EXPECT_EQ(E_INVALIDARG, io->Write(1, h.data(), nullptr, &errors));
}

TEST_F(GroupTest, AnItemBlocksItsTagsDeletionAndAnActiveGroupMakesItsDevicePoll) {
    AddedGroup g = Add(server.Get(), L"G", 50, TRUE);
    std::vector<OPCHANDLE> h = AddItems(g.items.Get(), {Def(L"Pump1.Flow", 1), Def(L"Pump1.Speed", 2)});
    EXPECT_EQ(2u, config.pump->GetPollRequests(kPollOpcItems));
    EXPECT_FALSE(config.pump->RemoveTag(config.flow));
    EXPECT_FALSE(config.pump->CanDelete());

    // The data thread scans the active group and stamps the server's last update.
    EXPECT_TRUE([&] {
        for (int i = 0; i < 100; ++i) {
            OPCSERVERSTATUS* status = nullptr;
            server->GetStatus(&status);
            const bool stamped = FileTimeToU64(status->ftLastUpdateTime) != 0;
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
            if (stamped) return true;
            Sleep(20);
        }
        return false;
    }());

    ComPtr<IOPCGroupStateMgt> state;
    g.items.As(&state);
    BOOL off = FALSE;
    EXPECT_EQ(S_OK, state->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, config.pump->GetPollRequests(kPollOpcItems));
    BOOL on = TRUE;
    state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(2u, config.pump->GetPollRequests(kPollOpcItems));

    HRESULT hr = E_FAIL;
    Remove(g.items.Get(), {h[0]}, &hr);
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(WaitFor(5000, [&] { return config.pump->GetPollRequests(kPollOpcItems) == 1u; }))
        << "the removed item's request ends soon after the call";
    g.items.Reset();
    state.Reset();
    server.Reset();
    EXPECT_EQ(0u, config.pump->GetPollRequests(kPollOpcItems));
    // Once the device's polling run has let go too, the tag can go.
    bool removed = false;
    for (int i = 0; i < 200 && !removed; ++i) {
        removed = config.pump->RemoveTag(config.flow);
        if (!removed) Sleep(10);
    }
    EXPECT_TRUE(removed);
    if (removed) delete config.flow;
}

TEST(ItemChangeRule, DeadbandOfATagWithValueLimitsAndInactiveItems) {
    // Beside the 1.0a mark (every scan of a good tag), the 2.0 callbacks
    // report by exception: TakeCallbackChange is true only for a moved value
    // or quality, or a new connection.
    ConfiguredDocument config;
    ToviTag* tag = config.flow;
    tag->EnableValueLimits(true);
    tag->SetValueLimits(0, 200);
    tag->SetDeadband(1);  // threshold 2.0
    tag->SetValueNow(Variant::FromDouble(50.0));

    COPCItem item(tag, 1);
    item.SetActive(true);
    item.Update();
    EXPECT_TRUE(item.IsChanged()) << "the first value is taken whatever the deadband";
    EXPECT_TRUE(item.TakeCallbackChange(1));
    EXPECT_EQ(50.0, item.Value().Ref().dblVal);
    const FILETIME stamp{1, 1};
    tag->SetValue(Variant::FromDouble(51.9), OPC_QUALITY_GOOD, stamp);
    item.Update();
    EXPECT_EQ(50.0, item.Value().Ref().dblVal) << "inside the deadband";
    EXPECT_TRUE(item.IsChanged()) << "the timestamp moved";
    EXPECT_FALSE(item.TakeCallbackChange(1)) << "no value or quality moved";
    EXPECT_TRUE(item.TakeCallbackChange(2)) << "a new connection gets it";
    item.Update();
    EXPECT_FALSE(item.IsChanged());
    tag->SetValue(Variant::FromDouble(52.1), OPC_QUALITY_GOOD, stamp);
    item.Update();
    EXPECT_TRUE(item.IsChanged());
    EXPECT_TRUE(item.TakeCallbackChange(2));
    EXPECT_EQ(52.1, item.Value().Ref().dblVal);
    tag->SetValue(Variant::FromDouble(80.0), 0x40, stamp);
    item.Update();
    EXPECT_EQ(52.1, item.Value().Ref().dblVal) << "a quality other than good keeps the value";
    EXPECT_EQ(0x40, item.Quality());
    EXPECT_TRUE(item.TakeCallbackChange(2)) << "the quality moved";
    EXPECT_FALSE(item.TakeCallbackChange(2));

    item.SetActive(false);
    item.Update();
    EXPECT_TRUE(item.IsChanged());
    EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, item.Quality());
    item.Update();
    EXPECT_FALSE(item.IsChanged()) << "reported once";
    item.SetActive(true);
    item.Update();
    EXPECT_TRUE(item.TakeCallbackChange(2)) << "active again, reported anew";

    // Without limits every scan of a good tag reports on the 1.0a path only.
    COPCItem plain(config.vibration, 2);
    plain.SetActive(true);
    config.vibration->SetValueNow(Variant::FromDouble(1));
    plain.Update();
    EXPECT_TRUE(plain.TakeCallbackChange(1));
    plain.Update();
    EXPECT_TRUE(plain.IsChanged());
    EXPECT_FALSE(plain.TakeCallbackChange(1));
    config.vibration->SetValueNow(Variant::FromDouble(1.0000001));
    plain.Update();
    EXPECT_TRUE(plain.TakeCallbackChange(1)) << "any move without limits";

    // A live item follows a change of its tag's rule at the next scan, though no value moved.
    config.vibration->EnableValueLimits(true);
    config.vibration->SetValueLimits(0, 10);
    plain.Update();
    EXPECT_FALSE(plain.IsChanged()) << "limits now: no mark without a move";
    config.vibration->SetValueNow(Variant::FromDouble(1.5));
    plain.Update();
    EXPECT_TRUE(plain.TakeCallbackChange(1));
    config.vibration->SetDeadband(50);  // threshold 5.0
    config.vibration->SetValue(Variant::FromDouble(4), OPC_QUALITY_GOOD, stamp);
    plain.Update();
    EXPECT_EQ(1.5, plain.Value().Ref().dblVal) << "the new deadband holds";
    config.vibration->ClearValueLimits();
    plain.Update();
    EXPECT_EQ(4.0, plain.Value().Ref().dblVal) << "limits gone: the value is taken";
    EXPECT_TRUE(plain.IsChanged());
}

TEST_F(GroupTest, ItemEnumeratorWalksTheLiveTableAndKeepsItsGroup) {
    AddedGroup g = Add(server.Get(), L"G");
    config.flow->EnableValueLimits(true);
    config.flow->SetValueLimits(10, 90);
    std::vector<OPCHANDLE> h = AddItems(g.items.Get(), {Def(L"Pump1.Flow", 1, VT_I4), Def(L"Pump1.Speed", 2)});
    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(S_OK,
              g.items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(e.GetAddressOf())));
    EXPECT_EQ(E_INVALIDARG, g.items->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr));
    // The client lets go of group and server: the enumerator keeps the group.
    g.items.Reset();
    server.Reset();

    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(S_FALSE, e->Next(3, &records, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_STREQ(L"Pump1.Flow", records[0].szItemID);
    EXPECT_STREQ(L"", records[0].szAccessPath);
    EXPECT_EQ(h[0], records[0].hServer);
    EXPECT_EQ(1u, records[0].hClient);
    EXPECT_EQ(VT_I4, records[0].vtRequestedDataType);
    EXPECT_EQ(VT_R8, records[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_ANALOG, records[0].dwEUType);
    ASSERT_EQ(VT_ARRAY | VT_R8, V_VT(&records[0].vEUInfo));
    double* limits = nullptr;
    SafeArrayAccessData(V_ARRAY(&records[0].vEUInfo), reinterpret_cast<void**>(&limits));
    EXPECT_EQ(10.0, limits[0]);
    EXPECT_EQ(90.0, limits[1]);
    SafeArrayUnaccessData(V_ARRAY(&records[0].vEUInfo));
    EXPECT_EQ(OPC_NOENUM, records[1].dwEUType);
    EXPECT_EQ(VT_EMPTY, V_VT(&records[1].vEUInfo));
    EXPECT_EQ(DWORD(OPC_READABLE), records[1].dwAccessRights);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(records[i].szItemID);
        CoTaskMemFree(records[i].szAccessPath);
        VariantClear(&records[i].vEUInfo);
    }
    CoTaskMemFree(records);
    EXPECT_EQ(S_FALSE, e->Next(1, &records, &fetched));
    EXPECT_EQ(0u, fetched);
    CoTaskMemFree(records);
    EXPECT_EQ(E_INVALIDARG, e->Next(1, nullptr, &fetched));

    ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.GetAddressOf()));
    EXPECT_EQ(S_OK, clone->Skip(2));
    EXPECT_EQ(S_FALSE, clone->Skip(1));
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Skip(1));
    ASSERT_EQ(S_OK, e->Next(1, &records, &fetched));
    EXPECT_EQ(h[1], records[0].hServer);
    CoTaskMemFree(records[0].szItemID);
    CoTaskMemFree(records[0].szAccessPath);
    CoTaskMemFree(records);
    e.Reset();
    EXPECT_EQ(1, config.flow->GetClientReferenceCount()) << "the clone still holds the group";
    clone.Reset();
    EXPECT_EQ(0, config.flow->GetClientReferenceCount());
}

TEST_F(GroupTest, ConcurrentClientThreadsAddReadWriteAndRemoveWithoutLosingAReference) {
    AddedGroup g = Add(server.Get(), L"Shared", 10, TRUE);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ComPtr<IOPCSyncIO> io;
            g.items.As(&io);
            ComPtr<IEnumOPCItemAttributes> e;
            g.items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(e.GetAddressOf()));
            for (int round = 0; round < 50; ++round) {
                HRESULT hr = E_FAIL;
                std::vector<OPCHANDLE> h = AddItems(
                    g.items.Get(),
                    {Def(L"Pump1.Flow", t), Def(L"Pump1.Motor.Temp", t), Def(L"Boiler.Burner.Pressure", t)}, &hr);
                if (hr != S_OK || h.size() != 3) ++failures;
                VARIANT values[3];
                for (VARIANT& v : values) {
                    VariantInit(&v);
                    V_VT(&v) = VT_R4;
                    V_R4(&v) = static_cast<float>(round);
                }
                HRESULT* errors = nullptr;
                if (io->Write(3, h.data(), values, &errors) != S_OK) ++failures;
                CoTaskMemFree(errors);
                ReadResult read;
                Read(g.items.Get(), h, read);
                if (read.hr != S_OK) ++failures;
                OPCITEMATTRIBUTES* records = nullptr;
                ULONG fetched = 0;
                e->Reset();
                if (FAILED(e->Next(2, &records, &fetched))) ++failures;
                for (ULONG i = 0; i < fetched; ++i) {
                    CoTaskMemFree(records[i].szItemID);
                    CoTaskMemFree(records[i].szAccessPath);
                    VariantClear(&records[i].vEUInfo);
                }
                CoTaskMemFree(records);
                Remove(g.items.Get(), h, &hr);
                if (hr != S_OK) ++failures;
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    // A device's polling run holds its tags until its thread sees the last request go.
    EXPECT_TRUE(WaitFor(5000, [&] { return config.flow->GetClientReferenceCount() == 0; }));
    EXPECT_EQ(0u, config.pump->GetPollRequests(kPollOpcItems));
    EXPECT_EQ(0u, config.boiler->GetPollRequests(kPollOpcItems));
}

// Ten thousand items on one tag, held by ten clients as a load test holds
// them: every one reads the value one of them wrote, and their removal lets
// go of every reference.
TEST_F(GroupTest, TenThousandItemsOnOneTagReadOneValueAndLetGoOfEveryReference) {
    constexpr int kClients = 10, kItemsEach = 1000;
    std::vector<ComPtr<IOPCServer>> servers;
    std::vector<AddedGroup> groups;
    std::vector<std::vector<OPCHANDLE>> handles;
    for (int c = 0; c < kClients; ++c) {
        servers.push_back(c == 0 ? server : NewServer(config.doc));
        groups.push_back(Add(servers.back().Get(), L"G"));
        ASSERT_EQ(S_OK, groups.back().hr);
        HRESULT hr = E_FAIL;
        handles.push_back(AddItems(groups.back().items.Get(),
                                   std::vector<OPCITEMDEF>(kItemsEach, Def(L"Pump1.Flow", static_cast<OPCHANDLE>(c))),
                                   &hr));
        ASSERT_EQ(S_OK, hr);
    }
    EXPECT_EQ(kClients * kItemsEach, config.flow->GetClientReferenceCount());

    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, groups[0].items.As(&io));
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_R4;
    V_R4(&value) = 42.5f;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, io->Write(1, &handles[0].back(), &value, &errors));
    CoTaskMemFree(errors);
    for (int c = 0; c < kClients; ++c) {
        ReadResult read;
        Read(groups[c].items.Get(), handles[c], read);
        ASSERT_EQ(S_OK, read.hr) << "client " << c;
        for (OPCITEMSTATE& state : read.states) {
            VARIANT asDouble;
            VariantInit(&asDouble);
            ASSERT_EQ(S_OK, VariantChangeType(&asDouble, &state.vDataValue, 0, VT_R8));
            ASSERT_EQ(42.5, V_R8(&asDouble)) << "client " << c;
        }
    }

    for (int c = 0; c < kClients; ++c) {
        HRESULT hr = E_FAIL;
        Remove(groups[c].items.Get(), handles[c], &hr);
        EXPECT_EQ(S_OK, hr);
    }
    EXPECT_TRUE(WaitFor(10000, [&] { return config.flow->GetClientReferenceCount() == 0; }));
}
