#include "StreamBlock.h"

#include <cstring>
#include <limits>

#include "OpcStreamLayout.h"

namespace {
constexpr UINT kBlockFlags = GMEM_MOVEABLE | GMEM_SHARE;

bool IsPointerElement(VARTYPE type) noexcept {
    return type == VT_BSTR || type == VT_VARIANT || type == VT_UNKNOWN || type == VT_DISPATCH || type == VT_RECORD;
}
}  // namespace

StreamBlock::~StreamBlock() {
    if (m_block != nullptr) {
        if (m_data != nullptr) GlobalUnlock(m_block);
        GlobalFree(m_block);
    }
}

bool StreamBlock::Reserve(size_t bytes) noexcept {
    if (bytes <= m_capacity) return true;
    if (bytes > std::numeric_limits<DWORD>::max() - kStep) return false;
    const size_t size = (bytes + kStep - 1) / kStep * kStep;
    if (m_block == nullptr) {
        m_block = GlobalAlloc(kBlockFlags, size);
        if (m_block == nullptr) return false;
    } else {
        GlobalUnlock(m_block);
        m_data = nullptr;
        HGLOBAL grown = GlobalReAlloc(m_block, size, GMEM_MOVEABLE);
        if (grown == nullptr) {
            m_data = static_cast<std::uint8_t*>(GlobalLock(m_block));
            return false;
        }
        m_block = grown;
    }
    m_data = static_cast<std::uint8_t*>(GlobalLock(m_block));
    if (m_data == nullptr) return false;
    m_capacity = size;
    return true;
}

std::uint8_t* StreamBlock::At(size_t offset, size_t size) noexcept {
    if (offset > std::numeric_limits<size_t>::max() - size || !Reserve(offset + size)) return nullptr;
    return m_data + offset;
}

bool StreamBlock::PutBytes(size_t offset, const void* data, size_t size) noexcept {
    std::uint8_t* at = At(offset, size);
    if (at == nullptr) return false;
    if (size != 0) std::memcpy(at, data, size);
    return true;
}

bool StreamBlock::PutU16(size_t offset, std::uint16_t value) noexcept {
    return PutBytes(offset, &value, sizeof value);  // the target is little-endian
}

bool StreamBlock::PutU32(size_t offset, std::uint32_t value) noexcept { return PutBytes(offset, &value, sizeof value); }

bool StreamBlock::PutFileTime(size_t offset, const FILETIME& value) noexcept {
    return PutU32(offset, value.dwLowDateTime) && PutU32(offset + 4, value.dwHighDateTime);
}

bool StreamBlock::PutVariant(size_t offset, const VARIANT& value, size_t& written) noexcept {
    written = 0;
    const VARTYPE type = V_VT(&value);
    OpcStream::ValueRecord record{};
    record.type = type;
    if ((type & (VT_ARRAY | VT_BYREF)) == 0) {
        // The data bytes of a VARIANT start 8 bytes in, on every target.
        std::memcpy(record.data, reinterpret_cast<const std::uint8_t*>(&value) + 8, OpcStream::ValueDataSize(type));
    }
    if (!PutBytes(offset, &record, sizeof record)) return false;
    written = sizeof record;
    if (type == VT_BSTR) {
        const BSTR text = V_BSTR(&value);
        const UINT bytes = text != nullptr ? SysStringByteLen(text) : 0;
        const size_t at = offset + written;
        if (!PutU32(at, bytes) || !PutBytes(at + OpcStream::kStringText, text, bytes) ||
            !PutU16(at + OpcStream::kStringText + bytes, 0)) {
            return false;
        }
        written += OpcStream::kStringText + bytes + OpcStream::kStringTerminatorSize;
    } else if ((type & VT_ARRAY) != 0 && (type & VT_BYREF) == 0) {
        size_t arrayBytes = 0;
        if (!PutArray(offset + written, V_ARRAY(&value), static_cast<VARTYPE>(type & VT_TYPEMASK), arrayBytes)) {
            return false;
        }
        written += arrayBytes;
    }
    return true;
}

bool StreamBlock::PutArray(size_t offset, const SAFEARRAY* array, VARTYPE elementType, size_t& written) noexcept {
    written = 0;
    // The data address stays 0: it means nothing to the client.
    OpcStream::ArrayDescriptor descriptor{};
    if (array != nullptr) {
        descriptor.dims = array->cDims;
        descriptor.features = array->fFeatures;
        descriptor.elementSize = array->cbElements;
        descriptor.locks = array->cLocks;
        // Only the first dimension's count enters the data (as laid down for
        // the stream); it is the last bound in the native descriptor.
        if (array->cDims > 0) {
            descriptor.count = array->rgsabound[array->cDims - 1].cElements;
            descriptor.lowerBound = array->rgsabound[array->cDims - 1].lLbound;
        }
    }
    const DWORD elements = descriptor.count;
    const DWORD elementSize = descriptor.elementSize;
    if (!PutBytes(offset, &descriptor, sizeof descriptor)) return false;
    written = sizeof descriptor;
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(elements) * elementSize;
    if (dataBytes == 0) return true;
    if (dataBytes > std::numeric_limits<DWORD>::max()) return false;
    std::uint8_t* at = At(offset + written, static_cast<size_t>(dataBytes));
    if (at == nullptr) return false;
    if (IsPointerElement(elementType) || array->pvData == nullptr) {
        std::memset(at, 0, static_cast<size_t>(dataBytes));
    } else {
        std::memcpy(at, array->pvData, static_cast<size_t>(dataBytes));
    }
    written += static_cast<size_t>(dataBytes);
    return true;
}

HGLOBAL StreamBlock::Detach() noexcept {
    if (m_block != nullptr && m_data != nullptr) GlobalUnlock(m_block);
    HGLOBAL block = m_block;
    m_block = nullptr;
    m_data = nullptr;
    m_capacity = 0;
    return block;
}
