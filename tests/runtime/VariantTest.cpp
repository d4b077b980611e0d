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
