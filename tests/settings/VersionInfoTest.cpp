#include <gtest/gtest.h>

#include <windows.h>
#include <ctime>

#include "DateTimeText.h"
#include "DocumentTemplate.h"
#include "ProgramPaths.h"
#include "TempFolder.h"
#include "VersionInfo.h"

TEST(VersionInfoTest, ABlockOfOnly040904E4IsFound) {
    const std::wstring probe = GetProgramDirectory() + L"version_only_e4.dll";
    std::wstring value;
    ASSERT_TRUE(GetVersionString(probe, L"CompanyName", value));
    EXPECT_EQ(L"Older Tools Company", value);
    ASSERT_TRUE(GetProductVersion(probe, value));
    EXPECT_EQ(2.5, VersionTextToNumber(value));  // "2.5 beta"
    EXPECT_FALSE(GetVersionString(probe, L"FileDescription", value));
    EXPECT_EQ(L"", value);
}

TEST(VersionInfoTest, BlocksAreAskedGermanThenWesternThenUnicodeEnglish) {
    const std::wstring probe = GetProgramDirectory() + L"version_three_blocks.dll";
    std::wstring value;
    ASSERT_TRUE(GetVersionString(probe, L"CompanyName", value));
    EXPECT_EQ(L"Deutsch", value);
    ASSERT_TRUE(GetProductVersion(probe, value));
    EXPECT_EQ(L"3.25", value);
    ASSERT_TRUE(GetVersionString(probe, L"ProductName", value));
    EXPECT_EQ(L"Only In Unicode English", value);
}

TEST(VersionInfoTest, FilesWithoutVersionInformationGiveEmptyStrings) {
    TempFolder folder;
    const std::wstring plain = folder.File(L"plain.txt");
    CloseHandle(CreateFileW(plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    std::wstring value = L"stale";
    EXPECT_FALSE(GetProductVersion(plain, value));
    EXPECT_EQ(L"", value);
    EXPECT_FALSE(GetProductVersion(folder.File(L"missing.exe"), value));
    EXPECT_FALSE(GetProductVersion(L"", value));

    EXPECT_EQ(0.0, VersionTextToNumber(L"abc"));
    EXPECT_EQ(0.0, VersionTextToNumber(L""));
    EXPECT_EQ(1.1, VersionTextToNumber(L"1.1.0.0"));
    EXPECT_EQ(1.1, GetProductVersionNumber());  // the test program carries the program's own block
}

TEST(ProgramPathsTest, SplitPathCutsAtTheLastBackslash) {
    const wchar_t* cases[][3] = {
        {L"C:\\Tovi\\ToviConfig.tvf", L"C:\\Tovi\\", L"ToviConfig.tvf"},
        {L"ToviConfig.tvf", L"", L"ToviConfig.tvf"},
        {L"\\file.txt", L"", L"\\file.txt"},
        {L"C:\\Tovi\\", L"C:\\Tovi\\", L""},
        {L"\\\\server\\share\\a.tvf", L"\\\\server\\share\\", L"a.tvf"},
    };
    for (const auto& c : cases) {
        std::wstring directory = L"stale", file = L"stale";
        SplitPath(c[0], directory, file);
        EXPECT_EQ(c[1], directory) << c[0];
        EXPECT_EQ(c[2], file) << c[0];
    }
}

TEST(ProgramPathsTest, TheProgramDirectoryIsTheTestProgramsOwn) {
    const std::wstring directory = GetProgramDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory + L"settings_tests.exe", GetModulePath());
    EXPECT_TRUE(FileExists(GetModulePath()));
    EXPECT_FALSE(FileExists(directory));
    EXPECT_EQ(L"Tovi Explorer Config", GetDocumentTemplateField(DocumentTemplateField::RegistryTypeName));
}

TEST(DateTimeTextTest, CalendarSecondsAreShownInLocalTimeAndBadDatesAsNothing) {
    SYSTEMTIME bad{2024, 13, 0, 40, 0, 0, 0, 0};
    EXPECT_EQ(L"", FormatDateTime(bad));
    EXPECT_EQ(L"", FormatTime(static_cast<std::time_t>(-20000000000LL)));
    // The same instant read twice: as seconds since 1970 and on the local clock.
    for (int attempt = 0; attempt < 5; ++attempt) {
        SYSTEMTIME local{}, check{};
        GetLocalTime(&local);
        const std::time_t now = std::time(nullptr);
        GetLocalTime(&check);
        if (check.wSecond != local.wSecond) continue;  // straddled a second: again
        EXPECT_FALSE(FormatTime(now).empty());
        EXPECT_EQ(FormatDateTime(local), FormatTime(now));
        return;
    }
    FAIL() << "could not read the clock within one second";
}
