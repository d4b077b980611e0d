#include "WholeFile.h"

#include <algorithm>

#include "Text.h"

namespace {
constexpr DWORD kChunk = 1u << 24;
constexpr LONGLONG kLargestFile = 0x7FFFFFFF;

class FileHandle {
public:
    explicit FileHandle(HANDLE h) noexcept : m_h(h) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool IsValid() const noexcept { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const noexcept { return m_h; }
    bool Close() noexcept {
        const bool ok = m_h == INVALID_HANDLE_VALUE || CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE m_h;
};

bool Fail(DWORD& error) {
    error = GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    return false;
}
}  // namespace

bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes, DWORD& error) {
    error = ERROR_SUCCESS;
    bytes.clear();
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) return Fail(error);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) return Fail(error);
    if (size.QuadPart > kLargestFile) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(kChunk, bytes.size() - done));
        DWORD got = 0;
        if (!ReadFile(file.Get(), bytes.data() + done, want, &got, nullptr)) {
            bytes.clear();
            return Fail(error);
        }
        if (got == 0) break;  // the file shrank meanwhile: what was there is what is read
        done += got;
    }
    bytes.resize(done);
    return true;
}

bool WriteFileReplacing(const std::wstring& path, const std::vector<BYTE>& bytes, DWORD& error) {
    return WriteFileReplacing(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

bool WriteFileReplacing(const std::wstring& path, std::string_view bytes, DWORD& error) {
    error = ERROR_SUCCESS;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    // Beside the target, so that the final move is a rename on one volume.
    std::wstring temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = path + FormatText(L".%lx-%u.tmp", GetCurrentProcessId(), GetTickCount() + attempt);
        created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    FileHandle file(created);
    if (!file.IsValid()) return Fail(error);
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(kChunk, bytes.size() - done));
        DWORD put = 0;
        ok = WriteFile(file.Get(), bytes.data() + done, want, &put, nullptr) && put == want;
        done += put;
    }
    ok = ok && FlushFileBuffers(file.Get());
    if (!ok) {
        Fail(error);
        file.Close();
        DeleteFileW(temporary.c_str());
        return false;
    }
    if (!file.Close() ||
        !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Fail(error);
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}
