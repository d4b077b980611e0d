#include "RegIO.h"

#include <algorithm>
#include <memory>

#include "Text.h"

namespace {

struct RootEntry {
    const wchar_t* name;
    HKEY handle;
};

const RootEntry kRoots[] = {
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
};

// Roots that a path may name; performance data is not a tree of keys.
bool IsOpenableRoot(const std::wstring& name) {
    return name != L"HKEY_PERFORMANCE_DATA" &&
           std::any_of(std::begin(kRoots), std::end(kRoots), [&](const RootEntry& r) { return name == r.name; });
}

constexpr DWORD kSubKeyNameCapacity = 260;
constexpr DWORD kValueNameCapacity = 2549;

std::wstring JoinKeyPath(const std::vector<std::wstring>& parts) {
    std::wstring path;
    for (const auto& part : parts) {
        if (!path.empty()) path += L'\\';
        path += part;
    }
    return path;
}

}  // namespace

std::vector<std::wstring> RegIO::SplitKeyPath(std::wstring_view path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::wstring RegIO::RootName(HKEY root) {
    for (const auto& r : kRoots) {
        if (r.handle == root) return r.name;
    }
    return {};
}

HKEY RegIO::RootFromName(std::wstring_view name) {
    const wchar_t* blanks = L" \t\r\n\v\f";
    size_t first = name.find_first_not_of(blanks);
    if (first == std::wstring_view::npos) return HKEY_CURRENT_USER;
    size_t last = name.find_last_not_of(std::wstring(blanks) + L"\\");
    if (last == std::wstring_view::npos || last < first) return HKEY_CURRENT_USER;
    const std::wstring_view trimmed = name.substr(first, last - first + 1);
    for (const auto& r : kRoots) {
        if (trimmed == r.name) return r.handle;
    }
    return HKEY_CURRENT_USER;
}

void RegIO::InvalidateValueCache() noexcept {
    m_valueCacheValid = false;
    m_valueCache.clear();
}

bool RegIO::Open(std::wstring_view fullPath, bool readOnly) {
    Close();
    const std::vector<std::wstring> parts = SplitKeyPath(fullPath);
    if (parts.empty() || !IsOpenableRoot(parts[0])) {
        return false;
    }
    m_root = RootFromName(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) {
        if (!OpenSubKey(parts[i], readOnly)) {
            Close();
            return false;
        }
    }
    m_open = true;
    return true;
}

bool RegIO::Create(std::wstring_view fullPath) {
    const std::vector<std::wstring> parts = SplitKeyPath(fullPath);
    if (parts.empty() || !Open(parts[0], false)) {
        return false;
    }
    size_t next = 1;
    while (next < parts.size() && OpenSubKey(parts[next], false)) {
        ++next;
    }
    for (; next < parts.size(); ++next) {
        HKEY created = nullptr;
        if (RegCreateKeyExW(CurrentKey(), parts[next].c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &created, nullptr) != ERROR_SUCCESS) {
            Close();
            return false;
        }
        m_subKeys.push_back(SubKeyInfo{created, parts[next], KEY_ALL_ACCESS});
    }
    InvalidateValueCache();
    return true;
}

void RegIO::Close() noexcept {
    while (!m_subKeys.empty()) {
        CloseSubKey();
    }
    InvalidateValueCache();
    m_root = HKEY_LOCAL_MACHINE;
    m_open = false;
}

bool RegIO::OpenSubKey(const std::wstring& name, bool readOnly) {
    if (name.empty()) {
        return false;
    }
    const REGSAM access = readOnly ? KEY_READ : KEY_ALL_ACCESS;
    HKEY key = nullptr;
    if (RegOpenKeyExW(CurrentKey(), name.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return false;
    }
    InvalidateValueCache();
    try {
        m_subKeys.push_back(SubKeyInfo{key, name, access});
    } catch (...) {
        RegCloseKey(key);
        throw;
    }
    return true;
}

void RegIO::CloseSubKey() noexcept {
    if (m_subKeys.empty()) {
        return;
    }
    RegCloseKey(m_subKeys.back().key);
    m_subKeys.pop_back();
    InvalidateValueCache();
}

std::wstring RegIO::GetKeyPath() const {
    if (!m_open) {
        return {};
    }
    std::wstring path = RootName(m_root) + L'\\';
    for (const auto& sub : m_subKeys) {
        path += sub.name;
        path += L'\\';
    }
    return path;
}

bool RegIO::SubKeyExists(std::wstring_view relativePath) {
    if (!m_open) {
        return false;
    }
    HKEY parent = CurrentKey();
    HKEY held = nullptr;  // the last key opened here, closed as the walk goes on
    for (const auto& part : SplitKeyPath(relativePath)) {
        HKEY key = nullptr;
        const bool opened = RegOpenKeyExW(parent, part.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (held != nullptr) RegCloseKey(held);
        if (!opened) {
            return false;
        }
        held = parent = key;
    }
    if (held != nullptr) RegCloseKey(held);
    return true;
}

bool RegIO::DeleteValue(const std::wstring& name) {
    if (!m_open) return false;
    const LSTATUS status = RegDeleteValueW(CurrentKey(), name.c_str());
    InvalidateValueCache();
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool RegIO::DeleteSubKey(std::wstring_view relativePath) {
    const std::vector<std::wstring> parts = SplitKeyPath(relativePath);
    // An empty path names the current key itself, which is not a subkey.
    if (!m_open || parts.empty() || !SubKeyExists(relativePath)) {
        return false;
    }
    // The platform's own depth-first walk: subkeys first, then the key.
    const bool deleted = RegDeleteTreeW(CurrentKey(), JoinKeyPath(parts).c_str()) == ERROR_SUCCESS;
    InvalidateValueCache();
    return deleted;
}

bool RegIO::ValueExists(const std::wstring& name) {
    if (!m_open) {
        return false;
    }
    if (!m_valueCacheValid) {
        EnumValues(m_valueCache, false);
        m_valueCacheValid = true;
    }
    return std::any_of(m_valueCache.begin(), m_valueCache.end(),
                       [&](const RegValue& v) { return EqualsNoCase(v.Name(), name); });
}

bool RegIO::QueryValue(RegValue& value) {
    if (!m_open) {
        return false;
    }
    const std::wstring& name = value.Name();
    if (!name.empty() && !EqualsNoCase(name, L"Default") && !ValueExists(name)) {
        return false;
    }
    DWORD type = 0;
    DWORD size = RegValue::kMaxDataSize;
    if (RegQueryValueExW(CurrentKey(), name.c_str(), nullptr, &type, value.MutableData(), &size) != ERROR_SUCCESS) {
        return false;
    }
    value.SetRaw(type, size);
    return true;
}

bool RegIO::SetRegValue(const RegValue& value) {
    if (!m_open) {
        return false;
    }
    return RegSetValueExW(CurrentKey(), value.Name().c_str(), 0, value.Type(), value.Data(), value.Size()) ==
           ERROR_SUCCESS;
}

void RegIO::EnumSubKeys(std::vector<std::wstring>& names, bool sorted) {
    names.clear();
    if (!m_open) {
        return;
    }
    DWORD count = 0;
    if (RegQueryInfoKeyW(CurrentKey(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        wchar_t name[kSubKeyNameCapacity];
        DWORD length = kSubKeyNameCapacity;
        if (RegEnumKeyExW(CurrentKey(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            names.emplace_back(name, length);
        }
    }
    if (sorted) {
        std::sort(names.begin(), names.end());
    }
}

void RegIO::EnumValues(std::vector<RegValue>& values, bool sorted) {
    values.clear();
    if (!m_open) {
        return;
    }
    DWORD count = 0;
    if (RegQueryInfoKeyW(CurrentKey(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    auto name = std::make_unique<wchar_t[]>(kValueNameCapacity + 1);
    bool unnamedFound = false;
    for (DWORD i = 0; i < count; ++i) {
        RegValue value;
        DWORD nameLength = kValueNameCapacity + 1;
        DWORD type = 0;
        DWORD size = RegValue::kMaxDataSize;
        if (RegEnumValueW(CurrentKey(), i, name.get(), &nameLength, nullptr, &type, value.MutableData(), &size) !=
            ERROR_SUCCESS) {
            continue;  // too long a name or too much data
        }
        value.SetName(std::wstring(name.get(), nameLength));
        value.SetRaw(type, size);
        if (nameLength == 0 && !unnamedFound) {
            // The key's unnamed value leads the list, once.
            unnamedFound = true;
            values.insert(values.begin(), std::move(value));
        } else {
            values.push_back(std::move(value));
        }
    }
    if (sorted) {
        std::stable_sort(values.begin(), values.end());
    }
}

bool RegIO::Find(const std::wstring& valueName, std::vector<std::wstring>& keyPaths) {
    keyPaths.clear();
    if (!m_open) {
        return false;
    }
    FindBelow(valueName, keyPaths);
    return !keyPaths.empty();
}

void RegIO::FindBelow(const std::wstring& valueName, std::vector<std::wstring>& keyPaths) {
    RegValue probe(valueName);
    if (QueryValue(probe)) {
        keyPaths.push_back(GetKeyPath());
    }
    std::vector<std::wstring> names;
    EnumSubKeys(names, false);
    for (const auto& name : names) {
        if (!name.empty() && OpenSubKey(name, true)) {
            FindBelow(valueName, keyPaths);
            CloseSubKey();
        }
    }
}

namespace {
template <typename T, typename Getter>
bool ReadTyped(RegIO& io, const std::wstring& name, T& target, Getter get) {
    RegValue value(name);
    return io.QueryValue(value) && (value.*get)(target);
}
}  // namespace

bool RegIO::ReadBool(const std::wstring& name, bool& value) {
    return ReadTyped(*this, name, value, &RegValue::GetBool);
}
bool RegIO::ReadUInt(const std::wstring& name, std::uint32_t& value) {
    return ReadTyped(*this, name, value, &RegValue::GetUInt);
}
bool RegIO::ReadDouble(const std::wstring& name, double& value) {
    return ReadTyped(*this, name, value, &RegValue::GetDouble);
}
bool RegIO::ReadText(const std::wstring& name, std::wstring& value) {
    return ReadTyped(*this, name, value, &RegValue::GetText);
}
bool RegIO::ReadRect(const std::wstring& name, RECT& value) {
    return ReadTyped(*this, name, value, &RegValue::GetRect);
}

bool RegIO::WriteBool(const std::wstring& name, bool value) { return SetRegValue(RegValue::FromBool(name, value)); }
bool RegIO::WriteUInt(const std::wstring& name, std::uint32_t value) {
    return SetRegValue(RegValue::FromUInt(name, value));
}
bool RegIO::WriteDouble(const std::wstring& name, double value) {
    return SetRegValue(RegValue::FromDouble(name, value));
}
bool RegIO::WriteText(const std::wstring& name, std::wstring_view value) {
    return SetRegValue(RegValue::FromText(name, value));
}
bool RegIO::WriteRect(const std::wstring& name, const RECT& value) {
    return SetRegValue(RegValue::FromRect(name, value));
}
