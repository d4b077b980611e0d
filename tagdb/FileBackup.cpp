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
    // Read only to compare with a backup already there: a file too large to
    // read whole is still copied.
    std::vector<BYTE> original;
    bool originalRead = false;
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
        if (number == 1) {
            DWORD readError = ERROR_SUCCESS;
            originalRead = ReadWholeFile(path, original, readError);
            if (!originalRead && readError != ERROR_FILE_TOO_LARGE) {
                error = readError;
                return false;
            }
        }
        std::vector<BYTE> existing;
        DWORD readError = ERROR_SUCCESS;
        if (originalRead && ReadWholeFile(name, existing, readError) && existing == original) {
            backup = name;
            return true;
        }
    }
    error = ERROR_FILE_EXISTS;
    return false;
}
