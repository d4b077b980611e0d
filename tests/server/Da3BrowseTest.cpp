// DA 3.0 browsing on the server object: the same address space as 2.05a
// browsing shows, the filters, paging with continuation points and the
// properties that come with the elements or by GetProperties.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Da3Support.h"
#include "OpcConstants.h"
#include "ServerTestSupport.h"

namespace {
using Ids = std::vector<DWORD>;

class Da3BrowseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, server.As(&browse));
        ASSERT_EQ(S_OK, server.As(&itemProperties));
        config.flow->EnableValueLimits(true);
        config.flow->SetValueLimits(10, 90);
        config.flow->SetDescription(L"Feed flow");
    }

    // Every branch's item ID, the root's ("") first, found by DA 3.0 browsing.
    std::vector<std::wstring> Branches() {
        std::vector<std::wstring> branches = {L""};
        for (size_t i = 0; i < branches.size(); ++i) {
            for (const Element& e : BrowseOnce(browse.Get(), {branches[i]}).elements) {
                if (e.flags & OPC_BROWSE_HASCHILDREN) branches.push_back(e.itemId);
            }
        }
        return branches;
    }
    std::vector<std::wstring> Items() {
        std::vector<std::wstring> items;
        for (const std::wstring& branch : Branches()) {
            for (const Element& e : BrowseOnce(browse.Get(), {branch, 0, OPC_BROWSE_FILTER_ITEMS}).elements) {
                items.push_back(e.itemId);
            }
        }
        return items;
    }

    // What IOPCItemProperties says of an item, in the DA 3.0 form: all its
    // properties when `ids` is empty.
    PropertySet ByItemProperties(const std::wstring& itemId, bool values, Ids ids) {
        PropertySet set;
        LPWSTR id = const_cast<LPWSTR>(itemId.c_str());
        DWORD count = 0;
        DWORD* available = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        set.hr = itemProperties->QueryAvailableProperties(id, &count, &available, &descriptions, &types);
        if (FAILED(set.hr)) return set;
        if (ids.empty()) ids.assign(available, available + count);
        VARIANT* read = nullptr;
        HRESULT* readErrors = nullptr;
        LPWSTR* lookedUp = nullptr;
        HRESULT* lookupErrors = nullptr;
        const DWORD n = static_cast<DWORD>(ids.size());
        if (n != 0) {
            EXPECT_TRUE(SUCCEEDED(itemProperties->GetItemProperties(id, n, ids.data(), &read, &readErrors)));
            EXPECT_TRUE(SUCCEEDED(itemProperties->LookupItemIDs(id, n, ids.data(), &lookedUp, &lookupErrors)));
        }
        set.listNull = n == 0;
        set.hr = S_OK;
        for (DWORD i = 0; i < n; ++i) {
            PropertyEntry entry;
            entry.id = ids[i];
            const DWORD* at = std::find(available, available + count, ids[i]);
            if (at != available + count) {
                entry.type = types[at - available];
                entry.description = descriptions[at - available];
                entry.hasDescription = true;
            }
            entry.hasItemId = lookedUp[i] != nullptr;
            entry.hr = values || at == available + count ? readErrors[i] : S_OK;
            if (values) entry.value = Variant(read[i]);
            if (FAILED(entry.hr)) set.hr = S_FALSE;
            set.entries.push_back(std::move(entry));
            VariantClear(&read[i]);
            CoTaskMemFree(lookedUp[i]);
        }
        for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
        for (void* p : {static_cast<void*>(available), static_cast<void*>(descriptions), static_cast<void*>(types),
                        static_cast<void*>(read), static_cast<void*>(readErrors), static_cast<void*>(lookedUp),
                        static_cast<void*>(lookupErrors)}) {
            CoTaskMemFree(p);
        }
        return set;
    }

    ConfiguredDocument config;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    ComPtr<IOPCBrowse> browse;
    ComPtr<IOPCItemProperties> itemProperties;
};

// What 2.05a browsing shows at a branch, as DA 3.0 elements: its branches,
// then its leaves, each with GetItemID's answer.
std::vector<Element> By205a(IOPCBrowseServerAddressSpace* browser, const std::wstring& branch) {
    EXPECT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_TO, branch.c_str())) << ToUtf8(branch);
    std::vector<Element> elements;
    for (const auto& [type, flags] :
         {std::pair{OPC_BRANCH, OPC_BROWSE_HASCHILDREN}, std::pair{OPC_LEAF, OPC_BROWSE_ISITEM}}) {
        for (const std::wstring& name : Browse(browser, type)) {
            LPWSTR id = nullptr;
            EXPECT_EQ(S_OK, browser->GetItemID(const_cast<LPWSTR>(name.c_str()), &id)) << ToUtf8(name);
            Element e;
            e.name = name;
            e.itemId = id != nullptr ? id : L"<none>";
            e.flags = flags;
            CoTaskMemFree(id);
            elements.push_back(std::move(e));
        }
    }
    return elements;
}
}  // namespace

TEST_F(Da3BrowseTest, EveryBranchShowsWhat205aBrowsingShowsWithTheSameItemIds) {
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(server);
    for (bool faultControl : {false, true}) {
        config.doc.EnableFaultControl(faultControl);
        const std::vector<std::wstring> branches = Branches();
        EXPECT_EQ(branches.size() > 9, faultControl) << branches.size();
        for (const std::wstring& branch : branches) {
            EXPECT_EQ(BrowseOnce(browse.Get(), {branch}).elements, By205a(browser.Get(), branch))
                << ToUtf8(branch) << (faultControl ? " with fault control" : "");
        }
        // Branch IDs are found in any letter case; an item ID has no children.
        EXPECT_EQ(NamesOf(BrowseOnce(browse.Get(), {L"PUMP1.motor"}).elements),
                  (Names{L"Bearings", L"Current", L"Temp"}));
        const Page leaf = BrowseOnce(browse.Get(), {L"Pump1.Flow"});
        EXPECT_EQ(leaf.hr, S_OK);
        EXPECT_TRUE(leaf.elements.empty());
        EXPECT_EQ(leaf.point, L"");
        EXPECT_FALSE(leaf.pointNull);
    }
}

TEST_F(Da3BrowseTest, FiltersNarrowByKindNameAndVendor) {
    config.AddDevice(L"Line2");
    struct Case {
        BrowseRequest request;
        Names expected;
    };
    const Case cases[] = {
        {{L"Pump1"}, {L"Motor", L"Valves", L"Flow", L"Speed", L"Running", L"Label", L"Code", L"Level", L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_BRANCHES}, {L"Motor", L"Valves"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS},
         {L"Flow", L"Speed", L"Running", L"Label", L"Code", L"Level", L"Ratio"}},
        {{L"", 0, OPC_BROWSE_FILTER_ITEMS}, {}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"*O*"}, {L"Motor", L"Flow", L"Code", L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"?????"}, {L"Speed", L"Label", L"Level", L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"[a-f]*"}, {L"Flow", L"Code"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"[!a-f]*"}, {L"Speed", L"Running", L"Label", L"Level", L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"[LM]*"}, {L"Motor", L"Label", L"Level"}},
        {{L"", 0, OPC_BROWSE_FILTER_ALL, L"*#"}, {L"Pump1", L"Line2"}},
        {{L"", 0, OPC_BROWSE_FILTER_ALL, L"?ump#"}, {L"Pump1"}},
        {{L"", 0, OPC_BROWSE_FILTER_ALL, L"Pump"}, {}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"", L"DataType=5"}, {L"Flow"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"", L"access=WRITE"}, {L"Flow", L"Running", L"Code", L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"", L" DataType = 4 ; Access=ReadWrite;"}, {L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ITEMS, L"", L"Access=Read"},
         {L"Flow", L"Speed", L"Running", L"Label", L"Code", L"Level", L"Ratio"}},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"DataType=8"}, {L"Motor", L"Valves", L"Label"}},
    };
    for (const Case& c : cases) {
        const Page page = BrowseOnce(browse.Get(), c.request);
        EXPECT_EQ(page.hr, S_OK) << ToUtf8(c.request.nameFilter + L"|" + c.request.vendorFilter);
        EXPECT_EQ(NamesOf(page.elements), c.expected) << ToUtf8(c.request.nameFilter + L"|" + c.request.vendorFilter);
    }
}

TEST_F(Da3BrowseTest, RefusesMalformedAndUnknownIdsUnusableFiltersAndKinds) {
    struct Case {
        BrowseRequest request;
        HRESULT expected;
    };
    const Case cases[] = {
        {{L"Nope"}, OPC_E_UNKNOWNITEMID},
        {{L"Pump1.Nope"}, OPC_E_UNKNOWNITEMID},
        {{L"Pump1..Motor"}, OPC_E_INVALIDITEMID},
        {{L".Pump1"}, OPC_E_INVALIDITEMID},
        {{L"Pump1."}, OPC_E_INVALIDITEMID},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"[abc"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"a[]"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"Colour=red"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"DataType=x"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"DataType=70000"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"Access=Maybe"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"DataType"}, OPC_E_INVALIDFILTER},
        {{L"Pump1", 0, static_cast<OPCBROWSEFILTER>(0)}, E_INVALIDARG},
        {{L"Pump1", 0, static_cast<OPCBROWSEFILTER>(4)}, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        const Page page = BrowseOnce(browse.Get(), c.request);
        EXPECT_EQ(page.hr, c.expected) << ToUtf8(c.request.itemId + L"|" + c.request.nameFilter + L"|" +
                                                 c.request.vendorFilter);
        EXPECT_TRUE(page.elements.empty());
        EXPECT_FALSE(page.more);
    }
}

TEST_F(Da3BrowseTest, PagesGiveEveryChildOnceInOrderAtEverySize) {
    for (int i = 0; i < 23; ++i) config.AddTag(config.motor, L"T" + std::to_wstring(i), VT_R8, i % 2 == 0);
    const std::vector<BrowseRequest> requests = {
        {L"Pump1.Motor"},
        {L"Pump1.Motor", 0, OPC_BROWSE_FILTER_ITEMS, L"T*1*"},
        {L"Pump1.Motor", 0, OPC_BROWSE_FILTER_ALL, L"", L"Access=Write"},
        {L""},
    };
    for (const BrowseRequest& base : requests) {
        const std::vector<Element> whole = BrowseOnce(browse.Get(), base).elements;
        ASSERT_FALSE(whole.empty());
        for (DWORD most = 1; most <= whole.size() + 1; ++most) {
            for (bool emptyId : {false, true}) {
                BrowseRequest request = base;
                request.most = most;
                std::vector<Element> paged;
                int pages = 0;
                ASSERT_TRUE(BrowseAll(browse.Get(), request, paged, &pages, emptyId)) << most;
                EXPECT_EQ(paged, whole) << ToUtf8(base.itemId + L"|" + base.nameFilter) << " by " << most;
                EXPECT_EQ(pages, static_cast<int>((whole.size() + most - 1) / most)) << most;
            }
        }
        // A client that does not come back has the first page and knows there is more.
        const BrowseRequest two{base.itemId, 2, base.kind, base.nameFilter, base.vendorFilter};
        const Page first = BrowseOnce(browse.Get(), two);
        EXPECT_EQ(first.elements,
                  std::vector<Element>(whole.begin(), whole.begin() + std::min<size_t>(2, whole.size())));
        EXPECT_EQ(first.more != FALSE, whole.size() > 2);
    }
    EXPECT_LE(static_cast<OPCServer*>(server.Get())->LiveContinuationPoints(), BrowsePoints::kMostLive);
}

TEST_F(Da3BrowseTest, APointFindsItsPlaceAfterTheTreeChanged) {
    // Motor: Bearings, Current, Temp, T0..T9. Each change comes after the first page of four.
    struct Case {
        const char* change;
        std::function<void(ConfiguredDocument&)> apply;
        Names rest;
    };
    const Names tags = {L"T1", L"T2", L"T3", L"T4", L"T5", L"T6", L"T7", L"T8", L"T9"};
    Names withNew = tags;
    withNew.push_back(L"New");
    const Case cases[] = {
        {"nothing", [](ConfiguredDocument&) {}, tags},
        {"a tag added at the end", [](ConfiguredDocument& c) { c.AddTag(c.motor, L"New", VT_I4, true); }, withNew},
        {"a tag given before renamed", [](ConfiguredDocument& c) { c.motor->SnapshotTags()[0]->Rename(L"Amps"); },
         tags},
        {"the branch given before deleted", [](ConfiguredDocument& c) { c.doc.DeleteItem(c.bearings); }, tags},
        {"another device added", [](ConfiguredDocument& c) { c.AddDevice(L"Mixer"); }, tags},
    };
    for (const Case& c : cases) {
        ConfiguredDocument tree;
        for (int i = 0; i < 10; ++i) tree.AddTag(tree.motor, L"T" + std::to_wstring(i), VT_R8, true);
        ComPtr<IOPCServer> client = NewServer(tree.doc);
        ComPtr<IOPCBrowse> treeBrowse;
        ASSERT_EQ(S_OK, client.As(&treeBrowse));
        const Page first = BrowseOnce(treeBrowse.Get(), {L"Pump1.Motor", 4});
        ASSERT_EQ(NamesOf(first.elements), (Names{L"Bearings", L"Current", L"Temp", L"T0"}));
        c.apply(tree);
        const Page rest = BrowseOnce(treeBrowse.Get(), {L"Pump1.Motor", 100}, first.point);
        EXPECT_EQ(rest.hr, S_OK) << c.change;
        EXPECT_EQ(NamesOf(rest.elements), c.rest) << c.change;
        EXPECT_FALSE(rest.more) << c.change;
    }
    // The branch itself gone: nothing to continue in.
    const Page first = BrowseOnce(browse.Get(), {L"Pump1.Motor", 2});
    ASSERT_EQ(config.doc.DeleteItem(config.motor), Configuration::DeleteResult::Deleted);
    EXPECT_EQ(BrowseOnce(browse.Get(), {L"Pump1.Motor", 2}, first.point).hr, OPC_E_UNKNOWNITEMID);
}

TEST_F(Da3BrowseTest, RefusesPointsMadeUpUsedEvictedOrOfAnotherClientBranchOrFilter) {
    ComPtr<IOPCServer> otherServer = NewServer(config.doc);
    ComPtr<IOPCBrowse> other;
    ASSERT_EQ(S_OK, otherServer.As(&other));
    const BrowseRequest request{L"Pump1", 2, OPC_BROWSE_FILTER_ALL, L"*", L"Access=Read"};
    auto point = [&] { return BrowseOnce(browse.Get(), request).point; };
    struct Case {
        const char* what;
        std::function<HRESULT()> resume;
    };
    const Case cases[] = {
        {"made up", [&] { return BrowseOnce(browse.Get(), request, L"1{00000000-0000-0000-0000-000000000000}").hr; }},
        {"used before",
         [&] {
             const std::wstring p = point();
             EXPECT_EQ(BrowseOnce(browse.Get(), request, p).hr, S_OK);
             return BrowseOnce(browse.Get(), request, p).hr;
         }},
        {"another client's", [&] { return BrowseOnce(other.Get(), request, point()).hr; }},
        {"another branch's",
         [&] {
             BrowseRequest r = request;
             r.itemId = L"Boiler";
             return BrowseOnce(browse.Get(), r, point()).hr;
         }},
        {"another kind's",
         [&] {
             BrowseRequest r = request;
             r.kind = OPC_BROWSE_FILTER_ITEMS;
             return BrowseOnce(browse.Get(), r, point()).hr;
         }},
        {"another name filter's",
         [&] {
             BrowseRequest r = request;
             r.nameFilter = L"*a*";
             return BrowseOnce(browse.Get(), r, point()).hr;
         }},
        {"another vendor filter's",
         [&] {
             BrowseRequest r = request;
             r.vendorFilter.clear();
             return BrowseOnce(browse.Get(), r, point()).hr;
         }},
        {"evicted by newer ones",
         [&] {
             const std::wstring oldest = point();
             for (size_t i = 0; i < BrowsePoints::kMostLive; ++i) point();
             return BrowseOnce(browse.Get(), request, oldest).hr;
         }},
    };
    for (const Case& c : cases) EXPECT_EQ(c.resume(), OPC_E_INVALIDCONTINUATIONPOINT) << c.what;
    EXPECT_EQ(static_cast<OPCServer*>(server.Get())->LiveContinuationPoints(), BrowsePoints::kMostLive);
    // A refused point of the right client stays good for its own browse.
    const std::wstring p = point();
    BrowseRequest wrong = request;
    wrong.itemId = L"Boiler";
    EXPECT_EQ(BrowseOnce(browse.Get(), wrong, p).hr, OPC_E_INVALIDCONTINUATIONPOINT);
    EXPECT_EQ(NamesOf(BrowseOnce(browse.Get(), request, p).elements), (Names{L"Flow", L"Speed"}));
}

TEST_F(Da3BrowseTest, ElementsCarryThePropertiesItemPropertiesGives) {
    ASSERT_TRUE(config.flow->SetValueNow(Variant::FromDouble(42.5)));
    struct Case {
        bool all;
        bool values;
        Ids ids;
    };
    const Case cases[] = {{true, true, {}},       {true, false, {9999}}, {false, true, {1, 9999, 101, 2, 102}},
                          {false, false, {5, 8}}, {false, true, {}},     {true, true, {6}}};
    for (const Case& c : cases) {
        const Page page =
            BrowseOnce(browse.Get(), {L"Pump1", 0, OPC_BROWSE_FILTER_ALL, L"", L"", c.all, c.values, c.ids});
        ASSERT_EQ(page.hr, S_OK);
        ASSERT_EQ(page.elements.size(), 9u);
        for (const Element& e : page.elements) {
            if (!(e.flags & OPC_BROWSE_ISITEM) || (!c.all && c.ids.empty())) {
                EXPECT_EQ(e.properties, PropertySet{}) << ToUtf8(e.itemId) << " has none";
                continue;
            }
            EXPECT_EQ(e.properties, ByItemProperties(e.itemId, c.values, c.all ? Ids{} : c.ids))
                << ToUtf8(e.itemId) << " all " << c.all << " values " << c.values;
        }
    }
    const PropertySet flow =
        BrowseOnce(browse.Get(), {L"Pump1", 1, OPC_BROWSE_FILTER_ITEMS, L"Flow", L"", false, true, {2, 9999}})
            .elements.at(0)
            .properties;
    ASSERT_EQ(flow.entries.size(), 2u);
    EXPECT_EQ(flow.hr, S_FALSE);
    EXPECT_EQ(flow.entries[0].value.Ref().dblVal, 42.5);
    EXPECT_EQ(flow.entries[1].hr, OPC_E_INVALID_PID);
}

TEST_F(Da3BrowseTest, GetPropertiesEqualsItemPropertiesForEveryItem) {
    config.doc.EnableFaultControl(true);
    const std::vector<std::wstring> items = Items();
    ASSERT_GT(items.size(), 12u) << "the tags and the control items";
    for (const std::wstring& item : items) {
        for (bool values : {false, true}) {
            HRESULT hr = E_FAIL;
            const PropertySet all = PropertiesByGetProperties(browse.Get(), item, values, {}, &hr);
            EXPECT_EQ(hr, all.hr) << ToUtf8(item);
            EXPECT_EQ(all, ByItemProperties(item, values, {})) << ToUtf8(item) << " values " << values;
            EXPECT_FALSE(all.entries.empty());
            const Ids some = {OPC_PROPERTY_DESCRIPTION, 4242, OPC_PROPERTY_DATATYPE, OPC_PROPERTY_HIGH_EU};
            EXPECT_EQ(PropertiesByGetProperties(browse.Get(), item, values, some), ByItemProperties(item, values, some))
                << ToUtf8(item);
        }
    }
    // Several IDs in one call, in order; unknown and malformed ones fail alone.
    LPWSTR ids[] = {const_cast<LPWSTR>(L"Pump1.Flow"), const_cast<LPWSTR>(L"Pump1.Nope"),
                    const_cast<LPWSTR>(L"Pump1..Flow"), nullptr, const_cast<LPWSTR>(L"boiler.burner.pressure")};
    OPCITEMPROPERTIES* results = nullptr;
    ASSERT_EQ(browse->GetProperties(5, ids, TRUE, 0, nullptr, &results), S_FALSE);
    const HRESULT expected[] = {S_OK, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID, OPC_E_INVALIDITEMID, S_OK};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(results[i].hrErrorID, expected[i]) << i;
        EXPECT_EQ(results[i].dwNumProperties == 0, FAILED(expected[i])) << i;
        TakeProperties(results[i]);
    }
    CoTaskMemFree(results);
    results = nullptr;
    EXPECT_EQ(browse->GetProperties(0, ids, TRUE, 0, nullptr, &results), E_INVALIDARG);
    EXPECT_EQ(results, nullptr);
    // A branch is no item for either interface.
    EXPECT_EQ(PropertiesByGetProperties(browse.Get(), L"Pump1.Motor", true, {}).hr, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(ByItemProperties(L"Pump1.Motor", true, {}).hr, OPC_E_UNKNOWNITEMID);
}

TEST_F(Da3BrowseTest, ALargeBranchPagesWithoutWalkingFromItsStart) {
    constexpr int kTags = 100000;
    ToviTagGroup* big = config.AddGroup(config.empty, L"Big");
    for (int i = 0; i < kTags; ++i) big->AddTag(NewTag(L"T" + std::to_wstring(i), VT_R8, true));
    // Every page's time, following the points to the end.
    auto pageTimes = [&](DWORD most) {
        std::wstring point;
        std::vector<double> ms;
        size_t total = 0;
        for (;;) {
            const auto start = std::chrono::steady_clock::now();
            const Page page = BrowseOnce(browse.Get(), {L"Empty.Big", most}, point);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            EXPECT_EQ(page.hr, S_OK);
            total += page.elements.size();
            if (page.hr != S_OK || !page.more) break;
            point = page.point;
        }
        EXPECT_EQ(total, static_cast<size_t>(kTags));
        return ms;
    };
    auto mean = [](std::vector<double>::const_iterator from, size_t n) {
        double sum = 0;
        for (size_t i = 0; i < n; ++i) sum += from[i];
        return sum / static_cast<double>(n);
    };
    const std::vector<double> large = pageTimes(10000);
    ASSERT_EQ(large.size(), 10u);
    RecordProperty("browse_100000_by_10000_ms", static_cast<int>(mean(large.begin(), large.size()) * 10));
    // Small pages make a walk from the start show: the last pages would take
    // a hundred times the first.
    const std::vector<double> small = pageTimes(100);
    ASSERT_EQ(small.size(), 1000u);
    const double first = mean(small.begin(), 50), last = mean(small.end() - 50, 50);
    EXPECT_LT(last, 3 * first + 1) << "first pages " << first << " ms, last pages " << last << " ms";
}
