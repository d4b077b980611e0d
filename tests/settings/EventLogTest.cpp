#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "DateTimeText.h"
#include "EventLog.h"
#include "TempFolder.h"
#include "Thread.h"

namespace {

// One entry as found on disk: the header's parts and the text below it.
struct DiskEntry {
    std::string threadId;
    std::string timeText;
    unsigned milliseconds = 0;
    std::string text;
};

// Splits a log file into entries, failing the test on anything that is not a
// header line, its text and the blank line after it.
std::vector<DiskEntry> ParseLog(const std::string& bytes) {
    static const std::regex entry("([0-9A-F]{8}) - Time: (.*?) ms: ([0-9]{1,3})\r\n([^\r\n]*)\r\n\r\n");
    std::vector<DiskEntry> entries;
    auto at = bytes.cbegin();
    std::smatch m;
    while (at != bytes.cend()) {
        if (!std::regex_search(at, bytes.cend(), m, entry, std::regex_constants::match_continuous)) {
            ADD_FAILURE() << "unexpected log text: " << std::string(at, bytes.cend());
            break;
        }
        entries.push_back({m[1], m[2], static_cast<unsigned>(std::stoul(m[3])), m[4]});
        at = m[0].second;
    }
    return entries;
}

std::string Hex8(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

ULONGLONG Ticks(const SYSTEMTIME& t) {
    FILETIME ft{};
    SystemTimeToFileTime(&t, &ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const char kStart[] = "Log started or reset - Max Size(bytes): ";

}  // namespace

TEST(EventLogTest, ClosedLogWritesNothingAndLeavesTheLockFree) {
    TempFolder folder;
    EventLog log;
    log << L"Device:" << std::wstring(L"Boiler") << 5 << EventLog::EndEntry;
    log << L"piece without end";  // no lock may be held: the log is closed
    EXPECT_FALSE(log.IsOpen());

    const std::wstring path = folder.File(L"log.txt");
    bool opened = false;
    Thread other;
    ASSERT_TRUE(other.Start([&] { opened = log.Open(path); return 0u; }));
    ASSERT_TRUE(other.Join(5000)) << "the closed log kept its lock";
    ASSERT_TRUE(opened);
    log << EventLog::EndEntry;
    const auto entries = ParseLog(ReadFileBytes(path));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(std::string(kStart) + "1048576 ", entries[0].text);
}

TEST(EventLogTest, OpenFailsForUnusableNamesAndStaysClosed) {
    TempFolder folder;
    EventLog log;
    EXPECT_FALSE(log.Open(L""));
    EXPECT_FALSE(log.Open(folder.File(L"missing folder\\log.txt")));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_TRUE(log.Reset());  // closed: nothing to reset, nothing created
    EXPECT_FALSE(log.IsOpen());
}

TEST(EventLogTest, FirstEntryHeaderAndPiecesAreWrittenExactly) {
    TempFolder folder;
    const std::wstring path = folder.File(L"Tovi Explorer Event Log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    log << L"Device:" << std::wstring(L"Boiler") << L"In Service" << EventLog::EndEntry;
    log << L"Serialization Error - failed to create tag#:" << 3u << L"of type:" << -2 << L"from config file"
        << EventLog::EndEntry;
    log << static_cast<DWORD>(4000000000u) << 123456789012345LL << 18446744073709551615ULL << 2.5 << L'x'
        << static_cast<const wchar_t*>(nullptr) << EventLog::EndEntry;
    log << EventLog::EndEntry;  // an entry without pieces writes nothing

    const std::string bytes = ReadFileBytes(path);
    const auto entries = ParseLog(bytes);
    ASSERT_EQ(4u, entries.size()) << bytes;
    EXPECT_EQ("Log started or reset - Max Size(bytes): 1048576 ", entries[0].text);
    EXPECT_EQ("Device: Boiler In Service ", entries[1].text);
    EXPECT_EQ("Serialization Error - failed to create tag#: 3 of type: -2 from config file ", entries[2].text);
    EXPECT_EQ("4000000000 123456789012345 18446744073709551615 2.5 x  ", entries[3].text);
    for (const auto& e : entries) {
        EXPECT_EQ(Hex8(GetCurrentThreadId()), e.threadId);
        EXPECT_FALSE(e.timeText.empty());
    }
    // The file starts with the first header: no byte order mark, nothing before it.
    EXPECT_EQ(0u, bytes.find(Hex8(GetCurrentThreadId()) + " - Time: "));
}

TEST(EventLogTest, HeaderMillisecondsBelongToTheSameInstantAsItsTimeText) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    struct Window { SYSTEMTIME before, after; };
    std::vector<Window> windows;
    for (int i = 0; i < 25; ++i) {
        Window w{};
        GetLocalTime(&w.before);
        log << L"entry" << i << EventLog::EndEntry;
        GetLocalTime(&w.after);
        windows.push_back(w);
        Sleep(13);
    }
    const auto entries = ParseLog(ReadFileBytes(path));
    ASSERT_EQ(windows.size() + 1, entries.size());
    for (size_t i = 0; i < windows.size(); ++i) {
        const DiskEntry& e = entries[i + 1];
        // Some instant between before and after must give both the text and the milliseconds.
        auto fits = [&](SYSTEMTIME candidate) {
            candidate.wMilliseconds = static_cast<WORD>(e.milliseconds);
            return Narrow(FormatDateTime(candidate)) == e.timeText && Ticks(candidate) >= Ticks(windows[i].before) &&
                   Ticks(candidate) <= Ticks(windows[i].after);
        };
        EXPECT_TRUE(fits(windows[i].before) || fits(windows[i].after))
            << e.timeText << " ms " << e.milliseconds << " vs " << Narrow(FormatDateTime(windows[i].before));
    }
}

TEST(EventLogTest, TextEndingInLineEndAndLineEndsInsidePiecesBecomeCrLf) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    const std::string first = ReadFileBytes(path);
    log << L"two\nlines\r\n" << EventLog::EndEntry;
    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(0u, bytes.find(first));
    const std::string added = bytes.substr(first.size());
    const size_t textStart = added.find("\r\n") + 2;
    EXPECT_EQ("two\r\nlines\r\n \r\n\r\n", added.substr(textStart));
}

TEST(EventLogTest, OpenWithTheSameNameInAnotherCaseKeepsTheFile) {
    TempFolder folder;
    const std::wstring first = folder.File(L"first.txt");
    const std::wstring second = folder.File(L"second.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(first));
    log << L"kept" << EventLog::EndEntry;
    std::wstring upper = first;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    ASSERT_TRUE(log.Open(upper));
    log << L"after reopen" << EventLog::EndEntry;
    auto entries = ParseLog(ReadFileBytes(first));
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("kept ", entries[1].text);
    EXPECT_EQ("after reopen ", entries[2].text);

    ASSERT_TRUE(log.Open(second));
    log << L"second file" << EventLog::EndEntry;
    EXPECT_EQ(3u, ParseLog(ReadFileBytes(first)).size()) << "the first file was closed untouched";
    entries = ParseLog(ReadFileBytes(second));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("second file ", entries[1].text);
    EXPECT_EQ(second, log.GetFileName());
}

TEST(EventLogTest, ReadersMayShareTheFileButOtherWritersAreRefused) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(ReadFileBytes(path).empty());

    EventLog second;  // a second log on the same file is a second writer
    EXPECT_FALSE(second.Open(path));

    log.Close();
    writer = CreateFileW(path.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, writer) << "Close released the file";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

TEST(EventLogTest, PassingTheMaximumSizeStartsTheFileAgain) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    log.SetMaxSize(1024);
    // About 480 counted characters an entry: the opening entry (about 95) and one
    // such entry stay below 1,024; a second passes it. Were the opening entry not
    // counted, two would still fit.
    const std::wstring text(430, L'x');
    const std::string expectedText = Narrow(text) + " ";
    for (int cycle = 0; cycle < 3; ++cycle) {
        log << text << EventLog::EndEntry;
        auto entries = ParseLog(ReadFileBytes(path));
        ASSERT_EQ(2u, entries.size()) << "cycle " << cycle;
        EXPECT_EQ(std::string(kStart) + (cycle == 0 ? "1048576 " : "1024 "), entries[0].text);
        EXPECT_EQ(expectedText, entries[1].text);

        log << text << EventLog::EndEntry;
        entries = ParseLog(ReadFileBytes(path));
        ASSERT_EQ(1u, entries.size()) << "cycle " << cycle;
        EXPECT_EQ(std::string(kStart) + "1024 ", entries[0].text);
    }
}

TEST(EventLogTest, ResetEmptiesTheOpenLog) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    log << L"before reset" << EventLog::EndEntry;
    EXPECT_TRUE(log.Reset());
    EXPECT_TRUE(log.IsOpen());
    const auto entries = ParseLog(ReadFileBytes(path));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(std::string(kStart) + "1048576 ", entries[0].text);
}

TEST(EventLogTest, EntriesOfConcurrentThreadsNeverInterleave) {
    TempFolder folder;
    const std::wstring path = folder.File(L"log.txt");
    EventLog log;
    ASSERT_TRUE(log.Open(path));
    constexpr int kEntries = 150;
    auto writer = [&log](int tag) {
        return [&log, tag] {
            const DWORD me = GetCurrentThreadId();
            for (int i = 0; i < kEntries; ++i) {
                log << L"writer" << tag;
                SwitchToThread();  // invite the other thread in the middle of the entry
                log << L"thread" << me << L"entry" << i << EventLog::EndEntry;
            }
            return 0u;
        };
    };
    Thread a;
    Thread b;
    ASSERT_TRUE(a.Start(writer(1)));
    ASSERT_TRUE(b.Start(writer(2)));
    ASSERT_TRUE(a.Join(60000));
    ASSERT_TRUE(b.Join(60000));

    const auto entries = ParseLog(ReadFileBytes(path));
    ASSERT_EQ(1u + 2 * kEntries, entries.size());
    int next[3] = {0, 0, 0};
    static const std::regex text("writer ([12]) thread ([0-9]+) entry ([0-9]+) ");
    for (size_t i = 1; i < entries.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(entries[i].text, m, text)) << entries[i].text;
        EXPECT_EQ(entries[i].threadId, Hex8(static_cast<DWORD>(std::stoul(m[2])))) << "header of another thread";
        const int tag = std::stoi(m[1]);
        EXPECT_EQ(next[tag]++, std::stoi(m[3]));
    }
    EXPECT_EQ(kEntries, next[1]);
    EXPECT_EQ(kEntries, next[2]);
}

TEST(EventLogTest, AFailedWriteDropsTheEntryAndFreesTheLock) {
    // Under Wine the Linux device that answers every write with "disk full".
    const std::wstring fullDevice = L"Z:\\dev\\full";
    EventLog log;
    if (!log.Open(fullDevice)) {
        GTEST_SKIP() << "no always-full device on this system";
    }
    log << L"lost" << EventLog::EndEntry;
    bool otherFinished = false;
    Thread other;
    ASSERT_TRUE(other.Start([&] {
        log << L"also lost" << 1 << EventLog::EndEntry;
        otherFinished = true;
        return 0u;
    }));
    ASSERT_TRUE(other.Join(5000)) << "a failed write left the lock held";
    EXPECT_TRUE(otherFinished);
    EXPECT_TRUE(log.IsOpen());
    EXPECT_TRUE(log.Close());
}
