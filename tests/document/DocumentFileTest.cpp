#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Document.h"
#include "MessageBoxes.h"
#include "OPCS_Registry.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
struct ScratchDir {
    ScratchDir() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path = std::filesystem::path(base) / (L"tovi-doc-" + std::to_wstring(GetCurrentProcessId()));
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::wstring File(const wchar_t* name) const { return (path / name).wstring(); }
    std::filesystem::path path;
};

std::vector<unsigned char> ReadAll(const std::wstring& file) {
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

struct AnsweredBoxes {
    AnsweredBoxes() {
        SetMessageBoxHandler([this](const std::wstring& text, const std::wstring&, UINT style) {
            texts.push_back(text);
            return DefaultAnswer(style);
        });
    }
    ~AnsweredBoxes() { SetMessageBoxHandler({}); }
    std::vector<std::wstring> texts;
};

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
    ScratchDir dir;
    AnsweredBoxes boxes;
    const std::wstring file = dir.File(L"plant.tvf");
    {
        OPCS_Doc doc;
        BuildSample(doc);
        ASSERT_TRUE(doc.DoSave(file));
        EXPECT_FALSE(doc.IsModified());
        EXPECT_EQ(L"plant.tvf", doc.GetTitle());
    }
    OPCS_Doc doc;
    ASSERT_TRUE(doc.OnOpenDocument(file));
    EXPECT_EQ(2, doc.DeviceCount());
    OPCS_Tag* speed = doc.FindTag(L"Pump.Motor.Speed");
    ASSERT_NE(nullptr, speed);
    EXPECT_EQ(L"1450 ", speed->GetValueText());
    EXPECT_FALSE(doc.IsModified());
    EXPECT_TRUE(boxes.texts.empty());
}

TEST(DocumentFileTest, NewConfigurationOverwritesTheConfiguredFile) {
    ScratchDir dir;
    const std::wstring file = dir.File(L"last.tvf");
    const std::wstring previous = theSettings.GetLastUsedFile();
    theSettings.SetLastUsedFile(file);
    OPCS_Doc doc;
    BuildSample(doc);
    ASSERT_TRUE(doc.OnNewDocument());
    theSettings.SetLastUsedFile(previous);
    EXPECT_EQ(0, doc.DeviceCount());
    EXPECT_EQ(file, doc.GetPathName());
    const std::vector<unsigned char> expected = {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9, 0x3F, 0, 0, 0, 0};
    EXPECT_EQ(expected, ReadAll(file));
}

TEST(DocumentFileTest, CutFileKeepsWhatCouldBeReadAndSays) {
    ScratchDir dir;
    AnsweredBoxes boxes;
    const std::wstring file = dir.File(L"cut.tvf");
    {
        OPCS_Doc doc;
        BuildSample(doc);
        ASSERT_TRUE(doc.DoSave(file));
    }
    std::vector<unsigned char> bytes = ReadAll(file);
    // Keep the first device whole and cut into the count of the second.
    {
        OPCS_Doc probe;
        BuildSample(probe, false);
        ASSERT_TRUE(probe.DoSave(dir.File(L"one.tvf")));
    }
    const size_t oneDevice = ReadAll(dir.File(L"one.tvf")).size();
    bytes.resize(oneDevice + 2);
    {
        std::ofstream out(std::filesystem::path(file), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    OPCS_Doc doc;
    EXPECT_TRUE(doc.OnOpenDocument(file));
    EXPECT_NE(nullptr, doc.FindTag(L"Pump.Motor.Speed"));
    EXPECT_TRUE(doc.IsModified());
    ASSERT_FALSE(boxes.texts.empty());
    EXPECT_EQ(L"Unexpected file format.", boxes.texts.back());
}

TEST(DocumentFileTest, MissingFileAndUnwritablePathAreReported) {
    ScratchDir dir;
    AnsweredBoxes boxes;
    OPCS_Doc doc;
    BuildSample(doc);
    EXPECT_FALSE(doc.OnOpenDocument(dir.File(L"absent.tvf")));
    EXPECT_EQ(2, doc.DeviceCount());  // the configuration stays
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_EQ(L"Failed to open document.", boxes.texts[0]);

    const std::wstring locked = dir.File(L"locked.tvf");
    HANDLE h = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(doc.DoSave(locked));
    CloseHandle(h);
    ASSERT_EQ(2u, boxes.texts.size());
    EXPECT_EQ(L"Unable to write to " + locked + L", it is read-only or opened by someone else.", boxes.texts[1]);
    EXPECT_TRUE(doc.IsModified());
}
