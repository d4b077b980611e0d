#include "FileBackup.h"

#include <vector>

#include "WholeFile.h"

namespace {
constexpr unsigned kMostBackups = 9999;

std::wstring BackupName(const std::wstring& path, unsigned number) {
    return number == 1 ? path + L".bak" : path + L"." + std::to_wstring(number) + L".bak";
}
}  // namespace

bool KeepBackupBeside(const std::wstring& path, std::wstring& backup, DWORD& error) {
    error = ERROR_SUCCESS;
    std::vector<BYTE> original;
    if (!ReadWholeFile(path, original, error)) {
        return false;
    }
    for (unsigned number = 1; number <= kMostBackups; ++number) {
        const std::wstring name = BackupName(path, number);
        // Never replaces a file: a name taken meanwhile is just the next one tried.
        if (CopyFileW(path.c_str(), name.c_str(), TRUE)) {
            backup = name;
            return true;
        }
        const DWORD copyError = GetLastError();
        if (copyError != ERROR_FILE_EXISTS && copyError != ERROR_ALREADY_EXISTS) {
            error = copyError;
            return false;
        }
        std::vector<BYTE> existing;
        DWORD readError = ERROR_SUCCESS;
        if (ReadWholeFile(name, existing, readError) && existing == original) {
            backup = name;
            return true;
        }
    }
    error = ERROR_FILE_EXISTS;
    return false;
}
