// IOPCServer, IOPCServerPublicGroups and IOPCBrowseServerAddressSpace through
// the proxy: every parameter kind of their methods, both ways.
#include "ProxyFixture.h"

TEST_F(ServerProxyTest, AddGroupCarriesArgumentsAndReturnsTheRequestedInterface) {
    LONG bias = -120;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE,
              server->AddGroup(L"Gruppe \u00c4", TRUE, 500, 42, &bias, nullptr, 0x0407, &handle, &revised,
                               IID_IOPCItemMgt, unknown.GetAddressOf()));
    EXPECT_EQ(L"Gruppe \u00c4", calls.text);
    EXPECT_EQ(TRUE, calls.active);
    EXPECT_EQ(500u, calls.rate);
    EXPECT_EQ(42u, calls.clientGroup);
    EXPECT_EQ(std::optional<LONG>(-120), calls.timeBias);
    EXPECT_EQ(std::nullopt, calls.deadband);
    EXPECT_EQ(0x0407u, calls.lcid);
    EXPECT_TRUE(IsEqualIID(IID_IOPCItemMgt, calls.riid));
    EXPECT_EQ(FakeOpcServer::GroupHandle, handle);
    EXPECT_EQ(501u, revised);

    // The returned pointer is a proxy for the interface asked for, and it works.
    ASSERT_NE(nullptr, unknown.Get());
    auto* items = static_cast<IOPCItemMgt*>(unknown.Get());
    HRESULT* errors = nullptr;
    OPCHANDLE handles[] = {5};
    EXPECT_EQ(S_OK, items->RemoveItems(1, handles, &errors));
    CoTaskMemFree(errors);
    EXPECT_EQ(std::vector<OPCHANDLE>{5}, groupCalls.serverHandles);

    FLOAT deadband = 0.75f;
    ComPtr<IUnknown> second;
    server->AddGroup(L"", FALSE, 0, 0, nullptr, &deadband, 0, &handle, &revised, IID_IOPCGroupStateMgt,
                     second.GetAddressOf());
    EXPECT_EQ(L"", calls.text);
    EXPECT_EQ(std::nullopt, calls.timeBias);
    EXPECT_EQ(std::optional<FLOAT>(0.75f), calls.deadband);
}

TEST_F(ServerProxyTest, FailedAddGroupBringsBackItsCodeAndNoInterface) {
    OPCHANDLE handle = 7;
    DWORD revised = 7;
    ComPtr<IUnknown> group;
    EXPECT_EQ(OPC_E_DUPLICATENAME, server->AddGroup(L"dup", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised,
                                                    IID_IOPCGroupStateMgt, group.GetAddressOf()));
    EXPECT_EQ(nullptr, group.Get());
}

TEST_F(ServerProxyTest, GetGroupByNameFindsTheSameGroupOrFails) {
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> added;
    ASSERT_HRESULT_SUCCEEDED(server->AddGroup(L"Kessel", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised,
                                              IID_IOPCGroupStateMgt, added.GetAddressOf()));
    ComPtr<IUnknown> found;
    ASSERT_EQ(S_OK, server->GetGroupByName(L"Kessel", IID_IOPCSyncIO, found.GetAddressOf()));
    ComPtr<IUnknown> addedIdentity, foundIdentity;
    added.As(&addedIdentity);
    found.As(&foundIdentity);
    EXPECT_EQ(addedIdentity.Get(), foundIdentity.Get());

    ComPtr<IUnknown> missing;
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"kessel", IID_IOPCSyncIO, missing.GetAddressOf()));
    EXPECT_EQ(nullptr, missing.Get());
    EXPECT_EQ(L"kessel", calls.text);
}

TEST_F(ServerProxyTest, OutStringsAndStatusArriveIntact) {
    CoTaskString text;
    ASSERT_EQ(S_OK, server->GetErrorString(OPC_E_UNKNOWNITEMID, 0x0407, text.Out()));
    EXPECT_EQ(L"Fehler 0xC0040007 \u2013 Sprache 0407", text.Text());
    CoTaskString none;
    EXPECT_EQ(E_NOTIMPL, server->GetErrorString(S_OK, 0, none.Out()));
    EXPECT_EQ(nullptr, none.p);

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    ASSERT_NE(nullptr, status);
    EXPECT_EQ(0x11111111u, status->ftStartTime.dwLowDateTime);
    EXPECT_EQ(0x01D00001u, status->ftCurrentTime.dwHighDateTime);
    EXPECT_EQ(0x33333333u, status->ftLastUpdateTime.dwLowDateTime);
    EXPECT_EQ(OPC_STATUS_SUSPENDED, status->dwServerState);
    EXPECT_EQ(0xFFFFFFFFu, status->dwBandWidth);
    EXPECT_EQ(2, status->wMajorVersion);
    EXPECT_EQ(1, status->wMinorVersion);
    EXPECT_EQ(1, status->wBuildNumber);
    ASSERT_NE(nullptr, status->szVendorInfo);
    EXPECT_STREQ(L"Tovi Explorer by Zelkor Company \u00a9", status->szVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(ServerProxyTest, RemoveAndEnumerateGroupsCarryHandlesEnumsAndErrors) {
    EXPECT_EQ(S_OK, server->RemoveGroup(FakeOpcServer::GroupHandle, TRUE));
    EXPECT_EQ(TRUE, calls.force);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, server->RemoveGroup(0x12345678, FALSE));
    EXPECT_EQ(0x12345678u, calls.serverGroup);
    EXPECT_EQ(FALSE, calls.force);

    ComPtr<IUnknown> groups;
    EXPECT_EQ(E_NOTIMPL, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, groups.GetAddressOf()));
    EXPECT_EQ(OPC_ENUM_ALL, calls.scope);
    EXPECT_TRUE(IsEqualIID(IID_IEnumUnknown, calls.riid));
    EXPECT_EQ(nullptr, groups.Get());
}

TEST_F(ServerProxyTest, PublicGroupCallsCarryTheirArguments) {
    ComPtr<IOPCServerPublicGroups> publicGroups;
    ASSERT_HRESULT_SUCCEEDED(server.As(&publicGroups));
    ComPtr<IUnknown> group;
    EXPECT_EQ(OPC_E_PUBLIC, publicGroups->GetPublicGroupByName(L"\u00d6ffentlich", IID_IOPCGroupStateMgt,
                                                               group.GetAddressOf()));
    EXPECT_EQ(L"\u00d6ffentlich", calls.text);
    EXPECT_TRUE(IsEqualIID(IID_IOPCGroupStateMgt, calls.riid));
    EXPECT_EQ(nullptr, group.Get());
    EXPECT_EQ(E_NOTIMPL, publicGroups->RemovePublicGroup(99, TRUE));
    EXPECT_EQ(99u, calls.serverGroup);
    EXPECT_EQ(TRUE, calls.force);
}

TEST_F(ServerProxyTest, BrowsingCarriesPositionsFiltersAndNames) {
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_HRESULT_SUCCEEDED(server.As(&browse));

    EXPECT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pumpe1"));
    EXPECT_EQ(OPC_BROWSE_DOWN, calls.direction);
    EXPECT_EQ(L"Pumpe1", calls.text);
    EXPECT_EQ(E_FAIL, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    EXPECT_EQ(OPC_BROWSE_UP, calls.direction);

    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_LEAF, L"P*", VT_R8, OPC_WRITEABLE, names.GetAddressOf()));
    EXPECT_EQ(OPC_LEAF, calls.browseType);
    EXPECT_EQ(L"P*", calls.text);
    EXPECT_EQ(VT_R8, calls.typeFilter);
    EXPECT_EQ(OPC_WRITEABLE, calls.rightsFilter);
    ASSERT_NE(nullptr, names.Get());
    LPOLESTR got[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, names->Next(4, got, &fetched));
    ASSERT_EQ(3u, fetched);
    EXPECT_STREQ(L"Pumpe1", got[0]);
    EXPECT_STREQ(L"Kessel 2", got[1]);
    EXPECT_STREQ(L"Ventil \u00df", got[2]);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(got[i]);
    }

    CoTaskString id;
    wchar_t leaf[] = L"Durchfluss";
    ASSERT_EQ(S_OK, browse->GetItemID(leaf, id.Out()));
    EXPECT_EQ(L"Pumpe1.Durchfluss", id.Text());

    ComPtr<IEnumString> paths;
    EXPECT_EQ(E_NOTIMPL, browse->BrowseAccessPaths(L"Pumpe1.Durchfluss", paths.GetAddressOf()));
    EXPECT_EQ(nullptr, paths.Get());
    EXPECT_EQ(L"Pumpe1.Durchfluss", calls.text);
}
