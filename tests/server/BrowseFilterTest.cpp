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

TEST(BrowseFilterTest, DigitsAndCharacterClassesMatchOneCharacterEach) {
    const struct {
        const wchar_t* text;
        const wchar_t* pattern;
        bool matches;
    } cases[] = {
        {L"Pump1", L"Pump#", true},   {L"PumpA", L"Pump#", false}, {L"Pump12", L"Pump#", false},
        {L"Pump12", L"Pump##", true}, {L"b", L"[abc]", true},      {L"d", L"[abc]", false},
        {L"m", L"[a-z]", true},       {L"M", L"[a-z]", false},     {L"x9", L"[!0-9]#", true},
        {L"99", L"[!0-9]#", false},   {L"a*b", L"a[*]b", true},    {L"axb", L"a[*]b", false},
        {L"a?b", L"a[?]b", true},     {L"Tank-3", L"*[-]#", true}, {L"ab", L"[ab][ab]", true},
        {L"x[y", L"x[y", false},      {L"", L"[a]", false},        {L"a1b2", L"*#*#", true},
        {L"c", L"[a-ce-g]", true},    {L"d", L"[a-ce-g]", false},  {L"-", L"[a-]", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesPattern(c.text, c.pattern), c.matches)
            << testing::PrintToString(std::wstring(c.text)) << " " << testing::PrintToString(std::wstring(c.pattern));
    }
    for (const wchar_t* pattern : {L"[", L"a[bc", L"[]", L"[!]", L"x[!"}) {
        EXPECT_FALSE(IsValidPattern(pattern)) << testing::PrintToString(std::wstring(pattern));
        EXPECT_FALSE(BrowseFilter::ForElements(pattern, VT_EMPTY, 0).IsValid());
        EXPECT_TRUE(BrowseFilter(OPC_FLAT, pattern, VT_EMPTY, 0).IsValid()) << "2.05a criteria are always taken";
    }
    for (const wchar_t* pattern : {L"", L"*", L"]", L"a]b", L"[]]x]", L"[!a]"}) {
        EXPECT_EQ(IsValidPattern(pattern), std::wstring(pattern) != L"[]]x]")
            << testing::PrintToString(std::wstring(pattern));
    }
    EXPECT_TRUE(BrowseFilter::ForElements(L"[P-Q]UMP#", VT_EMPTY, 0).MatchesName(L"pump7")) << "without regard to case";
    // 2.05a criteria keep their meaning: '#' and '[' are themselves there.
    EXPECT_TRUE(BrowseFilter(OPC_FLAT, L"[P-Q]UMP#", VT_EMPTY, 0).MatchesName(L"[p-q]ump#"));
    EXPECT_FALSE(BrowseFilter(OPC_FLAT, L"[P-Q]UMP#", VT_EMPTY, 0).MatchesName(L"pump7"));
}
