// The DA 3.0 side of the real program's server object, through the
// registered proxy: browsing with continuation points, properties, reads and
// writes by item ID; and the offer switch, from the option and /Da3, in the
// answers to QueryInterface and in the DA 3.0 component category.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Da3Support.h"
#include "OpcClient.h"
#include "OpcConstants.h"
#include "ProcessSuite.h"
#include "RegistryProbe.h"
#include "ServerIds.h"
#include "ServerProcess.h"
#include "TvfBuilder.h"
#include "WaitFor.h"
#include "resource_ui.h"

namespace {
constexpr DWORD kStartMs = 30000;

std::string Narrow(const std::wstring& text) {
    std::string s;
    for (wchar_t c : text) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}
const std::wstring kClassCategory =
    std::wstring(L"CLSID\\") + kServerClsidText + L"\\Implemented Categories\\" + kCategoryOpcDaServer30Text;
const std::wstring kCategoryKey = std::wstring(L"Component Categories\\") + kCategoryOpcDaServer30Text;

class Da3ServerTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        FileGroup tank{"Tank", {}, {{"Level", VT_R8, 1, 42.5, {}, true}, {"Name", VT_BSTR, 0, 0, L"North", false}}};
        for (int i = 0; i < 23; ++i)
            tank.tags.push_back({std::string("T").append(std::to_string(i)), VT_I4, 1, double(i), {}, false});
        ASSERT_NO_FATAL_FAILURE(Prepare(ConfigurationBytes({tank}), true));
    }
    void TearDown() override {
        server.Reset();
        process.Kill();
        ProcessSuite::TearDown();
    }
    // Starts the program with `arguments` and connects to it.
    void Serve(const std::wstring& arguments) {
        server.Reset();
        process.Kill();
        KillRunningServers();
        ASSERT_TRUE(process.Start(arguments));
        ASSERT_NE(process.WaitForMainWindow(kStartMs), nullptr);
        ASSERT_EQ(S_OK, ConnectServer(server));
    }
    static void SetOfferOption(DWORD offered) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Zelkor\\Tovi Explorer\\Settings",
                                                 L"Offer OPC DA 3.0", REG_DWORD, &offered, sizeof offered));
    }

    ServerProcess process;
    ComPtr<IOPCServer> server;
};
}  // namespace

// What crosses the proxy; the rules behind each answer are the in-process
// suites' (Da3BrowseTest, Da3ItemIOTest).
TEST_F(Da3ServerTest, BrowsePropertiesReadsAndWritesCrossTheProxy) {
    ASSERT_NO_FATAL_FAILURE(Serve(L""));
    ComPtr<IOPCBrowse> browse;
    ComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, server.As(&browse));
    ASSERT_EQ(S_OK, server.As(&io));

    const Page root = BrowseOnce(browse.Get(), {L""});
    ASSERT_EQ(root.hr, S_OK);
    ASSERT_EQ(root.elements.size(), 1u);
    EXPECT_EQ(root.elements[0].itemId, L"Tank");
    EXPECT_EQ(root.elements[0].flags, static_cast<DWORD>(OPC_BROWSE_HASCHILDREN));
    EXPECT_EQ(root.point, L"");
    EXPECT_FALSE(root.pointNull) << "done is \"\", never null";

    // Pages of ten with every property's value: the in/out point crosses both ways.
    const BrowseRequest request{L"Tank", 10, OPC_BROWSE_FILTER_ITEMS, L"", L"", true, true};
    const Page whole = BrowseOnce(browse.Get(), {L"Tank", 0, OPC_BROWSE_FILTER_ITEMS, L"", L"", true, true});
    ASSERT_EQ(whole.elements.size(), 25u);
    std::vector<Element> paged;
    int pages = 0;
    ASSERT_TRUE(BrowseAll(browse.Get(), request, paged, &pages));
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(paged, whole.elements);
    const Element& level = whole.elements[0];
    EXPECT_EQ(level.itemId, L"Tank.Level");
    ASSERT_GE(level.properties.entries.size(), 2u);
    EXPECT_EQ(level.properties.entries[1].value.Ref().dblVal, 42.5);
    EXPECT_EQ(BrowseOnce(browse.Get(), request, L"made up").hr, OPC_E_INVALIDCONTINUATIONPOINT);

    EXPECT_EQ(PropertiesByGetProperties(browse.Get(), L"tank.level", true, {}), level.properties);
    HRESULT hr = S_OK;
    EXPECT_EQ(PropertiesByGetProperties(browse.Get(), L"Tank.Nope", true, {}, &hr).hr, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(hr, S_FALSE);

    // Reads and writes by item ID.
    LPCWSTR ids[] = {L"Tank.Level", L"Tank.Name", L"Tank.Nope"};
    DWORD ages[] = {0, 0xFFFFFFFF, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(io->Read(3, ids, ages, &values, &qualities, &times, &errors), S_FALSE);
    EXPECT_EQ(V_VT(&values[0]), VT_R8);
    EXPECT_EQ(V_R8(&values[0]), 42.5);
    EXPECT_EQ(qualities[0], OPC_QUALITY_GOOD);
    EXPECT_STREQ(V_BSTR(&values[1]), L"North");
    EXPECT_EQ(errors[2], OPC_E_UNKNOWNITEMID);
    for (int i = 0; i < 3; ++i) VariantClear(&values[i]);
    for (void* p : {static_cast<void*>(values), static_cast<void*>(qualities), static_cast<void*>(times),
                    static_cast<void*>(errors)}) {
        CoTaskMemFree(p);
    }
    OPCITEMVQT vqts[2] = {};
    V_VT(&vqts[0].vDataValue) = VT_R8;
    V_R8(&vqts[0].vDataValue) = 7.25;
    vqts[1] = vqts[0];
    vqts[1].bQualitySpecified = TRUE;
    vqts[1].wQuality = OPC_QUALITY_UNCERTAIN;
    LPCWSTR written[] = {L"Tank.Level", L"Tank.Level"};
    ASSERT_EQ(io->WriteVQT(2, written, vqts, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_NOTSUPPORTED);
    CoTaskMemFree(errors);
    ASSERT_EQ(io->Read(1, ids, ages, &values, &qualities, &times, &errors), S_OK);
    EXPECT_EQ(V_R8(&values[0]), 7.25);
    for (void* p : {static_cast<void*>(values), static_cast<void*>(qualities), static_cast<void*>(times),
                    static_cast<void*>(errors)}) {
        CoTaskMemFree(p);
    }
}

TEST_F(Da3ServerTest, TheOfferFollowsTheOptionAndTheSwitchInInterfacesAndCategory) {
    // Registered with the option on by default.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassCategory));
    EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, kCategoryKey, L"409"), L"OPC Data Access Servers Version 3.0");
    struct Case {
        const wchar_t* arguments;
        DWORD option;  // 2: not stored
        bool offered;
    };
    const Case cases[] = {
        {L"/Da3 off", 2, false},   {L"", 2, true}, {L"", 0, false}, {L"-DA3 ON", 0, true},
        {L"/Da3 maybe", 0, false}, {L"", 1, true},
    };
    for (const Case& c : cases) {
        // The server before saves its settings as it ends: the option is set after.
        server.Reset();
        process.Kill();
        if (c.option != 2) {
            ASSERT_NO_FATAL_FAILURE(SetOfferOption(c.option));
        }
        ASSERT_NO_FATAL_FAILURE(Serve(c.arguments));
        const std::string what = Narrow(c.arguments) + " option " + std::to_string(c.option);
        ComPtr<IOPCBrowse> browse;
        ComPtr<IOPCItemIO> io;
        ComPtr<IOPCItemProperties> properties;
        EXPECT_EQ(server.As(&browse), c.offered ? S_OK : E_NOINTERFACE) << what;
        EXPECT_EQ(server.As(&io), c.offered ? S_OK : E_NOINTERFACE) << what;
        EXPECT_EQ(server.As(&properties), S_OK) << what << ": 2.05a stays";
        EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, kClassCategory), c.offered) << what;
        EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, kCategoryKey), c.offered) << what << ": no other class has it";
    }
    // /RegServer registers the category as the option says.
    server.Reset();
    process.Kill();
    ASSERT_NO_FATAL_FAILURE(SetOfferOption(0));
    ASSERT_NO_FATAL_FAILURE(Register());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassCategory));
    ASSERT_NO_FATAL_FAILURE(SetOfferOption(1));
    ASSERT_NO_FATAL_FAILURE(Register());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassCategory));

    // File > Options and OK: the running server follows at once, category and all.
    ASSERT_NO_FATAL_FAILURE(Serve(L""));
    const HWND frame = process.WaitForMainWindow(kStartMs);
    for (const bool offered : {false, true}) {
        PostMessageW(frame, WM_COMMAND, MAKEWPARAM(ID_FILE_OPTIONS, 0), 0);
        HWND box = nullptr;
        ASSERT_TRUE(WaitFor(kStartMs, [&] {
            for (HWND w : ProcessWindows(process.Id(), L"#32770")) {
                if (GetDlgItem(w, IDC_OPTIONS_DA3) != nullptr) box = w;
            }
            return box != nullptr;
        }));
        SendDlgItemMessageW(box, IDC_OPTIONS_DA3, BM_SETCHECK, offered ? BST_CHECKED : BST_UNCHECKED, 0);
        PressButton(box, IDOK);
        EXPECT_TRUE(WaitFor(kStartMs, [&] { return KeyExists(HKEY_CLASSES_ROOT, kClassCategory) == offered; }))
            << offered;
        ComPtr<IOPCBrowse> browse;
        EXPECT_EQ(server.As(&browse), offered ? S_OK : E_NOINTERFACE);
    }
}
