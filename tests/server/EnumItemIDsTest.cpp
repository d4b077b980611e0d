#include <gtest/gtest.h>

#include <climits>

#include "ServerTestSupport.h"

namespace {
class EnumItemIDsTest : public ::testing::Test {
protected:
    ConfiguredDocument config;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    ComPtr<IOPCBrowseServerAddressSpace> browser = BrowserOf(server);

    // An enumerator over the three devices (at the root) or the tags of `device`.
    ComPtr<IEnumString> Open(OPCBROWSETYPE type, LPCWSTR device = nullptr) {
        if (device != nullptr) {
            EXPECT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, device));
        }
        ComPtr<IEnumString> enumerator;
        EXPECT_EQ(S_OK, browser->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, &enumerator));
        return enumerator;
    }
};

// Next(celt) into a fresh array: the result, the strings, and the count reported.
struct Batch {
    HRESULT hr = E_FAIL;
    Names names;
    ULONG fetched = 0;
};

Batch NextBatch(IEnumString* enumerator, ULONG celt) {
    Batch batch;
    std::vector<LPOLESTR> slots(celt + 1, nullptr);
    batch.fetched = 12345;
    batch.hr = enumerator->Next(celt, slots.data(), &batch.fetched);
    for (ULONG i = 0; i < batch.fetched && i < celt; ++i) {
        batch.names.emplace_back(slots[i]);
        CoTaskMemFree(slots[i]);
    }
    EXPECT_EQ(nullptr, slots[celt]) << "nothing written past celt";
    return batch;
}
}  // namespace

TEST_F(EnumItemIDsTest, NextGivesWhatRemainsAndSaysSoWhenItIsLessThanAsked) {
    ComPtr<IEnumString> devices = Open(OPC_BRANCH);
    Batch first = NextBatch(devices.Get(), 2);
    EXPECT_EQ(S_OK, first.hr);
    EXPECT_EQ(2u, first.fetched);
    EXPECT_EQ((Names{L"Pump1", L"Boiler"}), first.names);
    Batch rest = NextBatch(devices.Get(), 5);
    EXPECT_EQ(S_FALSE, rest.hr);
    EXPECT_EQ(1u, rest.fetched);
    EXPECT_EQ(Names{L"Empty"}, rest.names);
    Batch none = NextBatch(devices.Get(), 1);
    EXPECT_EQ(S_FALSE, none.hr);
    EXPECT_EQ(0u, none.fetched);
    Batch zero = NextBatch(devices.Get(), 0);
    EXPECT_EQ(S_OK, zero.hr) << "nothing asked, nothing missing";
    EXPECT_EQ(0u, zero.fetched);

    // Without a fetched count the strings still arrive.
    ASSERT_EQ(S_OK, devices->Reset());
    LPOLESTR three[3] = {};
    EXPECT_EQ(S_OK, devices->Next(3, three, nullptr));
    EXPECT_STREQ(L"Pump1", three[0]);
    EXPECT_STREQ(L"Boiler", three[1]);
    EXPECT_STREQ(L"Empty", three[2]);
    for (LPOLESTR text : three) CoTaskMemFree(text);
}

TEST_F(EnumItemIDsTest, NextRefusesANullArrayWithoutMovingOn) {
    ComPtr<IEnumString> devices = Open(OPC_BRANCH);
    ULONG fetched = 9;
    EXPECT_EQ(E_INVALIDARG, devices->Next(1, nullptr, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(Names{L"Pump1"}, NextBatch(devices.Get(), 1).names);
}

TEST_F(EnumItemIDsTest, SkipMovesOnAtMostToTheEndAndResetGoesBackToTheFirst) {
    ComPtr<IEnumString> devices = Open(OPC_BRANCH);
    EXPECT_EQ(S_OK, devices->Skip(1));
    EXPECT_EQ(Names{L"Boiler"}, NextBatch(devices.Get(), 1).names);
    EXPECT_EQ(S_OK, devices->Skip(0));
    EXPECT_EQ(S_FALSE, devices->Skip(2)) << "only one was left";
    EXPECT_EQ(0u, NextBatch(devices.Get(), 1).fetched);
    EXPECT_EQ(S_OK, devices->Reset());
    EXPECT_EQ(Names{L"Pump1"}, NextBatch(devices.Get(), 1).names);
    EXPECT_EQ(S_FALSE, devices->Skip(ULONG_MAX));
    EXPECT_EQ(S_OK, devices->Skip(0));
    EXPECT_EQ(S_FALSE, devices->Skip(1));
    EXPECT_EQ(S_OK, devices->Reset());
    EXPECT_EQ(S_OK, devices->Skip(3));
    EXPECT_EQ(S_FALSE, NextBatch(devices.Get(), 1).hr);
}

TEST_F(EnumItemIDsTest, AnEnumeratorKeepsItsSnapshotWhileACloneStartsAfreshFromTheConfiguration) {
    ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Boiler"));
    ComPtr<IEnumString> tags = Open(OPC_LEAF, L"Burner");
    ASSERT_EQ(S_OK, tags->Skip(1));
    config.AddTag(config.burner, L"Temperature", VT_R4, true);
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, tags->Clone(&clone));
    ASSERT_TRUE(clone);
    EXPECT_EQ(Names{}, ReadAll(tags.Get())) << "the original keeps the names it was filled with";
    EXPECT_EQ((Names{L"Pressure", L"Temperature"}), ReadAll(clone.Get()))
        << "the clone is filled anew, from its first name";
    ASSERT_EQ(S_OK, tags->Reset());
    EXPECT_EQ(Names{L"Pressure"}, ReadAll(tags.Get()));
}

TEST_F(EnumItemIDsTest, AClonedRootEnumeratorSeesDevicesAddedSince) {
    ComPtr<IEnumString> devices = Open(OPC_BRANCH);
    config.AddDevice(L"Chiller");
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, devices->Clone(&clone));
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty", L"Chiller"}), ReadAll(clone.Get()));
    EXPECT_EQ((Names{L"Pump1", L"Boiler", L"Empty"}), ReadAll(devices.Get()));
}

TEST_F(EnumItemIDsTest, ACloneKeepsTheFilterOfItsOriginal) {
    ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pump1"));
    ComPtr<IEnumString> writable;
    ASSERT_EQ(S_OK, browser->BrowseOPCItemIDs(OPC_LEAF, L"R*", VT_EMPTY, OPC_WRITEABLE, &writable));
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, writable->Clone(&clone));
    EXPECT_EQ((Names{L"Running", L"Ratio"}), ReadAll(clone.Get()));
}

TEST_F(EnumItemIDsTest, ACloneAfterItsPositionWasDeletedHasNoStrings) {
    ComPtr<IEnumString> tags = Open(OPC_LEAF, L"Pump1");
    ASSERT_EQ(S_OK, browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Motor"));
    ComPtr<IEnumString> motorTags;
    ASSERT_EQ(S_OK, browser->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &motorTags));
    ASSERT_EQ(Configuration::DeleteResult::Deleted, config.doc.DeleteItem(config.pump));

    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, tags->Clone(&clone));
    ASSERT_TRUE(clone);
    Batch none = NextBatch(clone.Get(), 3);
    EXPECT_EQ(S_FALSE, none.hr);
    EXPECT_EQ(0u, none.fetched);
    ComPtr<IEnumString> motorClone;
    ASSERT_EQ(S_OK, motorTags->Clone(&motorClone));
    EXPECT_EQ(Names{}, ReadAll(motorClone.Get())) << "a position below the deleted device is lost too";
    EXPECT_EQ(7u, ReadAll(tags.Get()).size()) << "the original still has its snapshot";

    // A device of the same name added later is a different object.
    ToviDevice* again = config.AddDevice(L"Pump1");
    config.AddTag(again, L"Flow", VT_R8, true);
    ComPtr<IEnumString> late;
    ASSERT_EQ(S_OK, tags->Clone(&late));
    EXPECT_EQ(Names{}, ReadAll(late.Get()));
    ComPtr<IEnumString> cloneOfClone;
    ASSERT_EQ(S_OK, late->Clone(&cloneOfClone));
    EXPECT_EQ(Names{}, ReadAll(cloneOfClone.Get()));
}

TEST_F(EnumItemIDsTest, AnEnumeratorAnswersIUnknownAndIEnumStringOnly) {
    ComPtr<IEnumString> devices = Open(OPC_BRANCH);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, devices.As(&unknown));
    ComPtr<IEnumString> again;
    EXPECT_EQ(S_OK, unknown.As(&again));
    EXPECT_EQ(devices.Get(), again.Get());
    ComPtr<IEnumUnknown> other;
    EXPECT_EQ(E_NOINTERFACE, devices.As(&other));
    EXPECT_EQ(E_POINTER, devices->QueryInterface(IID_IEnumString, nullptr));
    EXPECT_EQ(E_INVALIDARG, devices->Clone(nullptr));
}

TEST_F(EnumItemIDsTest, EachEnumeratorCountsAsOneClientObject) {
    ClientObjectMessages messages;
    ASSERT_TRUE(messages.IsReady());
    ComPtr<IEnumString> devices = Open(OPC_BRANCH);
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, devices->Clone(&clone));
    EXPECT_EQ(std::make_pair(2, 0), messages.Drain());
    devices.Reset();
    EXPECT_EQ(std::make_pair(2, 1), messages.Drain()) << "the clone holds nothing of its original";
    EXPECT_EQ(3u, ReadAll(clone.Get()).size());
    clone.Reset();
    EXPECT_EQ(std::make_pair(2, 2), messages.Drain());
}

TEST_F(EnumItemIDsTest, AnEnumeratorOutlivesItsServerAndTheDocument) {
    ComPtr<IEnumString> tags = Open(OPC_LEAF, L"Pump1");
    browser.Reset();
    server.Reset();
    config.doc.Clear();
    EXPECT_EQ(7u, ReadAll(tags.Get()).size());
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, tags->Clone(&clone));
    EXPECT_EQ(Names{}, ReadAll(clone.Get()));
}
