// The group interfaces through the proxy: state, public state, synchronous and
// asynchronous I/O and item management.
#include <algorithm>

#include "ProxyFixture.h"

namespace {

std::wstring Text(const VARIANT& v) {
    return V_VT(&v) == VT_BSTR ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"<not a string>";
}

}  // namespace

TEST_F(GroupProxyTest, GetStateFillsEveryOutParameter) {
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    CoTaskString name;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE client = 0, server = 0;
    ASSERT_EQ(S_OK, state->GetState(&rate, &active, name.Out(), &bias, &deadband, &lcid, &client, &server));
    EXPECT_EQ(FakeOpcGroup::StateUpdateRate, rate);
    EXPECT_EQ(TRUE, active);
    EXPECT_EQ(FakeOpcGroup::StateName, name.Text());
    EXPECT_EQ(FakeOpcGroup::StateTimeBias, bias);
    EXPECT_EQ(FakeOpcGroup::StateDeadband, deadband);
    EXPECT_EQ(FakeOpcGroup::StateLcid, lcid);
    EXPECT_EQ(FakeOpcGroup::StateClientGroup, client);
    EXPECT_EQ(FakeOpcGroup::StateServerGroup, server);
}

TEST_F(GroupProxyTest, SetStatePassesNullAndNonNullUniquePointers) {
    DWORD revised = 0;
    EXPECT_EQ(S_OK, state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1000u, revised);
    EXPECT_FALSE(calls.updateRate || calls.active || calls.timeBias || calls.deadband || calls.lcid ||
                 calls.clientGroup);

    DWORD rate = 250;
    BOOL active = FALSE;
    LONG bias = 90;
    FLOAT deadband = 12.5f;
    DWORD lcid = 0x040C;
    OPCHANDLE client = 0xCAFE;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state->SetState(&rate, &revised, &active, &bias, &deadband, &lcid, &client));
    EXPECT_EQ(300u, revised);
    EXPECT_EQ(std::optional<DWORD>(250), calls.updateRate);
    EXPECT_EQ(std::optional<BOOL>(FALSE), calls.active);
    EXPECT_EQ(std::optional<LONG>(90), calls.timeBias);
    EXPECT_EQ(std::optional<FLOAT>(12.5f), calls.deadband);
    EXPECT_EQ(std::optional<DWORD>(0x040C), calls.lcid);
    EXPECT_EQ(std::optional<OPCHANDLE>(0xCAFE), calls.clientGroup);

    EXPECT_EQ(S_OK, state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, &client));
    EXPECT_FALSE(calls.updateRate.has_value());
    EXPECT_EQ(std::optional<OPCHANDLE>(0xCAFE), calls.clientGroup);
}

TEST_F(GroupProxyTest, SetNameAndCloneGroup) {
    EXPECT_EQ(S_OK, state->SetName(L"Neu \u20ac"));
    EXPECT_EQ(L"Neu \u20ac", calls.name);
    EXPECT_EQ(OPC_E_DUPLICATENAME, state->SetName(L"taken"));

    ComPtr<IUnknown> clone;
    ASSERT_EQ(S_OK, state->CloneGroup(L"Kopie", IID_IOPCSyncIO, clone.GetAddressOf()));
    EXPECT_EQ(L"Kopie", calls.name);
    EXPECT_TRUE(IsEqualIID(IID_IOPCSyncIO, calls.riid));
    ComPtr<IOPCSyncIO> io;
    EXPECT_HRESULT_SUCCEEDED(clone.As(&io));

    ComPtr<IUnknown> none;
    EXPECT_EQ(E_NOINTERFACE, state->CloneGroup(L"Kopie", IID_IOPCServer, none.GetAddressOf()));
    EXPECT_EQ(nullptr, none.Get());
}

TEST_F(GroupProxyTest, PublicGroupState) {
    auto publicState = As<IOPCPublicGroupStateMgt>();
    ASSERT_NE(nullptr, publicState.Get());
    BOOL isPublic = FALSE;
    EXPECT_EQ(S_OK, publicState->GetState(&isPublic));
    EXPECT_EQ(TRUE, isPublic);
    EXPECT_EQ(OPC_E_PUBLIC, publicState->MoveToPublic());
}

TEST_F(GroupProxyTest, SyncReadReturnsItemStatesWithValuesAndPerItemErrors) {
    auto io = As<IOPCSyncIO>();
    ASSERT_NE(nullptr, io.Get());
    OPCHANDLE handles[] = {3, FakeOpcGroup::InvalidHandle, 8};
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, io->Read(OPC_DS_DEVICE, 3, handles, &states, &errors));
    EXPECT_EQ(OPC_DS_DEVICE, calls.source);
    EXPECT_EQ(std::vector<OPCHANDLE>(handles, handles + 3), calls.serverHandles);
    ASSERT_NE(nullptr, states);
    ASSERT_NE(nullptr, errors);
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
    EXPECT_EQ(S_OK, errors[2]);

    EXPECT_EQ(1003u, states[0].hClient);
    EXPECT_EQ(3u, states[0].ftTimeStamp.dwLowDateTime);
    EXPECT_EQ(0x01DA0000u, states[0].ftTimeStamp.dwHighDateTime);
    EXPECT_EQ(OPC_QUALITY_GOOD, states[0].wQuality);
    ASSERT_EQ(VT_R8, V_VT(&states[0].vDataValue));
    EXPECT_DOUBLE_EQ(4.5, V_R8(&states[0].vDataValue));
    EXPECT_EQ(VT_EMPTY, V_VT(&states[1].vDataValue));
    EXPECT_EQ(1008u, states[2].hClient);
    EXPECT_EQ(L"Wert 8", Text(states[2].vDataValue));

    for (int i = 0; i < 3; ++i) {
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

TEST_F(GroupProxyTest, SyncWriteCarriesVariantsOfEveryKind) {
    auto io = As<IOPCSyncIO>();
    ASSERT_NE(nullptr, io.Get());
    OPCHANDLE handles[] = {1, 2, FakeOpcGroup::InvalidHandle};
    VARIANT values[3];
    for (auto& v : values) {
        VariantInit(&v);
    }
    Variant::FromDouble(-0.125).CopyTo(&values[0]);
    Variant::FromString(L"Sollwert \u00b0C").CopyTo(&values[1]);
    Variant::FromBool(true).CopyTo(&values[2]);
    HRESULT* errors = nullptr;
    EXPECT_EQ(S_FALSE, io->Write(3, handles, values, &errors));
    ASSERT_EQ(3u, calls.values.size());
    EXPECT_EQ(VT_R8, calls.values[0].Type());
    EXPECT_DOUBLE_EQ(-0.125, V_R8(&calls.values[0].Ref()));
    EXPECT_EQ(L"Sollwert \u00b0C", Text(calls.values[1].Ref()));
    EXPECT_EQ(VT_BOOL, calls.values[2].Type());
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&calls.values[2].Ref()));
    ASSERT_NE(nullptr, errors);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[2]);
    CoTaskMemFree(errors);
    for (auto& v : values) {
        VariantClear(&v);
    }
}

TEST_F(GroupProxyTest, AsyncCallsCarryConnectionSourceAndTransactions) {
    auto io = As<IOPCAsyncIO>();
    ASSERT_NE(nullptr, io.Get());
    OPCHANDLE handles[] = {4, 5};
    DWORD transaction = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, io->Read(0x0101, OPC_DS_CACHE, 2, handles, &transaction, &errors));
    EXPECT_EQ(2u, transaction);
    EXPECT_EQ(0x0101u, calls.connection);
    EXPECT_EQ(OPC_DS_CACHE, calls.source);
    EXPECT_EQ(std::vector<OPCHANDLE>(handles, handles + 2), calls.serverHandles);
    CoTaskMemFree(errors);

    VARIANT values[2];
    for (auto& v : values) {
        VariantInit(&v);
    }
    Variant::FromLong(-7).CopyTo(&values[0]);
    Variant::FromString(L"").CopyTo(&values[1]);
    ASSERT_EQ(S_OK, io->Write(0x0202, 2, handles, values, &transaction, &errors));
    EXPECT_EQ(3u, transaction);
    EXPECT_EQ(0x0202u, calls.connection);
    ASSERT_EQ(2u, calls.values.size());
    EXPECT_EQ(VT_I4, calls.values[0].Type());
    EXPECT_EQ(-7, V_I4(&calls.values[0].Ref()));
    EXPECT_EQ(VT_BSTR, calls.values[1].Type());
    EXPECT_EQ(L"", Text(calls.values[1].Ref()));
    CoTaskMemFree(errors);
    for (auto& v : values) {
        VariantClear(&v);
    }

    ASSERT_EQ(S_OK, io->Refresh(0x0303, OPC_DS_DEVICE, &transaction));
    EXPECT_EQ(4u, transaction);
    EXPECT_EQ(0x0303u, calls.connection);
    EXPECT_EQ(OPC_DS_DEVICE, calls.source);
    EXPECT_EQ(S_OK, io->Cancel(3));
    EXPECT_EQ(E_FAIL, io->Cancel(99));
    EXPECT_EQ(99u, calls.transactionId);
}

TEST_F(GroupProxyTest, AddAndValidateItemsCarryDefinitionsBlobsAndResults) {
    auto items = As<IOPCItemMgt>();
    ASSERT_NE(nullptr, items.Get());
    BYTE blob[] = {1, 2, 3, 4};
    wchar_t path[] = L"";
    wchar_t flow[] = L"Pumpe1.Durchfluss";
    wchar_t missing[] = L"missing";
    wchar_t state2[] = L"Pumpe1.Zustand";
    OPCITEMDEF defs[3] = {
        {path, flow, TRUE, 11, sizeof(blob), blob, VT_R4, 0},
        {nullptr, missing, FALSE, 12, 0, nullptr, VT_EMPTY, 0},
        {nullptr, state2, TRUE, 13, 0, nullptr, VT_EMPTY, 0},
    };
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, items->AddItems(3, defs, &results, &errors));

    ASSERT_EQ(3u, calls.definitions.size());
    const ItemDefinition& first = calls.definitions[0];
    EXPECT_EQ(std::optional<std::wstring>(L""), first.accessPath);
    EXPECT_EQ(L"Pumpe1.Durchfluss", first.itemId);
    EXPECT_EQ(TRUE, first.active);
    EXPECT_EQ(11u, first.client);
    EXPECT_EQ(std::vector<BYTE>(blob, blob + 4), first.blob);
    EXPECT_EQ(VT_R4, first.requestedType);
    EXPECT_EQ(std::nullopt, calls.definitions[1].accessPath);
    EXPECT_TRUE(calls.definitions[1].blobPointerNull);
    EXPECT_EQ(13u, calls.definitions[2].client);

    ASSERT_NE(nullptr, results);
    ASSERT_NE(nullptr, errors);
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[1]);
    EXPECT_EQ(S_OK, errors[2]);
    EXPECT_EQ(100u, results[0].hServer);
    EXPECT_EQ(VT_R4, results[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, results[0].dwAccessRights);
    ASSERT_EQ(4u, results[0].dwBlobSize);
    ASSERT_NE(nullptr, results[0].pBlob);
    EXPECT_EQ((std::vector<BYTE>{4, 3, 2, 1}), std::vector<BYTE>(results[0].pBlob, results[0].pBlob + 4));
    EXPECT_EQ(0u, results[1].hServer);
    EXPECT_EQ(102u, results[2].hServer);
    EXPECT_EQ(VT_R8, results[2].vtCanonicalDataType);
    EXPECT_EQ(nullptr, results[2].pBlob);
    for (int i = 0; i < 3; ++i) {
        CoTaskMemFree(results[i].pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    ASSERT_EQ(S_OK, items->ValidateItems(1, defs, FALSE, &results, &errors));
    EXPECT_EQ(FALSE, calls.flag);
    EXPECT_EQ(0u, results[0].dwBlobSize);
    EXPECT_EQ(nullptr, results[0].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
}

TEST_F(GroupProxyTest, HandleArraysTravelInAndErrorsComeBack) {
    auto items = As<IOPCItemMgt>();
    ASSERT_NE(nullptr, items.Get());
    OPCHANDLE handles[] = {100, FakeOpcGroup::InvalidHandle, 102};
    HRESULT* errors = nullptr;

    ASSERT_EQ(S_FALSE, items->RemoveItems(3, handles, &errors));
    EXPECT_EQ(std::vector<OPCHANDLE>(handles, handles + 3), calls.serverHandles);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
    EXPECT_EQ(S_OK, errors[2]);
    CoTaskMemFree(errors);

    ASSERT_EQ(S_OK, items->SetActiveState(1, handles, TRUE, &errors));
    EXPECT_EQ(TRUE, calls.flag);
    CoTaskMemFree(errors);

    OPCHANDLE clients[] = {7, 8, 9};
    ASSERT_EQ(S_FALSE, items->SetClientHandles(3, handles, clients, &errors));
    EXPECT_EQ(std::vector<OPCHANDLE>(clients, clients + 3), calls.clientHandles);
    CoTaskMemFree(errors);

    VARTYPE types[] = {VT_BSTR, VT_I2, static_cast<VARTYPE>(VT_ARRAY | VT_R8)};
    ASSERT_EQ(S_FALSE, items->SetDatatypes(3, handles, types, &errors));
    EXPECT_EQ(std::vector<VARTYPE>(types, types + 3), calls.types);
    CoTaskMemFree(errors);

    // An empty array is a legal call too.
    errors = nullptr;
    EXPECT_EQ(S_OK, items->RemoveItems(0, handles, &errors));
    EXPECT_TRUE(calls.serverHandles.empty());
    CoTaskMemFree(errors);
}
