#pragma once
// Comma-separated text as spreadsheet programs read and write it: fields with
// a comma, a quote or a line break in double quotes, quotes doubled, rows
// ended by CRLF, the file in UTF-8 with a byte order mark.
#include <string>
#include <string_view>
#include <vector>

struct CsvRecord {
    size_t line = 0;  // the line the record starts on, counted from 1
    std::vector<std::wstring> fields;
};

// Appends one row (UTF-8, CRLF) to `out`.
void AppendCsvRow(std::string& out, const std::vector<std::wstring>& fields);
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Splits UTF-8 text (a leading byte order mark is skipped) into records;
// blank lines are skipped. False with `error` set when the text is not UTF-8
// or a quoted field is never closed.
bool ReadCsv(std::string_view text, std::vector<CsvRecord>& records, std::wstring& error);

// One record of `text` from `at` (advanced past its line end), into `fields`
// (reused: their storage is kept); `line` counts the line breaks passed.
// False with `error` set for a quoted field never closed.
bool ReadCsvRecord(std::wstring_view text, size_t& at, size_t& line, std::vector<std::wstring>& fields,
                   std::wstring& error);
// False when the bytes are not UTF-8.
bool FromUtf8(std::string_view text, std::wstring& out);
