#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OPCS_Doc.h"
#include "OwnDocument.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "RecordedBoxes.h"
#include "ScratchLog.h"
#include "TempFolder.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "TvfBuilder.h"

namespace {
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Pump { Motor { Speed = 1450 } }, then an empty Boiler unless only the first is wanted.
void BuildSample(OPCS_Doc& doc, bool withBoiler = true) {
    auto* device = new ToviDevice;
    device->Rename(L"Pump");
    doc.AddDevice(device);
    auto* group = new ToviTagGroup;
    group->Rename(L"Motor");
    doc.AddGroupTo(device, group);
    auto* tag = new ToviTag;
    tag->Rename(L"Speed");
    tag->SetValueNow(Variant::FromDouble(1450));
    doc.AddTagTo(group, tag);
    if (!withBoiler) return;
    auto* second = new ToviDevice;
    second->Rename(L"Boiler");
    doc.AddDevice(second);
}
}  // namespace

TEST(DocumentFileTest, SavedConfigurationOpensAgain) {
    TempFolder dir;
    RecordedBoxes boxes;
    const std::wstring file = dir.File(L"plant.tvf");
    {
        OwnDocument doc;
        BuildSample(doc);
        ASSERT_TRUE(doc.DoSave(file));
        EXPECT_FALSE(doc.IsModified());
    }
    OwnDocument doc;
    ASSERT_TRUE(doc.OnOpenDocument(file));
    EXPECT_EQ(2, doc.DeviceCount());
    OPCS_Tag* speed = doc.FindTag(L"Pump.Motor.Speed");
    ASSERT_NE(nullptr, speed);
    EXPECT_EQ(L"1450 ", speed->GetValueText());
    EXPECT_FALSE(doc.IsModified());
    // A file that loaded cleanly is saved over as it is, with no backup.
    ASSERT_TRUE(doc.DoSave(file));
    EXPECT_FALSE(FileExists(file + L".bak"));
    EXPECT_TRUE(boxes.texts.empty());
}

TEST(DocumentFileTest, CutFileKeepsWhatCouldBeReadAndSays) {
    TempFolder dir;
    RecordedBoxes boxes;
    DeviceFields pump;
    pump.group.name = "Pump";
    pump.group.tags = {TagRecord({.name = "Speed"})};
    const Bytes one = DeviceRecord(pump);
    Bytes bytes = ConfigFile({one, one});
    bytes.data.resize(16 + one.Size() + 2);  // into the second record's class code: the end reaches the reader
    WriteBytes(dir.File(L"cut.tvf"), bytes.data);
    OwnDocument doc;
    EXPECT_TRUE(doc.OnOpenDocument(dir.File(L"cut.tvf")));
    EXPECT_NE(nullptr, doc.FindTag(L"Pump.Speed"));
    EXPECT_TRUE(doc.IsModified());
    ASSERT_FALSE(boxes.texts.empty());
    EXPECT_EQ(L"Unexpected file format.", boxes.texts.back());
}

TEST(DocumentFileTest, AMissingFileIsReportedAndTheConfigurationStays) {
    TempFolder dir;
    RecordedBoxes boxes;
    OwnDocument doc;
    BuildSample(doc);
    EXPECT_FALSE(doc.OnOpenDocument(dir.File(L"absent.tvf")));
    EXPECT_EQ(2, doc.DeviceCount());  // the configuration stays
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_EQ(L"Failed to open document.", boxes.texts[0]);
}

// Closing saves over the file it loaded: a file that did not load cleanly is
// kept beside itself first, once, next to any earlier backup that differs.
TEST(DocumentFileTest, DamagedFileIsKeptBeforeTheFirstSaveOverIt) {
    TempFolder dir;
    RecordedBoxes boxes;
    ScratchLog log;
    const std::wstring file = dir.File(L"plant.tvf");
    {
        OwnDocument doc;
        BuildSample(doc);
        ASSERT_TRUE(doc.DoSave(file));
    }
    std::vector<unsigned char> damaged = ReadBytes(file);
    damaged.resize(damaged.size() - 5);  // into the last device's record
    WriteBytes(file, damaged);
    WriteBytes(file + L".bak", {'o', 'l', 'd'});
    OwnDocument doc;
    ASSERT_TRUE(doc.OnOpenDocument(file));
    EXPECT_EQ(1, doc.DeviceCount());
    EXPECT_TRUE(doc.IsModified());
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(damaged, ReadBytes(file));  // loading alone writes nothing

    ASSERT_TRUE(doc.Save());
    const std::wstring backup = file + L".2.bak";
    EXPECT_EQ(damaged, ReadBytes(backup));
    EXPECT_EQ((std::vector<unsigned char>{'o', 'l', 'd'}), ReadBytes(file + L".bak"));
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_EQ(L"The configuration file " + file +
                  L" was damaged and could not be read completely. "
                  L"The original file is kept as " +
                  backup + L".",
              boxes.texts[0]);

    // Only the first save keeps the original.
    ASSERT_TRUE(doc.Save());
    EXPECT_FALSE(FileExists(file + L".3.bak"));
    EXPECT_EQ(1u, boxes.texts.size());
    const std::string text = log.Text();
    const std::string line = "Configuration file not loaded cleanly - original kept as: " + Narrow(backup) + " \r\n";
    EXPECT_NE(std::string::npos, text.find(line)) << text;
    EXPECT_EQ(text.find("original kept"), text.rfind("original kept")) << text;
}

// A file that cannot be read cannot be kept, so no save goes over it; once
// readable it is kept first (the table below).
TEST(DocumentFileTest, NoSaveGoesOverAFileThatCannotBeKept) {
    TempFolder dir;
    RecordedBoxes boxes;
    const std::wstring file = dir.File(L"last.tvf");
    const std::vector<unsigned char> original = {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9, 0x3F, 1, 0, 0};
    WriteBytes(file, original);
    OwnDocument doc;
    HANDLE exclusive = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
    EXPECT_FALSE(doc.OnOpenDocument(file));
    // Still unreadable when the new configuration is saved: nothing is written.
    const std::wstring previous = theSettings.GetLastUsedFile();
    theSettings.SetLastUsedFile(file);
    EXPECT_TRUE(doc.OnNewDocument());
    theSettings.SetLastUsedFile(previous);
    CloseHandle(exclusive);
    EXPECT_EQ(original, ReadBytes(file));
    EXPECT_FALSE(FileExists(file + L".bak"));
    ASSERT_EQ(2u, boxes.texts.size());
    EXPECT_EQ(L"Unable to write to " + file + L", it is read-only or opened by someone else.", boxes.texts[1]);
}

// Only the file whose content the document read cleanly, or wrote itself, is
// saved over without its original kept beside it: the user's confirmed New
// over it, or a save. Every other file there is kept first, whichever road
// the save takes.
TEST(DocumentFileTest, AFileTheDocumentDidNotReadIsKeptBeforeItIsSavedOver) {
    enum class Step { OpenLoaded, SaveLoaded, SaveOther, NewOverLoaded, NewOverOther, OpenLockedThenNew };
    const struct {
        const char* name;
        std::vector<Step> steps;
        bool otherKept;   // other.tvf's original in other.tvf.bak
        bool loadedKept;  // loaded.tvf's original in loaded.tvf.bak
    } cases[] = {
        {"save over the loaded file", {Step::OpenLoaded, Step::SaveLoaded}, false, false},
        {"save as over another file", {Step::OpenLoaded, Step::SaveOther}, true, false},
        {"new over the loaded file", {Step::OpenLoaded, Step::NewOverLoaded}, false, false},
        {"new over another file", {Step::OpenLoaded, Step::NewOverOther}, true, false},
        {"save from nothing loaded", {Step::SaveOther}, true, false},
        {"new once the locked file reads", {Step::OpenLoaded, Step::OpenLockedThenNew}, false, true},
        {"written, then saved again", {Step::SaveOther, Step::SaveOther}, true, false},
    };
    const std::wstring previous = theSettings.GetLastUsedFile();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        RecordedBoxes boxes;
        const std::wstring loaded = dir.File(L"loaded.tvf"), other = dir.File(L"other.tvf");
        {
            OwnDocument writer;
            BuildSample(writer);
            ASSERT_TRUE(writer.DoSave(loaded));
        }
        const std::vector<unsigned char> loadedBytes = ReadBytes(loaded);
        const std::vector<unsigned char> otherBytes = {'n', 'o', 't', ' ', 'r', 'e', 'a', 'd'};
        WriteBytes(other, otherBytes);
        OwnDocument doc;
        for (Step step : c.steps) {
            switch (step) {
            case Step::OpenLoaded: ASSERT_TRUE(doc.OnOpenDocument(loaded)); break;
            case Step::SaveLoaded: ASSERT_TRUE(doc.DoSave(loaded)); break;
            case Step::SaveOther: ASSERT_TRUE(doc.DoSave(other)); break;
            case Step::NewOverLoaded:
                theSettings.SetLastUsedFile(loaded);
                ASSERT_TRUE(doc.OnNewDocument());
                break;
            case Step::NewOverOther:
                theSettings.SetLastUsedFile(other);
                ASSERT_TRUE(doc.OnNewDocument());
                break;
            case Step::OpenLockedThenNew: {
                HANDLE exclusive = CreateFileW(loaded.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
                EXPECT_FALSE(doc.OnOpenDocument(loaded));
                CloseHandle(exclusive);
                theSettings.SetLastUsedFile(loaded);
                ASSERT_TRUE(doc.OnNewDocument());
                break;
            }
            }
        }
        theSettings.SetLastUsedFile(previous);
        EXPECT_EQ(c.otherKept, FileExists(other + L".bak"));
        EXPECT_EQ(c.loadedKept, FileExists(loaded + L".bak"));
        if (c.otherKept) {
            EXPECT_EQ(otherBytes, ReadBytes(other + L".bak"));
        }
        if (c.loadedKept) {
            EXPECT_EQ(loadedBytes, ReadBytes(loaded + L".bak"));
        }
        EXPECT_FALSE(FileExists(other + L".2.bak"));
        const size_t kept = (c.otherKept ? 1u : 0u) + (c.loadedKept ? 1u : 0u);
        size_t said = 0;
        for (const std::wstring& text : boxes.texts)
            said += text.find(L"The original file is kept as") != std::wstring::npos;
        EXPECT_EQ(kept, said);
    }
}

// A file whose only fault is devices named alike (the renaming rules are the
// file loader's): the user hears what was renamed, and before the first save
// over it that the original is kept for its names, not as a damaged file.
TEST(DocumentFileTest, DevicesOfOneNameAreRenamedAndTheFileIsKeptForItsNames) {
    TempFolder dir;
    RecordedBoxes boxes;
    ScratchLog log;
    std::vector<Bytes> devices;
    for (const char* name : {"Pump", "PUMP"}) {
        DeviceFields d;
        d.group.name = name;
        d.group.tags = {TagRecord({.name = "T"})};
        devices.push_back(DeviceRecord(d));
    }
    const Bytes bytes = ConfigFile(devices);
    const std::wstring file = dir.File(L"twins.tvf");
    WriteBytes(file, bytes.data);
    OwnDocument doc;
    ASSERT_TRUE(doc.OnOpenDocument(file));
    ASSERT_NE(nullptr, doc.FindTag(L"PUMP v2.T"));
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_NE(std::wstring::npos, boxes.texts[0].find(L"\"PUMP\" is now named \"PUMP v2\"")) << Narrow(boxes.texts[0]);
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(bytes.data, ReadBytes(file));  // loading alone writes nothing
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(bytes.data, ReadBytes(file + L".bak"));
    OwnDocument reread;
    ASSERT_TRUE(reread.OnOpenDocument(file));
    EXPECT_NE(nullptr, reread.FindTag(L"pump v2.T"));
    ASSERT_EQ(2u, boxes.texts.size());  // the rename, then the kept file; none on the clean reread
    EXPECT_EQ(L"The configuration file " + file +
                  L" gave devices, groups or tags names that item IDs cannot tell apart, or a reserved name; they "
                  L"were renamed when it was read. The original file is kept as " +
                  file + L".bak.",
              boxes.texts[1]);
    const std::string expectedLog =
        "renamed from: PUMP to: PUMP v2 \r\n"
        "Configuration file read with names changed - original kept as: " +
        Narrow(file) + ".bak \r\n";
    const std::string text = log.Text();
    for (size_t at = 0, from = 0; (at = expectedLog.find('\n', from)) != std::string::npos; from = at + 1) {
        EXPECT_NE(std::string::npos, text.find(expectedLog.substr(from, at + 1 - from))) << text;
    }
}
