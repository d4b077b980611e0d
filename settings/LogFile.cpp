#include "LogFile.h"

bool LogFile::Create(const std::wstring& path) noexcept {
    Close();
    if (path.empty()) {
        return false;
    }
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

void LogFile::Close() noexcept {
    pending_.clear();
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

std::size_t LogFile::Write(std::wstring_view text) {
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
                const std::size_t at = pending_.size();
                pending_.resize(at + static_cast<std::size_t>(bytes));
                WideCharToMultiByte(CP_UTF8, 0, text.data() + start, wide, pending_.data() + at, bytes, nullptr,
                                    nullptr);
                counted += static_cast<std::size_t>(bytes);
            }
        }
        if (lineEnd) {
            pending_ += "\r\n";
            ++counted;
        }
        start = end + 1;
    }
    return counted;
}

bool LogFile::Flush() noexcept {
    if (handle_ == INVALID_HANDLE_VALUE) {
        pending_.clear();
        return false;
    }
    const char* data = pending_.data();
    std::size_t left = pending_.size();
    bool ok = true;
    while (left > 0) {
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle_, data, chunk, &written, nullptr) || written == 0) {
            ok = false;
            break;
        }
        data += written;
        left -= written;
    }
    pending_.clear();
    return ok;
}
