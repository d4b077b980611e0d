#include <gtest/gtest.h>

#include "TaskMem.h"
#include "Text.h"
#include "Variant.h"

TEST(VariantTest, ARefusedConversionLeavesTheValue) {
    Variant bad = Variant::FromString(L"12abc");
    EXPECT_TRUE(FAILED(bad.ChangeType(VT_I4)));
    ASSERT_EQ(VT_BSTR, bad.Type());
    EXPECT_EQ(std::wstring(L"12abc"), std::wstring(V_BSTR(bad.Get())));
}

TEST(VariantTest, CopiesAreDeepAndMovesEmptyTheSource) {
    Variant a = Variant::FromString(L"abc");
    Variant b(a);
    ASSERT_NE(V_BSTR(a.Get()), V_BSTR(b.Get()));
    Variant c(std::move(a));
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(std::wstring(L"abc"), std::wstring(V_BSTR(c.Get())));
    VARIANT raw;
    VariantInit(&raw);
    ASSERT_EQ(S_OK, c.CopyTo(&raw));
    EXPECT_EQ(8u, SysStringByteLen(V_BSTR(&raw)) + 2u);
    VariantClear(&raw);
}

TEST(TaskMemTest, OverflowingCountsGiveNull) {
    EXPECT_EQ(nullptr, TaskAllocArray<VARIANT>(static_cast<size_t>(-1) / 8));
    TaskMemPtr<DWORD> zero(TaskAllocArray<DWORD>(0));
    EXPECT_NE(nullptr, zero.get());
    TaskMemPtr<wchar_t> s(TaskStrDup(L"Boiler"));
    EXPECT_STREQ(L"Boiler", s.get());
}

TEST(TextTest, CaseFoldingAndFormatting) {
    EXPECT_TRUE(EqualsNoCase(L"Temperatures", L"TEMPERATURES"));
    EXPECT_FALSE(EqualsNoCase(L"Tag1", L"Tag10"));
    EXPECT_EQ(std::wstring(L"Group7"), FormatText(L"%ls%d", L"Group", 7));
    EXPECT_EQ(std::wstring(L"2.5 "), FormatText(L"%g ", 2.5));
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(longText, FormatText(L"%ls", longText.c_str()));
    EXPECT_EQ(std::wstring(L"Tovi Explorer"), LoadResString(57344));
}
