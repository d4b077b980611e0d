#include "LogFile.h"

bool LogFile::Create(const std::wstring& path) noexcept {
    Close();
    if (path.empty()) {
        return false;
    }
    m_handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_handle != INVALID_HANDLE_VALUE;
}

void LogFile::Close() noexcept {
    m_pending.clear();
    if (m_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
}

std::size_t LogFile::Write(std::wstring_view text) {
    const std::size_t queuedBefore = m_pending.size();
    try {
        return Queue(text);
    } catch (...) {
        // What was queued before stays whole; this text goes as if never written.
        m_pending.resize(queuedBefore);
        throw;
    }
}

std::size_t LogFile::Queue(std::wstring_view text) {
    std::size_t counted = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        const bool lineEnd = end != std::wstring_view::npos;
        if (!lineEnd) {
            end = text.size();
        }
        std::size_t runEnd = end;
        // A line end already written as CR LF stays one line end.
        if (lineEnd && runEnd > start && text[runEnd - 1] == L'\r') {
            --runEnd;
        }
        if (runEnd > start) {
            const int wide = static_cast<int>(runEnd - start);
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data() + start, wide, nullptr, 0, nullptr, nullptr);
            if (bytes > 0) {
                const std::size_t at = m_pending.size();
                m_pending.resize(at + static_cast<std::size_t>(bytes));
                WideCharToMultiByte(CP_UTF8, 0, text.data() + start, wide, m_pending.data() + at, bytes, nullptr,
                                    nullptr);
                counted += static_cast<std::size_t>(bytes);
            }
        }
        if (lineEnd) {
            m_pending += "\r\n";
            ++counted;
        }
        start = end + 1;
    }
    return counted;
}

bool LogFile::Flush() noexcept {
    if (m_handle == INVALID_HANDLE_VALUE) {
        m_pending.clear();
        return false;
    }
    const char* data = m_pending.data();
    std::size_t left = m_pending.size();
    bool ok = true;
    while (left > 0) {
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(m_handle, data, chunk, &written, nullptr) || written == 0) {
            ok = false;
            break;
        }
        data += written;
        left -= written;
    }
    m_pending.clear();
    return ok;
}
