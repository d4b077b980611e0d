#include <gtest/gtest.h>

#include <atomic>
#include <cwctype>
#include <thread>
#include <vector>

#include "FileTime.h"
#include "ServerList.h"
#include "ServerStartTime.h"
#include "Configuration.h"
#include "ServerTestSupport.h"
#include "ShutdownNotice.h"
#include "ShutdownSink.h"
#include "WaitFor.h"
#include "Text.h"

TEST(ServerObjectTest, AnswersExactlyIUnknownAndItsServerInterfaces) {
    Configuration configuration;
    ComPtr<IOPCServer> server = NewServer(configuration);
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
    for (const IID& iid : {IID_IOPCCommon, IID_IConnectionPointContainer, IID_IOPCItemProperties}) {
        ComPtr<IUnknown> added, identity;
        ASSERT_EQ(S_OK, server->QueryInterface(iid, reinterpret_cast<void**>(added.GetAddressOf())));
        ASSERT_EQ(S_OK, added.As(&identity));
        EXPECT_EQ(fromServer.Get(), identity.Get());
    }

    for (const IID& iid : {IID_IOPCServerPublicGroups, IID_IOPCGroupStateMgt, IID_IOPCItemMgt, IID_IDataObject,
                           IID_IEnumString, IID_IClassFactory}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(iid, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(E_POINTER, server->QueryInterface(IID_IUnknown, nullptr));
}

TEST(ServerObjectTest, ReferenceCountStartsWithTheCreatorsQueryAndTheLastReleaseDestroys) {
    Configuration configuration;
    ClientObjectMessages messages;
    ASSERT_TRUE(messages.IsReady());
    const int before = ServerList::Instance().Count();
    auto* object = new OPCServer(configuration);
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
    Configuration configuration;
    ClientObjectMessages messages;
    const int before = ServerList::Instance().Count();
    auto* object = new OPCServer(configuration);
    void* p = nullptr;
    ASSERT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IDataObject, &p));
    delete object;
    EXPECT_EQ(before, ServerList::Instance().Count());
    EXPECT_EQ(std::make_pair(0, 1), messages.Drain());
}

TEST(ServerObjectTest, GetStatusReportsTimesStateVersionAndVendorInTaskMemory) {
    Configuration configuration;
    const FILETIME start = U64ToFileTime(FileTimeToU64(FileTimeNow()) - 10'000'000ull * 3600);
    SetServerStartTime(start);
    ComPtr<IOPCServer> server = NewServer(configuration);

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
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    EXPECT_EQ(E_INVALIDARG, server->GetStatus(nullptr));
}

TEST(ServerObjectTest, AccessPathsAreNotOfferedAndTheResultIsLeftAlone) {
    Configuration configuration;
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(NewServer(configuration));
    IEnumString* paths = reinterpret_cast<IEnumString*>(0x1234);
    EXPECT_EQ(E_NOTIMPL, browser->BrowseAccessPaths(L"Pump1.Flow", &paths));
    EXPECT_EQ(reinterpret_cast<IEnumString*>(0x1234), paths);
}

TEST(ServerObjectTest, QueryOrganizationIsHierarchicalAndRefusesANullPointer) {
    Configuration configuration;
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(NewServer(configuration));
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
        servers.push_back(NewServer(config.doc).Detach());
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
    EXPECT_EQ(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(config.pump));
    // Nothing is left to destroy a second time.
    OPCServer::DestroyAllServers();
    EXPECT_EQ(std::make_pair(0, 5), messages.Drain());
}

TEST(ServerObjectTest, ServersComeAndGoOnManyThreadsAtOnce) {
    Configuration configuration;
    const int before = ServerList::Instance().Count();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, &configuration] {
            for (int i = 0; i < 300; ++i) {
                ComPtr<IOPCServer> a = NewServer(configuration);
                ComPtr<IOPCServer> b = NewServer(configuration);
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

namespace {
std::wstring Text(HRESULT hr, LPWSTR text) {
    std::wstring result = SUCCEEDED(hr) && text != nullptr ? text : L"<" + std::to_wstring(hr) + L">";
    CoTaskMemFree(text);
    return result;
}
}  // namespace

TEST(ServerObjectTest, LocalesErrorTextsAndTheLocaleOfNewGroups) {
    Configuration configuration;
    ComPtr<IOPCServer> server = NewServer(configuration);
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(&common));
    DWORD count = 0;
    LCID* locales = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &locales));
    EXPECT_EQ((std::vector<LCID>{LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LOCALE_NEUTRAL, 0x0409}),
              std::vector<LCID>(locales, locales + count));
    CoTaskMemFree(locales);

    // Until the client picks a locale, groups keep the one they are given (1.0a).
    auto groupLocale = [&](LCID requested) {
        OPCHANDLE handle = 0;
        DWORD rate = 0, locale = 0xDEAD;
        ComPtr<IOPCGroupStateMgt> state;
        EXPECT_EQ(S_OK, server->AddGroup(L"", FALSE, 100, 1, nullptr, nullptr, requested, &handle, &rate,
                                         IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(state.GetAddressOf())));
        if (state) state->GetState(nullptr, nullptr, nullptr, nullptr, nullptr, &locale, nullptr, nullptr);
        server->RemoveGroup(handle, FALSE);
        return locale;
    };
    EXPECT_EQ(0u, groupLocale(0));
    LCID current = 0;
    ASSERT_EQ(S_OK, common->GetLocaleID(&current));
    EXPECT_EQ(LOCALE_SYSTEM_DEFAULT, current);
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0x0407));
    EXPECT_EQ(S_OK, common->SetLocaleID(0x0409));
    ASSERT_EQ(S_OK, common->GetLocaleID(&current));
    EXPECT_EQ(0x0409u, current);
    EXPECT_EQ(0x0409u, groupLocale(0));
    EXPECT_EQ(0x0407u, groupLocale(0x0407)) << "a group's own locale is kept";

    // The same text whichever interface asks; the system's for codes not the server's own.
    struct Case {
        HRESULT code;
        const wchar_t* expected;  // null: any text
    } cases[] = {
        {static_cast<HRESULT>(0xC0040007), L"No item with this item ID exists in the server's address space."},
        {static_cast<HRESULT>(0xC0040203), L"The property ID is not valid for this item."},
        {static_cast<HRESULT>(0x0004000E), L"The value was accepted but clamped to the item's limits."},
        {static_cast<HRESULT>(0x80040202), L"The object is not a sink of the interface this connection point calls."},
        {E_OUTOFMEMORY, nullptr},
    };
    for (const Case& c : cases) {
        LPWSTR fromCommon = nullptr, fromServer = nullptr;
        const HRESULT hrCommon = common->GetErrorString(c.code, &fromCommon);
        const HRESULT hrServer = server->GetErrorString(c.code, LOCALE_SYSTEM_DEFAULT, &fromServer);
        const std::wstring text = Text(hrCommon, fromCommon);
        EXPECT_EQ(text, Text(hrServer, fromServer)) << std::hex << c.code;
        if (c.expected != nullptr) {
            EXPECT_EQ(c.expected, text);
        }
        EXPECT_FALSE(text.empty() || text[0] == L'<' || iswspace(text.back())) << std::hex << c.code;
    }
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_INVALIDARG, common->GetErrorString(static_cast<HRESULT>(0xA1B2C3D4), &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(E_INVALIDARG, server->GetErrorString(E_FAIL, 0, nullptr));
    EXPECT_EQ(E_INVALIDARG, common->SetClientName(nullptr));
}

TEST(ServerObjectTest, GroupEnumeratorsByScopeAndInterface) {
    Configuration configuration;
    ComPtr<IOPCServer> server = NewServer(configuration);
    auto enumerate = [&](OPCENUMSCOPE scope, REFIID riid, HRESULT* hr) {
        std::vector<std::wstring> names;
        ComPtr<IUnknown> unknown;
        *hr = server->CreateGroupEnumerator(scope, riid, unknown.GetAddressOf());
        if (FAILED(*hr)) {
            if (unknown) names.push_back(L"<not cleared>");
            return names;
        }
        if (riid == IID_IEnumString) {
            ComPtr<IEnumString> strings;
            EXPECT_EQ(S_OK, unknown.As(&strings));
            return ReadAll(strings.Get());
        }
        ComPtr<IEnumUnknown> groups;
        EXPECT_EQ(S_OK, unknown.As(&groups));
        IUnknown* group = nullptr;
        while (groups->Next(1, &group, nullptr) == S_OK) {
            ComPtr<IOPCGroupStateMgt> state;
            LPWSTR name = nullptr;
            if (SUCCEEDED(group->QueryInterface(IID_PPV_ARGS(&state))) &&
                SUCCEEDED(state->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr))) {
                names.push_back(name);
                CoTaskMemFree(name);
            }
            group->Release();
        }
        return names;
    };
    HRESULT hr = E_FAIL;
    for (OPCENUMSCOPE scope : {OPC_ENUM_ALL_CONNECTIONS, OPC_ENUM_PRIVATE, OPC_ENUM_PUBLIC}) {
        EXPECT_EQ(Names{}, enumerate(scope, IID_IEnumString, &hr));
        EXPECT_EQ(S_FALSE, hr) << "nothing there";
    }
    OPCHANDLE handles[2] = {};
    DWORD rate = 0;
    for (OPCHANDLE& handle : handles) {
        ComPtr<IUnknown> group;
        ASSERT_EQ(S_OK, server->AddGroup(&handle == &handles[0] ? L"Fast" : L"Slow", TRUE, 100, 1, nullptr, nullptr, 0,
                                         &handle, &rate, IID_IUnknown, group.GetAddressOf()));
    }
    const struct {
        OPCENUMSCOPE scope;
        HRESULT hr;
        Names names;
    } cases[] = {
        {OPC_ENUM_PRIVATE_CONNECTIONS, S_OK, {L"Fast", L"Slow"}},
        {OPC_ENUM_ALL_CONNECTIONS, S_OK, {L"Fast", L"Slow"}},
        {OPC_ENUM_PRIVATE, S_OK, {L"Fast", L"Slow"}},
        {OPC_ENUM_ALL, S_OK, {L"Fast", L"Slow"}},
        {OPC_ENUM_PUBLIC_CONNECTIONS, S_FALSE, {}},
        {OPC_ENUM_PUBLIC, S_FALSE, {}},
    };
    for (const auto& c : cases) {
        for (const IID* riid : {&IID_IEnumString, &IID_IEnumUnknown}) {
            EXPECT_EQ(c.names, enumerate(c.scope, *riid, &hr)) << c.scope;
            EXPECT_EQ(c.hr, hr) << c.scope;
        }
    }
    EXPECT_EQ(Names{}, enumerate(static_cast<OPCENUMSCOPE>(7), IID_IEnumString, &hr));
    EXPECT_EQ(E_INVALIDARG, hr);
    EXPECT_EQ(Names{}, enumerate(OPC_ENUM_ALL, IID_IEnumOPCItemAttributes, &hr));
    EXPECT_EQ(E_NOINTERFACE, hr);
    EXPECT_EQ(E_INVALIDARG, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr));
    // The enumerator keeps what it enumerates: a group removed meanwhile is still there to be released.
    ComPtr<IEnumUnknown> held;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                                  reinterpret_cast<LPUNKNOWN*>(held.GetAddressOf())));
    for (OPCHANDLE handle : handles) EXPECT_EQ(S_OK, server->RemoveGroup(handle, FALSE));
    ComPtr<IEnumUnknown> clone;
    ASSERT_EQ(S_OK, held->Clone(&clone));
    IUnknown* groups[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, clone->Next(3, groups, &fetched));
    ASSERT_EQ(2u, fetched);
    for (ULONG i = 0; i < fetched; ++i) groups[i]->Release();
}

namespace {
DWORD Advise(IOPCServer* server, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (SUCCEEDED(server->QueryInterface(IID_PPV_ARGS(&container))) &&
        SUCCEEDED(container->FindConnectionPoint(IID_IOPCShutdown, &point))) {
        point->Advise(sink, &cookie);
    }
    return cookie;
}
}  // namespace

TEST(ServerObjectTest, ShutdownReachesEveryAdvisedSinkAndAHungOneDoesNotHoldItUp) {
    ConfiguredDocument config;
    ShutdownSink answering(false), gone(false), hanging(true);  // outlive the servers that hold them
    ComPtr<IOPCServer> first = NewServer(config.doc), second = NewServer(config.doc), third = NewServer(config.doc);
    ASSERT_NE(0u, Advise(first.Get(), &answering));
    ASSERT_NE(0u, Advise(second.Get(), &hanging));
    const DWORD cookie = Advise(third.Get(), &gone);
    ASSERT_NE(0u, cookie);
    // A sink that has gone hears nothing.
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, third.As(&container));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCShutdown, &point));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(2u, NotifyShutdown(L"Closing for the night", 500));
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 450u) << "waited for the hung one as long as allowed";
    EXPECT_LT(took, 1500u) << "and no longer";
    EXPECT_EQ(std::vector<std::wstring>{L"Closing for the night"}, answering.Reasons());
    EXPECT_TRUE(gone.Reasons().empty());
    hanging.LetGo();
    EXPECT_TRUE(WaitFor(5000, [&] { return hanging.Reasons().size() == 1 && hanging.References() == 2; }))
        << "the left call ends by itself and lets its sink go";
    // A server's end lets its sinks go.
    first.Reset();
    EXPECT_EQ(1u, answering.References());
}

TEST(ServerObjectTest, TheClientSnapshotShowsEachConnectionWithItsNameGroupsItemsAndLastCall) {
    ConfiguredDocument config;
    const std::uint64_t before = FileTimeToU64(FileTimeNow());
    ComPtr<IOPCServer> idle = NewServer(config.doc), busy = NewServer(config.doc);
    OPCHANDLE handle = 0;
    DWORD rate = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, busy->AddGroup(L"", FALSE, 100, 1, nullptr, nullptr, 0, &handle, &rate, IID_IOPCItemMgt,
                                   reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())));
    ASSERT_EQ(S_OK, busy->AddGroup(L"", FALSE, 100, 1, nullptr, nullptr, 0, &handle, &rate, IID_IOPCItemMgt,
                                   reinterpret_cast<LPUNKNOWN*>(ComPtr<IOPCItemMgt>().GetAddressOf())));
    OPCITEMDEF defs[2] = {};
    defs[0].szItemID = const_cast<LPWSTR>(L"Pump1.Flow");
    defs[1].szItemID = const_cast<LPWSTR>(L"Pump1.Motor.Temp");
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, items->AddItems(2, defs, &results, &errors));
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, busy.As(&common));
    ASSERT_EQ(S_OK, common->SetClientName(L"Historian"));
    const std::uint64_t after = FileTimeToU64(FileTimeNow());

    const std::vector<ClientSnapshot> clients = SnapshotClients();
    ASSERT_GE(clients.size(), 2u);
    const ClientSnapshot& a = clients[clients.size() - 2];
    const ClientSnapshot& b = clients.back();
    EXPECT_EQ(L"", a.clientName);
    EXPECT_EQ(0u, a.groups);
    EXPECT_EQ(L"", a.lastCall) << "no call yet";
    EXPECT_EQ(L"Historian", b.clientName);
    EXPECT_EQ(2u, b.groups);
    EXPECT_EQ(2u, b.items);
    EXPECT_EQ(0u, b.dataObjectSubscriptions + b.callbackSubscriptions);
    EXPECT_EQ(L"IOPCCommon::SetClientName", b.lastCall);
    for (const ClientSnapshot* c : {&a, &b}) {
        EXPECT_GE(FileTimeToU64(c->connectedSince), before);
        EXPECT_LE(FileTimeToU64(c->connectedSince), after);
    }
    EXPECT_GE(FileTimeToU64(b.lastCallTime), FileTimeToU64(b.connectedSince));
    EXPECT_LE(FileTimeToU64(b.lastCallTime), after);
}
