#pragma once
// The process-wide event log. An entry is one chained expression:
//
//     theEventLog << L"Device:" << name << L"In Service" << EventLog::EndEntry;
//
// Each piece is followed by one space. The pieces are collected in an Entry
// that the expression carries along, and EndEntry writes it under the log's
// lock in one step: entries of concurrent threads never interleave, and an
// entry whose expression throws before its end (a piece that cannot be made)
// is dropped without ever having held the lock. While the log is closed the
// pieces are not even collected. Nothing here throws.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "CriticalSection.h"
#include "LogFile.h"

class EventLog {
public:
    static constexpr std::uint32_t kDefaultMaxSize = 1048576;

    EventLog() noexcept;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Opens (creates or empties) the file and writes the "Log started or reset"
    // entry. Already open under the same name (any letter case): kept as it is.
    bool Open(const std::wstring& fileName) noexcept;
    bool Close() noexcept;
    // Empties the open log and starts it again under the same name.
    bool Reset() noexcept;

    bool IsOpen() const noexcept { return m_open.load(std::memory_order_acquire); }
    std::wstring GetFileName() const;
    // Limit of the characters written before the log starts again.
    void SetMaxSize(std::uint32_t bytes) noexcept { m_maxSize.store(bytes, std::memory_order_relaxed); }
    std::uint32_t GetMaxSize() const noexcept { return m_maxSize.load(std::memory_order_relaxed); }

    // While one is alive, entries are queued and reach the file together
    // when the last one ends (or once enough has queued): a load or save
    // that logs every record of a million would otherwise hand each line to
    // the file alone. The order of the entries and the size limit hold.
    class BatchedWrites {
    public:
        explicit BatchedWrites(EventLog& log) noexcept;
        ~BatchedWrites();
        BatchedWrites(const BatchedWrites&) = delete;
        BatchedWrites& operator=(const BatchedWrites&) = delete;

    private:
        EventLog& m_log;
    };

    // Ends an entry: `<< EventLog::EndEntry` writes what the entry collected.
    struct EndEntryMark {};
    static constexpr EndEntryMark EndEntry{};

    // One entry under composition. It lives until the end of the expression
    // that made it; dropped unwritten unless EndEntry reached it.
    class Entry {
    public:
        explicit Entry(EventLog& log) noexcept : m_log(log), m_collecting(log.IsOpen()) {}
        Entry(Entry&&) noexcept = default;
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        Entry& operator<<(EndEntryMark) noexcept;
        Entry& operator<<(const wchar_t* text) noexcept;
        Entry& operator<<(std::wstring_view text) noexcept;
        Entry& operator<<(wchar_t character) noexcept;
        Entry& operator<<(int value) noexcept { return Number(L"%d", value); }
        Entry& operator<<(unsigned value) noexcept { return Number(L"%u", value); }
        Entry& operator<<(long value) noexcept { return Number(L"%ld", value); }
        Entry& operator<<(unsigned long value) noexcept { return Number(L"%lu", value); }
        Entry& operator<<(long long value) noexcept { return Number(L"%lld", value); }
        Entry& operator<<(unsigned long long value) noexcept { return Number(L"%llu", value); }
        Entry& operator<<(double value) noexcept { return Number(L"%g", value); }

    private:
        void Append(std::wstring_view piece) noexcept;
        template <typename T>
        Entry& Number(const wchar_t* format, T value) noexcept;

        EventLog& m_log;
        bool m_collecting;
        std::wstring m_text;
    };

    // An entry without pieces writes nothing.
    EventLog& operator<<(EndEntryMark) noexcept { return *this; }
    template <typename T>
    Entry operator<<(T&& piece) noexcept {
        Entry entry(*this);
        entry << std::forward<T>(piece);
        return entry;
    }

private:
    void WriteEntry(std::wstring& text) noexcept;
    bool OpenLocked(const std::wstring& fileName) noexcept;
    void CloseLocked() noexcept;
    void WriteEntryLocked(std::wstring& text, bool mayReset) noexcept;
    void FlushLocked() noexcept;
    const std::wstring& DateTimeTextLocked(const SYSTEMTIME& now);

    std::wstring m_fileName;  // name of the last open, used again by Reset
    mutable CriticalSection m_lock;
    std::uint32_t m_charactersWritten = 0;
    std::uint32_t m_charactersQueued = 0;  // counted, not yet in the file
    int m_batches = 0;                     // BatchedWrites alive
    // The header's date and time text changes once a second, not per entry.
    SYSTEMTIME m_textTime{};
    std::wstring m_dateTimeText;
    std::atomic<std::uint32_t> m_maxSize{kDefaultMaxSize};
    std::atomic<bool> m_open{false};
    LogFile m_file;
};

extern EventLog theEventLog;
