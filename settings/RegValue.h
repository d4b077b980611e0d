#pragma once
// One registry value as read or written: name, type and up to 2,550 bytes of
// data. Typed reads give false and leave the target alone unless the type
// (and length) fits.
#include <windows.h>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class RegValue {
public:
    static constexpr DWORD kMaxDataSize = 2550;

    RegValue() noexcept = default;
    explicit RegValue(std::wstring name) : m_name(std::move(name)) {}

    // REG_SZ: the UTF-16 text and its terminator, the text cut to 1,274
    // characters so that both fit in kMaxDataSize bytes.
    static RegValue FromText(std::wstring name, std::wstring_view text);
    // REG_DWORD, little-endian.
    static RegValue FromUInt(std::wstring name, std::uint32_t value);
    // REG_DWORD 1 or 0.
    static RegValue FromBool(std::wstring name, bool value);
    // REG_BINARY, the 8 bytes of the IEEE 754 double.
    static RegValue FromDouble(std::wstring name, double value);
    // REG_BINARY, 16 bytes: left, top, right, bottom.
    static RegValue FromRect(std::wstring name, const RECT& value);

    // REG_DWORD of at least 4 bytes; any non-zero value is true.
    bool GetBool(bool& value) const noexcept;
    bool GetUInt(std::uint32_t& value) const noexcept;
    // REG_BINARY of at least 8 bytes: the first 8.
    bool GetDouble(double& value) const noexcept;
    // REG_SZ, up to its first terminator.
    bool GetText(std::wstring& value) const;
    // REG_BINARY of exactly 16 bytes.
    bool GetRect(RECT& value) const noexcept;

    const std::wstring& Name() const noexcept { return m_name; }
    void SetName(std::wstring name) { m_name = std::move(name); }
    DWORD Type() const noexcept { return m_type; }
    DWORD Size() const noexcept { return m_size; }
    const BYTE* Data() const noexcept { return m_data.data(); }
    // Raw access for the registry calls: capacity kMaxDataSize.
    BYTE* MutableData() noexcept { return m_data.data(); }
    void SetRaw(DWORD type, DWORD size) noexcept;

    // Names equal ignoring case, and type, size and data bytes equal.
    bool operator==(const RegValue& other) const;
    // By name, case-sensitive.
    bool operator<(const RegValue& other) const { return m_name < other.m_name; }

private:
    void SetBytes(DWORD type, const void* bytes, DWORD size) noexcept;

    std::wstring m_name;
    // Two zero bytes past the limit: the platform looks one character beyond a
    // text's given size for a terminator it may add.
    std::array<BYTE, kMaxDataSize + sizeof(wchar_t)> m_data{};
    DWORD m_size = 0;
    DWORD m_type = 0;
};
