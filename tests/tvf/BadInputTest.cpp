#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "EventLog.h"
#include "LoadHelpers.h"
#include "Records.h"
#include "TempFolder.h"
#include "ToviTagGroup.h"

namespace {
Bytes SmallDevice(const std::string& name, int tags) {
    DeviceFields d;
    d.group.name = name;
    std::vector<Bytes> records;
    for (int i = 0; i < tags; ++i) {
        TagFields t;
        t.name = "T" + std::to_string(i);
        t.value = i % 2 ? VBstr(L"v" + std::to_wstring(i)) : VR8(i);
        t.dataType = i % 2 ? VT_BSTR : VT_R8;
        t.isVolatile = i == 2;
        records.push_back(TagRecord(t));
    }
    GroupFields g;
    g.name = "G";
    TagFields inner;
    inner.name = "Inner";
    g.tags = {TagRecord(inner)};
    d.group.groups = {GroupRecord(g)};
    d.group.tags = records;
    return DeviceRecord(d);
}

// Walks everything a loaded configuration holds, as the views would.
size_t Touch(Loaded& l) {
    size_t n = 0;
    for (OPCS_Device* d : l.devices) {
        std::vector<OPCS_TagGroup*> pending{d};
        while (!pending.empty()) {
            OPCS_TagGroup* g = pending.back();
            pending.pop_back();
            for (OPCS_TagGroup* sub : g->SnapshotGroups()) pending.push_back(sub);
            for (OPCS_Tag* t : g->SnapshotTags()) {
                n += t->GetItemID().size() + t->GetValueText().size() + t->GetQualityText().size();
                t->SetValueNow(t->GetValue());
            }
        }
    }
    return n;
}

// Any configuration that loads saves and loads again without a loss.
void ExpectResavable(Loaded& l) {
    const std::vector<BYTE> again = Store(l.devices);
    Loaded back(again);
    EXPECT_FALSE(back.endOfFile);
    EXPECT_EQ(0u, back.dropped);
    EXPECT_EQ(l.Count(), back.Count());
}
}  // namespace

TEST(BadInputTest, ThirdDeviceRecordBrokenKeepsTheFirstTwo) {
    TempFolder folder;
    const std::wstring log = folder.File(L"log.txt");
    ASSERT_TRUE(theEventLog.Open(log));
    DeviceFields broken;
    broken.group.name = "Broken";
    Bytes third = DeviceRecord(broken);
    // The name's length becomes a second wide-string marker.
    Bytes marker;
    marker.U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFE);
    third.data.erase(third.data.begin() + 8, third.data.begin() + 9);
    third.data.insert(third.data.begin() + 8, marker.data.begin(), marker.data.end());
    {
        Loaded l(ConfigFile({SmallDevice("One", 2), SmallDevice("Two", 3), third, SmallDevice("Four", 1)}));
        EXPECT_FALSE(l.endOfFile);
        EXPECT_EQ(1u, l.dropped);
        ASSERT_EQ(2, l.Count());
        EXPECT_EQ(L"One", l.Device(0)->GetName());
        EXPECT_EQ(L"Two", l.Device(1)->GetName());
        EXPECT_NE(nullptr, l.Tag(1, L"G.Inner"));
    }
    theEventLog.Close();
    const std::string text = ReadFileBytes(log);
    EXPECT_NE(std::string::npos, text.find("\r\nSerialization Error - input device#: 2 of type: 0 \r\n")) << text;
    EXPECT_EQ(std::string::npos, text.find("Four"));

    // The same with the file ending inside the third record.
    Bytes cut = ConfigFile({SmallDevice("One", 2), SmallDevice("Two", 3), SmallDevice("Three", 3)});
    cut.data.resize(cut.data.size() - 20);
    Loaded l(cut);
    EXPECT_FALSE(l.endOfFile);
    EXPECT_EQ(2, l.Count());
}

// Each device costs a poll thread: the file-level samples stay small, and the
// thorough corruption runs on group records, which need no device.
TEST(BadInputTest, EveryTruncationOfAFileLoadsWhatPrecedesIt) {
    const Bytes one = SmallDevice("One", 2);
    const Bytes file = ConfigFile({one, SmallDevice("Two", 0)});
    ASSERT_LT(file.Size(), 1000u);
    const size_t firstEnd = 16 + one.Size();  // head 8, count 4, class code 4
    for (size_t n = 0; n <= file.Size(); ++n) {
        Loaded l(std::vector<BYTE>(file.data.begin(), file.data.begin() + static_cast<std::ptrdiff_t>(n)));
        // Outside every record the end reaches the caller; inside one, the record is dropped.
        const bool outside = n < 16 || (n >= firstEnd && n < firstEnd + 4);
        EXPECT_EQ(outside, l.endOfFile) << n;
        const int expected = n < firstEnd ? 0 : (n < file.Size() ? 1 : 2);
        ASSERT_EQ(expected, l.Count()) << n;
        // The record cut short is dropped, with whatever list inside it was cut.
        EXPECT_EQ(n >= 16 && n < file.Size() && !outside, l.dropped > 0) << n;
        Touch(l);
    }
}

TEST(BadInputTest, HugeCountsAndLengthsEndAtTheData) {
    const auto start = std::chrono::steady_clock::now();
    {
        Loaded l(Bytes().F64(1.6).U32(4000000000u));
        EXPECT_TRUE(l.endOfFile);
        EXPECT_EQ(0, l.Count());
    }
    {
        // Two real devices under a count of four billion.
        Bytes file = ConfigFile({SmallDevice("A", 1), SmallDevice("B", 1)});
        file.data[8] = 0x00;
        file.data[9] = 0x28;
        file.data[10] = 0x6B;
        file.data[11] = 0xEE;
        Loaded l(file);
        EXPECT_TRUE(l.endOfFile);
        EXPECT_EQ(2, l.Count());
    }
    {
        // A name 4 GiB long, and a tag list of 0xFFFFFFFF entries.
        Loaded name(Bytes().F64(1.6).U32(1).U32(0).F64(1.6).U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U8('x'));
        EXPECT_FALSE(name.endOfFile);
        EXPECT_EQ(0, name.Count());
        EXPECT_EQ(1u, name.dropped);
        DeviceFields d;
        Bytes file = ConfigFile({DeviceRecord(d)});
        // The device's tag-list count: head, count, class code, then the group block to its second list.
        const size_t tagCount = 16 + 8 + 7 + 1 + 12 + 4;
        ASSERT_EQ(0u, file.data[tagCount]);
        for (int i = 0; i < 4; ++i) file.data[tagCount + static_cast<size_t>(i)] = 0xFF;
        Loaded tags(file);
        EXPECT_LE(tags.Count(), 1);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

namespace {
// Applies one to four random edits: byte values, bit flips, awkward counts and
// lengths, insertions, deletions and truncation.
std::vector<BYTE> Corrupt(std::vector<BYTE> bytes, std::mt19937& random) {
    auto pick = [&random](size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random); };
    static const std::uint32_t nasty[] = {0, 1, 0xFF, 0xFFFF, 0xFFFE, 0x7FFFFFFF, 0x80000000, 4000000000u, 0xFFFFFFFF};
    const size_t edits = 1 + pick(4);
    for (size_t e = 0; e < edits && !bytes.empty(); ++e) {
        const size_t at = pick(bytes.size());
        const auto where = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        switch (pick(6)) {
        case 0: bytes[at] = static_cast<BYTE>(random()); break;
        case 1: bytes[at] ^= static_cast<BYTE>(1u << pick(8)); break;
        case 2: {
            const std::uint32_t v = nasty[pick(std::size(nasty))];
            for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<BYTE>(v >> (8 * i));
            break;
        }
        case 3: bytes.insert(where, 1 + pick(16), static_cast<BYTE>(random())); break;
        case 4: bytes.erase(where, bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 1 + pick(16)))); break;
        default: bytes.resize(at); break;
        }
    }
    return bytes;
}

}
// A list of one rich group: sub-groups, tags of every type, wide strings.
Bytes GroupSample() {
    std::vector<Bytes> tags;
    const Bytes values[] = {VR8(1.5), VBool(true), VI4(-3), VI2(4), VUI1(5), VR4(6.5f), VBstr(L"seven"), VEmpty(),
                            Bytes().U16(VT_UI4)};
    int i = 0;
    for (const Bytes& v : values) {
        TagFields t;
        t.name = "Tag" + std::to_string(i++);
        t.value = v;
        t.isVolatile = i % 3 == 0;
        tags.push_back(TagRecord(t));
    }
    GroupFields leaf;
    leaf.name = "Leaf";
    leaf.tags = {tags[0], tags[1]};
    GroupFields mid;
    mid.name = "Mid";
    mid.groups = {GroupRecord(leaf)};
    mid.tags = {tags[2]};
    GroupFields top;
    top.name = "Top";
    top.groups = {GroupRecord(mid)};
    top.tags = tags;
    Bytes wideTag = TagRecord(TagFields());
    Bytes wideName;
    wideName.WideStr(L"\x6C34 level");
    wideTag.data.erase(wideTag.data.begin() + 8, wideTag.data.begin() + 12);  // the "Tag" string
    wideTag.data.insert(wideTag.data.begin() + 8, wideName.data.begin(), wideName.data.end());
    top.tags.push_back(wideTag);
    return List({GroupRecord(top)});
}
namespace {

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
    }
    size_t Touch() {
        size_t n = 0;
        std::vector<OPCS_TagGroup*> pending;
        for (auto& g : groups) pending.push_back(g.get());
        while (!pending.empty()) {
            OPCS_TagGroup* g = pending.back();
            pending.pop_back();
            n += g->GetPath().size();
            for (OPCS_TagGroup* sub : g->SnapshotGroups()) pending.push_back(sub);
            for (OPCS_Tag* t : g->SnapshotTags()) {
                n += t->GetItemID().size() + t->GetValueText().size() + t->GetTimestampText().size();
                t->SetValueNow(t->GetValue());
            }
        }
        return n;
    }
    std::vector<BYTE> Store() {
        Dll<OPCS_TagGroup*> list;
        for (auto& g : groups) list.Append(g.get());
        Archive archive;
        GroupRecord::StoreList(archive, list);
        return archive.Bytes();
    }
};
}  // namespace

TEST(BadInputTest, EveryTruncationOfAGroupRecordLoadsWithoutFault) {
    const Bytes sample = GroupSample();
    {
        LoadedGroups whole(sample.data);
        ASSERT_EQ(1u, whole.groups.size());
        EXPECT_EQ(0u, whole.dropped);
        EXPECT_EQ(10, whole.groups[0]->TagCount());
        EXPECT_NE(nullptr, whole.groups[0]->FindTag(L"Mid.Leaf.Tag1"));
        EXPECT_NE(nullptr, whole.groups[0]->FindTag(L"\x6C34 level"));
    }
    size_t kept = 0;
    for (size_t n = 0; n < sample.Size(); ++n) {
        LoadedGroups l(std::vector<BYTE>(sample.data.begin(), sample.data.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_EQ(n < 8, l.endOfFile) << n;
        EXPECT_EQ(n >= 8, l.dropped > 0) << n;
        ASSERT_LE(l.groups.size(), 1u);
        if (l.groups.empty()) continue;
        // A cut inside the group's last list can leave enough bytes for the
        // group's own trailer: the group stays with the tags read before the cut.
        ++kept;
        OPCS_TagGroup* top = l.groups[0].get();
        EXPECT_EQ(L"Top", top->GetName());
        const auto tags = top->SnapshotTags();
        for (size_t i = 0; i < tags.size() && i < 9; ++i) EXPECT_EQ(L"Tag" + std::to_wstring(i), tags[i]->GetName()) << n;
        EXPECT_LT(tags.size(), 10u) << n;
        l.Touch();
    }
    EXPECT_LT(kept, 50u);
}

TEST(BadInputTest, SeededRandomCorruptionsOfGroupRecordsNeverCrashOrHang) {
    const Bytes sample = GroupSample();
    std::mt19937 random(20240611);
    const auto start = std::chrono::steady_clock::now();
    size_t survivors = 0;
    for (int round = 0; round < 4000; ++round) {
        LoadedGroups l(Corrupt(sample.data, random));
        survivors += l.groups.size();
        l.Touch();
        // Whatever loads saves and loads again in full.
        const std::vector<BYTE> again = l.Store();
        LoadedGroups back(again);
        EXPECT_FALSE(back.endOfFile) << round;
        EXPECT_EQ(0u, back.dropped) << round;
        ASSERT_EQ(l.groups.size(), back.groups.size()) << round;
    }
    EXPECT_GT(survivors, 100u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(BadInputTest, SeededRandomCorruptionsOfFilesNeverCrashOrHang) {
    const Bytes sample = ConfigFile({SmallDevice("One", 3), SmallDevice("Two", 1)});
    std::mt19937 random(7);
    const auto start = std::chrono::steady_clock::now();
    size_t loaded = 0;
    for (int round = 0; round < 400; ++round) {
        Loaded l(Corrupt(sample.data, random));
        loaded += static_cast<size_t>(l.Count());
        Touch(l);
        if (round % 8 == 0) ExpectResavable(l);
    }
    EXPECT_GT(loaded, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

namespace {
// A group list holding one chain of `depth` groups, each the only sub-group
// of the one above, built level by level (no recursion in the builder).
Bytes NestedGroups(size_t depth) {
    Bytes head, tail;
    for (size_t i = 0; i < depth; ++i) {
        head.F64(1.6).Str("L").Str("").U32(2).U32(3).U32(1);
        head.U32(i + 1 < depth ? 1 : 0);  // sub-group count
        if (i + 1 < depth) head.U32(0);   // class code of the one sub-group
    }
    for (size_t i = 0; i < depth; ++i) tail.U32(0).F64(1.1);  // empty tag list, trailer
    return Bytes().U32(1).U32(0).Add(head).Add(tail);
}

size_t Depth(OPCS_TagGroup* group) {
    size_t depth = 0;
    for (; group != nullptr; ++depth) {
        auto subs = group->SnapshotGroups();
        group = subs.empty() ? nullptr : subs[0];
    }
    return depth;
}

// Runs the body on a thread with a small stack, as a worst case for recursion;
// the thread's exit code tells that the body ran to its end.
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
        EXPECT_EQ(0u, deepest.dropped);
        EXPECT_EQ(Archive::kMaxNesting, Depth(deepest.groups[0].get()));
        EXPECT_FALSE(deepest.Store().empty());

        // One level more is refused. The level above then reads on from the
        // refused record's bytes, like after any other unreadable record.
        LoadedGroups over(NestedGroups(Archive::kMaxNesting + 1).data);
        EXPECT_LE(over.groups.size(), 1u);
        EXPECT_GE(over.dropped, 1u);
        if (!over.groups.empty()) {
            EXPECT_LE(Depth(over.groups[0].get()), Archive::kMaxNesting);
        }
    });
    OnSmallStack([] {
        const auto start = std::chrono::steady_clock::now();
        LoadedGroups hostile(NestedGroups(100000).data);
        EXPECT_LE(hostile.groups.size(), 1u);
        EXPECT_GE(hostile.dropped, 1u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    });
}

TEST(BadInputTest, TreesTooDeepToReadBackAreNotWritten) {
    ToviTagGroup top;
    OPCS_TagGroup* bottom = &top;
    for (size_t i = 1; i <= Archive::kMaxNesting; ++i) {
        auto* g = new ToviTagGroup;
        EXPECT_TRUE(bottom->AddGroup(g));
        bottom = g;
    }
    Dll<OPCS_TagGroup*> list;
    list.Append(&top);
    Archive archive;
    EXPECT_THROW(GroupRecord::StoreList(archive, list), ArchiveFormatError);
}
