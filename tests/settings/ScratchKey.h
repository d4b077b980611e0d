#pragma once
// A registry key of its own for one test, made with the plain registry API
// (not the code under test) and removed with everything below it afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

class ScratchKey {
public:
    // Below HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE, at Software\Tovi Tests\<test>-<pid>.
    explicit ScratchKey(HKEY root = HKEY_CURRENT_USER) : m_root(root) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string test = std::string(info->test_suite_name()) + "." + info->name();
        m_relative = L"Software\\Tovi Tests\\" + std::wstring(test.begin(), test.end()) + L"-" +
                     std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(m_root, m_relative.c_str());
        HKEY key = nullptr;
        if (RegCreateKeyExW(m_root, m_relative.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            RegCloseKey(key);
        }
    }
    ~ScratchKey() {
        RegDeleteTreeW(m_root, m_relative.c_str());
        RegDeleteKeyW(m_root, L"Software\\Tovi Tests");  // only once no other test uses it
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    // The full textual path, as RegIO takes it.
    std::wstring Path() const {
        return std::wstring(m_root == HKEY_LOCAL_MACHINE ? L"HKEY_LOCAL_MACHINE\\" : L"HKEY_CURRENT_USER\\") +
               m_relative;
    }
    std::wstring Relative(const std::wstring& below = {}) const {
        return below.empty() ? m_relative : m_relative + L"\\" + below;
    }

    bool Exists(const std::wstring& below = {}) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(m_root, Relative(below).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    void CreateKey(const std::wstring& below) const {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(m_root, Relative(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    void SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD size,
                const std::wstring& below = {}) const {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(m_root, Relative(below).c_str(), name.c_str(), type, data, size));
    }
    void SetText(const std::wstring& name, const std::wstring& text, const std::wstring& below = {}) const {
        SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), below);
    }
    void SetDword(const std::wstring& name, DWORD value, const std::wstring& below = {}) const {
        SetRaw(name, REG_DWORD, &value, sizeof value, below);
    }
    // Type and bytes of a value exactly as stored; false when it cannot be read.
    bool GetRaw(const std::wstring& name, DWORD& type, std::vector<BYTE>& data, const std::wstring& below = {}) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(m_root, Relative(below).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        DWORD size = 0;
        LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
        if (rc == ERROR_SUCCESS) {
            data.assign(size + 2, 0);
            rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
            data.resize(size);
        }
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }
    DWORD ValueCount(const std::wstring& below = {}) const {
        HKEY key = nullptr;
        DWORD count = 0;
        if (RegOpenKeyExW(m_root, Relative(below).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                             nullptr, nullptr);
            RegCloseKey(key);
        }
        return count;
    }

private:
    HKEY m_root;
    std::wstring m_relative;
};
