#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"

namespace {
const Names kDevices{L"Pump1", L"Boiler", L"Empty"};

HRESULT Down(IOPCBrowseServerAddressSpace* browser, LPCWSTR name) {
    return browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, name);
}
}  // namespace

TEST(PositionDeletionTest, DeletingTheDeviceOrAGroupAboveAPositionSendsItToTheRoot) {
    ConfiguredDocument config;
    ComPtr<IOPCBrowseServerAddressSpace> atDevice = BrowserOf(NewServer(config.doc));
    ComPtr<IOPCBrowseServerAddressSpace> deep = BrowserOf(NewServer(config.doc));
    ComPtr<IOPCBrowseServerAddressSpace> sibling = BrowserOf(NewServer(config.doc));
    ComPtr<IOPCBrowseServerAddressSpace> elsewhere = BrowserOf(NewServer(config.doc));
    ASSERT_EQ(S_OK, Down(atDevice.Get(), L"Pump1"));
    for (LPCWSTR step : {L"Pump1", L"Motor", L"Bearings"}) ASSERT_EQ(S_OK, Down(deep.Get(), step));
    for (LPCWSTR step : {L"Pump1", L"Valves"}) ASSERT_EQ(S_OK, Down(sibling.Get(), step));
    ASSERT_EQ(S_OK, Down(elsewhere.Get(), L"Boiler"));

    ASSERT_EQ(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(config.motor));
    EXPECT_EQ(kDevices, Browse(deep.Get(), OPC_BRANCH)) << "below the deleted group";
    EXPECT_EQ(E_FAIL, deep->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    EXPECT_EQ(Names{L"Inlet"}, Browse(sibling.Get(), OPC_BRANCH)) << "a sibling branch keeps its position";
    EXPECT_EQ(Names{L"Valves"}, Browse(atDevice.Get(), OPC_BRANCH)) << "above the deleted group";

    ASSERT_EQ(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(config.pump));
    EXPECT_EQ((Names{L"Boiler", L"Empty"}), Browse(atDevice.Get(), OPC_BRANCH));
    EXPECT_EQ((Names{L"Boiler", L"Empty"}), Browse(sibling.Get(), OPC_BRANCH));
    EXPECT_EQ(Names{L"Burner"}, Browse(elsewhere.Get(), OPC_BRANCH)) << "another device is untouched";

    LPWSTR id = nullptr;
    EXPECT_EQ(E_INVALIDARG, sibling->GetItemID(const_cast<LPWSTR>(L"Inlet"), &id));
    EXPECT_EQ(S_OK, sibling->GetItemID(const_cast<LPWSTR>(L"Boiler"), &id));
    EXPECT_STREQ(L"Boiler", id);
    CoTaskMemFree(id);
}

TEST(PositionDeletionTest, ARefusedDeleteLeavesPositionsAlone) {
    ConfiguredDocument config;
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(NewServer(config.doc));
    for (LPCWSTR step : {L"Pump1", L"Motor"}) ASSERT_EQ(S_OK, Down(browser.Get(), step));
    config.vibration->AddClientReference();  // an OPC item holds it
    EXPECT_NE(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(config.motor));
    EXPECT_EQ(Names{L"Bearings"}, Browse(browser.Get(), OPC_BRANCH));
    config.vibration->ReleaseClientReference();
}

TEST(PositionDeletionTest, ClearingTheConfigurationSendsEveryPositionToTheRoot) {
    ConfiguredDocument config;
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(NewServer(config.doc));
    for (LPCWSTR step : {L"Boiler", L"Burner"}) ASSERT_EQ(S_OK, Down(browser.Get(), step));
    config.doc.Clear();
    EXPECT_EQ(Names{}, Browse(browser.Get(), OPC_BRANCH));
    EXPECT_EQ(E_FAIL, browser->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    config.AddDevice(L"Fresh");
    EXPECT_EQ(Names{L"Fresh"}, Browse(browser.Get(), OPC_BRANCH));
    EXPECT_EQ(S_OK, Down(browser.Get(), L"fresh"));
}

// Clients browse into a device that the operator deletes and adds again,
// over and over: no call may fail in a way other than "not there" and every
// name seen must be one of the configuration's.
TEST(PositionDeletionTest, ConcurrentClientsBrowseWhileDevicesAreDeletedAndAdded) {
    ConfiguredDocument config;
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<long> visits{0};
    auto client = [&](IOPCBrowseServerAddressSpace* browser) {
        const Names allowedLeaves{L"A", L"B"};
        while (!stop.load()) {
            HRESULT hr = Down(browser, L"Volatile");
            if (hr != S_OK && hr != E_INVALIDARG) ++unexpected;
            hr = Down(browser, L"Inner");
            if (hr != S_OK && hr != E_INVALIDARG) ++unexpected;
            ComPtr<IEnumString> leaves;
            if (FAILED(browser->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &leaves))) {
                ++unexpected;
                continue;
            }
            for (const std::wstring& name : ReadAll(leaves.Get())) {
                if (name != L"A" && name != L"B") ++unexpected;
                LPWSTR id = nullptr;
                hr = browser->GetItemID(const_cast<LPWSTR>(name.c_str()), &id);
                if (hr == S_OK) {
                    if (std::wstring(id) != L"Volatile.Inner." + name) ++unexpected;
                    CoTaskMemFree(id);
                } else if (hr != E_INVALIDARG) {
                    ++unexpected;
                }
            }
            ComPtr<IEnumString> clone;
            if (FAILED(leaves->Clone(&clone))) ++unexpected;
            if (clone && ReadAll(clone.Get()).size() > 2) ++unexpected;
            while (browser->ChangeBrowsePosition(OPC_BROWSE_UP, L"") == S_OK) {}
            ++visits;
        }
    };
    ComPtr<IOPCBrowseServerAddressSpace> shared = BrowserOf(NewServer(config.doc));
    std::vector<ComPtr<IOPCBrowseServerAddressSpace>> own;
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        own.push_back(BrowserOf(NewServer(config.doc)));
        threads.emplace_back(client, own.back().Get());
    }
    threads.emplace_back(client, shared.Get());  // two threads on one server object
    threads.emplace_back(client, shared.Get());

    for (int round = 0; round < 300; ++round) {
        ToviDevice* device = config.AddDevice(L"Volatile");
        ToviTagGroup* inner = config.AddGroup(device, L"Inner");
        config.AddTag(inner, L"A", VT_R8, true);
        config.AddTag(inner, L"B", VT_I4, false);
        Sleep(round % 3);
        if (round % 2 == 0) {
            ASSERT_EQ(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(inner));
        }
        ASSERT_EQ(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(device));
    }
    stop.store(true);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, unexpected.load());
    EXPECT_GT(visits.load(), 0);
    for (auto& browser : own) EXPECT_EQ(kDevices, Browse(browser.Get(), OPC_BRANCH));
}
