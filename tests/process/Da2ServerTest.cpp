// The DA 2.05a server object of the real program, through the registered
// proxy: IOPCCommon, the shutdown connection point, the group enumerator and
// the item properties, and the shutdown requests on the ways the program ends.
#include <gtest/gtest.h>

#include <olectl.h>

#include <string>
#include <vector>

#include "TvfBuilder.h"
#include "OpcClient.h"
#include "OpcConstants.h"
#include "ProcessSuite.h"
#include "RegistryProbe.h"
#include "ServerProcess.h"
#include "ShutdownSink.h"

namespace {
constexpr DWORD kStartMs = 30000;
constexpr DWORD kExitMs = 30000;

std::string Narrow(const std::wstring& text) {
    std::string s;
    for (wchar_t c : text) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

std::wstring ReadLog(const std::wstring& path) {
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    return std::wstring(bytes.begin(), bytes.end());  // the log's texts here are ASCII
}

ComPtr<IConnectionPoint> ShutdownPoint(IOPCServer* server) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(server->QueryInterface(IID_PPV_ARGS(&container)))) {
        container->FindConnectionPoint(IID_IOPCShutdown, &point);
    }
    return point;
}

class Da2ServerTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        FileGroup tank{"Tank", {}, {{"Level", VT_R8, 1, 42.5, {}, true}, {"Name", VT_BSTR, 0, 0, L"North", false}}};
        ASSERT_NO_FATAL_FAILURE(Prepare(ConfigurationBytes({tank}), true));
        ASSERT_TRUE(process.Start(L""));
        frame = process.WaitForMainWindow(kStartMs);
        ASSERT_NE(frame, nullptr);
        ASSERT_EQ(S_OK, ConnectServer(server));
    }
    void TearDown() override {
        server.Reset();
        process.Kill();
        ProcessSuite::TearDown();
    }

    ServerProcess process;
    HWND frame = nullptr;
    ComPtr<IOPCServer> server;
};
}  // namespace

// What crosses the proxy: strings, arrays of results and VARIANTs, and
// interfaces handed back. The rules behind each answer are the in-process
// suites' (ServerObjectTest, Da2GroupTest, ItemPropertiesTest).
TEST_F(Da2ServerTest, CommonInterfaceConnectionPointAndGroupEnumeratorThroughTheProxy) {
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(&common));
    EXPECT_EQ(S_OK, common->SetClientName(L"Da2 test client"));
    DWORD count = 0;
    LCID* locales = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &locales));
    EXPECT_EQ(4u, count);
    CoTaskMemFree(locales);
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, common->GetErrorString(static_cast<HRESULT>(0xC0040203), &text));
    EXPECT_STREQ(L"The property ID is not valid for this item.", text);
    CoTaskMemFree(text);

    // The container's one point, the way back to it, and a connection listed.
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, server.As(&container));
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    ULONG fetched = 0;
    IConnectionPoint* listed[2] = {};
    ASSERT_EQ(S_FALSE, points->Next(2, listed, &fetched));
    ASSERT_EQ(1u, fetched);
    ComPtr<IConnectionPoint> point;
    point.Attach(listed[0]);
    IID iid{};
    ASSERT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&back));
    ComPtr<IUnknown> identity, backIdentity;
    server.As(&identity);
    back.As(&backIdentity);
    EXPECT_EQ(identity.Get(), backIdentity.Get());
    ShutdownSink sink(false);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(&connections));
    CONNECTDATA data[2] = {};
    // Wine's proxy of IEnumConnections::Next passes the records but neither the
    // count nor S_FALSE (it answers S_OK with an unset count): only the records are checked here.
    connections->Next(2, data, &fetched);
    EXPECT_EQ(cookie, data[0].dwCookie);
    ASSERT_NE(nullptr, data[0].pUnk);
    EXPECT_EQ(nullptr, data[1].pUnk);
    data[0].pUnk->Release();
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    // Its stub goes before the stack object does (Wine's IEnumConnections stub keeps the sink).
    CoDisconnectObject(&sink, 0);

    // A group by name and as the object itself.
    OPCHANDLE handle = 0;
    DWORD rate = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->AddGroup(L"Main", FALSE, 500, 1, nullptr, nullptr, 0, &handle, &rate, IID_IOPCItemMgt,
                                     reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())));
    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumString,
                                                  reinterpret_cast<LPUNKNOWN*>(names.GetAddressOf())));
    EXPECT_EQ(std::vector<std::wstring>{L"Main"}, DrainStrings(names.Get()));
    ComPtr<IEnumUnknown> groups;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumUnknown,
                                                  reinterpret_cast<LPUNKNOWN*>(groups.GetAddressOf())));
    IUnknown* group = nullptr;
    ASSERT_EQ(S_OK, groups->Next(1, &group, &fetched));
    ComPtr<IUnknown> groupIdentity, itemsIdentity;
    group->QueryInterface(IID_PPV_ARGS(&groupIdentity));
    items.As(&itemsIdentity);
    EXPECT_EQ(itemsIdentity.Get(), groupIdentity.Get());
    group->Release();

    // Item properties: arrays of ids, descriptions, types, VARIANTs (an array
    // among them) and per-item results.
    ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(S_OK, server.As(&properties));
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(S_OK, properties->QueryAvailableProperties(const_cast<LPWSTR>(L"Tank.Level"), &count, &ids, &descriptions,
                                                         &types));
    EXPECT_EQ(17u, count) << "1-8, 101, 102, 103 and the tag's six settings";
    EXPECT_EQ(1u, ids[0]);
    EXPECT_EQ(VT_I2, types[0]);
    EXPECT_STREQ(L"Item Canonical DataType", descriptions[0]);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    DWORD wanted[] = {2, 8, 9999, 101};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, properties->GetItemProperties(const_cast<LPWSTR>(L"Tank.Level"), 4, wanted, &values, &errors));
    EXPECT_TRUE(V_VT(&values[0]) == VT_R8 && V_R8(&values[0]) == 42.5);
    EXPECT_EQ(VT_ARRAY | VT_R8, V_VT(&values[1]));
    EXPECT_EQ(OPC_E_INVALID_PID, errors[2]);
    EXPECT_EQ(VT_BSTR, V_VT(&values[3]));
    for (int i = 0; i < 4; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    // The client's name in the event log when it comes and when it goes.
    items.Reset();
    groups.Reset();
    names.Reset();
    connections.Reset();
    points.Reset();
    point.Reset();
    back.Reset();
    properties.Reset();
    container.Reset();
    common.Reset();
    identity.Reset();
    backIdentity.Reset();
    groupIdentity.Reset();
    itemsIdentity.Reset();
    server.Reset();
    Sleep(500);  // the last release travels to the window as a posted message
    PostMessageW(frame, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(process.WaitForExit(kExitMs, &code)) << Narrow(MessageBoxText(process.WaitForMessageBox(0)));
    EXPECT_EQ(0u, code);
    const std::wstring log = ReadLog(logFile);
    EXPECT_NE(std::wstring::npos, log.find(L"OPC client connected - Name: Da2 test client")) << Narrow(log);
    EXPECT_NE(std::wstring::npos, log.find(L"OPC client disconnected - Name: Da2 test client")) << Narrow(log);
}

TEST_F(Da2ServerTest, EveryWayOutTellsTheAdvisedClientsAndAHungOneDoesNotHoldItUp) {
    enum class Way { SessionEnd, ExitAnyway, AskedByAnotherProgram };
    const struct {
        const char* road;
        Way way;
        const wchar_t* reason;
    } roads[] = {
        {"session end", Way::SessionEnd, L"Tovi Explorer is closing: Windows is ending the session."},
        {"exit anyway", Way::ExitAnyway, L"Tovi Explorer is being closed by its operator."},
        {"/Close", Way::AskedByAnotherProgram,
         L"Tovi Explorer is closing: another program asked it to (an update or uninstall)."},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.road);
        if (!server) {
            ASSERT_TRUE(process.Start(L""));
            frame = process.WaitForMainWindow(kStartMs);
            ASSERT_NE(frame, nullptr);
            ASSERT_EQ(S_OK, ConnectServer(server));
        }
        ComPtr<IOPCServer> other;
        ASSERT_EQ(S_OK, ConnectServer(other));
        ShutdownSink listening(false), hung(true);
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, ShutdownPoint(server.Get())->Advise(&listening, &cookie));
        ASSERT_EQ(S_OK, ShutdownPoint(other.Get())->Advise(&hung, &cookie));
        const ULONGLONG start = GetTickCount64();
        if (road.way == Way::SessionEnd) {
            // Windows sends it and ends the process once the window has answered.
            DWORD_PTR answer = 0;
            ASSERT_NE(0, SendMessageTimeoutW(frame, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, kExitMs, &answer));
        } else if (road.way == Way::AskedByAnotherProgram) {
            // No question: the program that asks may run unattended.
            ServerProcess closer;
            ASSERT_TRUE(closer.Start(L"/Close 20"));
            DWORD code = 99;
            ASSERT_TRUE(closer.WaitForExit(kExitMs, &code));
            EXPECT_EQ(0u, code) << "ended on request, not by force";
            EXPECT_TRUE(process.WaitForExit(0));
            EXPECT_NE(std::wstring::npos, ReadLog(logFile).find(L"Closing at the request of another program"));
        } else {
            PostMessageW(frame, WM_CLOSE, 0, 0);
            HWND box = process.WaitForMessageBox(kStartMs);
            ASSERT_NE(box, nullptr);
            const ULONGLONG asked = GetTickCount64();
            PressButton(box, IDYES);
            ASSERT_TRUE(process.WaitForExit(kExitMs));
            EXPECT_LT(GetTickCount64() - asked, 6000u) << "two bounded waits: the clients and the class object";
        }
        EXPECT_EQ(std::vector<std::wstring>{road.reason}, listening.Reasons());
        EXPECT_LT(GetTickCount64() - start, 8000u);
        EXPECT_TRUE(hung.Reasons().empty());
        hung.LetGo();
        // The server died holding them: their stubs go before the stack objects do.
        CoDisconnectObject(&listening, 0);
        CoDisconnectObject(&hung, 0);
        other.Reset();
        server.Reset();
        process.Kill();
        KillRunningServers();
    }
}
