// The registered proxy/stub DLL carries the calls, and failures on the wire
// come back to the caller as HRESULTs.
#include "ProxyFixture.h"

namespace {

const CLSID ProxyClsid = {0x6b002d8f, 0x94be, 0x420e, {0x89, 0xb9, 0x8a, 0x15, 0xb6, 0x1b, 0x36, 0x39}};

}  // namespace

TEST(ProxyRegistrationTest, EveryInterfaceNamesTheProxyDll) {
    const IID* iids[] = {&IID_IOPCServer,        &IID_IOPCServerPublicGroups, &IID_IOPCBrowseServerAddressSpace,
                         &IID_IOPCGroupStateMgt, &IID_IOPCPublicGroupStateMgt, &IID_IOPCSyncIO,
                         &IID_IOPCAsyncIO,       &IID_IOPCItemMgt,            &IID_IEnumOPCItemAttributes,
                         &IID_IOPCCommon,        &IID_IOPCShutdown,           &IID_IOPCItemProperties,
                         &IID_IOPCAsyncIO2,      &IID_IOPCDataCallback};
    for (const IID* iid : iids) {
        CLSID clsid = GUID_NULL;
        EXPECT_HRESULT_SUCCEEDED(CoGetPSClsid(*iid, &clsid));
        EXPECT_TRUE(IsEqualCLSID(ProxyClsid, clsid)) << "IID data1 " << std::hex << iid->Data1;
    }
    wchar_t path[MAX_PATH] = {};
    LONG size = sizeof(path);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueW(HKEY_CLASSES_ROOT, L"CLSID\\{6B002D8F-94BE-420E-89B9-8A15B61B3639}\\InprocServer32",
                             path, &size));
    const std::wstring server(path);
    EXPECT_NE(std::wstring::npos, server.find(L"ToviExplorerPS.dll")) << "InprocServer32 is " << std::string(server.begin(), server.end());
}

TEST_F(ServerProxyTest, CallsGoThroughTheProxyDll) {
    EXPECT_NE(nullptr, GetModuleHandleW(L"ToviExplorerPS.dll"));
    OPCNAMESPACETYPE type = OPC_NS_HIERARCHIAL;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_HRESULT_SUCCEEDED(server.As(&browse));
    ASSERT_HRESULT_SUCCEEDED(browse->QueryOrganization(&type));
    EXPECT_EQ(OPC_NS_FLAT, type);
    EXPECT_EQ(1, calls.count);
}

TEST_F(ServerProxyTest, QueryInterfaceAnswersOnlyWhatTheObjectImplements) {
    ComPtr<IOPCSyncIO> notThere;
    EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(notThere.GetAddressOf())));
    EXPECT_EQ(nullptr, notThere.Get());
    ComPtr<IPersist> notThereEither;
    EXPECT_EQ(E_NOINTERFACE, server.As(&notThereEither));

    ComPtr<IOPCServerPublicGroups> publicGroups;
    ComPtr<IUnknown> identity1, identity2;
    ASSERT_HRESULT_SUCCEEDED(server.As(&publicGroups));
    ASSERT_HRESULT_SUCCEEDED(server.As(&identity1));
    ASSERT_HRESULT_SUCCEEDED(publicGroups.As(&identity2));
    EXPECT_EQ(identity1.Get(), identity2.Get());
}

// A null [string] in-parameter cannot be marshalled: the proxy's own exception
// handling must turn that into a failure, never into S_OK or a crash.
TEST_F(ServerProxyTest, NullReferenceParameterFailsInTheProxy) {
    ComPtr<IUnknown> group;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    const HRESULT hr = server->AddGroup(nullptr, TRUE, 1000, 1, nullptr, nullptr, 0, &handle, &revised,
                                        IID_IOPCGroupStateMgt, group.GetAddressOf());
    EXPECT_EQ(HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER), hr);
    EXPECT_EQ(nullptr, group.Get());
    EXPECT_EQ(0, calls.count);
}

// Enumerations travel as 16 bits: a value beyond that range is refused, not truncated.
TEST_F(ServerProxyTest, EnumValueOutsideSixteenBitsIsRefused) {
    ComPtr<IUnknown> unused;
    const HRESULT hr = server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(0x10006), IID_IEnumUnknown,
                                                     unused.GetAddressOf());
    EXPECT_EQ(HRESULT_FROM_WIN32(RPC_X_ENUM_VALUE_OUT_OF_RANGE), hr);
    EXPECT_EQ(0, calls.count);
}

TEST_F(ServerProxyTest, CallAfterTheServerApartmentEndedFails) {
    host.Stop();
    OPCSERVERSTATUS* status = nullptr;
    const HRESULT hr = server->GetStatus(&status);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(nullptr, status);
}
