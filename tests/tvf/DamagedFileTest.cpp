#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EventLog.h"
#include "FileBackup.h"
#include "LoadHelpers.h"
#include "Records.h"
#include "OPCS_TagGroup.h"
#include "TempFolder.h"

namespace {
std::vector<BYTE> Prefix(const Bytes& b, size_t n) {
    return {b.data.begin(), b.data.begin() + static_cast<std::ptrdiff_t>(n)};
}

size_t Find(const Bytes& b, const std::string& part) {
    const auto at = std::search(b.data.begin(), b.data.end(), part.begin(), part.end());
    return at == b.data.end() ? std::string::npos : static_cast<size_t>(at - b.data.begin());
}

DeviceFields Boiler() {
    DeviceFields d;
    d.group.name = "Boiler";
    d.group.tags = {TagRecord({.name = "Temp"})};
    d.interval = 30;
    d.refreshEnabled = 1;
    d.refreshMode = 1;
    d.refreshPeriod = 300;
    return d;
}

void ExpectBoiler(ToviDevice* device) {
    EXPECT_EQ(L"Boiler", device->GetName());
    EXPECT_EQ(30u, device->GetUpdateInterval());
    EXPECT_EQ(1u, device->GetRefreshMode());
    EXPECT_EQ(300u, device->GetRefreshPeriod());
    EXPECT_NE(nullptr, device->FindTag(L"Temp"));
}
}  // namespace

// A cut inside a long description leaves nothing after it to be read from the
// description's own bytes: no device made of "dddd", no third device.
TEST(DamagedFileTest, ACutInsideALongStringEndsTheFile) {
    DeviceFields pump;
    pump.group.name = "Pump";
    pump.group.tags = {TagRecord({.name = "Level", .description = std::string(3000, 'd')}),
                       TagRecord({.name = "Flow"})};
    const Bytes file = ConfigFile({DeviceRecord(Boiler()), DeviceRecord(pump), DeviceRecord({})});
    const size_t description = Find(file, std::string(64, 'd'));
    ASSERT_NE(std::string::npos, description);
    for (size_t cut = description - 3; cut < description + 3000; cut += cut < description + 8 ? 1 : 61) {
        Loaded l(Prefix(file, cut));
        ASSERT_EQ(1, l.Count()) << cut;
        ExpectBoiler(l.Device(0));
        EXPECT_GE(l.dropped, 1u) << cut;  // its device, and the cut tag once the tag count fits
        EXPECT_FALSE(l.endOfFile) << cut;
    }
}

TEST(DamagedFileTest, LengthsAndCountsLargerThanTheDataEndIt) {
    // A short read, or a length or count that the rest cannot hold, leaves the
    // archive at its end: everything after it is the end of the data too.
    for (const Bytes& b : {Bytes().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).Str("rest of the file"),
                           Bytes().U8(200).Str("only twenty bytes..."), Bytes().U16(VT_BSTR).U32(64).U32(7).U32(8)}) {
        Archive in(b.data.data(), b.Size());
        EXPECT_THROW(b.data[0] == VT_BSTR ? static_cast<void>(in.ReadVariant()) : static_cast<void>(in.ReadString()),
                     ArchiveEndOfFile);
        EXPECT_EQ(0u, in.Remaining());
        EXPECT_THROW(in.ReadByte(), ArchiveEndOfFile);
    }
    const Bytes counts = Bytes().U32(3).Add(Bytes().U32(0).F64(1.6)).Add(Bytes().U32(0).F64(1.6)).Add(Bytes().U32(0));
    Archive enough(counts.data.data(), counts.Size());
    EXPECT_EQ(3u, enough.ReadCount(4));  // 28 bytes left: three elements of 4 fit
    EXPECT_EQ(28u, enough.Remaining());
    Archive tooMany(counts.data.data(), counts.Size());
    EXPECT_THROW(tooMany.ReadCount(12), ArchiveEndOfFile);  // three of 12 do not
    EXPECT_EQ(0u, tooMany.Remaining());

    // A tag count of 0xFFFFFFFF before the bytes of other records gives no
    // tags named with those bytes: the device that holds it is refused and
    // the one before it stays.
    DeviceFields junk;
    junk.group.name = "Junk";
    Bytes file = ConfigFile({DeviceRecord(Boiler()), DeviceRecord(junk), DeviceRecord(Boiler())});
    const size_t tagCount = Find(file, "Junk") + 4 + 1 + 12 + 4;  // name, description, three DWORDs, group count
    ASSERT_EQ(0u, file.data[tagCount]);
    std::fill_n(file.data.begin() + static_cast<std::ptrdiff_t>(tagCount), 4, 0xFF);
    Loaded l(file);
    ASSERT_EQ(1, l.Count());
    ExpectBoiler(l.Device(0));
    EXPECT_EQ(1u, l.dropped);
}

// A name with a NUL cannot be listed whole: its record is refused on its own
// and the list goes on after it, at every level.
TEST(DamagedFileTest, NamesWithANulAreRefusedAndTheListGoesOn) {
    const std::string nul("Mo\0tor", 6);
    DeviceFields d;
    d.group.name = "Pump";
    d.group.groups = {GroupRecord({.name = "A"}), GroupRecord({.name = nul, .tags = {TagRecord({.name = "Hidden"})}}),
                      GroupRecord({.name = "B"})};
    d.group.tags = {TagRecord({.name = "T1"}), TagRecord({.name = std::string("T\0x", 3)}), TagRecord({.name = "T3"})};
    DeviceFields bad;
    bad.group.name = nul;
    TempFolder folder;
    ASSERT_TRUE(theEventLog.Open(folder.File(L"log.txt")));
    {
        Loaded l(ConfigFile({DeviceRecord(d), DeviceRecord(bad), DeviceRecord(Boiler())}));
        EXPECT_FALSE(l.endOfFile);
        EXPECT_EQ(3u, l.dropped);
        ASSERT_EQ(2, l.Count());
        ToviDevice* pump = l.Device(0);
        std::vector<std::wstring> names;
        for (OPCS_TagGroup* g : pump->SnapshotGroups()) names.push_back(g->GetName());
        EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), names);
        names.clear();
        for (OPCS_Tag* t : pump->SnapshotTags()) names.push_back(t->GetName());
        EXPECT_EQ((std::vector<std::wstring>{L"T1", L"T3"}), names);
        ExpectBoiler(l.Device(1));
        // Whatever is kept has names that hold no NUL, so it saves and loads back whole.
        Loaded back(Store(l.devices));
        EXPECT_EQ(0u, back.dropped);
        EXPECT_EQ(2, back.Count());
    }
    theEventLog.Close();
    const std::string log = ReadFileBytes(folder.File(L"log.txt"));
    EXPECT_NE(std::string::npos, log.find("Serialization Error - input group#: 1 of type: 0 \r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Serialization Error - input tag#: 1 of type: 0 from config file")) << log;
    EXPECT_NE(std::string::npos, log.find("Serialization Error - input device#: 1 of type: 0 \r\n")) << log;
}

TEST(DamagedFileTest, BackupsNeverOverwriteAnEarlierDifferentOne) {
    TempFolder folder;
    const std::wstring file = folder.File(L"plant.tvf");
    auto write = [](const std::wstring& path, const std::string& bytes) {
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD put = 0;
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
        CloseHandle(h);
    };
    std::wstring backup;
    DWORD error = 0;
    EXPECT_FALSE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);

    write(file, "first");
    ASSERT_TRUE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(file + L".bak", backup);
    // The same content again: the backup there already is it.
    ASSERT_TRUE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(file + L".bak", backup);
    write(file, "second");
    ASSERT_TRUE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(file + L".2.bak", backup);
    write(file, "third");
    ASSERT_TRUE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(file + L".3.bak", backup);
    EXPECT_EQ("first", ReadFileBytes(file + L".bak"));
    EXPECT_EQ("second", ReadFileBytes(file + L".2.bak"));
    EXPECT_EQ("third", ReadFileBytes(file + L".3.bak"));
    write(file, "second");
    ASSERT_TRUE(KeepBackupBeside(file, backup, error));
    EXPECT_EQ(file + L".2.bak", backup);
}
