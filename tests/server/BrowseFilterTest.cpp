#include <gtest/gtest.h>

#include <string>

#include "BrowseFilter.h"

TEST(BrowseFilterTest, WildcardsMatchTheWholeName) {
    EXPECT_TRUE(MatchesWildcard(L"", L""));
    EXPECT_TRUE(MatchesWildcard(L"", L"*"));
    EXPECT_TRUE(MatchesWildcard(L"", L"**"));
    EXPECT_FALSE(MatchesWildcard(L"", L"?"));
    EXPECT_FALSE(MatchesWildcard(L"a", L""));
    EXPECT_TRUE(MatchesWildcard(L"abc", L"abc"));
    EXPECT_FALSE(MatchesWildcard(L"abc", L"ab"));
    EXPECT_FALSE(MatchesWildcard(L"ab", L"abc"));
    EXPECT_TRUE(MatchesWildcard(L"abc", L"a*"));
    EXPECT_TRUE(MatchesWildcard(L"abc", L"*c"));
    EXPECT_TRUE(MatchesWildcard(L"abc", L"a*c"));
    EXPECT_TRUE(MatchesWildcard(L"ac", L"a*c"));
    EXPECT_TRUE(MatchesWildcard(L"abcbc", L"a*bc"));
    EXPECT_FALSE(MatchesWildcard(L"abcb", L"a*bc"));
    EXPECT_TRUE(MatchesWildcard(L"abc", L"?b?"));
    EXPECT_FALSE(MatchesWildcard(L"abcd", L"?b?"));
    EXPECT_TRUE(MatchesWildcard(L"aXbXc", L"*X*X*"));
    EXPECT_FALSE(MatchesWildcard(L"aXbc", L"*X*X*"));
    EXPECT_TRUE(MatchesWildcard(L"a*b", L"a*b"));
    EXPECT_FALSE(MatchesWildcard(L"Abc", L"abc")) << "case is the caller's business";
}

TEST(BrowseFilterTest, APathologicalPatternOnALongNameEndsQuickly) {
    const std::wstring name(20000, L'a');
    std::wstring pattern;
    for (int i = 0; i < 200; ++i) pattern += L"*a";
    pattern += L"*b";
    const DWORD start = GetTickCount();
    EXPECT_FALSE(MatchesWildcard(name, pattern));
    EXPECT_TRUE(MatchesWildcard(name + L"b", pattern));
    EXPECT_LT(GetTickCount() - start, 5000u);
}
