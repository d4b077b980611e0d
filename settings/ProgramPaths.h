#pragma once
// Where the running program lives, and cutting a path into folder and file.
#include <string>

// Full path of the running program file.
std::wstring GetModulePath();
// The folder of the running program, with its trailing backslash; empty when
// the path has none.
std::wstring GetProgramDirectory();
// Cuts at the last backslash: the directory keeps it, the file name is the
// rest. Without a backslash, or with only a leading one, the whole path is the
// file name and the directory is empty.
void SplitPath(const std::wstring& path, std::wstring& directory, std::wstring& fileName);
// True when the path names an existing file (not a folder).
bool FileExists(const std::wstring& path);
// The absolute form of a path (the current folder applied); the path itself
// when it cannot be made absolute.
std::wstring FullPath(const std::wstring& path);
// The user's own folder of the program's data (the OPC UA certificates),
// made when missing; no trailing backslash.
std::wstring GetDataFolder();
