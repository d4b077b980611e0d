#include "RegValue.h"

#include <cstring>

#include "Text.h"

void RegValue::SetBytes(DWORD type, const void* bytes, DWORD size) noexcept {
    m_data.fill(0);
    m_size = size > kMaxDataSize ? kMaxDataSize : size;
    std::memcpy(m_data.data(), bytes, m_size);
    m_type = type;
}

void RegValue::SetRaw(DWORD type, DWORD size) noexcept {
    m_type = type;
    m_size = size > kMaxDataSize ? kMaxDataSize : size;
}

RegValue RegValue::FromText(std::wstring name, std::wstring_view text) {
    RegValue v(std::move(name));
    // Cut so that the terminator still fits: the platform would otherwise add
    // one past the limit and the value could no longer be read back.
    constexpr size_t kMaxChars = kMaxDataSize / sizeof(wchar_t) - 1;
    const std::wstring terminated = std::wstring(text.substr(0, kMaxChars)) + L'\0';
    v.SetBytes(REG_SZ, terminated.data(), static_cast<DWORD>(terminated.size() * sizeof(wchar_t)));
    return v;
}

RegValue RegValue::FromUInt(std::wstring name, std::uint32_t value) {
    RegValue v(std::move(name));
    const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                           static_cast<BYTE>(value >> 24)};
    v.SetBytes(REG_DWORD, bytes, sizeof bytes);
    return v;
}

RegValue RegValue::FromBool(std::wstring name, bool value) { return FromUInt(std::move(name), value ? 1u : 0u); }

RegValue RegValue::FromDouble(std::wstring name, double value) {
    static_assert(sizeof(double) == 8, "IEEE 754 double expected");
    RegValue v(std::move(name));
    v.SetBytes(REG_BINARY, &value, sizeof value);  // Windows targets are little-endian
    return v;
}

RegValue RegValue::FromRect(std::wstring name, const RECT& value) {
    RegValue v(std::move(name));
    const std::int32_t parts[4] = {static_cast<std::int32_t>(value.left), static_cast<std::int32_t>(value.top),
                                   static_cast<std::int32_t>(value.right), static_cast<std::int32_t>(value.bottom)};
    v.SetBytes(REG_BINARY, parts, sizeof parts);
    return v;
}

bool RegValue::GetUInt(std::uint32_t& value) const noexcept {
    if (m_type != REG_DWORD || m_size < 4) {
        return false;
    }
    value = static_cast<std::uint32_t>(m_data[0]) | (static_cast<std::uint32_t>(m_data[1]) << 8) |
            (static_cast<std::uint32_t>(m_data[2]) << 16) | (static_cast<std::uint32_t>(m_data[3]) << 24);
    return true;
}

bool RegValue::GetBool(bool& value) const noexcept {
    std::uint32_t number = 0;
    if (!GetUInt(number)) {
        return false;
    }
    value = number != 0;
    return true;
}

bool RegValue::GetDouble(double& value) const noexcept {
    if (m_type != REG_BINARY || m_size < sizeof(double)) {
        return false;
    }
    std::memcpy(&value, m_data.data(), sizeof value);
    return true;
}

bool RegValue::GetText(std::wstring& value) const {
    if (m_type != REG_SZ) {
        return false;
    }
    const size_t units = m_size / sizeof(wchar_t);
    std::wstring text(units, L'\0');
    std::memcpy(text.data(), m_data.data(), units * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos) {
        text.resize(end);
    }
    value = std::move(text);
    return true;
}

bool RegValue::GetRect(RECT& value) const noexcept {
    if (m_type != REG_BINARY || m_size != 16) {
        return false;
    }
    std::int32_t parts[4];
    std::memcpy(parts, m_data.data(), sizeof parts);
    value = RECT{parts[0], parts[1], parts[2], parts[3]};
    return true;
}

bool RegValue::operator==(const RegValue& other) const {
    return m_type == other.m_type && m_size == other.m_size &&
           std::memcmp(m_data.data(), other.m_data.data(), m_size) == 0 && EqualsNoCase(m_name, other.m_name);
}
