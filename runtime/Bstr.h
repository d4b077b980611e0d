#pragma once
// Owning BSTR.
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>

class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(std::wstring_view text)
        : s_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : s_(other.s_) { other.s_ = nullptr; }
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) { SysFreeString(s_); s_ = other.s_; other.s_ = nullptr; }
        return *this;
    }
    ~Bstr() { SysFreeString(s_); }

    BSTR Get() const noexcept { return s_; }
    BSTR Detach() noexcept { BSTR s = s_; s_ = nullptr; return s; }
    UINT ByteLength() const noexcept { return SysStringByteLen(s_); }
    std::wstring Text() const { return s_ ? std::wstring(s_, SysStringLen(s_)) : std::wstring(); }

private:
    BSTR s_ = nullptr;
};
