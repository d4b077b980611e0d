#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "DateTimeText.h"
#include "EventLog.h"
#include "TempFolder.h"
#include "Thread.h"

namespace {

struct DiskEntry {
    std::string threadId, timeText;
    unsigned milliseconds = 0;
    std::string text;
};

// Splits a log file into entries; anything but a header line, one text line
// and a blank line fails the test.
std::vector<DiskEntry> ParseLog(const std::string& bytes) {
    static const std::regex entry("([0-9A-F]{8}) - Time: (.*?) ms: ([0-9]{1,3})\r\n([^\r\n]*)\r\n\r\n");
    std::vector<DiskEntry> entries;
    std::smatch m;
    for (auto at = bytes.cbegin(); at != bytes.cend(); at = m[0].second) {
        if (!std::regex_search(at, bytes.cend(), m, entry, std::regex_constants::match_continuous)) {
            ADD_FAILURE() << "unexpected log text: " << std::string(at, bytes.cend());
            break;
        }
        entries.push_back({m[1], m[2], static_cast<unsigned>(std::stoul(m[3])), m[4]});
    }
    return entries;
}

std::string Hex8(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const std::string kStart = "Log started or reset - Max Size(bytes): ";

}  // namespace

TEST(EventLogTest, ClosedLogWritesNothingAndLeavesTheLockFree) {
    TempFolder folder;
    EventLog log;
    EXPECT_FALSE(log.Open(L""));
    EXPECT_FALSE(log.Open(folder.File(L"missing folder\\log.txt")));
    EXPECT_TRUE(log.Reset());  // closed: nothing to reset
    log << L"Device:" << std::wstring(L"Boiler") << 5 << EventLog::EndEntry;
    log << L"piece without end";  // takes no lock while closed

    bool opened = false;
    Thread other;
    ASSERT_TRUE(other.Start([&] {
        opened = log.Open(folder.File(L"log.txt"));
        return 0u;
    }));
    ASSERT_TRUE(other.Join(5000)) << "the closed log kept its lock";
    ASSERT_TRUE(opened);
    log << EventLog::EndEntry;
    const auto entries = ParseLog(ReadFileBytes(folder.File(L"log.txt")));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(kStart + "1048576 ", entries[0].text);
}

TEST(EventLogTest, EntriesAreWrittenExactly) {
    TempFolder folder;
    const std::wstring path = folder.File(L"Tovi Explorer Event Log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    log << L"Device:" << std::wstring(L"Boiler") << L"In Service" << EventLog::EndEntry;
    log << L"failed to create tag#:" << 3u << L"of type:" << -2 << EventLog::EndEntry;
    log << static_cast<DWORD>(4000000000u) << 123456789012345LL << 18446744073709551615ULL << 2.5 << L'x'
        << static_cast<const wchar_t*>(nullptr) << EventLog::EndEntry;
    log << EventLog::EndEntry;  // an entry without pieces writes nothing

    const std::string bytes = ReadFileBytes(path);
    const auto entries = ParseLog(bytes);
    ASSERT_EQ(4u, entries.size()) << bytes;
    EXPECT_EQ(kStart + "1048576 ", entries[0].text);
    EXPECT_EQ("Device: Boiler In Service ", entries[1].text);
    EXPECT_EQ("failed to create tag#: 3 of type: -2 ", entries[2].text);
    EXPECT_EQ("4000000000 123456789012345 18446744073709551615 2.5 x  ", entries[3].text);
    for (const auto& e : entries) EXPECT_EQ(Hex8(GetCurrentThreadId()), e.threadId);
    EXPECT_EQ(0u, bytes.find(Hex8(GetCurrentThreadId()) + " - Time: ")) << "nothing before the first header";

    // Line ends inside a piece are CR LF on disk too, counted once if already CR LF.
    log << L"two\nlines\r\n" << EventLog::EndEntry;
    const std::string after = ReadFileBytes(path);
    ASSERT_EQ(0u, after.find(bytes));
    const std::string added = after.substr(bytes.size());
    EXPECT_EQ("two\r\nlines\r\n \r\n\r\n", added.substr(added.find("\r\n") + 2));
}

TEST(EventLogTest, HeaderMillisecondsBelongToTheInstantOfItsTimeText) {
    TempFolder folder;
    EventLog log;
    ASSERT_TRUE(log.Open(folder.File(L"log.txt")));
    std::vector<std::pair<SYSTEMTIME, SYSTEMTIME>> windows;
    for (int i = 0; i < 25; ++i) {
        SYSTEMTIME before{}, after{};
        GetLocalTime(&before);
        log << L"entry" << i << EventLog::EndEntry;
        GetLocalTime(&after);
        windows.emplace_back(before, after);
        Sleep(13);
    }
    const auto entries = ParseLog(ReadFileBytes(folder.File(L"log.txt")));
    ASSERT_EQ(windows.size() + 1, entries.size());
    auto ticks = [](const SYSTEMTIME& t) {
        FILETIME ft{};
        SystemTimeToFileTime(&t, &ft);
        return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    for (size_t i = 0; i < windows.size(); ++i) {
        const DiskEntry& e = entries[i + 1];
        const auto& [before, after] = windows[i];
        // Some instant between before and after gives both the text and the milliseconds.
        auto fits = [&](SYSTEMTIME t) {
            t.wMilliseconds = static_cast<WORD>(e.milliseconds);
            return Narrow(FormatDateTime(t)) == e.timeText && ticks(t) >= ticks(before) && ticks(t) <= ticks(after);
        };
        EXPECT_TRUE(fits(before) || fits(after)) << e.timeText << " ms: " << e.milliseconds;
    }
}

TEST(EventLogTest, OpenWithTheSameNameInAnotherCaseKeepsTheFile) {
    TempFolder folder;
    const std::wstring first = folder.File(L"first.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(first));
    log << L"kept" << EventLog::EndEntry;
    std::wstring upper = first;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    ASSERT_TRUE(log.Open(upper));
    log << L"after reopen" << EventLog::EndEntry;
    EXPECT_EQ(3u, ParseLog(ReadFileBytes(first)).size());

    ASSERT_TRUE(log.Open(folder.File(L"second.txt")));
    log << L"second file" << EventLog::EndEntry;
    EXPECT_EQ(3u, ParseLog(ReadFileBytes(first)).size()) << "the first file was closed untouched";
    const auto entries = ParseLog(ReadFileBytes(folder.File(L"second.txt")));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("second file ", entries[1].text);
}

// A second writer's bytes would land inside the entries; readers are welcome
// (every test here reads the open log).
TEST(EventLogTest, OtherWritersAreRefused) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

TEST(EventLogTest, PassingTheMaximumSizeStartsTheFileAgain) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    log.SetMaxSize(1024);
    // About 480 counted characters an entry: the opening entry (about 95) and one
    // such entry stay below 1,024, a second passes it; without the opening entry
    // counted, two would still fit.
    const std::wstring text(430, L'x');
    for (int cycle = 0; cycle < 3; ++cycle) {
        log << text << EventLog::EndEntry;
        auto entries = ParseLog(ReadFileBytes(path));
        ASSERT_EQ(2u, entries.size()) << "cycle " << cycle;
        EXPECT_EQ(kStart + (cycle == 0 ? "1048576 " : "1024 "), entries[0].text);
        EXPECT_EQ(Narrow(text) + " ", entries[1].text);

        log << text << EventLog::EndEntry;
        entries = ParseLog(ReadFileBytes(path));
        ASSERT_EQ(1u, entries.size()) << "cycle " << cycle;
        EXPECT_EQ(kStart + "1024 ", entries[0].text);
    }
    log << L"before reset" << EventLog::EndEntry;
    EXPECT_TRUE(log.Reset());
    EXPECT_EQ(1u, ParseLog(ReadFileBytes(path)).size());
}

// A batch only delays the file: the entries, their order and the restarts at
// the size limit come out as without one, and reach the file when it ends.
TEST(EventLogTest, BatchedEntriesReachTheFileAsUnbatchedOnes) {
    TempFolder folder;
    auto run = [&folder](const wchar_t* name, bool batched) {
        const std::wstring path = folder.File(name);
        EventLog log;
        EXPECT_TRUE(log.Open(path));
        log.SetMaxSize(1024);
        std::optional<EventLog::BatchedWrites> batch;
        if (batched) batch.emplace(log);
        // About 350 counted characters an entry: the file starts again after
        // the third and after the sixth, and "last" stays.
        for (int i = 0; i < 6; ++i) log << std::wstring(300, static_cast<wchar_t>(L'a' + i)) << EventLog::EndEntry;
        log << L"last" << EventLog::EndEntry;
        const auto held = ParseLog(ReadFileBytes(path));
        EXPECT_EQ(!batched, !held.empty() && held.back().text == "last ") << "batched: " << batched;
        batch.reset();
        std::vector<std::string> texts;
        for (const DiskEntry& entry : ParseLog(ReadFileBytes(path))) texts.push_back(entry.text);
        return texts;
    };
    const std::vector<std::string> plain = run(L"plain.txt", false);
    EXPECT_EQ((std::vector<std::string>{kStart + "1024 ", "last "}), plain) << "the limit restarted the file";
    EXPECT_EQ(plain, run(L"batched.txt", true));
}

TEST(EventLogTest, EntriesOfConcurrentThreadsNeverInterleave) {
    TempFolder folder;
    EventLog log;
    ASSERT_TRUE(log.Open(folder.File(L"log.txt")));
    constexpr int kEntries = 150;
    auto writer = [&log](int tag) {
        return [&log, tag] {
            for (int i = 0; i < kEntries; ++i) {
                // The other thread is invited into the middle of the entry.
                log << L"writer" << tag << (SwitchToThread(), L"thread") << GetCurrentThreadId() << L"entry" << i
                    << EventLog::EndEntry;
            }
            return 0u;
        };
    };
    Thread a, b;
    ASSERT_TRUE(a.Start(writer(1)));
    ASSERT_TRUE(b.Start(writer(2)));
    ASSERT_TRUE(a.Join(60000));
    ASSERT_TRUE(b.Join(60000));

    const auto entries = ParseLog(ReadFileBytes(folder.File(L"log.txt")));
    ASSERT_EQ(1u + 2 * kEntries, entries.size());
    int next[3] = {0, 0, 0};
    static const std::regex text("writer ([12]) thread ([0-9]+) entry ([0-9]+) ");
    for (size_t i = 1; i < entries.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(entries[i].text, m, text)) << entries[i].text;
        EXPECT_EQ(entries[i].threadId, Hex8(static_cast<DWORD>(std::stoul(m[2])))) << "header of another thread";
        EXPECT_EQ(next[std::stoi(m[1])]++, std::stoi(m[3]));
    }
    EXPECT_EQ(kEntries, next[1]);
    EXPECT_EQ(kEntries, next[2]);
}

// A piece that cannot be made (memory runs out converting it) ends the
// expression by an exception: that entry is lost, nothing of it reaches a
// later entry, and other threads still write.
TEST(EventLogTest, AnEntryThatThrowsHalfwayLeavesTheLogUsable) {
    TempFolder folder;
    EventLog log;
    ASSERT_TRUE(log.Open(folder.File(L"log.txt")));
    auto failing = []() -> std::wstring { throw std::bad_alloc(); };
    const std::function<void()> entries[] = {
        [&] { log << failing() << EventLog::EndEntry; },
        [&] { log << L"half" << failing() << EventLog::EndEntry; },
        [&] { log << L"half" << 7 << std::wstring(L"way") << failing() << L"never" << EventLog::EndEntry; },
    };
    int written = 0;
    for (const auto& entry : entries) {
        EXPECT_THROW(entry(), std::bad_alloc);
        Thread other;
        ASSERT_TRUE(other.Start([&] {
            log << L"other" << written << EventLog::EndEntry;
            return 0u;
        }));
        ASSERT_TRUE(other.Join(5000)) << "the thrown entry kept the lock";
        log << L"mine" << written++ << EventLog::EndEntry;
    }
    const auto onDisk = ParseLog(ReadFileBytes(folder.File(L"log.txt")));
    ASSERT_EQ(1u + 2 * std::size(entries), onDisk.size());
    for (int i = 0; i < written; ++i) {
        EXPECT_EQ("other " + std::to_string(i) + " ", onDisk[1 + 2 * i].text);
        EXPECT_EQ("mine " + std::to_string(i) + " ", onDisk[2 + 2 * i].text);
    }
}

TEST(EventLogTest, AFailedWriteDropsTheEntryAndFreesTheLock) {
    // Under Wine the Linux device that answers every write with "disk full".
    EventLog log;
    if (!log.Open(L"Z:\\dev\\full")) {
        GTEST_SKIP() << "no always-full device on this system";
    }
    log << L"lost" << EventLog::EndEntry;
    Thread other;
    ASSERT_TRUE(other.Start([&] {
        log << L"also lost" << 1 << EventLog::EndEntry;
        return 0u;
    }));
    ASSERT_TRUE(other.Join(5000)) << "a failed write left the lock held";
    EXPECT_TRUE(log.IsOpen());
}
