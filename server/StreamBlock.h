#pragma once
// The memory block of a data-change or write-complete stream: a moveable,
// shareable global block that grows in 4096-byte steps while the stream is
// written, field by field in little-endian order, whatever the build's
// bitness. A VARIANT is written as its wire value record, never by copying
// the native structure.
#include <windows.h>
#include <oleauto.h>
#include <cstddef>
#include <cstdint>

class StreamBlock {
public:
    static constexpr size_t kStep = 4096;

    StreamBlock() = default;
    ~StreamBlock();
    StreamBlock(const StreamBlock&) = delete;
    StreamBlock& operator=(const StreamBlock&) = delete;

    // Makes room for at least `bytes` (rounded up to whole steps); false when
    // the memory cannot be had.
    bool Reserve(size_t bytes) noexcept;

    // Each writes at `offset`, growing the block as needed; false when it
    // cannot grow.
    bool PutU16(size_t offset, std::uint16_t value) noexcept;
    bool PutU32(size_t offset, std::uint32_t value) noexcept;
    bool PutFileTime(size_t offset, const FILETIME& value) noexcept;
    bool PutBytes(size_t offset, const void* data, size_t size) noexcept;

    // Writes the value record of `value` (and its string or array data) at
    // `offset`; `written` receives the bytes it took.
    bool PutVariant(size_t offset, const VARIANT& value, size_t& written) noexcept;

    // The block, handed over (the caller frees it); null when none was made.
    HGLOBAL Detach() noexcept;
    size_t Capacity() const noexcept { return m_capacity; }

private:
    std::uint8_t* At(size_t offset, size_t size) noexcept;
    bool PutArray(size_t offset, const SAFEARRAY* array, VARTYPE elementType, size_t& written) noexcept;

    HGLOBAL m_block = nullptr;
    std::uint8_t* m_data = nullptr;  // the block, locked while it is written
    size_t m_capacity = 0;
};
