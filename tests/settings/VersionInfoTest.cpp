#include <gtest/gtest.h>

#include <windows.h>
#include <ctime>
#include <vector>

#include "DateTimeText.h"
#include "DocumentTemplate.h"
#include "ProgramPaths.h"
#include "TempFolder.h"
#include "VersionInfo.h"

namespace {
std::vector<BYTE> VersionBlock(const std::wstring& file) {
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(file.c_str(), &ignored));
    if (block.empty() || !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) {
        block.clear();
    }
    return block;
}
}  // namespace

// The test program carries the program's own resources.
TEST(VersionInfoTest, TheProgramsVersionResourceReadsAsPublished) {
    const std::vector<BYTE> block = VersionBlock(GetModulePath());
    ASSERT_FALSE(block.empty());
    void* data = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &data, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(data);
    EXPECT_EQ(0x00010001u, fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010001u, fixed->dwProductVersionMS);
    EXPECT_EQ(0u, fixed->dwProductVersionLS);
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &data, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, static_cast<const WORD*>(data)[0]);
    EXPECT_EQ(0x04B0, static_cast<const WORD*>(data)[1]);

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"CompanyName", L"Zelkor"},          {L"FileDescription", L"Tovi Explorer"},
        {L"FileVersion", L"1.1"},             {L"InternalName", L"Tovi Explorer.exe"},
        {L"OriginalFilename", L"Tovi Explorer.exe"}, {L"ProductName", L"Tovi Explorer"},
        {L"ProductVersion", L"1.1"}};
    for (const auto& [key, expected] : strings) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), &data, &length)) << key;
        EXPECT_EQ(std::wstring(expected), static_cast<const wchar_t*>(data));
        std::wstring read;
        EXPECT_TRUE(GetVersionString(GetModulePath(), key, read));
        EXPECT_EQ(expected, read);
    }
    EXPECT_EQ(L"Zelkor", GetCompanyName());
    EXPECT_EQ(L"Tovi Explorer", GetProductName());
    EXPECT_EQ(1.1, GetProductVersionNumber());
}

TEST(VersionInfoTest, ABlockOfOnly040904E4IsFound) {
    const std::wstring probe = GetProgramDirectory() + L"version_only_e4.dll";
    std::wstring value;
    ASSERT_TRUE(GetVersionString(probe, L"CompanyName", value));
    EXPECT_EQ(L"Older Tools Company", value);
    ASSERT_TRUE(GetProductVersion(probe, value));
    EXPECT_EQ(L"2.5 beta", value);
    EXPECT_EQ(2.5, VersionTextToNumber(value));
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
    const HANDLE h = CreateFileW(plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    WriteFile(h, "not a program", 13, &written, nullptr);
    CloseHandle(h);
    std::wstring value = L"stale";
    EXPECT_FALSE(GetProductVersion(plain, value));
    EXPECT_EQ(L"", value);
    EXPECT_FALSE(GetProductVersion(folder.File(L"missing.exe"), value));
    EXPECT_FALSE(GetProductVersion(L"", value));
}

TEST(VersionInfoTest, VersionTextsBecomeNumbers) {
    EXPECT_EQ(1.1, VersionTextToNumber(L"1.1"));
    EXPECT_EQ(0.0, VersionTextToNumber(L"abc"));
    EXPECT_EQ(0.0, VersionTextToNumber(L""));
    EXPECT_EQ(1.1, VersionTextToNumber(L"1.1.0.0"));
    EXPECT_EQ(12.0, VersionTextToNumber(L"  12 (build 7)"));
}

TEST(ProgramPathsTest, SplitPathCutsAtTheLastBackslash) {
    struct Case { const wchar_t* path; const wchar_t* directory; const wchar_t* file; };
    const Case cases[] = {
        {L"C:\\Tovi\\ToviConfig.tvf", L"C:\\Tovi\\", L"ToviConfig.tvf"},
        {L"ToviConfig.tvf", L"", L"ToviConfig.tvf"},
        {L"\\file.txt", L"", L"\\file.txt"},
        {L"C:\\Tovi\\", L"C:\\Tovi\\", L""},
        {L"\\\\server\\share\\a.tvf", L"\\\\server\\share\\", L"a.tvf"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        std::wstring directory = L"stale";
        std::wstring file = L"stale";
        SplitPath(c.path, directory, file);
        EXPECT_EQ(c.directory, directory) << c.path;
        EXPECT_EQ(c.file, file) << c.path;
    }
}

TEST(ProgramPathsTest, TheProgramDirectoryHoldsTheRunningProgram) {
    const std::wstring path = GetModulePath();
    const std::wstring directory = GetProgramDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(L'\\', directory.back());
    EXPECT_EQ(directory + L"settings_tests.exe", path);
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FileExists(directory));
}

TEST(ProgramPathsTest, TheDocumentTemplateNamesTheDefaultFile) {
    EXPECT_EQ(L"Tovi Explorer", GetDocumentTemplateField(DocumentTemplateField::WindowTitle));
    EXPECT_EQ(L"ToviConfig", GetDocumentTemplateField(DocumentTemplateField::DocumentName));
    EXPECT_EQ(L"Tovi Explorer Config (*.tvf)", GetDocumentTemplateField(DocumentTemplateField::FilterName));
    EXPECT_EQ(L".tvf", GetDocumentTemplateField(DocumentTemplateField::FilterExtension));
    EXPECT_EQ(L"Tovi Explorer Config", GetDocumentTemplateField(DocumentTemplateField::RegistryTypeName));
}

TEST(DateTimeTextTest, ImpossibleDatesGiveEmptyText) {
    SYSTEMTIME bad{};
    bad.wYear = 2024;
    bad.wMonth = 13;
    bad.wDay = 40;
    EXPECT_EQ(L"", FormatDateTime(bad));
    EXPECT_EQ(L"", FormatTime(static_cast<std::time_t>(-20000000000LL)));
}

TEST(DateTimeTextTest, CalendarSecondsAreShownInLocalTime) {
    // The same instant read twice: as seconds since 1970 and as the local clock.
    for (int attempt = 0; attempt < 5; ++attempt) {
        SYSTEMTIME local{};
        GetLocalTime(&local);
        const std::time_t now = std::time(nullptr);
        SYSTEMTIME check{};
        GetLocalTime(&check);
        if (check.wSecond != local.wSecond) continue;  // straddled a second: try again
        const std::wstring text = FormatTime(now);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(FormatDateTime(local), text);
        return;
    }
    FAIL() << "could not read the clock within one second";
}
