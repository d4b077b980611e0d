#include <gtest/gtest.h>

#include "TaskMem.h"
#include "Text.h"
#include "Variant.h"

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

TEST(VariantTest, OnlyTypesHoldingAllTheirValueAreCopiedAsPlainData) {
    for (int type : std::initializer_list<int>{VT_EMPTY, VT_I4, VT_R8, VT_DECIMAL, VT_I8, VT_UINT}) {
        EXPECT_TRUE(IsSelfContainedType(static_cast<VARTYPE>(type))) << type;
    }
    for (int type : std::initializer_list<int>{VT_BSTR, VT_DISPATCH, VT_UNKNOWN, VT_VARIANT, VT_RECORD, 15,
                                               VT_R8 | VT_ARRAY, VT_I4 | VT_BYREF}) {
        EXPECT_FALSE(IsSelfContainedType(static_cast<VARTYPE>(type))) << type;
    }
    // Assignments between the two kinds: a string over a number and back.
    Variant number = Variant::FromDouble(2.5), text = Variant::FromString(L"x");
    Variant v = number;
    v = text;
    ASSERT_EQ(VT_BSTR, v.Type());
    EXPECT_NE(V_BSTR(v.Get()), V_BSTR(text.Get()));
    v = number;
    EXPECT_EQ(2.5, V_R8(v.Get()));
    VARIANT big;
    VariantInit(&big);
    ASSERT_EQ(S_OK, VarDecFromR8(-12.75, &V_DECIMAL(&big)));
    V_VT(&big) = VT_DECIMAL;
    v = Variant(big);
    double back = 0;
    ASSERT_EQ(S_OK, VarR8FromDec(&V_DECIMAL(v.Get()), &back));
    EXPECT_EQ(-12.75, back);
}

TEST(TaskMemTest, OverflowingCountsGiveNull) {
    EXPECT_EQ(nullptr, TaskAllocArray<VARIANT>(static_cast<size_t>(-1) / 8));
    TaskMemPtr<DWORD> zero(TaskAllocArray<DWORD>(0));
    EXPECT_NE(nullptr, zero.get());
    TaskMemPtr<wchar_t> s(TaskStrDup(L"Boiler"));
    EXPECT_STREQ(L"Boiler", s.get());
}

// Case folding, short formats and resource strings are in every name clash,
// dialog and message the document and UI tests check; a text longer than the
// first buffer is not.
TEST(TextTest, FormattingGrowsItsBuffer) {
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(longText, FormatText(L"%ls", longText.c_str()));
}
