#include "ProgramPaths.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

std::wstring GetModulePath() {
    // Long paths do not fit MAX_PATH: grow until the name is whole.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

std::wstring GetProgramDirectory() {
    const std::wstring path = GetModulePath();
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

void SplitPath(const std::wstring& path, std::wstring& directory, std::wstring& fileName) {
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash == 0) {
        directory.clear();
        fileName = path;
        return;
    }
    directory = path.substr(0, slash + 1);
    fileName = path.substr(slash + 1);
}

bool FileExists(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD written = GetFullPathNameW(path.c_str(), needed + 1, buffer.data(), nullptr);
    return written != 0 && written <= needed ? std::wstring(buffer.data(), written) : path;
}

std::wstring GetDataFolder() {
    PWSTR base = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &base))) {
        folder = std::wstring(base) + L"\\Tovi Explorer";
    }
    CoTaskMemFree(base);
    if (folder.empty()) folder = GetProgramDirectory() + L"Data";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}
