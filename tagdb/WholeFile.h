#pragma once
// Whole-file reads and replacing writes.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// Reads the file whole into bytes. False with the Win32 error (a file of
// 2 GiB or more gives ERROR_FILE_TOO_LARGE).
bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes, DWORD& error);

// Writes bytes to a new file in the same folder and then moves it into the
// place of path, so that a failed write never leaves path truncated or half
// written. A read-only path is refused with ERROR_ACCESS_DENIED before
// anything is written. False with the Win32 error.
bool WriteFileReplacing(const std::wstring& path, const std::vector<BYTE>& bytes, DWORD& error);
// The same for bytes held elsewhere (an export's text, written without a copy).
bool WriteFileReplacing(const std::wstring& path, std::string_view bytes, DWORD& error);
