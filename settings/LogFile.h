#pragma once
// The small text file behind the event log: UTF-8 on disk, every "\n" stored
// as CR LF, text queued in memory until Flush hands it to the file at once.
#include <windows.h>
#include <cstddef>
#include <string>
#include <string_view>

class LogFile {
public:
    LogFile() noexcept = default;
    ~LogFile() { Close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Creates the file or empties an existing one. Readers may open it while it
    // is held; other writers are refused.
    bool Create(const std::wstring& path) noexcept;
    void Close() noexcept;
    bool IsOpen() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }

    // Queues text and returns its length as the log counts it: the encoded
    // bytes, each line end counting one. Throws only std::bad_alloc, and
    // then queues none of the text.
    std::size_t Write(std::wstring_view text);
    std::size_t QueuedBytes() const noexcept { return m_pending.size(); }
    // Writes what is queued. On failure the queued text is dropped, so a lost
    // entry never reappears glued to the next one.
    bool Flush() noexcept;
    // Drops what is queued without writing it.
    void Discard() noexcept { m_pending.clear(); }

private:
    std::size_t Queue(std::wstring_view text);

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::string m_pending;
};
