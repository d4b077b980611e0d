#pragma once
// Reads and prepares the registry the way an outside observer would, with the
// plain platform calls.
#include <windows.h>
#include <optional>
#include <string>
#include <vector>

bool KeyExists(HKEY root, const std::wstring& path);
// A REG_SZ value ("" names the default value); nothing when absent.
std::optional<std::wstring> TextValue(HKEY root, const std::wstring& path, const std::wstring& name);
std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path);
void DeleteKeyTree(HKEY root, const std::wstring& path);
// Writes a REG_SZ value ("" names the default value), creating the key.
bool SetTextValue(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text);

// The program's settings key under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tovi Explorer\\Settings";

// Replaces the program's settings with an event log and a last used file.
void WriteServerSettings(const std::wstring& eventLogFile, const std::wstring& lastUsedFile);
