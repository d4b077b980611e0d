#pragma once
// A CSV file read one record at a time through a small buffer, for files too
// large to hold whole (a replay may run to millions of rows). The fields are
// those of ReadCsv; a bad line is reported and reading goes on past it.
#include <windows.h>
#include <string>
#include <vector>

#include "CsvText.h"

class CsvStream {
public:
    CsvStream() = default;
    ~CsvStream();
    CsvStream(const CsvStream&) = delete;
    CsvStream& operator=(const CsvStream&) = delete;

    // False with the Win32 error.
    bool Open(const std::wstring& path, DWORD& error);
    void Close() noexcept;
    // Back to the first record.
    bool Rewind() noexcept;

    enum class Result {
        Record,   // `record` holds the next record
        End,      // no more records
        BadLine,  // `record.line` and `error` say what; the next call reads on
        Failed    // the file could not be read on (`error`)
    };
    Result Next(CsvRecord& record, std::wstring& error);

private:
    bool Fill() noexcept;

    HANDLE m_file = INVALID_HANDLE_VALUE;
    std::vector<char> m_buffer = std::vector<char>(64 * 1024);
    size_t m_begin = 0;
    size_t m_end = 0;
    DWORD m_readError = ERROR_SUCCESS;
    bool m_atStart = true;
    size_t m_line = 1;
    std::string m_bytes;  // the record being read, reused from row to row
    std::wstring m_text;
};
