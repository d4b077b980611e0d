#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileBackup.h"
#include "LoadHelpers.h"
#include "TempFolder.h"
#include "WholeFile.h"

namespace {
size_t FileCount(const TempFolder& folder) {
    size_t n = 0;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((folder.Path() + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do n += !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    while (FindNextFileW(find, &data));
    FindClose(find);
    return n;
}

struct OneDevice : Loaded {
    explicit OneDevice(const std::wstring& name) {
        devices.Append(new ToviDevice);
        Device(0)->Rename(name);
    }
    std::string Bytes() {
        const auto b = Store(devices);
        return std::string(b.begin(), b.end());
    }
};
}  // namespace

TEST(WholeFileTest, SavesReplaceTheFileOnlyWhenTheyWork) {
    TempFolder folder;
    const std::wstring path = folder.File(L"plant.tvf");
    OneDevice first(L"First"), second(L"Second");
    ASSERT_EQ(ConfigFileStatus::Ok, SaveConfigurationFile(path, first.devices).status);
    EXPECT_EQ(first.Bytes(), ReadFileBytes(path));
    Loaded into;
    const ConfigFileResult loaded = LoadConfigurationFile(path, into.devices);
    EXPECT_EQ(ConfigFileStatus::Ok, loaded.status);
    ASSERT_EQ(1, into.Count());
    EXPECT_EQ(L"First", into.Device(0)->GetName());

    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    ConfigFileResult r = SaveConfigurationFile(path, second.devices);
    EXPECT_EQ(ConfigFileStatus::FileError, r.status);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), r.error);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    r = SaveConfigurationFile(folder.File(L"missing\\x.tvf"), second.devices);
    EXPECT_EQ(ConfigFileStatus::FileError, r.status);
    ASSERT_TRUE(CreateDirectoryW(folder.File(L"dir.tvf").c_str(), nullptr));
    EXPECT_EQ(ConfigFileStatus::FileError, SaveConfigurationFile(folder.File(L"dir.tvf"), second.devices).status);
    RemoveDirectoryW(folder.File(L"dir.tvf").c_str());
    EXPECT_EQ(first.Bytes(), ReadFileBytes(path));
    EXPECT_EQ(1u, FileCount(folder));  // no temporary file left behind

    ASSERT_EQ(ConfigFileStatus::Ok, SaveConfigurationFile(path, second.devices).status);
    EXPECT_EQ(second.Bytes(), ReadFileBytes(path));
    EXPECT_EQ(1u, FileCount(folder));
}

TEST(WholeFileTest, LoadReportsMissingAndCutFiles) {
    TempFolder folder;
    Loaded none;
    const ConfigFileResult missing = LoadConfigurationFile(folder.File(L"absent.tvf"), none.devices);
    EXPECT_EQ(ConfigFileStatus::FileError, missing.status);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.error);

    const Bytes one = DeviceRecord({});
    const Bytes file = ConfigFile({one, one});
    const std::pair<size_t, ConfigFileStatus> cuts[] = {
        {0, ConfigFileStatus::EndOfFile},                    // empty: no head
        {10, ConfigFileStatus::EndOfFile},                   // in the count
        {16 + one.Size() + 2, ConfigFileStatus::EndOfFile},  // in the second class code
        {16 + one.Size() + 10, ConfigFileStatus::Ok},        // in the second record: dropped
    };
    const std::wstring path = folder.File(L"cut.tvf");
    for (const auto& [size, status] : cuts) {
        DWORD error = 0;
        const std::vector<BYTE> cut(file.data.begin(), file.data.begin() + static_cast<std::ptrdiff_t>(size));
        ASSERT_TRUE(WriteFileReplacing(path, cut, error));
        Loaded into;
        const ConfigFileResult r = LoadConfigurationFile(path, into.devices);
        EXPECT_EQ(status, r.status) << size;
        EXPECT_EQ(size > 16 ? 1 : 0, into.Count()) << size;
        EXPECT_EQ(status == ConfigFileStatus::Ok ? 1u : 0u, r.droppedRecords) << size;
    }
}

TEST(WholeFileTest, BackupsNeverOverwriteAnEarlierDifferentOne) {
    TempFolder folder;
    const std::wstring file = folder.File(L"plant.tvf");
    std::wstring backup;
    DWORD error = 0;
    EXPECT_FALSE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
    // The same content again finds the backup that already holds it.
    const std::pair<const char*, const wchar_t*> steps[] = {
        {"first", L".bak"}, {"first", L".bak"}, {"second", L".2.bak"}, {"third", L".3.bak"}, {"second", L".2.bak"}};
    for (const auto& [content, suffix] : steps) {
        ASSERT_TRUE(WriteFileReplacing(file, std::vector<BYTE>(content, content + strlen(content)), error));
        ASSERT_TRUE(KeepBackupBeside(file, backup, error)) << content;
        EXPECT_EQ(file + suffix, backup) << content;
        EXPECT_EQ(content, ReadFileBytes(backup));
    }
    EXPECT_EQ("first", ReadFileBytes(file + L".bak"));
}
