#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "FileTime.h"
#include "ServerList.h"
#include "ServerStartTime.h"
#include "ServerTestSupport.h"
#include "Text.h"

TEST(ServerObjectTest, AnswersExactlyIUnknownAndTheTwoServerInterfaces) {
    ComPtr<IOPCServer> server = NewServer();
    ASSERT_TRUE(server);
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    ASSERT_EQ(S_OK, server.As(&browser));
    ComPtr<IUnknown> fromServer, fromBrowser;
    ASSERT_EQ(S_OK, server.As(&fromServer));
    ASSERT_EQ(S_OK, browser.As(&fromBrowser));
    EXPECT_EQ(fromServer.Get(), fromBrowser.Get()) << "one identity whichever interface is asked";
    ComPtr<IOPCServer> back;
    EXPECT_EQ(S_OK, browser.As(&back));
    EXPECT_EQ(server.Get(), back.Get());

    for (const IID& iid : {IID_IOPCServerPublicGroups, IID_IOPCGroupStateMgt, IID_IOPCItemMgt, IID_IDataObject,
                           IID_IEnumString, IID_IClassFactory}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(iid, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(E_POINTER, server->QueryInterface(IID_IUnknown, nullptr));
}

TEST(ServerObjectTest, ReferenceCountStartsWithTheCreatorsQueryAndTheLastReleaseDestroys) {
    ClientObjectMessages messages;
    ASSERT_TRUE(messages.IsReady());
    const int before = ServerList::Instance().Count();
    auto* object = new OPCServer();
    EXPECT_EQ(before + 1, ServerList::Instance().Count());
    IOPCServer* server = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)));
    EXPECT_EQ(2u, server->AddRef());
    EXPECT_EQ(1u, server->Release());
    EXPECT_EQ(std::make_pair(0, 0), messages.Drain()) << "the creator posts the one more";
    EXPECT_EQ(0u, server->Release());
    EXPECT_EQ(before, ServerList::Instance().Count());
    EXPECT_EQ(std::make_pair(0, 1), messages.Drain());
}

TEST(ServerObjectTest, AServerWhoseFirstQueryFailsIsDeletedByItsCreatorWithOneFewerPosted) {
    ClientObjectMessages messages;
    const int before = ServerList::Instance().Count();
    auto* object = new OPCServer();
    void* p = nullptr;
    ASSERT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IDataObject, &p));
    delete object;
    EXPECT_EQ(before, ServerList::Instance().Count());
    EXPECT_EQ(std::make_pair(0, 1), messages.Drain());
}

TEST(ServerObjectTest, GetStatusReportsTimesStateVersionAndVendorInTaskMemory) {
    const FILETIME start = U64ToFileTime(FileTimeToU64(FileTimeNow()) - 10'000'000ull * 3600);
    SetServerStartTime(start);
    ComPtr<IOPCServer> server = NewServer();

    const std::uint64_t before = FileTimeToU64(FileTimeNow());
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    const std::uint64_t after = FileTimeToU64(FileTimeNow());
    ASSERT_NE(nullptr, status);
    EXPECT_EQ(FileTimeToU64(start), FileTimeToU64(status->ftStartTime));
    EXPECT_GE(FileTimeToU64(status->ftCurrentTime), before);
    EXPECT_LE(FileTimeToU64(status->ftCurrentTime), after);
    EXPECT_EQ(0u, FileTimeToU64(status->ftLastUpdateTime)) << "no group has scanned yet";
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    EXPECT_EQ(0u, status->dwGroupCount);
    EXPECT_EQ(0u, status->dwBandWidth);
    EXPECT_EQ(2, status->wMajorVersion);
    EXPECT_EQ(1, status->wMinorVersion);
    EXPECT_EQ(1, status->wBuildNumber);
    EXPECT_EQ(0, status->wReserved);
    ASSERT_NE(nullptr, status->szVendorInfo);
    EXPECT_STREQ(L"Tovi Explorer by Zelkor Company", status->szVendorInfo);
    EXPECT_EQ(LoadResString(61207), status->szVendorInfo);
    EXPECT_EQ(0u, FileTimeToU64(status->ftLastUpdateTime)) << "no group has scanned yet";
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    EXPECT_EQ(E_INVALIDARG, server->GetStatus(nullptr));
}

TEST(ServerObjectTest, MethodsTheServerDoesNotOfferLeaveTheirResultsAlone) {
    ComPtr<IOPCServer> server = NewServer();
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_NOTIMPL, server->GetErrorString(E_FAIL, 0, &text));
    EXPECT_EQ(nullptr, text) << "the string is cleared";
    EXPECT_EQ(E_NOTIMPL, server->GetErrorString(E_FAIL, 0, nullptr));

    IUnknown* sentinel = reinterpret_cast<IUnknown*>(0x1234);
    IUnknown* unknown = sentinel;
    EXPECT_EQ(E_NOTIMPL, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &unknown));
    EXPECT_EQ(sentinel, unknown) << "not touched";

    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(server);
    IEnumString* paths = reinterpret_cast<IEnumString*>(0x1234);
    EXPECT_EQ(E_NOTIMPL, browser->BrowseAccessPaths(L"Pump1.Flow", &paths));
    EXPECT_EQ(reinterpret_cast<IEnumString*>(0x1234), paths);
}

TEST(ServerObjectTest, QueryOrganizationIsHierarchicalAndRefusesANullPointer) {
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(NewServer());
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    EXPECT_EQ(S_OK, browser->QueryOrganization(&type));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, type);
    EXPECT_EQ(E_INVALIDARG, browser->QueryOrganization(nullptr));
}

TEST(ServerObjectTest, DestroyAllServersDestroysEveryListedServerOnce) {
    ClientObjectMessages messages;
    ConfiguredDocument config;
    std::vector<IOPCServer*> servers;
    for (int i = 0; i < 5; ++i) {
        servers.push_back(NewServer().Detach());
    }
    servers[1]->AddRef();  // a second client reference changes nothing
    // One server holds a browse position inside the configuration.
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    servers[2]->QueryInterface(IID_PPV_ARGS(&browser));
    ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pump1"));
    browser.Detach();  // destroyed with its server below

    OPCServer::DestroyAllServers();
    EXPECT_EQ(0, ServerList::Instance().Count());
    EXPECT_EQ(std::make_pair(0, 5), messages.Drain());
    // Positions died with their servers: deleting the device touches none of them.
    EXPECT_TRUE(config.doc.DeleteItem(config.pump));
    // Nothing is left to destroy a second time.
    OPCServer::DestroyAllServers();
    EXPECT_EQ(std::make_pair(0, 5), messages.Drain());
}

TEST(ServerObjectTest, ServersComeAndGoOnManyThreadsAtOnce) {
    const int before = ServerList::Instance().Count();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 300; ++i) {
                ComPtr<IOPCServer> a = NewServer();
                ComPtr<IOPCServer> b = NewServer();
                ComPtr<IOPCBrowseServerAddressSpace> browser;
                if (!a || !b || FAILED(b.As(&browser))) ++failures;
                a.Reset();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(before, ServerList::Instance().Count());
}
