#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "LoadHelpers.h"
#include "Records.h"
#include "ScratchLog.h"
#include "ToviTagGroup.h"
#include "TreeLimits.h"

// Each device costs a poll thread: the file-level samples stay small, and the
// thorough corruption runs on group records, which need no device.
namespace {
using Clock = std::chrono::steady_clock;

Bytes SmallDevice(const std::string& name, int tags) {
    DeviceFields d;
    d.group.name = name;
    for (int i = 0; i < tags; ++i) {
        d.group.tags.push_back(TagRecord({.name = "T" + std::to_string(i),
                                          .isVolatile = i == 1,
                                          .value = i % 2 ? VBstr(L"v") : VR8(i),
                                          .dataType = i % 2 ? VT_BSTR : VT_R8}));
    }
    d.group.groups = {GroupRecord({.name = "G", .tags = {TagRecord({.name = "Inner"})}})};
    return DeviceRecord(d);
}

// A list of one rich group: sub-groups, tags of every type, a wide name.
Bytes GroupSample() {
    std::vector<Bytes> tags;
    int i = 0;
    for (const Bytes& v :
         {VR8(1.5), VBool(true), VI4(-3), VI2(4), VUI1(5), VR4(6.5f), VBstr(L"seven"), VEmpty(), Bytes().U16(VT_UI4)}) {
        tags.push_back(TagRecord({.name = "Tag" + std::to_string(i), .isVolatile = ++i % 3 == 0, .value = v}));
    }
    Bytes wide = Bytes().F64(1.6).WideStr(L"\x6C34 level");
    const Bytes rest = TagRecord({.name = ""});
    wide.data.insert(wide.data.end(), rest.data.begin() + 9, rest.data.end());
    tags.push_back(wide);
    const Bytes mid = GroupRecord({.name = "Mid", .groups = {GroupRecord({.name = "Leaf", .tags = {tags[0]}})}});
    return List({GroupRecord({.name = "Top", .groups = {mid}, .tags = tags})});
}

// Applies one to four random edits: byte values, bit flips, awkward counts
// and lengths, insertions, deletions and truncation.
std::vector<BYTE> Corrupt(std::vector<BYTE> bytes, std::mt19937& random) {
    auto pick = [&random](size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random); };
    static const std::uint32_t nasty[] = {0, 1, 0xFF, 0xFFFE, 0xFFFF, 0x7FFFFFFF, 0x80000000, 4000000000u, 0xFFFFFFFF};
    for (size_t e = 1 + pick(4); e > 0 && !bytes.empty(); --e) {
        const size_t at = pick(bytes.size());
        const auto where = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        switch (pick(6)) {
        case 0: bytes[at] = static_cast<BYTE>(random()); break;
        case 1: bytes[at] ^= static_cast<BYTE>(1u << pick(8)); break;
        case 2:
            for (size_t i = 0, v = nasty[pick(std::size(nasty))]; i < 4 && at + i < bytes.size(); ++i) {
                bytes[at + i] = static_cast<BYTE>(v >> (8 * i));
            }
            break;
        case 3: bytes.insert(where, 1 + pick(16), static_cast<BYTE>(random())); break;
        case 4:
            bytes.erase(where, where + static_cast<std::ptrdiff_t>(std::min(bytes.size() - at, 1 + pick(16))));
            break;
        default: bytes.resize(at); break;
        }
    }
    return bytes;
}

// Walks everything loaded, as the views and the poll thread would.
void Touch(OPCS_TagGroup* group) {
    for (OPCS_TagGroup* sub : group->SnapshotGroups()) Touch(sub);
    for (OPCS_Tag* t : group->SnapshotTags()) {
        EXPECT_FALSE(t->GetItemID().empty());
        t->GetValueText();
        t->GetTimestampText();
        t->SetValueNow(t->GetValue());
    }
}

struct LoadedGroups {
    std::vector<std::unique_ptr<OPCS_TagGroup>> groups;
    bool endOfFile = false;
    size_t dropped = 0;
    explicit LoadedGroups(const std::vector<BYTE>& bytes) {
        Archive archive(bytes.data(), bytes.size());
        try {
            groups = GroupRecord::LoadList(archive);
        } catch (const ArchiveEndOfFile&) {
            endOfFile = true;
        }
        dropped = archive.DroppedRecords();
        for (auto& g : groups) Touch(g.get());
    }
    std::vector<BYTE> Store() {
        Dll<OPCS_TagGroup*> list;
        for (auto& g : groups) list.Append(g.get());
        Archive archive;
        GroupRecord::StoreList(archive, list);
        return archive.Bytes();
    }
};

std::vector<BYTE> Prefix(const Bytes& b, size_t n) {
    return {b.data.begin(), b.data.begin() + static_cast<std::ptrdiff_t>(n)};
}
}  // namespace

// A name with a NUL cannot be listed whole: its record is refused on its own,
// logged with its index, and the list goes on after it, at every level.
TEST(BadInputTest, NamesWithANulAreRefusedAndTheListGoesOn) {
    const std::string nul("Mo\0tor", 6);
    DeviceFields d;
    d.group.name = "Pump";
    d.group.groups = {GroupRecord({.name = "A"}), GroupRecord({.name = nul, .tags = {TagRecord({.name = "Hidden"})}}),
                      GroupRecord({.name = "B"})};
    d.group.tags = {TagRecord({.name = "T1"}), TagRecord({.name = std::string("T\0x", 3)}), TagRecord({.name = "T3"})};
    DeviceFields bad;
    bad.group.name = nul;
    ScratchLog log;
    {
        Loaded l(ConfigFile({DeviceRecord(d), DeviceRecord(bad), SmallDevice("Last", 1)}));
        EXPECT_FALSE(l.endOfFile);
        EXPECT_EQ(3u, l.dropped);
        ASSERT_EQ(2, l.Count());
        std::vector<std::wstring> names;
        for (OPCS_TagGroup* g : l.Device(0)->SnapshotGroups()) names.push_back(g->GetName());
        for (OPCS_Tag* t : l.Device(0)->SnapshotTags()) names.push_back(t->GetName());
        EXPECT_EQ((std::vector<std::wstring>{L"A", L"B", L"T1", L"T3"}), names);
        EXPECT_NE(nullptr, l.Tag(1, L"G.Inner"));
        // What is kept holds no NUL, so it saves and loads back whole.
        Loaded back(Store(l.devices));
        EXPECT_EQ(0u, back.dropped);
        EXPECT_EQ(2, back.Count());
    }
    for (const char* line :
         {"group#: 1 of type: 0 \r\n", "tag#: 1 of type: 0 from config file", "device#: 1 of type: 0 \r\n"}) {
        EXPECT_TRUE(log.Contains(std::string("Serialization Error - input ") + line)) << log.Text();
    }
}

TEST(BadInputTest, EveryTruncationOfAFileLoadsWhatPrecedesIt) {
    const Bytes one = SmallDevice("One", 2);
    const Bytes file = ConfigFile({one, SmallDevice("Two", 0)});
    const size_t firstEnd = 16 + one.Size();  // head 8, count 4, class code 4
    for (size_t n = 0; n <= file.Size(); ++n) {
        Loaded l(Prefix(file, n));
        // Outside every record the end reaches the caller (a count of two
        // needs at least 24 bytes after it); inside one, the record is dropped.
        const bool outside = n < 12 + 24 || (n >= firstEnd && n < firstEnd + 4);
        EXPECT_EQ(outside, l.endOfFile) << n;
        EXPECT_EQ(!outside && n<file.Size(), l.dropped> 0) << n;
        ASSERT_EQ(n < firstEnd ? 0 : (n < file.Size() ? 1 : 2), l.Count()) << n;
        for (OPCS_Device* d : l.devices) Touch(d);
    }
}

TEST(BadInputTest, EveryTruncationOfAGroupRecordLoadsWhatPrecedesIt) {
    const Bytes sample = GroupSample();
    ASSERT_EQ(10, LoadedGroups(sample.data).groups.at(0)->TagCount());
    for (size_t n = 0; n < sample.Size(); ++n) {
        LoadedGroups l(Prefix(sample, n));
        // A count of one needs at least 12 bytes after it.
        EXPECT_EQ(n < 4 + 12, l.endOfFile) << n;
        EXPECT_EQ(n >= 4 + 12, l.dropped > 0) << n;
        // Everything after a cut is the end too: the group never reads its
        // trailer from bytes of the cut field.
        EXPECT_TRUE(l.groups.empty()) << n;
    }
}

TEST(BadInputTest, SeededRandomCorruptionsNeverCrashOrHang) {
    const auto start = Clock::now();
    std::mt19937 random(20240611);
    const Bytes groups = GroupSample();
    size_t survivors = 0;
    for (int round = 0; round < 4000; ++round) {
        LoadedGroups l(Corrupt(groups.data, random));
        survivors += l.groups.size();
        // Whatever loads saves and loads again in full.
        LoadedGroups back(l.Store());
        EXPECT_FALSE(back.endOfFile);
        EXPECT_EQ(0u, back.dropped);
        ASSERT_EQ(l.groups.size(), back.groups.size()) << round;
    }
    EXPECT_GT(survivors, 100u);
    const Bytes file = ConfigFile({SmallDevice("One", 3), SmallDevice("Two", 1)});
    for (int round = 0; round < 300; ++round) {
        Loaded l(Corrupt(file.data, random));
        for (OPCS_Device* d : l.devices) Touch(d);
        Loaded back(Store(l.devices));
        EXPECT_EQ(0u, back.dropped);
        ASSERT_EQ(l.Count(), back.Count());
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
}

namespace {
// A list holding one chain of `depth` groups, built level by level.
Bytes NestedGroups(size_t depth) {
    Bytes head, tail;
    for (size_t i = 1; i <= depth; ++i) {
        head.F64(1.6).Str("L").Str("").U32(2).U32(3).U32(1).U32(i < depth);
        if (i < depth) head.U32(0);  // the one sub-group's class code
        tail.U32(0).F64(1.1);        // empty tag list, trailer
    }
    return Bytes().U32(1).U32(0).Add(head).Add(tail);
}

size_t Depth(OPCS_TagGroup* group) {
    size_t depth = 0;
    for (; group != nullptr; ++depth) {
        const auto subs = group->SnapshotGroups();
        group = subs.empty() ? nullptr : subs[0];
    }
    return depth;
}

// Runs the body on a thread with a small stack; its exit code tells that the body ran to its end.
template <class Body>
void OnSmallStack(Body body) {
    struct Call {
        static DWORD WINAPI Run(void* p) {
            (*static_cast<Body*>(p))();
            return 7;
        }
    };
    HANDLE thread = CreateThread(nullptr, 512 * 1024, &Call::Run, &body, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(7u, code) << "the body did not finish";
}
}  // namespace

TEST(BadInputTest, NestingIsBoundedSoNoFileExhaustsTheStack) {
    OnSmallStack([] {
        LoadedGroups deepest(NestedGroups(Archive::kMaxNesting).data);
        ASSERT_EQ(1u, deepest.groups.size());
        EXPECT_EQ(Archive::kMaxNesting, Depth(deepest.groups[0].get()));
        EXPECT_FALSE(deepest.Store().empty());
        // Deeper is refused; the level above then reads on from the refused bytes.
        for (size_t depth : {Archive::kMaxNesting + 1, size_t{100000}}) {
            LoadedGroups over(NestedGroups(depth).data);
            EXPECT_GE(over.dropped, 1u);
            EXPECT_LE(over.groups.size(), 1u);
        }
    });
    // A tree too deep to read back cannot be built either: level by level,
    // or by adopting a deep branch.
    ToviTagGroup top;
    OPCS_TagGroup* bottom = &top;
    for (size_t i = 1; i <= kMaxGroupDepth; ++i) {
        auto* g = new ToviTagGroup;
        ASSERT_TRUE(bottom->AddGroup(g)) << i;
        bottom = g;
    }
    ToviTagGroup refused;
    EXPECT_FALSE(bottom->AddGroup(&refused));
    ToviTagGroup branch;
    branch.AddGroup(new ToviTagGroup);
    EXPECT_FALSE(bottom->GetParent()->AddGroup(&branch));
    Dll<OPCS_TagGroup*> list;
    list.Append(&top);
    Archive archive;
    EXPECT_NO_THROW(GroupRecord::StoreList(archive, list));
}

// Counts a file cannot hold are refused before anything is made for them;
// names past the longest allowed are refused alone, and the list goes on.
TEST(BadInputTest, HugeCountsAndLongNamesAreRefusedWithoutAllocating) {
    const Bytes hugeDevices = Bytes().F64(1.6).U32(0xFFFFFFFF).U32(0);
    DeviceFields tags;
    tags.group.name = "Tags";
    Bytes hugeTags = DeviceRecord(tags);
    DeviceFields groups;
    groups.group.name = "Grps";
    Bytes hugeGroups = DeviceRecord(groups);
    // The group block's lists follow its version, name (4), description (empty) and three DWORDs.
    const size_t lists = 8 + (1 + 4) + 1 + 12;
    for (size_t i = 0; i < 4; ++i) hugeGroups.data[lists + i] = 0xFF;
    for (size_t i = 0; i < 4; ++i) hugeTags.data[lists + 4 + i] = 0xFE;
    const struct {
        Bytes file;
        bool endOfFile;
        int devices;
    } cases[] = {{hugeDevices, true, 0},
                 {ConfigFile({hugeTags, SmallDevice("After", 1)}), false, 0},
                 {ConfigFile({hugeGroups, SmallDevice("After", 1)}), false, 0}};
    for (const auto& c : cases) {
        const auto start = Clock::now();
        Loaded l(c.file);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(c.endOfFile, l.endOfFile);
        EXPECT_EQ(c.endOfFile, l.dropped == 0);
        EXPECT_EQ(c.devices, l.Count());
    }

    const std::string longName(65536, 'n');
    DeviceFields d;
    d.group.name = "Pump";
    d.group.groups = {GroupRecord({.name = longName}), GroupRecord({.name = "Kept"})};
    d.group.tags = {TagRecord({.name = longName}), TagRecord({.name = std::string(kMaxNameLength, 't')})};
    ScratchLog log;
    Loaded l(ConfigFile({DeviceRecord(d)}));
    EXPECT_EQ(2u, l.dropped);
    ASSERT_EQ(1, l.Count());
    ASSERT_EQ(1u, l.Device(0)->SnapshotGroups().size());
    EXPECT_EQ(L"Kept", l.Device(0)->SnapshotGroups()[0]->GetName());
    EXPECT_EQ(1, l.Device(0)->TagCount());
    EXPECT_TRUE(log.Contains("Serialization Error - input tag#: 0 of type: 0 from config file")) << log.Text();
}
