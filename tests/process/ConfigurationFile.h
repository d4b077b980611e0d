#pragma once
// Writes configuration files byte by byte in the program's file layout
// (version 1.6 records), without the program's own code, so that what the
// server serves is checked against a file made independently.
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

struct FileTag {
    std::string name;
    VARTYPE type = VT_R8;
    DWORD accessMode = 1;  // 0 read only, 1 read/write
    double number = 0;     // the value for numeric types
    std::wstring text;     // the value for VT_BSTR
    bool valueLimits = false;  // value limits 0 to 100 set
};

struct FileGroup {
    std::string name;
    std::vector<FileGroup> groups;
    std::vector<FileTag> tags;
};

// The bytes of a configuration whose devices are the given top-level groups.
std::vector<std::uint8_t> ConfigurationBytes(const std::vector<FileGroup>& devices);
bool WriteBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::wstring& path);
