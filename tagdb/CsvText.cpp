#include "CsvText.h"

#include <windows.h>
#include <algorithm>

namespace {
void AppendUtf8(std::string& out, std::wstring_view text) {
    if (text.empty()) return;
    // Most fields are ASCII: narrowed directly, without the platform's two
    // passes, which at 36 fields a tag cost more than the rest of an export.
    if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; })) {
        out.append(text.begin(), text.end());
        return;
    }
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data() + at, n, nullptr, nullptr);
}

}  // namespace

bool FromUtf8(std::string_view text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    // Most CSV text is ASCII: widened directly, without the platform's two passes.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        out.assign(text.begin(), text.end());
        return true;
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n);
    return true;
}

void AppendCsvRow(std::string& out, const std::vector<std::wstring>& fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ',';
        const std::wstring& f = fields[i];
        if (f.find_first_of(L",\"\r\n") == std::wstring::npos) {
            AppendUtf8(out, f);
            continue;
        }
        out += '"';
        size_t from = 0;
        for (size_t q = f.find(L'"'); q != std::wstring::npos; q = f.find(L'"', from)) {
            AppendUtf8(out, std::wstring_view(f).substr(from, q + 1 - from));
            out += '"';
            from = q + 1;
        }
        AppendUtf8(out, std::wstring_view(f).substr(from));
        out += '"';
    }
    out += "\r\n";
}

bool ReadCsvRecord(std::wstring_view text, size_t& i, size_t& line, std::vector<std::wstring>& fields,
                   std::wstring& error) {
    const size_t n = text.size();
    size_t count = 0;
    // Fields are assigned, not made afresh: a caller reading millions of rows
    // into the same vector keeps the strings' storage.
    auto field = [&]() -> std::wstring& {
        if (count == fields.size()) fields.emplace_back();
        std::wstring& f = fields[count++];
        f.clear();
        return f;
    };
    for (;;) {
        std::wstring& f = field();
        if (i < n && text[i] == L'"') {
            const size_t opened = line;
            ++i;
            for (;;) {
                if (i >= n) {
                    error = L"line " + std::to_wstring(opened) + L": a quoted field is never closed";
                    return false;
                }
                if (text[i] == L'"') {
                    if (i + 1 < n && text[i + 1] == L'"') {
                        f += L'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                if (text[i] == L'\n') ++line;
                f += text[i++];
            }
        }
        // Unquoted text, or what follows a closing quote, up to the next comma or line end.
        const size_t from = i;
        while (i < n && text[i] != L',' && text[i] != L'\r' && text[i] != L'\n') ++i;
        f.append(text.substr(from, i - from));
        if (i < n && text[i] == L',') {
            ++i;
            continue;
        }
        if (i < n && text[i] == L'\r') ++i;
        if (i < n && text[i] == L'\n') ++i;
        ++line;
        fields.resize(count);
        return true;
    }
}

bool ReadCsv(std::string_view bytes, std::vector<CsvRecord>& records, std::wstring& error) {
    records.clear();
    if (bytes.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark)
        bytes.remove_prefix(kUtf8ByteOrderMark.size());
    std::wstring text;
    if (!FromUtf8(bytes, text)) {
        error = L"the file is not UTF-8 text";
        return false;
    }
    size_t line = 1;
    size_t i = 0;
    CsvRecord record;
    while (i < text.size()) {
        record.line = line;
        if (!ReadCsvRecord(text, i, line, record.fields, error)) return false;
        const bool blank = record.fields.size() == 1 && record.fields[0].empty();
        if (!blank) records.push_back(record);
    }
    return true;
}
