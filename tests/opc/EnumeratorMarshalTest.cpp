// IEnumOPCItemAttributes through the proxy, obtained with IOPCItemMgt::CreateEnumerator.
#include "FakeEnumerators.h"
#include "ProxyFixture.h"

namespace {

void FreeRecords(OPCITEMATTRIBUTES* records, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        CoTaskMemFree(records[i].szAccessPath);
        CoTaskMemFree(records[i].szItemID);
        CoTaskMemFree(records[i].pBlob);
        VariantClear(&records[i].vEUInfo);
    }
    CoTaskMemFree(records);
}

}  // namespace

class ItemEnumeratorProxyTest : public GroupProxyTest {
protected:
    void SetUp() override {
        GroupProxyTest::SetUp();
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(S_OK, As<IOPCItemMgt>()->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.GetAddressOf()));
        EXPECT_TRUE(IsEqualIID(IID_IEnumOPCItemAttributes, calls.riid));
        ASSERT_HRESULT_SUCCEEDED(unknown.As(&items));
    }
    void TearDown() override {
        items.Reset();
        GroupProxyTest::TearDown();
    }

    ComPtr<IEnumOPCItemAttributes> items;
};

TEST_F(ItemEnumeratorProxyTest, NextBringsFewerRecordsThanAskedWithTheirContents) {
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 99;
    ASSERT_EQ(S_FALSE, items->Next(3, &records, &fetched));
    ASSERT_EQ(FakeItemEnumerator::ItemCount, fetched);
    ASSERT_NE(nullptr, records);

    const OPCITEMATTRIBUTES& analog = records[0];
    ASSERT_NE(nullptr, analog.szAccessPath);
    EXPECT_STREQ(L"", analog.szAccessPath);
    EXPECT_STREQ(L"Pumpe1.Durchfluss", analog.szItemID);
    EXPECT_EQ(TRUE, analog.bActive);
    EXPECT_EQ(11u, analog.hClient);
    EXPECT_EQ(101u, analog.hServer);
    EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, analog.dwAccessRights);
    ASSERT_EQ(3u, analog.dwBlobSize);
    EXPECT_EQ((std::vector<BYTE>{0xB0, 0x0B, 0x00}), std::vector<BYTE>(analog.pBlob, analog.pBlob + 3));
    EXPECT_EQ(VT_R4, analog.vtRequestedDataType);
    EXPECT_EQ(VT_R8, analog.vtCanonicalDataType);
    EXPECT_EQ(OPC_ANALOG, analog.dwEUType);
    ASSERT_EQ(VT_ARRAY | VT_R8, V_VT(&analog.vEUInfo));
    SAFEARRAY* range = V_ARRAY(&analog.vEUInfo);
    ASSERT_NE(nullptr, range);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(range, 1, &lower);
    SafeArrayGetUBound(range, 1, &upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(1, upper);
    double limit = 0;
    LONG index = 0;
    SafeArrayGetElement(range, &index, &limit);
    EXPECT_DOUBLE_EQ(10.0, limit);
    index = 1;
    SafeArrayGetElement(range, &index, &limit);
    EXPECT_DOUBLE_EQ(90.0, limit);

    const OPCITEMATTRIBUTES& plain = records[1];
    EXPECT_EQ(nullptr, plain.szAccessPath);
    EXPECT_STREQ(L"Pumpe1.Zustand", plain.szItemID);
    EXPECT_EQ(FALSE, plain.bActive);
    EXPECT_EQ(0u, plain.dwBlobSize);
    EXPECT_EQ(nullptr, plain.pBlob);
    EXPECT_EQ(VT_BSTR, plain.vtCanonicalDataType);
    EXPECT_EQ(OPC_NOENUM, plain.dwEUType);
    EXPECT_EQ(VT_EMPTY, V_VT(&plain.vEUInfo));
    FreeRecords(records, fetched);

    records = nullptr;
    ASSERT_EQ(S_FALSE, items->Next(1, &records, &fetched));
    EXPECT_EQ(0u, fetched);
    CoTaskMemFree(records);
}

TEST_F(ItemEnumeratorProxyTest, SkipResetAndCloneMoveThroughTheSameItems) {
    EXPECT_EQ(S_OK, items->Skip(1));
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(S_OK, items->Next(1, &records, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(102u, records[0].hServer);
    FreeRecords(records, fetched);
    EXPECT_EQ(S_FALSE, items->Skip(1));

    ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(S_OK, items->Clone(clone.GetAddressOf()));
    ASSERT_NE(nullptr, clone.Get());
    ASSERT_EQ(S_OK, clone->Next(1, &records, &fetched));
    EXPECT_EQ(101u, records[0].hServer);
    FreeRecords(records, fetched);

    EXPECT_EQ(S_OK, items->Reset());
    ASSERT_EQ(S_OK, items->Next(2, &records, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(101u, records[0].hServer);
    EXPECT_EQ(102u, records[1].hServer);
    FreeRecords(records, fetched);
}
