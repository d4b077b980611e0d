#pragma once
// The program's way into the registry: keys addressed by full textual path
// ("HKEY_LOCAL_MACHINE\Software\Zelkor\Tovi Explorer\Settings"), the chain of
// keys opened on the way down, and typed values. A short-lived local object:
// destruction closes every key it holds. Failures are a false result only.
#include <windows.h>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "RegValue.h"

class RegIO {
public:
    // One key opened below the root.
    struct SubKeyInfo {
        HKEY key = nullptr;
        std::wstring name;
        REGSAM access = 0;
    };

    RegIO() = default;
    ~RegIO() { Close(); }
    RegIO(const RegIO&) = delete;
    RegIO& operator=(const RegIO&) = delete;

    // Closes what was open, then opens the full path. Doubled and trailing
    // backslashes are ignored; the root name must be written exactly.
    bool Open(std::wstring_view fullPath, bool readOnly);
    // Opens what exists of the full path and creates the rest; afterwards the
    // object is open at the full path.
    bool Create(std::wstring_view fullPath);
    void Close() noexcept;
    bool IsOpen() const noexcept { return m_open; }

    // One key below the current key, appended to the chain.
    bool OpenSubKey(const std::wstring& name, bool readOnly);
    void CloseSubKey() noexcept;
    // Root name and every key name, each followed by a backslash; empty when closed.
    std::wstring GetKeyPath() const;
    bool SubKeyExists(std::wstring_view relativePath);
    // Deletes the key named by the relative path and everything below it.
    bool DeleteSubKey(std::wstring_view relativePath);

    bool ValueExists(const std::wstring& name);
    // True when the value is gone (or was never there).
    bool DeleteValue(const std::wstring& name);
    // Reads the value named by value.Name() into value.
    bool QueryValue(RegValue& value);
    bool SetRegValue(const RegValue& value);
    // Names of the current key's subkeys; sorted case-sensitively on request.
    void EnumSubKeys(std::vector<std::wstring>& names, bool sorted);
    // The current key's values, the unnamed one first; sorted by name on request.
    void EnumValues(std::vector<RegValue>& values, bool sorted);
    // Paths (as GetKeyPath) of the keys at or below the current key that hold
    // a value of that name.
    bool Find(const std::wstring& valueName, std::vector<std::wstring>& keyPaths);

    // Typed reads leave the target unchanged unless they give true.
    bool ReadBool(const std::wstring& name, bool& value);
    bool ReadUInt(const std::wstring& name, std::uint32_t& value);
    bool ReadDouble(const std::wstring& name, double& value);
    bool ReadText(const std::wstring& name, std::wstring& value);
    bool ReadRect(const std::wstring& name, RECT& value);
    bool WriteBool(const std::wstring& name, bool value);
    bool WriteUInt(const std::wstring& name, std::uint32_t value);
    bool WriteDouble(const std::wstring& name, double value);
    bool WriteText(const std::wstring& name, std::wstring_view value);
    bool WriteRect(const std::wstring& name, const RECT& value);

    // Name of one of the seven root handles; empty for any other handle.
    static std::wstring RootName(HKEY root);
    // Trims white space and trailing backslashes, then matches the seven names
    // case-sensitively; HKEY_CURRENT_USER when none matches.
    static HKEY RootFromName(std::wstring_view name);
    // The path cut at backslashes, empty components dropped.
    static std::vector<std::wstring> SplitKeyPath(std::wstring_view path);

private:
    HKEY CurrentKey() const noexcept { return m_subKeys.empty() ? m_root : m_subKeys.back().key; }
    void InvalidateValueCache() noexcept;
    void FindBelow(const std::wstring& valueName, std::vector<std::wstring>& keyPaths);

    HKEY m_root = HKEY_LOCAL_MACHINE;
    bool m_open = false;
    bool m_valueCacheValid = false;
    std::vector<SubKeyInfo> m_subKeys;  // outermost first; the last is the current key
    std::vector<RegValue> m_valueCache;
};
