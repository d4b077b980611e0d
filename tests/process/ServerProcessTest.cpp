// The real program in the test prefix, driven from outside: registration,
// the help box, start-up with a configuration, clients through the proxy,
// the client-object count and the ends of the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

#include "TvfBuilder.h"
#include "FileTime.h"
#include "OpcClient.h"
#include "OpcConstants.h"
#include "RecordingSink.h"
#include "ProcessSuite.h"
#include "RegistryProbe.h"
#include "ServerIds.h"
#include "ServerProcess.h"
#include "ServerUnderTest.h"

namespace {
constexpr DWORD kStartMs = 30000;  // a start-up under Wine, with room to spare
constexpr DWORD kExitMs = 30000;
constexpr DWORD kQuickMs = 2000;

const std::wstring kClassKey = std::wstring(L"CLSID\\") + kServerClsidText;
const std::wstring kAppIdKey = std::wstring(L"AppID\\") + kServerClsidText;

std::vector<FileGroup> Plant() {
    FileGroup pump{"Pump1", {}, {}};
    pump.groups.push_back({"Motors", {}, {{"Speed", VT_R8, 1, 12.5, {}, true}, {"Current", VT_R4, 0, 3.0, {}}}});
    FileGroup valves{"Valves", {}, {}};
    valves.groups.push_back({"Inlet", {}, {{"Open", VT_BOOL, 1, 1, {}}}});
    pump.groups.push_back(valves);
    pump.tags = {{"Flow", VT_I4, 0, 42, {}}, {"Status", VT_BSTR, 1, 0, L"running"}};
    FileGroup tank{"Tank", {}, {{"Level", VT_R8, 1, 0.75, {}}}};
    FileGroup boiler{"Boiler", {}, {}};
    return {pump, tank, boiler};
}

std::wstring ReadLog(const std::wstring& path) {
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    if (bytes.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                        text.data(), n);
    return text;
}

// Waits for a message box of the process, presses a button and gives its text.
std::wstring AnswerMessageBox(const ServerProcess& process, int button) {
    HWND box = process.WaitForMessageBox(kStartMs);
    if (box == nullptr) return L"<no box>";
    const std::wstring text = MessageBoxText(box);
    PressButton(box, button);
    WaitFor(kExitMs, [&] { return !IsWindow(box); });
    return text;
}

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

size_t Occurrences(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

std::string Narrow(const std::wstring& text) {
    std::string s;
    for (wchar_t c : text) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

// GetStatus with the memory freed; the status without its vendor text in *out.
HRESULT Status(IOPCServer* server, OPCSERVERSTATUS* out = nullptr) {
    OPCSERVERSTATUS* status = nullptr;
    const HRESULT hr = server->GetStatus(&status);
    if (status != nullptr) {
        if (out != nullptr) *out = *status;
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    if (out != nullptr) out->szVendorInfo = nullptr;
    return hr;
}

using Names = std::vector<std::wstring>;

// A string the proxy allocated for the caller.
struct CoTaskString {
    LPWSTR p = nullptr;
    ~CoTaskString() { CoTaskMemFree(p); }
    LPWSTR* Out() {
        CoTaskMemFree(p);
        p = nullptr;
        return &p;
    }
    std::wstring Text() const { return p ? std::wstring(p) : std::wstring(L"<null>"); }
};

// Runs the program with arguments to its end (it must end by itself).
DWORD RunToEnd(const std::wstring& arguments) {
    ServerProcess process;
    if (!process.Start(arguments)) {
        ADD_FAILURE() << "cannot start the program: error " << GetLastError();
        return 99;
    }
    DWORD code = 0;
    if (!process.WaitForExit(kExitMs, &code)) {
        ADD_FAILURE() << "still running: " << Narrow(arguments)
                      << "; a box says: " << Narrow(MessageBoxText(process.WaitForMessageBox(0)));
        return 99;
    }
    return code;
}

class ServerProcessTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        ASSERT_TRUE(WriteBytes(configFile, ConfigurationBytes(Plant())));
        WriteServerSettings(logFile, configFile);
    }
    void TearDown() override {
        EXPECT_TRUE(WaitUntilNoServerRuns(kQuickMs)) << "a server process was left running";
        ProcessSuite::TearDown();
    }

    // Closes the window of a server whose clients have gone, as a user does,
    // and gives its event log.
    std::wstring CloseWithoutClients(ServerProcess& process, HWND frame) {
        Sleep(300);  // the last release travels to the window as a posted message
        PostMessageW(frame, WM_CLOSE, 0, 0);
        DWORD code = 99;
        EXPECT_TRUE(process.WaitForExit(kExitMs, &code));
        EXPECT_EQ(code, 0u);
        const std::wstring log = ReadLog(logFile);
        EXPECT_TRUE(Contains(log, L"Application terminating normally")) << Narrow(log);
        return log;
    }

    // Starts the program by hand, connects a client and closes the window:
    // the exit question is then on the screen.
    void CloseWhileConnected(ServerProcess& process, ComPtr<IOPCServer>& server, HWND* frame, HWND* box) {
        ASSERT_NO_FATAL_FAILURE(Register());
        ASSERT_TRUE(process.Start(L""));
        *frame = process.WaitForMainWindow(kStartMs);
        ASSERT_NE(*frame, nullptr);
        ASSERT_EQ(ConnectServer(server), S_OK);
        PostMessageW(*frame, WM_CLOSE, 0, 0);
        *box = process.WaitForMessageBox(kStartMs);
        ASSERT_NE(*box, nullptr);
        EXPECT_EQ(MessageBoxText(*box), L"OPC Clients are currently connected to this server, Exit anyway?");
        EXPECT_EQ(WindowCaption(*box), L"Tovi Explorer");
    }
};

void ExpectRegistered() {
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kAppIdKey, L""), L"Zelkor Tovi Explorer");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kServerProgId, L""), L"Zelkor Tovi Explorer");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, std::wstring(kServerProgId) + L"\\CLSID", L""), kServerClsidText);
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, std::wstring(kServerProgId) + L"\\OPC", L"Vendor"), L"Zelkor Company");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kClassKey, L""), L"Zelkor Tovi Explorer");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kClassKey + L"\\ProgID", L""), L"Zelkor.Tovi.1");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kClassKey + L"\\VersionIndependentProgID", L""), L"Zelkor.Tovi");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kClassKey + L"\\LocalServer32", L"ThreadingModel"), L"both");
    const auto server = TextValue(HKEY_CLASSES_ROOT, kClassKey + L"\\LocalServer32", L"");
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->find(L' '), std::wstring::npos) << Narrow(*server);
    wchar_t longForm[MAX_PATH * 2];
    ASSERT_NE(GetLongPathNameW(server->c_str(), longForm, MAX_PATH * 2), 0u) << Narrow(*server);
    EXPECT_EQ(CompareStringOrdinal(longForm, -1, ServerExePath().c_str(), -1, TRUE), CSTR_EQUAL) << Narrow(longForm);
    for (const auto& [category, description] :
         {std::pair{kCategoryOpcDaServer10Text, L"OPC Data Access Servers Version 1.0"},
          std::pair{kCategoryOpcDaServer20Text, L"OPC Data Access Servers Version 2.0"},
          std::pair{kCategoryOpcDaServer30Text, L"OPC Data Access Servers Version 3.0"}}) {
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" + category));
        EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, std::wstring(L"Component Categories\\") + category, L"409"),
                  description);
    }
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(kServerProgId, &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_ToviExplorerServer));
    // The settings are saved with all their values.
    const Names values = ValueNames(HKEY_LOCAL_MACHINE, kSettingsKey);
    EXPECT_EQ(values.size(), 10u);
    for (const wchar_t* name : {L"Toolbar Active", L"Poll Rate Secs", L"Event Log File Size", L"Last Splitter Wnd Val",
                                L"Last Window Location", L"Event Log File", L"Event Log Enabled", L"Tag Icon Bitmap",
                                L"Last Used File", L"Column Info"}) {
        EXPECT_NE(std::find(values.begin(), values.end(), name), values.end()) << Narrow(name);
    }
}

void ExpectUnregistered() {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kServerProgId));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Zelkor\\Tovi Explorer"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Zelkor\\Tovi Explorer"));
    CLSID clsid{};
    EXPECT_NE(CLSIDFromProgID(kServerProgId, &clsid), S_OK);
    ComPtr<IOPCServer> server;
    EXPECT_EQ(ConnectServer(server), REGDB_E_CLASSNOTREG);
}
}  // namespace

// The proxy/stub beside the program, called as regsvr32 calls it.
HRESULT CallInterfaceProxy(const char* entry) {
    std::wstring proxy = ServerExePath();
    proxy = proxy.substr(0, proxy.find_last_of(L'\\') + 1) + kInterfaceProxyFile;
    HMODULE module = LoadLibraryW(proxy.c_str());
    if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Entry>(GetProcAddress(module, entry));
    const HRESULT hr = function != nullptr ? function() : E_NOINTERFACE;
    FreeLibrary(module);
    return hr;
}

const wchar_t kProxyClsid[] = L"{6B002D8F-94BE-420E-89B9-8A15B61B3639}";
const wchar_t kOtherProxyClsid[] = L"{0A0B0C0D-1111-2222-3333-444455556666}";

// The proxy CLSID registered for each OPC interface ("" for none), IOPCShutdown's last.
std::vector<std::wstring> InterfaceProxies() {
    const IID* iids[] = {&IID_IOPCServer,
                         &IID_IOPCServerPublicGroups,
                         &IID_IOPCBrowseServerAddressSpace,
                         &IID_IOPCGroupStateMgt,
                         &IID_IOPCPublicGroupStateMgt,
                         &IID_IOPCSyncIO,
                         &IID_IOPCAsyncIO,
                         &IID_IOPCItemMgt,
                         &IID_IEnumOPCItemAttributes,
                         &IID_IOPCCommon,
                         &IID_IOPCItemProperties,
                         &IID_IOPCAsyncIO2,
                         &IID_IOPCDataCallback,
                         &IID_IOPCBrowse,
                         &IID_IOPCItemIO,
                         &IID_IOPCSyncIO2,
                         &IID_IOPCAsyncIO3,
                         &IID_IOPCGroupStateMgt2,
                         &IID_IOPCItemDeadbandMgt,
                         &IID_IOPCItemSamplingMgt,
                         &IID_IOPCShutdown};
    std::vector<std::wstring> proxies;
    for (const IID* iid : iids) {
        wchar_t text[40];
        StringFromGUID2(*iid, text, 40);
        proxies.push_back(TextValue(HKEY_CLASSES_ROOT, std::wstring(L"Interface\\") + text + L"\\ProxyStubClsid32", L"")
                              .value_or(L""));
    }
    return proxies;
}
const std::wstring kShutdownInterfaceKey = L"Interface\\{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}";
const std::wstring kProxyClassKey = std::wstring(L"CLSID\\") + kProxyClsid;

// The proxy registers each interface only where no other proxy serves it,
// from regsvr32 and from /RegServer alike, and removes only those; the
// server's categories stay while another class implements them.
TEST_F(ServerProcessTest, RegistersAndUnregistersTwice) {
    using Proxies = std::vector<std::wstring>;
    const Proxies ours(21, kProxyClsid);
    Proxies oursButShutdown = ours;
    oursButShutdown.back() = kOtherProxyClsid;
    ASSERT_EQ(CallInterfaceProxy("DllUnregisterServer"), S_OK);
    ASSERT_EQ(InterfaceProxies(), Proxies(21));
    ASSERT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProxyClassKey));
    // Another product's proxy serves IOPCShutdown.
    ASSERT_TRUE(SetTextValue(HKEY_CLASSES_ROOT, kShutdownInterfaceKey + L"\\ProxyStubClsid32", L"", kOtherProxyClsid));
    EXPECT_EQ(RunToEnd(L"/RegServer"), 0u);
    ExpectRegistered();
    EXPECT_EQ(InterfaceProxies(), oursButShutdown);
    EXPECT_TRUE(Contains(ReadLog(logFile), L"Registering server"));
    EXPECT_EQ(RunToEnd(L"-regserver"), 0u);
    ExpectRegistered();
    EXPECT_EQ(InterfaceProxies(), oursButShutdown);
    EXPECT_EQ(CallInterfaceProxy("DllUnregisterServer"), S_OK);
    Proxies onlyOther(21);
    onlyOther.back() = kOtherProxyClsid;
    EXPECT_EQ(InterfaceProxies(), onlyOther);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProxyClassKey));
    DeleteKeyTree(HKEY_CLASSES_ROOT, kShutdownInterfaceKey);
    EXPECT_EQ(CallInterfaceProxy("DllRegisterServer"), S_OK);
    EXPECT_EQ(InterfaceProxies(), ours);

    // The first removal takes the keys, the configuration and the event log,
    // and the category that no other class implements.
    const std::wstring otherClass = L"CLSID\\{0A0B0C0D-1111-2222-3333-444455556667}";
    ASSERT_TRUE(SetTextValue(HKEY_CLASSES_ROOT, otherClass + L"\\Implemented Categories\\" + kCategoryOpcDaServer20Text,
                             L"", L""));
    EXPECT_EQ(RunToEnd(L"/UnregServer"), 0u);
    ExpectUnregistered();
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"Component Categories\\") + kCategoryOpcDaServer10Text));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"Component Categories\\") + kCategoryOpcDaServer30Text));
    EXPECT_EQ(
        TextValue(HKEY_CLASSES_ROOT, std::wstring(L"Component Categories\\") + kCategoryOpcDaServer20Text, L"409"),
        L"OPC Data Access Servers Version 2.0");
    EXPECT_EQ(InterfaceProxies(), ours);  // /UnregServer leaves the proxy to whoever registered it
    EXPECT_EQ(GetFileAttributesW(configFile.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(logFile.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteKeyTree(HKEY_CLASSES_ROOT, otherClass);

    // The second finds no keys but the category now unused, and still logs
    // what it does; the log is held open here (without delete sharing), so
    // it survives to be read.
    ASSERT_TRUE(WriteBytes(configFile, ConfigurationBytes(Plant())));
    WriteServerSettings(logFile, configFile);
    ASSERT_TRUE(WriteBytes(logFile, {}));
    HANDLE held = CreateFileW(logFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunToEnd(L"-UNREGSERVER"), 0u);
    CloseHandle(held);
    ExpectUnregistered();
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"Component Categories\\") + kCategoryOpcDaServer20Text));
    EXPECT_EQ(GetFileAttributesW(configFile.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::wstring log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"Un-Registering server \r\n")) << Narrow(log);
    EXPECT_TRUE(Contains(log, L"Application registry entries removed. \r\n"));
    EXPECT_TRUE(Contains(log, L"Del /Q /F \"" + configFile + L"\" \r\n"));
    EXPECT_TRUE(Contains(log, L"Del /Q /F \"" + logFile + L"\" \r\n"));
    EXPECT_FALSE(Contains(log, L"Application starting"));
}

TEST_F(ServerProcessTest, HelpShowsTheParametersAndOpensNothing) {
    ServerProcess process;
    ASSERT_TRUE(process.Start(L"/?"));
    HWND box = process.WaitForMessageBox(kStartMs);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box),
              L"\"The OPC Server takes the following parameters:\n/RegServer - Register the server\n"
              L"/UnRegServer -  Unregister the server\n\"");
    EXPECT_EQ(WindowCaption(box), L"Tovi Explorer");
    EXPECT_TRUE(ProcessWindows(process.Id(), L"ToviExplorerFrame").empty());
    PressButton(box, IDOK);
    DWORD code = 99;
    ASSERT_TRUE(process.WaitForExit(kExitMs, &code));
    EXPECT_EQ(code, 0u);
    const std::wstring log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"Log started or reset"));
    EXPECT_FALSE(Contains(log, L"Application starting"));
}

TEST_F(ServerProcessTest, UserStartedServerServesTheFileOnItsCommandLine) {
    Register();
    const std::wstring other = folder + L"\\Other.tvf";
    ASSERT_TRUE(WriteBytes(other, ConfigurationBytes(Plant())));
    WriteServerSettings(logFile, configFile);
    const FILETIME before = FileTimeNow();
    ServerProcess process;
    ASSERT_TRUE(process.Start(L"\"" + other + L"\""));
    HWND frame = process.WaitForMainWindow(kStartMs);
    ASSERT_NE(frame, nullptr);
    EXPECT_FALSE(IsIconic(frame));
    EXPECT_EQ(WindowCaption(frame), L"Tovi Explorer");

    ComPtr<IOPCServer> server;
    ASSERT_EQ(ConnectServer(server), S_OK);
    // The status with its vendor text through the proxy, the start time this process's own.
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->dwGroupCount, 0u);
    EXPECT_GE(FileTimeToU64(status->ftStartTime), FileTimeToU64(before));
    EXPECT_LE(FileTimeToU64(status->ftStartTime), FileTimeToU64(status->ftCurrentTime));
    EXPECT_STREQ(status->szVendorInfo, L"Tovi Explorer by Zelkor Company");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(server.As(&browse), S_OK);

    // The tree of the file written above, down and up through the proxy (the
    // rules of browsing are the in-process suite's).
    EXPECT_EQ(Browse(browse.Get(), OPC_BRANCH), (Names{L"Pump1", L"Tank", L"Boiler"}));
    EXPECT_EQ(Browse(browse.Get(), OPC_LEAF), Names{});
    std::wstring id;
    EXPECT_EQ(ItemId(browse.Get(), L"Nowhere", &id), E_INVALIDARG);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"PUMP1"), S_OK);
    EXPECT_EQ(Browse(browse.Get(), OPC_BRANCH), (Names{L"Motors", L"Valves"}));
    EXPECT_EQ(Browse(browse.Get(), OPC_LEAF), (Names{L"Flow", L"Status"}));
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Valves"), S_OK);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Inlet"), S_OK);
    EXPECT_EQ(Browse(browse.Get(), OPC_LEAF), (Names{L"Open"}));
    EXPECT_EQ(ItemId(browse.Get(), L"Open", &id), S_OK);
    EXPECT_EQ(id, L"Pump1.Valves.Inlet.Open");
    for (int up = 0; up < 3; ++up) EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);
    ComPtr<IEnumString> names, clone;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.GetAddressOf()), S_OK);
    EXPECT_EQ(names->Skip(1), S_OK);
    ASSERT_EQ(names->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(DrainStrings(clone.Get()), (Names{L"Pump1", L"Tank", L"Boiler"})) << "a clone starts afresh";

    clone.Reset();
    names.Reset();
    browse.Reset();
    server.Reset();
    // A user started it: it keeps running with no clients until closed.
    Sleep(500);
    EXPECT_TRUE(process.IsRunning());
    const std::wstring log = CloseWithoutClients(process, frame);
    EXPECT_TRUE(Contains(log, L"Application starting - Opening: " + other + L" \r\n")) << Narrow(log);
    // The configuration file type is known to the shell.
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, L".tvf", L""), L"ToviExplorer.Document");
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, L"ToviExplorer.Document", L""), L"Tovi Explorer Config");
    const auto open = TextValue(HKEY_CLASSES_ROOT, L"ToviExplorer.Document\\shell\\open\\command", L"");
    ASSERT_TRUE(open.has_value());
    EXPECT_TRUE(Contains(*open, L" \"%1\"")) << Narrow(*open);
}

TEST_F(ServerProcessTest, NewConfigurationIsConfirmedAndRefusedWhileClientsAreConnected) {
    Register();
    ServerProcess process;
    ASSERT_TRUE(process.Start(L""));
    HWND frame = process.WaitForMainWindow(kStartMs);
    ASSERT_NE(frame, nullptr);
    const std::wstring question = L"You are about to destroy the current configuration.  Do you wish to proceed?";
    auto fileNew = [&] { PostMessageW(frame, WM_COMMAND, MAKEWPARAM(57600, 0), 0); };

    // With a client connected the question is asked, then the change refused.
    ComPtr<IOPCServer> server;
    ASSERT_EQ(ConnectServer(server), S_OK);
    fileNew();
    EXPECT_EQ(AnswerMessageBox(process, IDYES), question);
    EXPECT_EQ(AnswerMessageBox(process, IDOK), L"Cannot change files while OPC Clients are connected to this server.");
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(server.As(&browse), S_OK);
    EXPECT_EQ(Browse(browse.Get(), OPC_BRANCH), (Names{L"Pump1", L"Tank", L"Boiler"}));
    browse.Reset();
    server.Reset();
    Sleep(300);  // the release travels to the window as a posted message

    // Without clients No keeps the configuration and Yes replaces it with an empty one.
    const std::wstring destroyed = L"Existing configuration destroyed. \r\n";
    EXPECT_EQ(Occurrences(ReadLog(logFile), destroyed), 1u);  // the refused one
    fileNew();
    EXPECT_EQ(AnswerMessageBox(process, IDNO), question);
    EXPECT_EQ(Occurrences(ReadLog(logFile), destroyed), 1u);
    fileNew();
    EXPECT_EQ(AnswerMessageBox(process, IDYES), question);
    EXPECT_TRUE(WaitFor(kExitMs, [&] { return Occurrences(ReadLog(logFile), destroyed) == 2; }));
    ASSERT_EQ(ConnectServer(server), S_OK);
    ASSERT_EQ(server.As(&browse), S_OK);
    EXPECT_EQ(Browse(browse.Get(), OPC_BRANCH), Names{});
    EXPECT_EQ(ReadBytes(configFile),
              (std::vector<std::uint8_t>{0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9, 0x3F, 0, 0, 0, 0}));
    browse.Reset();
    server.Reset();
    CloseWithoutClients(process, frame);
}

// No keeps a server with a remote client serving; Yes ends it at once, and
// its proxy then reports failures instead of hanging.
TEST_F(ServerProcessTest, ExitAsksWhileClientsAreConnectedAndYesForcesTheEnd) {
    ServerProcess process;
    ComPtr<IOPCServer> server;
    HWND frame = nullptr, box = nullptr;
    ASSERT_NO_FATAL_FAILURE(CloseWhileConnected(process, server, &frame, &box));
    PressButton(box, IDNO);
    EXPECT_TRUE(WaitFor(kExitMs, [&] { return ProcessWindows(process.Id(), L"#32770").empty(); }));
    EXPECT_TRUE(IsWindow(frame));
    ASSERT_EQ(Status(server.Get()), S_OK);

    PostMessageW(frame, WM_CLOSE, 0, 0);
    box = process.WaitForMessageBox(kStartMs);
    ASSERT_NE(box, nullptr);
    PressButton(box, IDYES);
    DWORD code = 99;
    ASSERT_TRUE(process.WaitForExit(kExitMs, &code));
    EXPECT_EQ(code, 1u);
    const std::wstring log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"Application starting - Opening: " + configFile + L" \r\n")) << Narrow(log);
    EXPECT_TRUE(Contains(log, L"Forcing termination of server while clients connected \r\n")) << Narrow(log);
    EXPECT_FALSE(Contains(log, L"Application terminating normally"));
    EXPECT_NE(Status(server.Get()), S_OK);
    server.Reset();
}

TEST_F(ServerProcessTest, ComStartedServerEndsWhenItsLastObjectGoes) {
    Register();
    ASSERT_TRUE(RunningServerIds().empty());
    ComPtr<IOPCServer> server;
    ASSERT_EQ(ConnectServer(server), S_OK);
    const std::vector<DWORD> ids = RunningServerIds();
    ASSERT_EQ(ids.size(), 1u);
    // Started for COM: minimised, and never a modal box to block on.
    for (HWND frame : ProcessWindows(ids[0], L"ToviExplorerFrame")) EXPECT_TRUE(IsIconic(frame));

    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(server.As(&browse), S_OK);
    EXPECT_EQ(Browse(browse.Get(), OPC_BRANCH), (Names{L"Pump1", L"Tank", L"Boiler"}));
    ComPtr<IEnumString> names;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.GetAddressOf()), S_OK);

    // The enumerator is a client object too: it alone keeps the process.
    browse.Reset();
    server.Reset();
    Sleep(1000);
    EXPECT_EQ(RunningServerIds(), ids);
    EXPECT_EQ(DrainStrings(names.Get()), (Names{L"Pump1", L"Tank", L"Boiler"}));
    names.Reset();
    EXPECT_TRUE(WaitUntilNoServerRuns(kExitMs));
    const std::wstring log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"Application starting - Opening: " + configFile + L" \r\n")) << Narrow(log);
    EXPECT_TRUE(Contains(log, L"Application terminating normally"));
}

TEST_F(ServerProcessTest, ClientsWorkGroupsAndItemsThroughTheProxy) {
    Register();
    ComPtr<IOPCServer> server;
    ASSERT_EQ(ConnectServer(server), S_OK);
    OPCHANDLE groupHandle = 0;
    DWORD revised = 1;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(server->AddGroup(L"", TRUE, 0, 5, nullptr, nullptr, 0, &groupHandle, &revised, IID_IOPCItemMgt,
                               reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())),
              S_OK);
    EXPECT_EQ(revised, 0u);
    ComPtr<IUnknown> same;
    EXPECT_EQ(server->GetGroupByName(L"Group1", IID_IUnknown, same.GetAddressOf()), S_OK);

    OPCITEMDEF defs[4] = {};
    const wchar_t* ids[4] = {L"Pump1.Motors.Speed", L"PUMP1.Flow", L"Pump1.Nothing", L"Pump1.Status"};
    for (int i = 0; i < 4; ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
    }
    defs[0].vtRequestedDataType = VT_R4;
    BYTE blob[] = {1, 2, 3};  // a blob the server may ignore, but that must travel
    defs[0].dwBlobSize = sizeof blob;
    defs[0].pBlob = blob;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    // A null [string] parameter is refused by the proxy itself; an enumeration
    // beyond 16 bits is refused, not truncated.
    ComPtr<IUnknown> none;
    OPCHANDLE noHandle = 0;
    DWORD noRate = 0;
    EXPECT_EQ(server->AddGroup(nullptr, TRUE, 0, 5, nullptr, nullptr, 0, &noHandle, &noRate, IID_IUnknown,
                               none.GetAddressOf()),
              HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(0x10006), IID_IEnumUnknown, none.GetAddressOf()),
              HRESULT_FROM_WIN32(RPC_X_ENUM_VALUE_OUT_OF_RANGE));
    ASSERT_EQ(items->ValidateItems(1, defs, FALSE, &results, &errors), S_OK);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R8);
    CoTaskMemFree(results[0].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ASSERT_EQ(items->AddItems(4, defs, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[2], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R8);
    EXPECT_EQ(results[1].vtCanonicalDataType, VT_I4);
    EXPECT_EQ(results[1].dwAccessRights, DWORD(OPC_READABLE));
    EXPECT_EQ(results[3].vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(results[2].hServer, 0u);
    OPCHANDLE h[3] = {results[0].hServer, results[1].hServer, results[3].hServer};
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // Reads from cache and device agree and carry the values of the file.
    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(items.As(&io), S_OK);
    for (OPCDATASOURCE source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
        OPCITEMSTATE* states = nullptr;
        ASSERT_EQ(io->Read(source, 3, h, &states, &errors), S_OK);
        EXPECT_EQ(states[0].hClient, 100u);
        EXPECT_EQ(V_VT(&states[0].vDataValue), VT_R4) << "the requested type";
        EXPECT_EQ(V_R4(&states[0].vDataValue), 12.5f);
        EXPECT_EQ(V_I4(&states[1].vDataValue), 42);
        ASSERT_EQ(V_VT(&states[2].vDataValue), VT_BSTR);
        EXPECT_STREQ(V_BSTR(&states[2].vDataValue), L"running");
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(errors[i], S_OK);
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }

    // A write to a read-only and a read/write item.
    VARIANT values[2];
    for (VARIANT& v : values) {
        VariantInit(&v);
        V_VT(&v) = VT_R4;
        V_R4(&v) = 7.5f;
    }
    OPCHANDLE writeHandles[2] = {h[1], h[0]};
    EXPECT_EQ(io->Write(2, writeHandles, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[1], S_OK);
    CoTaskMemFree(errors);
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, h, &states, &errors), S_OK);
    EXPECT_EQ(V_R4(&states[0].vDataValue), 7.5f);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // Group state and the item arrays both ways; the enumerator below shows what landed.
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(items.As(&state), S_OK);
    EXPECT_EQ(state->SetName(L"Gruppe \u00c4"), S_OK);
    DWORD rate = 250, lcid = 1;
    BOOL active = FALSE;
    LONG bias = 1;
    FLOAT deadband = 1;
    OPCHANDLE client = 0, serverGroup = 0;
    EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 250u);
    ComPtr<IOPCGroupStateMgt> clone;
    ASSERT_EQ(state->CloneGroup(L"Kopie", IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(clone.GetAddressOf())),
              S_OK);
    CoTaskString name;
    ASSERT_EQ(clone->GetState(&rate, &active, name.Out(), &bias, &deadband, &lcid, &client, &serverGroup), S_OK);
    EXPECT_EQ(name.Text(), L"Kopie");
    EXPECT_EQ(server->RemoveGroup(serverGroup, FALSE), S_OK);
    clone.Reset();
    ASSERT_EQ(state->GetState(&rate, &active, name.Out(), &bias, &deadband, &lcid, &client, &serverGroup), S_OK);
    EXPECT_EQ(name.Text(), L"Gruppe \u00c4");
    EXPECT_EQ(rate, 250u);
    EXPECT_TRUE(active);
    EXPECT_EQ(client, 5u);
    EXPECT_EQ(serverGroup, groupHandle);
    ComPtr<IOPCPublicGroupStateMgt> publicState;
    ASSERT_EQ(items.As(&publicState), S_OK);
    EXPECT_EQ(publicState->GetState(&active), S_OK);
    EXPECT_FALSE(active);
    OPCHANDLE pair[2] = {h[0], h[1]};
    OPCHANDLE clients[2] = {200, 201};
    VARTYPE types[2] = {VT_BSTR, VT_R8};
    ASSERT_EQ(items->SetClientHandles(2, pair, clients, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(items->SetDatatypes(2, pair, types, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(items->SetActiveState(1, &pair[1], FALSE, &errors), S_OK);
    CoTaskMemFree(errors);

    // The item enumerator crosses the process boundary.
    ComPtr<IEnumOPCItemAttributes> enumerator;
    ASSERT_EQ(
        items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(enumerator.GetAddressOf())),
        S_OK);
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(enumerator->Next(5, &records, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    EXPECT_STREQ(records[1].szItemID, L"Pump1.Flow");
    EXPECT_STREQ(records[1].szAccessPath, L"");
    EXPECT_EQ(records[0].hClient, 200u);
    EXPECT_EQ(records[0].vtRequestedDataType, VT_BSTR);
    EXPECT_EQ(records[1].vtRequestedDataType, VT_R8);
    EXPECT_TRUE(records[0].bActive);
    EXPECT_FALSE(records[1].bActive);
    EXPECT_EQ(records[1].hClient, 201u);
    EXPECT_EQ(records[0].dwEUType, OPC_ANALOG);
    ASSERT_EQ(V_VT(&records[0].vEUInfo), VT_ARRAY | VT_R8);
    double* limits = nullptr;
    ASSERT_EQ(SafeArrayAccessData(V_ARRAY(&records[0].vEUInfo), reinterpret_cast<void**>(&limits)), S_OK);
    EXPECT_EQ(limits[0], 0.0);
    EXPECT_EQ(limits[1], 100.0);
    SafeArrayUnaccessData(V_ARRAY(&records[0].vEUInfo));
    EXPECT_EQ(V_VT(&records[1].vEUInfo), VT_EMPTY);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(records[i].szItemID);
        CoTaskMemFree(records[i].szAccessPath);
        VariantClear(&records[i].vEUInfo);
    }
    CoTaskMemFree(records);

    // Removal stops at an invalid handle; a removed group held by the client still serves it.
    OPCHANDLE removal[2] = {h[1], 0xFFFFFFF0u};
    EXPECT_EQ(items->RemoveItems(2, removal, &errors), E_FAIL);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    EXPECT_EQ(server->RemoveGroup(groupHandle, FALSE), S_OK);
    OPCSERVERSTATUS status{};
    ASSERT_EQ(Status(server.Get(), &status), S_OK);
    EXPECT_EQ(status.dwGroupCount, 0u);
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, h, &states, &errors), S_OK);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // Let go in an unusual order: the server before its group.
    server.Reset();
    same.Reset();
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, h, &states, &errors), S_OK);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    enumerator.Reset();
    state.Reset();
    publicState.Reset();
    io.Reset();
    items.Reset();
    EXPECT_TRUE(WaitUntilNoServerRuns(kExitMs));
    const std::wstring log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"OPCGroup::Initialize - GrpName: Group1 UpdateTime(ms) 0 \r\n")) << Narrow(log);
    EXPECT_TRUE(Contains(log, L" DataThread Id: ")) << Narrow(log);
    EXPECT_TRUE(Contains(log, L"  terminated \r\n")) << Narrow(log);
}

TEST_F(ServerProcessTest, SubscribersReceiveStreamsAndAKilledSubscriberStallsNobody) {
    Register();
    ComPtr<IOPCServer> server;
    ASSERT_EQ(ConnectServer(server), S_OK);
    OPCHANDLE group = 0;
    DWORD rate = 0;
    ComPtr<IOPCItemMgt> items;
    // Made inactive and switched on once advised: a scan before the advice would
    // take the first report of the item whose deadband holds it afterwards.
    ASSERT_EQ(server->AddGroup(L"Watch", FALSE, 100, 9, nullptr, nullptr, 0, &group, &rate, IID_IOPCItemMgt,
                               reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())),
              S_OK);
    OPCITEMDEF defs[2] = {};
    defs[0].szItemID = const_cast<LPWSTR>(L"Pump1.Motors.Speed");
    defs[1].szItemID = const_cast<LPWSTR>(L"Pump1.Status");
    for (OPCHANDLE i = 0; i < 2; ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].bActive = TRUE;
        defs[i].hClient = 50 + i;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(2, defs, &results, &errors), S_OK);
    OPCHANDLE handles[2] = {results[0].hServer, results[1].hServer};
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // Every stream crosses the process boundary in the client's format.
    RecordingSink sink;
    const auto timeFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPC_STREAM_FORMAT_DATATIME));
    const auto writeFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPC_STREAM_FORMAT_WRITECOMPLETE));
    sink.SetWriteCompleteFormat(writeFormat);
    ComPtr<IDataObject> data;
    ASSERT_EQ(items.As(&data), S_OK);
    FORMATETC format{timeFormat, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, &sink, &connection), S_OK);
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(items.As(&state), S_OK);
    BOOL active = TRUE;
    ASSERT_EQ(state->SetState(nullptr, &rate, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(sink.WaitFor(1, kStartMs));
    ReceivedStream first = sink.Streams()[0];
    EXPECT_EQ(first.format, timeFormat);
    ASSERT_EQ(first.Count(), 2u);
    EXPECT_EQ(first.U32(8), 9u);
    EXPECT_EQ(first.U32(20), 50u);
    const std::uint32_t value = first.U32(24);
    EXPECT_EQ(value, 60u);
    EXPECT_EQ(first.U16(value), VT_R8);
    EXPECT_EQ(first.R8(value + 8), 12.5);
    EXPECT_EQ(first.U16(value + 16), VT_BSTR);
    EXPECT_EQ(first.U32(value + 32), 14u) << "\"running\" in bytes";
    EXPECT_EQ(first.Size(), 60u + 16 + 16 + 4 + 14 + 2);

    // An asynchronous write completes in the write-complete format.
    ComPtr<IOPCAsyncIO> async;
    ASSERT_EQ(items.As(&async), S_OK);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = 3.25;
    DWORD tid = 0;
    ASSERT_EQ(async->Write(connection, 1, handles, &v, &tid, &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(tid, 2u);
    EXPECT_TRUE(WaitFor(kStartMs, [&] {
        for (const ReceivedStream& s : sink.Streams()) {
            if (s.format == writeFormat && s.U32(8) == 2 && s.U32(0) == 1 && s.U32(16) == 50 && s.U32(20) == 0) {
                return true;
            }
        }
        return false;
    }));

    // A subscriber process killed mid-subscription costs the others nothing.
    std::string why;
    ASSERT_TRUE(KillWorkerOnceSubscribed(TOVI_CLIENT_WORKER, L"subscribe", kStartMs, &why)) << why;
    const size_t before = sink.Count();
    EXPECT_TRUE(sink.WaitFor(before + 10, kStartMs)) << "our subscription goes on at its rate";
    ASSERT_EQ(Status(server.Get()), S_OK);

    EXPECT_EQ(data->DUnadvise(connection), S_OK);
    async.Reset();
    data.Reset();
    items.Reset();
    server.Reset();
    // The dead client's objects are let go by COM's own clean-up in time; the
    // process is then ended by hand if it still waits for them.
    KillRunningServers();
}

// Lines of the event log that hold every one of the parts.
size_t LogLinesWith(const std::wstring& log, std::initializer_list<const wchar_t*> parts) {
    size_t count = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find(L'\n', at);
        if (end == std::wstring::npos) end = log.size();
        const std::wstring line = log.substr(at, end - at);
        bool all = true;
        for (const wchar_t* part : parts) all = all && Contains(line, part);
        if (all) ++count;
        at = end + 1;
    }
    return count;
}

TEST_F(ServerProcessTest, AGoneClientsSinksAreDroppedAndItsGroupsEnd) {
    Register();
    ComPtr<IOPCServer> server;  // a live client beside the dying ones keeps the process
    ASSERT_EQ(ConnectServer(server), S_OK);
    struct Case {
        const wchar_t* mode;
        const wchar_t* group;  // the worker's group, as the log writes it
    };
    size_t gone = 0;
    for (const Case& c : {Case{L"subscribe", L" Doomed "}, Case{L"callback", L" DoomedCallback "}}) {
        std::string why;
        ASSERT_TRUE(KillWorkerOnceSubscribed(TOVI_CLIENT_WORKER, c.mode, kStartMs, &why)) << why;
        // Its sink fails once, is dropped, and the group's two threads end.
        EXPECT_TRUE(WaitFor(kExitMs,
                            [&] {
                                return LogLinesWith(ReadLog(logFile), {c.group, L"terminated"}) == 2;
                            }))
            << Narrow(c.mode) << ": " << Narrow(ReadLog(logFile));
        Sleep(1000);  // the scans at 20 ms would have failed 50 more times meanwhile
        const std::wstring log = ReadLog(logFile);
        EXPECT_EQ(LogLinesWith(log, {L"OPC client gone - its groups are released"}), ++gone);
        EXPECT_EQ(LogLinesWith(log, {c.group, L"terminated"}), 2u) << "threads of that group only";
    }
    ASSERT_EQ(Status(server.Get()), S_OK);
    server.Reset();
    KillRunningServers();  // the gone clients' server objects are COM's to clean up
}

// A client whose sinks stop answering holds nobody: its own last release
// ends the COM-started server, and so does /Close while it holds everything,
// well within the close time; the event log names the client and its process
// beside each call it did not answer.
TEST_F(ServerProcessTest, AClientThatStopsAnsweringHoldsNeitherItsLastReleaseNorAClose) {
    Register();
    const struct {
        const wchar_t* how;
        std::vector<const wchar_t*> unanswered;
    } roads[] = {
        {L"release", {L"Call: IAdviseSink::OnDataChange", L"Call: IOPCDataCallback::OnDataChange"}},
        {L"keep", {L"Call: IOPCShutdown::ShutdownRequest"}},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(Narrow(road.how));
        std::wstring worker;
        DWORD closer = 99;
        bool ended = false;
        const auto meanwhile = [&](HANDLE process) {
            worker = L"Id: " + std::to_wstring(GetProcessId(process)) + L" ";
            if (road.unanswered.size() == 1) closer = RunToEnd(L"/Close 20");
            ended = WaitUntilNoServerRuns(20000);
        };
        std::string why;
        ASSERT_TRUE(KillWorkerOnceSubscribed(TOVI_CLIENT_WORKER, (std::wstring(L"hung ") + road.how).c_str(), kStartMs,
                                             &why, meanwhile))
            << why;
        EXPECT_TRUE(ended);
        if (road.unanswered.size() == 1) {
            EXPECT_EQ(closer, 0u) << "ended by itself, not by force";
        }
        const std::wstring log = ReadLog(logFile);
        for (const wchar_t* call : road.unanswered) {
            EXPECT_EQ(LogLinesWith(
                          log, {L"OPC client not answering - Name: Hung test client Process: process_client_worker.exe",
                                worker.c_str(), call}),
                      1u)
                << Narrow(call) << "\n"
                << Narrow(log);
        }
    }
}

// Clients one right after the other, each connecting, writing, reading and
// ending its own way. Clean ends let a COM-started process end with its last
// client, the next request arriving at once; dying clients leave their
// objects behind and keep the process. No round may hang or fail to connect.
constexpr int kComeAndGoRounds = 72;

TEST_F(ServerProcessTest, ClientsComingAndGoingAreServedEveryRound) {
    Register();
    // COM starts the process for the first client of each half block: first
    // clients that die and keep it, then clean ones that end it each time.
    const wchar_t* const kBlock[] = {L"abandon", L"abandon", L"clean", L"killed", L"frozen",
                                     L"clean",   L"clean",   L"clean", L"clean"};
    constexpr int kBlockSize = static_cast<int>(std::size(kBlock));
    constexpr DWORD kRoundMs = 20000;
    int failures = 0;
    int stuckExits = 0;  // clients whose own exit stalled: killed, as a user would
    std::string report;
    const ULONGLONG start = GetTickCount64();
    for (int round = 0; round < kComeAndGoRounds; ++round) {
        const std::wstring how = kBlock[round % kBlockSize];
        if (round % kBlockSize == 0 || round % kBlockSize == 5) KillRunningServers();
        std::string failure;
        const auto runRound = [&](const std::wstring& mode, const std::wstring& name) {
            DWORD code = 0;
            if (!RunWorker(TOVI_CLIENT_WORKER, (L"round " + mode).c_str(), kRoundMs, &code)) {
                failure = Narrow(name) + (code == 98 ? ": hung" : ": did not start, error " + std::to_string(code));
            } else if (code != 0) {
                failure = Narrow(name) + ": failed at step " + std::to_string(code);
            }
        };
        if (how != L"clean") {
            // The next client starts at once: beside one that is frozen with
            // a call of ours stuck in it, one still exiting, or one killed.
            std::string why;
            const auto meanwhile = [&](HANDLE worker) {
                if (how == L"frozen") runRound(L"clean", L"clean beside a frozen client");
                if (how == L"abandon" && WaitForSingleObject(worker, 3000) != WAIT_OBJECT_0) ++stuckExits;
            };
            if (!KillWorkerOnceSubscribed(TOVI_CLIENT_WORKER, (L"round " + how).c_str(), kRoundMs, &why, meanwhile)) {
                failure = Narrow(how) + ": " + why;
            }
        } else {
            runRound(how, how);
        }
        if (!failure.empty() && ++failures <= 5) report += "round " + std::to_string(round) + " " + failure + "; ";
    }
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ(failures, 0) << report;
    std::printf("%d rounds in %llu ms; %d abandoning clients stalled in their own exit\n", kComeAndGoRounds, took,
                stuckExits);
    KillRunningServers();
}

TEST_F(ServerProcessTest, ServesConcurrentClientThreadsAndProcesses) {
    Register();
    ComPtr<IOPCServer> first;  // started once, so that every later client finds it running
    ASSERT_EQ(ConnectServer(first), S_OK);

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round < 5; ++round) {
                ComPtr<IOPCServer> server;
                ComPtr<IOPCBrowseServerAddressSpace> browse;
                std::wstring id;
                if (ConnectServer(server) != S_OK || FAILED(server.As(&browse)) ||
                    browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pump1") != S_OK ||
                    Browse(browse.Get(), OPC_LEAF) != Names{L"Flow", L"Status"} ||
                    ItemId(browse.Get(), L"Motors", &id) != S_OK || id != L"Pump1.Motors") {
                    ++failures;
                } else if (const int step = WorkItems(server.Get()); step != 0) {
                    ADD_FAILURE() << "item work failed at step " << step;
                    ++failures;
                }
            }
            CoUninitialize();
        });
    }
    // Two client programs beside the threads. A failure is counted, never
    // asserted: the threads must still be joined.
    std::mutex reportLock;
    std::string report;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&] {
            DWORD code = 99;
            if (!RunWorker(TOVI_CLIENT_WORKER, L"10", kExitMs, &code) || code != 0) {
                ++failures;
                std::lock_guard<std::mutex> guard(reportLock);
                report += "worker: " + std::to_string(code) + "; ";
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0) << report;
    EXPECT_EQ(RunningServerIds().size(), 1u);  // one process served them all
    first.Reset();
    EXPECT_TRUE(WaitUntilNoServerRuns(kExitMs));
}

TEST_F(ServerProcessTest, UnreadableLastUsedFileStillServesAndIsKept) {
    Register();
    const std::vector<std::uint8_t> garbage{0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9, 0x3F, 0x05, 0x00, 0x00};
    ASSERT_TRUE(WriteBytes(configFile, garbage));
    ComPtr<IOPCServer> server;
    ASSERT_EQ(ConnectServer(server), S_OK);
    OPCSERVERSTATUS status{};
    ASSERT_EQ(Status(server.Get(), &status), S_OK);
    EXPECT_EQ(status.dwServerState, OPC_STATUS_RUNNING);
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(server.As(&browse), S_OK);
    const Names devices = Browse(browse.Get(), OPC_BRANCH);
    EXPECT_NE(devices, Names{L"<browse failed>"});
    browse.Reset();
    server.Reset();
    EXPECT_TRUE(WaitUntilNoServerRuns(kExitMs));
    // What could not be read is not lost.
    EXPECT_TRUE(ReadBytes(configFile) == garbage || ReadBytes(configFile + L".bak") == garbage);
    const std::wstring log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"Application starting - Opening: " + configFile + L" \r\n")) << Narrow(log);
}

namespace {
// A file held open without sharing, as another program may hold it.
struct HeldFile {
    explicit HeldFile(const std::wstring& path)
        : handle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldFile() { Release(); }
    void Release() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    HANDLE handle;
};

// A new active group of the server with one item; its handle in *item.
HRESULT AddItem(IOPCServer* server, const wchar_t* itemId, ComPtr<IOPCItemMgt>& items, OPCHANDLE* item) {
    OPCHANDLE group = 0;
    DWORD revised = 0;
    HRESULT hr = server->AddGroup(L"", TRUE, 0, 1, nullptr, nullptr, 0, &group, &revised, IID_IOPCItemMgt,
                                  reinterpret_cast<LPUNKNOWN*>(items.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) return hr;
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(itemId);
    def.bActive = TRUE;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(1, &def, &results, &errors);
    if (SUCCEEDED(hr)) {
        hr = errors[0];
        *item = results[0].hServer;
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    return hr;
}

// The value of a tag read from the device, as a double; NaN when it cannot be read.
double ReadNumber(IOPCServer* server, const wchar_t* itemId) {
    ComPtr<IOPCItemMgt> items;
    OPCHANDLE item = 0;
    ComPtr<IOPCSyncIO> io;
    if (AddItem(server, itemId, items, &item) != S_OK || FAILED(items.As(&io))) return std::nan("");
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    if (io->Read(OPC_DS_DEVICE, 1, &item, &states, &errors) != S_OK) return std::nan("");
    VARIANT number;
    VariantInit(&number);
    const bool converted = SUCCEEDED(VariantChangeType(&number, &states[0].vDataValue, 0, VT_R8));
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return converted ? V_R8(&number) : std::nan("");
}

}  // namespace

// A start file that is missing or cannot be read hands over to the next
// choice; one that cannot be read is said, with why and what is open instead,
// and costs no file: the originals of every file that was not read are where
// they were or beside them.
TEST_F(ServerProcessTest, StartFileThatCannotBeReadCostsNoOtherFile) {
    Register();
    const std::wstring other = folder + L"\\Other.tvf";
    const std::vector<std::uint8_t> plant = ConfigurationBytes(Plant());
    const std::vector<std::uint8_t> otherBytes = ConfigurationBytes({FileGroup{"Elsewhere", {}, {}}});
    const struct {
        const char* name;
        const wchar_t* named;  // the file named on the command line, in the folder
        bool namedHeld, lastHeld;
        Names served;
        std::vector<std::wstring> saidOfStart;  // parts of the box shown at the start
    } cases[] = {
        {"named file missing", L"Missing.tvf", false, false, {L"Pump1", L"Tank", L"Boiler"}, {}},
        {"named file held",
         L"Other.tvf",
         true,
         false,
         {L"Pump1", L"Tank", L"Boiler"},
         {L"Failed to open document.", other, configFile + L" is open instead."}},
        {"both held",
         L"Other.tvf",
         true,
         true,
         {},
         {other, configFile, L"A new, empty configuration is open instead, to be saved as " + configFile}},
        {"last used file held", nullptr, false, true, {}, {configFile, L"A new, empty configuration"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteBytes(configFile, plant));
        ASSERT_TRUE(WriteBytes(other, otherBytes));
        DeleteFileW((configFile + L".bak").c_str());
        HeldFile namedLock(c.namedHeld ? other : std::wstring()), lastLock(c.lastHeld ? configFile : std::wstring());
        ServerProcess process;
        ASSERT_TRUE(process.Start(c.named != nullptr ? L"\"" + folder + L"\\" + c.named + L"\"" : L""));
        if (!c.saidOfStart.empty()) {
            const std::wstring said = AnswerMessageBox(process, IDOK);
            for (const std::wstring& part : c.saidOfStart) EXPECT_TRUE(Contains(said, part)) << Narrow(said);
        }
        if (c.lastHeld) {  // the new configuration is not saved over a file it cannot keep
            EXPECT_EQ(AnswerMessageBox(process, IDOK),
                      L"Unable to write to " + configFile + L", it is read-only or opened by someone else.");
        }
        HWND frame = process.WaitForMainWindow(kStartMs);
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(ProcessWindows(process.Id(), L"#32770").empty()) << "a box nobody expected";
        if (!c.lastHeld) {
            EXPECT_EQ(ReadBytes(configFile), plant) << "written at the start";
        }
        ComPtr<IOPCServer> server;
        ASSERT_EQ(ConnectServer(server), S_OK);
        ComPtr<IOPCBrowseServerAddressSpace> browse;
        ASSERT_EQ(server.As(&browse), S_OK);
        EXPECT_EQ(Browse(browse.Get(), OPC_BRANCH), c.served);
        browse.Reset();
        server.Reset();
        namedLock.Release();
        lastLock.Release();
        Sleep(300);  // the release travels to the window as a posted message
        PostMessageW(frame, WM_CLOSE, 0, 0);
        if (c.lastHeld) {  // readable now: kept beside itself, then saved over
            EXPECT_TRUE(
                Contains(AnswerMessageBox(process, IDOK), L"The original file is kept as " + configFile + L".bak"));
        }
        EXPECT_TRUE(process.WaitForExit(kExitMs));
        EXPECT_EQ(ReadBytes(other), otherBytes);
        // The file that was served is saved over itself; one that was not, only once kept.
        if (c.served.empty()) {
            EXPECT_EQ(ReadBytes(configFile + L".bak"), plant);
        } else {
            EXPECT_EQ(GetFileAttributesW((configFile + L".bak").c_str()), INVALID_FILE_ATTRIBUTES);
            EXPECT_GT(ReadBytes(configFile).size(), 12u);
        }
    }
}

// Started by COM, the server ends with its last client as a close by the
// user ends it: what clients wrote is in the file the next start reads.
TEST_F(ServerProcessTest, ComStartedServerSavesWhatClientsWroteWhenItsLastClientGoes) {
    Register();
    const std::pair<const wchar_t*, double> writes[] = {{L"Pump1.Motors.Speed", 99.25}, {L"Tank.Level", -3.5}};
    {
        ComPtr<IOPCServer> server;
        ASSERT_EQ(ConnectServer(server), S_OK);
        for (const auto& [id, value] : writes) {
            ComPtr<IOPCItemMgt> items;
            OPCHANDLE item = 0;
            ASSERT_EQ(AddItem(server.Get(), id, items, &item), S_OK);
            ComPtr<IOPCSyncIO> io;
            ASSERT_EQ(items.As(&io), S_OK);
            VARIANT v;
            VariantInit(&v);
            V_VT(&v) = VT_R8;
            V_R8(&v) = value;
            HRESULT* errors = nullptr;
            ASSERT_EQ(io->Write(1, &item, &v, &errors), S_OK);
            CoTaskMemFree(errors);
        }
    }
    ASSERT_TRUE(WaitUntilNoServerRuns(kExitMs));
    ComPtr<IOPCServer> again;
    ASSERT_EQ(ConnectServer(again), S_OK);
    for (const auto& [id, value] : writes) EXPECT_EQ(ReadNumber(again.Get(), id), value) << Narrow(id);
    again.Reset();
    EXPECT_TRUE(WaitUntilNoServerRuns(kExitMs));
}

namespace {
// Runs the program to its end with its error output caught in a file.
DWORD RunWithOutput(const std::wstring& arguments, const std::wstring& outputFile, std::string& output) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 98;
    std::wstring command = L"\"" + ServerExePath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION info{};
    DWORD code = 99;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        if (WaitForSingleObject(info.hProcess, kExitMs) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 97);
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hThread);
        RetireProcessHandle(info.hProcess);
    }
    CloseHandle(file);
    const std::vector<std::uint8_t> bytes = ReadBytes(outputFile);
    output.assign(bytes.begin(), bytes.end());
    DeleteFileW(outputFile.c_str());
    return code;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    return WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}
}  // namespace

TEST_F(ServerProcessTest, TagFileSwitchesRunWithoutAWindowAndImportAllOrNothing) {
    const std::wstring csv = folder + L"\\Tags.csv";
    const std::wstring out = folder + L"\\output.txt";
    const std::wstring config = L"\"" + configFile + L"\"";
    std::string output;
    auto exported = [&] {
        EXPECT_EQ(RunWithOutput(config + L" /Export \"" + csv + L"\"", out, output), 0u) << output;
        const std::vector<std::uint8_t> bytes = ReadBytes(csv);
        return std::string(bytes.begin(), bytes.end());
    };

    // The last used file is the configuration when none is named.
    EXPECT_EQ(RunWithOutput(L"/export \"" + csv + L"\"", out, output), 0u) << output;
    std::string text = exported();
    EXPECT_NE(text.find("Pump1.Motors.Speed,Double,Read/Write,,12.5,"), std::string::npos) << text;
    EXPECT_NE(text.find("Pump1.Status,String,Read/Write,,running,"), std::string::npos) << text;

    const std::vector<std::uint8_t> before = ReadBytes(configFile);
    ASSERT_TRUE(WriteText(csv, "ItemID,Value,Type\r\nTank.Level,abc,Double\r\nMixer.Speed,7,Nonsense\r\n"));
    EXPECT_EQ(RunWithOutput(L"/Import \"" + csv + L"\" " + config, out, output), 1u);
    EXPECT_NE(output.find("line 2"), std::string::npos) << output;
    EXPECT_NE(output.find("line 3"), std::string::npos) << output;
    EXPECT_EQ(ReadBytes(configFile), before) << "a refused import changes nothing";
    std::wstring log = ReadLog(logFile);  // each start begins the log anew
    EXPECT_TRUE(Contains(log, L"Tag import refused: " + csv)) << Narrow(log);

    ASSERT_TRUE(WriteText(csv, "ItemID,Value,Type\r\nTank.Level,0.5,Double\r\n\"Mixer.Drum Speed\",7,Integer\r\n"));
    EXPECT_EQ(RunWithOutput(config + L" -IMPORT \"" + csv + L"\"", out, output), 0u) << output;
    EXPECT_NE(output.find("1 added, 1 updated"), std::string::npos) << output;
    log = ReadLog(logFile);
    EXPECT_TRUE(Contains(log, L"Tags imported from: " + csv)) << Narrow(log);
    text = exported();
    EXPECT_NE(text.find("Tank.Level,Double,Read/Write,,0.5,"), std::string::npos) << text;
    EXPECT_NE(text.find("Mixer.Drum Speed,Integer,"), std::string::npos) << text;
    EXPECT_NE(text.find("Pump1.Motors.Current,Float,Read Only,"), std::string::npos) << "the rest stays";

    EXPECT_EQ(RunWithOutput(config + L" /Import", out, output), 1u);
    EXPECT_NE(output.find("needs the name of a CSV file"), std::string::npos) << output;
    EXPECT_EQ(RunWithOutput(L"\"" + folder + L"\\None.tvf\" /Export \"" + csv + L"\"", out, output), 1u);
    EXPECT_NE(output.find("does not exist"), std::string::npos) << output;
    DeleteFileW(csv.c_str());
}

// /Close ends every running copy: one that answers closes itself without the
// exit question (which would hold it until it is ended by force), a client
// connected or not; an older version is sent WM_CLOSE; one whose window does
// not answer is ended once the time is up, and the exit code says so.
TEST_F(ServerProcessTest, CloseSwitchEndsRunningCopiesAndSaysWhenOneHadToBeEnded) {
    EXPECT_EQ(RunToEnd(L"/Close 5"), 0u) << "none running";
    Register();
    const struct {
        const char* road;
        const wchar_t* workerMode;  // null: the program itself
        bool client;
        DWORD closerCode;
        DWORD exitCode;
    } roads[] = {
        {"answering, no client", nullptr, false, 0, 0},
        {"answering, a client connected", nullptr, true, 0, 1},
        {"an older version", L"older-frame", false, 0, 0},
        {"hung", L"hung-frame", false, 2, 1},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.road);
        ServerProcess server;
        PROCESS_INFORMATION worker{};
        HANDLE process = nullptr;
        DWORD id = 0;
        if (road.workerMode == nullptr) {
            ASSERT_TRUE(server.Start(L""));
            ASSERT_NE(server.WaitForMainWindow(kStartMs), nullptr);
            id = server.Id();
        } else {
            std::wstring command = L"\"Z:" +
                                   std::wstring(TOVI_CLIENT_WORKER, TOVI_CLIENT_WORKER + strlen(TOVI_CLIENT_WORKER)) +
                                   L"\" " + road.workerMode;
            std::replace(command.begin(), command.end(), L'/', L'\\');
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                       &worker));
            CloseHandle(worker.hThread);
            process = worker.hProcess;
            id = worker.dwProcessId;
            ASSERT_TRUE(WaitFor(kStartMs, [&] { return !ProcessWindows(id, L"ToviExplorerFrame").empty(); }));
        }
        ComPtr<IOPCServer> client;
        if (road.client) {
            ASSERT_EQ(ConnectServer(client), S_OK);
        }
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(RunToEnd(L"/Close 2"), road.closerCode);
        EXPECT_LT(GetTickCount64() - start, 15000u);
        DWORD code = 99;
        if (process == nullptr) {
            EXPECT_TRUE(server.WaitForExit(0, &code));
            const std::wstring log = ReadLog(logFile);
            EXPECT_TRUE(Contains(log, L"Closing at the request of another program")) << Narrow(log);
        } else {
            EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
            GetExitCodeProcess(process, &code);
            RetireProcessHandle(process);
        }
        EXPECT_EQ(code, road.exitCode);
        client.Reset();
    }
    // None leaves a class registration behind that later clients would be sent to.
    ComPtr<IOPCServer> server;
    EXPECT_EQ(ConnectServer(server), S_OK);
    server.Reset();
    EXPECT_TRUE(WaitUntilNoServerRuns(kExitMs));
}
