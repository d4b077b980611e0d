#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoadHelpers.h"
#include "TempFolder.h"
#include "WholeFile.h"

namespace {
std::vector<std::wstring> FilesIn(const TempFolder& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((folder.Path() + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

void WriteRaw(const std::wstring& path, const Bytes& bytes) {
    DWORD error = 0;
    ASSERT_TRUE(WriteFileReplacing(path, bytes.data, error)) << error;
}

struct OneDevice {
    Dll<OPCS_Device*> devices;
    explicit OneDevice(const std::wstring& name) {
        auto* d = new ToviDevice;
        d->Rename(name);
        devices.Append(d);
    }
    ~OneDevice() {
        for (OPCS_Device* d : devices) delete d;
    }
};

std::string AsString(const std::vector<BYTE>& b) { return std::string(b.begin(), b.end()); }
}  // namespace

TEST(WholeFileTest, ConfigurationSavesAndLoadsThroughAFile) {
    TempFolder folder;
    const std::wstring path = folder.File(L"plant.tvf");
    OneDevice source(L"Plant");
    const ConfigFileResult saved = SaveConfigurationFile(path, source.devices);
    ASSERT_EQ(ConfigFileStatus::Ok, saved.status) << saved.error;
    EXPECT_EQ(AsString(Store(source.devices)), ReadFileBytes(path));
    EXPECT_EQ(std::vector<std::wstring>{L"plant.tvf"}, FilesIn(folder));  // nothing left beside it

    Loaded into;
    const ConfigFileResult loaded = LoadConfigurationFile(path, into.devices);
    EXPECT_EQ(ConfigFileStatus::Ok, loaded.status);
    EXPECT_EQ(0u, loaded.droppedRecords);
    ASSERT_EQ(1, into.Count());
    EXPECT_EQ(L"Plant", into.Device(0)->GetName());
}

TEST(WholeFileTest, FailedSaveLeavesThePreviousFile) {
    TempFolder folder;
    const std::wstring path = folder.File(L"plant.tvf");
    OneDevice first(L"First");
    ASSERT_EQ(ConfigFileStatus::Ok, SaveConfigurationFile(path, first.devices).status);
    const std::string before = ReadFileBytes(path);

    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    OneDevice second(L"Second");
    ConfigFileResult r = SaveConfigurationFile(path, second.devices);
    EXPECT_EQ(ConfigFileStatus::FileError, r.status);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), r.error);
    EXPECT_EQ(before, ReadFileBytes(path));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);

    // A folder that does not exist: nothing is created anywhere.
    r = SaveConfigurationFile(folder.File(L"missing\\plant.tvf"), second.devices);
    EXPECT_EQ(ConfigFileStatus::FileError, r.status);
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), r.error);
    // A folder in the file's place.
    ASSERT_TRUE(CreateDirectoryW(folder.File(L"dir.tvf").c_str(), nullptr));
    EXPECT_EQ(ConfigFileStatus::FileError, SaveConfigurationFile(folder.File(L"dir.tvf"), second.devices).status);
    RemoveDirectoryW(folder.File(L"dir.tvf").c_str());
    EXPECT_EQ(std::vector<std::wstring>{L"plant.tvf"}, FilesIn(folder));

    // And a save that works replaces the content.
    ASSERT_EQ(ConfigFileStatus::Ok, SaveConfigurationFile(path, second.devices).status);
    EXPECT_EQ(AsString(Store(second.devices)), ReadFileBytes(path));
}

TEST(WholeFileTest, LoadReportsMissingAndCutFiles) {
    TempFolder folder;
    {
        Loaded into;
        const ConfigFileResult r = LoadConfigurationFile(folder.File(L"absent.tvf"), into.devices);
        EXPECT_EQ(ConfigFileStatus::FileError, r.status);
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), r.error);
    }
    const std::wstring path = folder.File(L"cut.tvf");
    for (const Bytes& content : {Bytes(), Bytes().F64(1.6).U16(0)}) {
        WriteRaw(path, content);
        Loaded into;
        EXPECT_EQ(ConfigFileStatus::EndOfFile, LoadConfigurationFile(path, into.devices).status);
        EXPECT_EQ(0, into.Count());
    }
    // Cut at the class code of the second device: the first stays.
    DeviceFields a, b;
    a.group.name = "A";
    b.group.name = "B";
    const Bytes one = DeviceRecord(a);
    Bytes file = ConfigFile({one, DeviceRecord(b)});
    file.data.resize(16 + one.Size() + 2);
    WriteRaw(path, file);
    {
        Loaded into;
        EXPECT_EQ(ConfigFileStatus::EndOfFile, LoadConfigurationFile(path, into.devices).status);
        ASSERT_EQ(1, into.Count());
        EXPECT_EQ(L"A", into.Device(0)->GetName());
    }
    // Cut inside the second device's record: it is dropped and the load succeeds.
    file.data.resize(16 + one.Size() + 10);
    WriteRaw(path, file);
    {
        Loaded into;
        const ConfigFileResult r = LoadConfigurationFile(path, into.devices);
        EXPECT_EQ(ConfigFileStatus::Ok, r.status);
        EXPECT_EQ(1u, r.droppedRecords);
        EXPECT_EQ(1, into.Count());
    }
}
