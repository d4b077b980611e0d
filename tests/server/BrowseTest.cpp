#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>

#include "ServerTestSupport.h"
#include "OPCS_Tag.h"
#include "TreeLimits.h"

namespace {
class BrowseTest : public ::testing::Test {
protected:
    ConfiguredDocument config;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(server);

    HRESULT Down(LPCWSTR name) { return browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, name); }
    HRESULT Up() { return browser->ChangeBrowsePosition(OPC_BROWSE_UP, L""); }
    Names Branches(LPCWSTR criteria = L"") { return Browse(browser.Get(), OPC_BRANCH, criteria); }
    Names Leaves(LPCWSTR criteria = L"", VARTYPE type = VT_EMPTY, DWORD rights = 0) {
        return Browse(browser.Get(), OPC_LEAF, criteria, type, rights);
    }
    // The item ID GetItemID gives, or the failure code as text.
    std::wstring ItemId(LPCWSTR name) {
        LPWSTR id = reinterpret_cast<LPWSTR>(1);
        const HRESULT hr = browser->GetItemID(const_cast<LPWSTR>(name), &id);
        if (FAILED(hr)) {
            return id == nullptr ? L"failed" : L"failed, result not cleared";
        }
        std::wstring text = id != nullptr ? id : L"<null>";
        CoTaskMemFree(id);
        return text;
    }
};
}  // namespace

TEST_F(BrowseTest, TheRootListsTheDevicesInConfigurationOrderAndNoLeaves) {
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty"}), Branches());
    EXPECT_EQ(Names{}, Leaves());
    ComPtr<IEnumString> enumerator;
    ASSERT_EQ(S_OK, browser->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &enumerator));
    LPOLESTR text = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, enumerator->Next(1, &text, &fetched));
    EXPECT_EQ(0u, fetched);
}

TEST_F(BrowseTest, ADeviceListsItsTagsAsLeavesAndItsGroupsAsBranchesInListOrder) {
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    EXPECT_EQ((Names{L"Flow", L"Speed", L"Running", L"Label", L"Code", L"Level", L"Ratio"}), Leaves());
    EXPECT_EQ((Names{L"Motor", L"Valves"}), Branches());
    ASSERT_EQ(S_OK, Down(L"Motor"));
    EXPECT_EQ((Names{L"Current", L"Temp"}), Leaves());
    ASSERT_EQ(S_OK, Down(L"Bearings"));
    EXPECT_EQ(Names{L"Vibration"}, Leaves());
    EXPECT_EQ(Names{}, Branches());
}

TEST_F(BrowseTest, FilterTypesOutsideTheThreeKnownGiveNoNames) {
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    for (int type : {0, 4, 99, -1}) {
        EXPECT_EQ(Names{}, Browse(browser.Get(), static_cast<OPCBROWSETYPE>(type))) << type;
    }
}

TEST_F(BrowseTest, UpAndDownWalkTheTreeAndUpAtTheRootFails) {
    EXPECT_EQ(E_FAIL, Up());
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    ASSERT_EQ(S_OK, Down(L"Valves"));
    ASSERT_EQ(S_OK, Down(L"Inlet"));
    EXPECT_EQ(Names{L"Open"}, Leaves());
    EXPECT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_UP, L"ignored"));
    EXPECT_EQ(Names{L"Inlet"}, Branches());
    EXPECT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr));
    EXPECT_EQ((Names{L"Motor", L"Valves"}), Branches());
    EXPECT_EQ(S_OK, Up());
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty"}), Branches()) << "up from a device is the root";
    EXPECT_EQ(E_FAIL, Up());
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty"}), Branches());
}

TEST_F(BrowseTest, DownFindsBranchesWithoutCaseButNeverTagsAndAMissLeavesThePosition) {
    EXPECT_EQ(S_OK, Down(L"bOILER"));
    EXPECT_EQ(Names{L"Burner"}, Branches());
    EXPECT_EQ(S_OK, Down(L"BURNER"));
    EXPECT_EQ(E_INVALIDARG, Down(L"Pressure")) << "a tag is not a branch";
    EXPECT_EQ(Names{L"Pressure"}, Leaves()) << "position unchanged";
    EXPECT_EQ(S_OK, Up());
    EXPECT_EQ(S_OK, Up());
    for (LPCWSTR miss : {L"Pump", L"Pump1 ", L"Pump1.Motor", L"", L"Flow", static_cast<LPCWSTR>(nullptr)}) {
        EXPECT_EQ(E_INVALIDARG, Down(miss)) << (miss ? miss : L"(null)");
    }
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty"}), Branches());
}

TEST_F(BrowseTest, EveryDirectionOtherThanUpAndToIsDownAndToNothingIsTheRoot) {
    for (int direction : {0, 4, 77}) {
        EXPECT_EQ(S_OK, browser->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(direction), L"Boiler"))
            << direction;
        EXPECT_EQ(Names{L"Burner"}, Branches());
        // A null name crosses no proxy: it is seen in process only.
        ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_TO, nullptr));
        EXPECT_EQ(S_OK, Down(L"Boiler")) << "back at the root";
        ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    }
}

TEST_F(BrowseTest, EachServerObjectHasItsOwnPositionStartingAtTheRoot) {
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    ComPtr<IOPCBrowseServerAddressSpace> other = BrowserOf(NewServer(config.doc));
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty"}), Browse(other.Get(), OPC_BRANCH));
    EXPECT_EQ((Names{L"Motor", L"Valves"}), Branches());
}

TEST_F(BrowseTest, FilterCriteriaMatchNamesWithWildcardsAndWithoutCase) {
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    EXPECT_EQ(7u, Leaves(nullptr).size()) << "a null criteria pointer filters nothing";
    EXPECT_EQ(7u, Leaves(L"*").size());
    EXPECT_EQ(Names{L"Flow"}, Leaves(L"flow"));
    EXPECT_EQ((Names{L"Running", L"Ratio"}), Leaves(L"R*"));
    EXPECT_EQ((Names{L"Speed", L"Label", L"Code", L"Level"}), Leaves(L"*e*"));
    EXPECT_EQ((Names{L"Code"}), Leaves(L"?ODE"));
    EXPECT_EQ((Names{L"Label", L"Level"}), Leaves(L"L*?l"));
    EXPECT_EQ(Names{}, Leaves(L"Flo"));
    EXPECT_EQ(Names{}, Leaves(L"Flow?"));
    EXPECT_EQ(Names{L"Valves"}, Branches(L"v*")) << "criteria narrow branches too";
    EXPECT_EQ(S_OK, Up());
    EXPECT_EQ((Names{L"Pump1"}), Branches(L"*1"));
}

TEST_F(BrowseTest, DataTypeAndAccessFiltersNarrowLeavesOnly) {
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    EXPECT_EQ(Names{L"Flow"}, Leaves(L"", VT_R8));
    EXPECT_EQ(Names{L"Label"}, Leaves(L"", VT_BSTR));
    EXPECT_EQ(Names{L"Running"}, Leaves(L"", VT_BOOL));
    EXPECT_EQ(Names{}, Leaves(L"", VT_I8));
    EXPECT_EQ((Names{L"Flow", L"Running", L"Code", L"Ratio"}), Leaves(L"", VT_EMPTY, OPC_WRITEABLE));
    EXPECT_EQ(7u, Leaves(L"", VT_EMPTY, OPC_READABLE).size()) << "every tag can be read";
    EXPECT_EQ(7u, Leaves(L"", VT_EMPTY, 0x100).size()) << "rights the standard does not define are not asked for";
    EXPECT_EQ((Names{L"Flow", L"Running", L"Code", L"Ratio"}), Leaves(L"", VT_EMPTY, OPC_READABLE | OPC_WRITEABLE));
    EXPECT_EQ(Names{L"Ratio"}, Leaves(L"R*", VT_R4, OPC_WRITEABLE)) << "the filters combine";
    EXPECT_EQ(Names{}, Leaves(L"", VT_I4, OPC_WRITEABLE));
    EXPECT_EQ((Names{L"Motor", L"Valves"}), Browse(browser.Get(), OPC_BRANCH, L"", VT_I8, OPC_WRITEABLE))
        << "branches carry no type or rights";
}

TEST_F(BrowseTest, GetItemIdJoinsThePositionsPathWithAChildsExactName) {
    EXPECT_EQ(L"failed", ItemId(L"Flow")) << "not at the root";
    ASSERT_EQ(S_OK, Down(L"pump1"));
    EXPECT_EQ(L"Pump1.Flow", ItemId(L"Flow"));
    EXPECT_EQ(L"Pump1.Motor", ItemId(L"Motor")) << "groups have item IDs too";
    EXPECT_EQ(L"failed", ItemId(L"flow")) << "the name must match exactly";
    EXPECT_EQ(L"failed", ItemId(L"Bearings")) << "only direct children";
    EXPECT_EQ(L"failed", ItemId(L""));
    ASSERT_EQ(S_OK, Down(L"Motor"));
    ASSERT_EQ(S_OK, Down(L"Bearings"));
    EXPECT_EQ(L"Pump1.Motor.Bearings.Vibration", ItemId(L"Vibration"));
    EXPECT_EQ(config.vibration->GetItemID(), ItemId(L"Vibration"));
}

TEST_F(BrowseTest, GetItemIdAtTheRootNamesTheDevices) {
    EXPECT_EQ(L"Boiler", ItemId(L"Boiler"));
    EXPECT_EQ(L"failed", ItemId(L"boiler"));
    EXPECT_EQ(L"failed", ItemId(L"Nowhere"));
    EXPECT_EQ(L"failed", ItemId(L"Burner"));
}

TEST_F(BrowseTest, NullPointersAreRefused) {
    EXPECT_EQ(E_INVALIDARG, browser->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, nullptr));
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    EXPECT_EQ(E_INVALIDARG, browser->GetItemID(const_cast<LPWSTR>(L"Flow"), nullptr));
    LPWSTR id = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_INVALIDARG, browser->GetItemID(nullptr, &id));
    EXPECT_EQ(nullptr, id);
}

// A flat browse lists, by item ID, every tag a walk of branches and leaves
// reaches below the position, in the walk's order, with the filters applied.
TEST_F(BrowseTest, EveryTagReachedByBrowsingHasAnItemIdTheDocumentResolvesToItAndAFlatBrowseListsThem) {
    Names walked;
    std::function<void()> walk = [&] {
        for (const std::wstring& leaf : Leaves()) {
            const std::wstring id = ItemId(leaf.c_str());
            OPCS_Tag* tag = config.doc.FindTag(id);
            ASSERT_NE(nullptr, tag) << id;
            EXPECT_EQ(leaf, tag->GetName());
            EXPECT_EQ(tag->GetItemID(), id);
            walked.push_back(id);
        }
        for (const std::wstring& branch : Branches()) {
            ASSERT_EQ(S_OK, Down(branch.c_str())) << branch;
            walk();
            ASSERT_EQ(S_OK, Up());
        }
    };
    walk();
    EXPECT_EQ(12u, walked.size());
    EXPECT_EQ(E_FAIL, Up()) << "the walk came back to the root";

    EXPECT_EQ(walked, Browse(browser.Get(), OPC_FLAT));
    Names pump;
    std::copy_if(walked.begin(), walked.end(), std::back_inserter(pump),
                 [](const std::wstring& id) { return id.rfind(L"Pump1.Motor.", 0) == 0; });
    ASSERT_EQ(S_OK, Down(L"Pump1"));
    ASSERT_EQ(S_OK, Down(L"Motor"));
    EXPECT_EQ(pump, Browse(browser.Get(), OPC_FLAT));
    EXPECT_EQ(Names{L"Pump1.Motor.Bearings.Vibration"}, Browse(browser.Get(), OPC_FLAT, L"*.Vib*"));
}

TEST_F(BrowseTest, NamesOfTheLongestLengthAnyContentAndTheDeepestTreeTravelUnchanged) {
    const std::wstring longName(kMaxNameLength, L'x');
    const std::wstring odd = L"Gr\u00fc\u00dfe \u6e29\u5ea6 *?[] \U0001F600";
    ToviTagGroup* group = config.AddGroup(config.empty, longName);
    ASSERT_NE(nullptr, group);
    ASSERT_NE(nullptr, config.AddTag(group, odd, VT_R8, true));
    ASSERT_EQ(S_OK, Down(L"Empty"));
    EXPECT_EQ(Names{longName}, Branches());
    ASSERT_EQ(S_OK, Down(longName.c_str()));
    EXPECT_EQ(Names{odd}, Leaves());
    EXPECT_EQ(Names{odd}, Leaves(odd.c_str())) << "wildcard characters in a name match themselves";
    EXPECT_EQ(L"Empty." + longName + L"." + odd, ItemId(odd.c_str()));

    // The deepest chain of groups allowed: browsed down to its bottom, and
    // listed whole by a flat browse from the root.
    OPCS_TagGroup* bottom = config.boiler;
    std::wstring id = L"Boiler";
    for (size_t level = 0; level < kMaxGroupDepth; ++level, id += L".G") {
        bottom = config.AddGroup(bottom, L"G");
        ASSERT_NE(nullptr, bottom) << level;
    }
    ASSERT_NE(nullptr, config.AddTag(bottom, L"T", VT_R8, true));
    ASSERT_EQ(nullptr, config.AddGroup(bottom, L"Deeper"));
    ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_TO, L"Boiler"));
    for (size_t level = 0; level < kMaxGroupDepth; ++level) ASSERT_EQ(S_OK, Down(L"G")) << level;
    EXPECT_EQ(id + L".T", ItemId(L"T"));
    ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    const Names flat = Browse(browser.Get(), OPC_FLAT);
    EXPECT_NE(flat.end(), std::find(flat.begin(), flat.end(), id + L".T"));
}

TEST_F(BrowseTest, BrowsingSeesTheConfigurationAsItIsNow) {
    ASSERT_EQ(S_OK, Down(L"Empty"));
    EXPECT_EQ(Names{}, Leaves());
    config.AddTag(config.empty, L"Late", VT_I4, false);
    ToviTagGroup* added = config.AddGroup(config.empty, L"Added");
    EXPECT_EQ(Names{L"Late"}, Leaves());
    EXPECT_EQ(Names{L"Added"}, Branches());
    EXPECT_EQ(S_OK, Down(L"added"));
    added->Rename(L"Renamed");
    EXPECT_EQ(S_OK, Up());
    EXPECT_EQ(Names{L"Renamed"}, Branches());
    EXPECT_EQ(E_INVALIDARG, Down(L"Added"));
}
