#pragma once
// A device-independent bitmap read from a .bmp file (the tag icon strip the
// settings may name), turned into a screen-compatible bitmap for an image list.
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

class CDib {
public:
    // False, leaving the object empty, when the file is not a readable
    // bitmap with a 40-byte information header.
    bool Read(const std::wstring& path);
    bool IsEmpty() const noexcept { return m_header.empty(); }
    LONG Width() const noexcept;
    LONG Height() const noexcept;
    // A new bitmap compatible with the screen (the caller deletes it); null when empty.
    HBITMAP CreateBitmap() const;

private:
    void Clear() noexcept;

    std::vector<std::uint8_t> m_header;  // information header and colour table
    std::vector<std::uint8_t> m_bits;
};
