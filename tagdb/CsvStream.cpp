#include "CsvStream.h"

#include <algorithm>
#include <cstring>

#include "Text.h"

CsvStream::~CsvStream() { Close(); }

bool CsvStream::Open(const std::wstring& path, DWORD& error) {
    Close();
    m_file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    return Rewind();
}

void CsvStream::Close() noexcept {
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

bool CsvStream::Rewind() noexcept {
    m_begin = m_end = 0;
    m_readError = ERROR_SUCCESS;
    m_atStart = true;
    m_line = 1;
    LARGE_INTEGER zero{};
    return m_file != INVALID_HANDLE_VALUE && SetFilePointerEx(m_file, zero, nullptr, FILE_BEGIN);
}

bool CsvStream::Fill() noexcept {
    DWORD got = 0;
    if (!ReadFile(m_file, m_buffer.data(), static_cast<DWORD>(m_buffer.size()), &got, nullptr)) {
        m_readError = GetLastError();
        got = 0;
    }
    m_begin = 0;
    m_end = got;
    return got > 0;
}

CsvStream::Result CsvStream::Next(CsvRecord& record, std::wstring& error) {
    for (;;) {
        // Whole lines until the quotes balance: a quoted field may hold line breaks.
        m_bytes.clear();
        size_t quotes = 0;
        size_t breaks = 0;
        for (;;) {
            if (m_begin == m_end && !Fill()) break;
            const char* from = m_buffer.data() + m_begin;
            const char* stop = m_buffer.data() + m_end;
            const char* newline = static_cast<const char*>(std::memchr(from, '\n', static_cast<size_t>(stop - from)));
            const char* end = newline != nullptr ? newline + 1 : stop;
            quotes += static_cast<size_t>(std::count(from, end, '"'));
            m_bytes.append(from, end);
            m_begin = static_cast<size_t>(end - m_buffer.data());
            if (newline == nullptr) continue;
            ++breaks;
            if (quotes % 2 == 0) break;
        }
        if (m_readError != ERROR_SUCCESS) {
            error = L"the file cannot be read on: " + SystemErrorText(m_readError);
            return Result::Failed;
        }
        if (m_bytes.empty()) return Result::End;
        std::string_view bytes(m_bytes);
        if (m_atStart && bytes.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark)
            bytes.remove_prefix(kUtf8ByteOrderMark.size());
        m_atStart = false;
        record.line = m_line;
        m_line += breaks;
        if (!FromUtf8(bytes, m_text)) {
            error = L"not UTF-8 text";
            return Result::BadLine;
        }
        size_t at = 0;
        size_t line = record.line;
        if (quotes % 2 != 0 || !ReadCsvRecord(m_text, at, line, record.fields, error)) {
            error = L"a quoted field is never closed";
            return Result::BadLine;
        }
        const bool blank = record.fields.size() == 1 && record.fields[0].empty();
        if (!blank) return Result::Record;
    }
}
