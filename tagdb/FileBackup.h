#pragma once
// Keeping a file's original beside it before it is written over.
#include <windows.h>

#include <string>

// Copies the file at path to path + ".bak". An existing backup with other
// content is never overwritten: the copy then goes to the first free name of
// path + ".2.bak", ".3.bak" and so on; an existing one with the same content
// is taken as the backup. True with the backup's path; false with the Win32
// error (ERROR_FILE_NOT_FOUND when there is no file to keep).
bool KeepBackupBeside(const std::wstring& path, std::wstring& backup, DWORD& error);
