#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileTime.h"
#include "OpcConstants.h"
#include "ServerTestSupport.h"

namespace {
class ItemPropertiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, server.As(&properties));
        config.flow->EnableValueLimits(true);
        config.flow->SetValueLimits(10, 90);
        config.flow->SetDescription(L"Feed flow");
        config.flow->SetDeadband(2.5);
    }

    std::vector<DWORD> Ids(LPCWSTR itemId, std::vector<VARTYPE>* types = nullptr) {
        DWORD count = 0;
        DWORD* ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* vts = nullptr;
        const HRESULT hr =
            properties->QueryAvailableProperties(const_cast<LPWSTR>(itemId), &count, &ids, &descriptions, &vts);
        EXPECT_EQ(S_OK, hr);
        std::vector<DWORD> result(ids, ids + count);
        for (DWORD i = 0; i < count; ++i) {
            EXPECT_TRUE(descriptions[i] != nullptr && descriptions[i][0] != L'\0') << ids[i];
            CoTaskMemFree(descriptions[i]);
            if (types != nullptr) types->push_back(vts[i]);
        }
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(vts);
        return result;
    }

    ConfiguredDocument config;
    ComPtr<IOPCServer> server = NewServer(config.doc);
    ComPtr<IOPCItemProperties> properties;
};

std::vector<DWORD> Concat(std::vector<DWORD> a, const std::vector<DWORD>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const std::vector<DWORD> kStandard = {1, 2, 3, 4, 5, 6, 7, 8, 101};
const std::vector<DWORD> kOwnSettings = {5004, 5005, 5006, 5007, 5008, 5009};
}  // namespace

TEST_F(ItemPropertiesTest, EachTagListsTheStandardPropertiesItsLimitsAndItsOwnSettings) {
    std::vector<VARTYPE> types;
    EXPECT_EQ(Concat(Concat(kStandard, {102, 103}), kOwnSettings), Ids(L"Pump1.Flow", &types));
    EXPECT_EQ(VT_ARRAY | VT_R8, types[7]) << "EU info of an analog tag";
    EXPECT_EQ(VT_VARIANT, types[1]);
    types.clear();
    EXPECT_EQ(Concat(kStandard, kOwnSettings), Ids(L"pump1.Motor.Bearings.Vibration", &types));
    EXPECT_EQ(VT_EMPTY, types[7]) << "no limits, no units";
    // Raw limits and scaling appear once they are set.
    config.flow->EnableRawLimits(true);
    config.flow->SetRawLimits(0, 4095);
    config.flow->EnableScaling(true);
    config.flow->SetScaling(1, 2);
    EXPECT_EQ(Concat(Concat(kStandard, {102, 103, 5000, 5001, 5002, 5003}), kOwnSettings), Ids(L"Pump1.Flow"));
}

TEST_F(ItemPropertiesTest, ValuesAgreeWithTheTagAndWithTheItemAttributes) {
    ASSERT_TRUE(config.flow->SetValueNow(Variant::FromDouble(42.5)));
    const TagState state = config.flow->GetState();
    DWORD ids[] = {1, 2, 3, 4, 5, 7, 8, 101, 102, 103, 5004, 5005, 9999, 104, 1};
    constexpr DWORD n = sizeof(ids) / sizeof(ids[0]);
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, properties->GetItemProperties(const_cast<LPWSTR>(L"Pump1.Flow"), n, ids, &values, &errors));
    const HRESULT expectedErrors[n] = {
        S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, OPC_E_INVALID_PID, OPC_E_INVALID_PID,
        S_OK};
    for (DWORD i = 0; i < n; ++i) EXPECT_EQ(expectedErrors[i], errors[i]) << ids[i];
    auto is = [&](DWORD i, VARTYPE vt) { return V_VT(&values[i]) == vt; };
    EXPECT_TRUE(is(0, VT_I2) && V_I2(&values[0]) == VT_R8);
    EXPECT_TRUE(is(1, VT_R8) && V_R8(&values[1]) == 42.5);
    EXPECT_TRUE(is(2, VT_I2) && V_I2(&values[2]) == static_cast<SHORT>(state.quality));
    // The timestamp as a DATE: within a millisecond of the tag's.
    SYSTEMTIME st{};
    FileTimeToSystemTime(&state.timestamp, &st);
    double date = 0;
    SystemTimeToVariantTime(&st, &date);
    EXPECT_TRUE(is(3, VT_DATE));
    EXPECT_NEAR(date + st.wMilliseconds / 86400000.0, V_DATE(&values[3]), 1.0 / 86400000.0);
    EXPECT_TRUE(is(4, VT_I4) && V_I4(&values[4]) == (OPC_READABLE | OPC_WRITEABLE));
    EXPECT_TRUE(is(7, VT_BSTR) && std::wstring(V_BSTR(&values[7])) == L"Feed flow");
    EXPECT_TRUE(is(8, VT_R8) && V_R8(&values[8]) == 90);
    EXPECT_TRUE(is(9, VT_R8) && V_R8(&values[9]) == 10);
    EXPECT_TRUE(is(10, VT_R8) && V_R8(&values[10]) == 2.5);
    EXPECT_TRUE(is(11, VT_BOOL));
    EXPECT_TRUE(is(12, VT_EMPTY) && is(13, VT_EMPTY));
    EXPECT_TRUE(is(14, VT_I2) && V_I2(&values[14]) == VT_R8) << "a repeated id is answered again";

    // 7 and 8 are what the item enumerator reports for the same tag.
    OPCHANDLE handle = 0;
    DWORD rate = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->AddGroup(L"", FALSE, 100, 1, nullptr, nullptr, 0, &handle, &rate, IID_IOPCItemMgt,
                                     reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())));
    OPCITEMDEF def{};
    def.szItemID = const_cast<LPWSTR>(L"Pump1.Flow");
    OPCITEMRESULT* results = nullptr;
    HRESULT* addErrors = nullptr;
    ASSERT_EQ(S_OK, items->AddItems(1, &def, &results, &addErrors));
    CoTaskMemFree(results);
    CoTaskMemFree(addErrors);
    ComPtr<IEnumOPCItemAttributes> attributes;
    ASSERT_EQ(S_OK, items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                            reinterpret_cast<LPUNKNOWN*>(attributes.GetAddressOf())));
    OPCITEMATTRIBUTES* record = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(S_OK, attributes->Next(1, &record, &fetched));
    EXPECT_TRUE(is(5, VT_I4) && V_I4(&values[5]) == static_cast<LONG>(record->dwEUType));
    ASSERT_TRUE(is(6, VT_ARRAY | VT_R8));
    double* got = nullptr;
    double* reported = nullptr;
    SafeArrayAccessData(V_ARRAY(&values[6]), reinterpret_cast<void**>(&got));
    SafeArrayAccessData(V_ARRAY(&record->vEUInfo), reinterpret_cast<void**>(&reported));
    EXPECT_TRUE(got[0] == reported[0] && got[1] == reported[1] && got[0] == 10 && got[1] == 90);
    SafeArrayUnaccessData(V_ARRAY(&values[6]));
    SafeArrayUnaccessData(V_ARRAY(&record->vEUInfo));
    CoTaskMemFree(record->szAccessPath);
    CoTaskMemFree(record->szItemID);
    VariantClear(&record->vEUInfo);
    CoTaskMemFree(record);
    for (DWORD i = 0; i < n; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(ItemPropertiesTest, ItemIdsAndArgumentsGiveTheResultsOfTheStandard) {
    const std::wstring longId = L"Pump1." + std::wstring(100000, L'x');
    const struct {
        std::wstring itemId;
        HRESULT hr;  // of QueryAvailableProperties; the two others give it too, or S_FALSE for a known item
    } cases[] = {
        {L"Pump1.Flow", S_OK},
        {L"PUMP1.flow", S_OK},
        {L"Pump1.Nothing", OPC_E_UNKNOWNITEMID},
        {L"Pump1", OPC_E_UNKNOWNITEMID},
        {longId, OPC_E_UNKNOWNITEMID},
        {L"", OPC_E_INVALIDITEMID},
        {L".Flow", OPC_E_INVALIDITEMID},
        {L"Pump1.", OPC_E_INVALIDITEMID},
        {L"Pump1..Flow", OPC_E_INVALIDITEMID},
    };
    DWORD ids[] = {1, 6, 7, 101, 5004, 42};
    for (const auto& c : cases) {
        LPWSTR itemId = const_cast<LPWSTR>(c.itemId.c_str());
        DWORD count = 9;
        DWORD* pids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        EXPECT_EQ(c.hr, properties->QueryAvailableProperties(itemId, &count, &pids, &descriptions, &types))
            << c.itemId.size();
        if (c.hr != S_OK) {
            EXPECT_TRUE(count == 0 && pids == nullptr && descriptions == nullptr && types == nullptr);
        }
        for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
        CoTaskMemFree(pids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(types);
        const HRESULT known = c.hr == S_OK ? S_FALSE : c.hr;
        VARIANT* values = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(known, properties->GetItemProperties(itemId, 6, ids, &values, &errors));
        for (DWORD i = 0; values != nullptr && i < 6; ++i) VariantClear(&values[i]);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
        LPWSTR* newIds = nullptr;
        EXPECT_EQ(known, properties->LookupItemIDs(itemId, 6, ids, &newIds, &errors));
        if (known == S_FALSE) {
            // No property is an item of its own: 1-6 never have one, the tag's others fail, 42 is not the tag's.
            const HRESULT expected[] = {OPC_E_INVALID_PID, OPC_E_INVALID_PID, E_FAIL, E_FAIL, E_FAIL,
                                        OPC_E_INVALID_PID};
            for (DWORD i = 0; i < 6; ++i) {
                EXPECT_EQ(expected[i], errors[i]) << ids[i];
                EXPECT_EQ(nullptr, newIds[i]);
            }
        } else {
            EXPECT_TRUE(newIds == nullptr && errors == nullptr);
        }
        CoTaskMemFree(newIds);
        CoTaskMemFree(errors);
    }
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR* newIds = nullptr;
    LPWSTR flow = const_cast<LPWSTR>(L"Pump1.Flow");
    EXPECT_EQ(E_INVALIDARG, properties->GetItemProperties(flow, 0, ids, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, properties->GetItemProperties(flow, 1, nullptr, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, properties->GetItemProperties(nullptr, 1, ids, &values, &errors));
    EXPECT_EQ(E_POINTER, properties->GetItemProperties(flow, 1, ids, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, properties->LookupItemIDs(flow, 0, ids, &newIds, &errors));
    EXPECT_EQ(E_POINTER, properties->LookupItemIDs(flow, 1, ids, &newIds, nullptr));
    DWORD count = 0;
    EXPECT_EQ(E_POINTER, properties->QueryAvailableProperties(flow, &count, nullptr, nullptr, nullptr));
}
