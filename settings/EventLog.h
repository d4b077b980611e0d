#pragma once
// The process-wide event log. An entry is one chained expression:
//
//     theEventLog << L"Device:" << name << L"In Service" << EventLog::EndEntry;
//
// Each piece is followed by one space. The first piece of an entry takes the
// log's lock for the calling thread and EndEntry releases it, so entries of
// concurrent threads never interleave; every entry that starts must end with
// EndEntry on the same thread. While the log is closed every piece and
// EndEntry return at once. Nothing here throws.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

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

    bool IsOpen() const noexcept { return open_.load(std::memory_order_acquire); }
    std::wstring GetFileName() const;
    // Limit of the characters written before the log starts again.
    void SetMaxSize(std::uint32_t bytes) noexcept { maxSize_.store(bytes, std::memory_order_relaxed); }
    std::uint32_t GetMaxSize() const noexcept { return maxSize_.load(std::memory_order_relaxed); }

    // Writes the entry composed so far and releases the lock.
    static EventLog& EndEntry(EventLog& log) noexcept;

    EventLog& operator<<(EventLog& (*manipulator)(EventLog&)) noexcept { return manipulator(*this); }
    EventLog& operator<<(const wchar_t* text) noexcept;
    EventLog& operator<<(std::wstring_view text) noexcept;
    EventLog& operator<<(wchar_t character) noexcept;
    EventLog& operator<<(int value) noexcept;
    EventLog& operator<<(unsigned value) noexcept;
    EventLog& operator<<(long value) noexcept;
    EventLog& operator<<(unsigned long value) noexcept;
    EventLog& operator<<(long long value) noexcept;
    EventLog& operator<<(unsigned long long value) noexcept;
    EventLog& operator<<(double value) noexcept;

private:
    void AppendPiece(std::wstring_view piece) noexcept;
    template <typename T>
    EventLog& AppendNumber(const wchar_t* format, T value) noexcept;
    void FinishEntry() noexcept;
    bool OpenLocked(const std::wstring& fileName) noexcept;
    void CloseLocked() noexcept;
    void WriteEntryLocked(std::wstring& text, bool mayReset) noexcept;

    std::wstring pending_;        // entry under composition
    std::wstring fileName_;       // name of the last open, used again by Reset
    mutable CriticalSection lock_;
    // The thread composing an entry, which holds lock_ until EndEntry; 0 for none.
    std::atomic<DWORD> entryOwner_{0};
    std::uint32_t charactersWritten_ = 0;
    std::atomic<std::uint32_t> maxSize_{kDefaultMaxSize};
    std::atomic<bool> open_{false};
    LogFile file_;
};

extern EventLog theEventLog;
