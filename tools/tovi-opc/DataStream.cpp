#include "DataStream.h"

#include <cstring>
#include <limits>

namespace {
constexpr size_t kGroupHeader = 20;
constexpr size_t kWriteGroupHeader = 16;
constexpr size_t kRecordWithTime = 20;
constexpr size_t kRecordWithoutTime = 12;
constexpr size_t kWriteRecord = 8;
constexpr size_t kVariantRecord = 16;
constexpr size_t kArrayDescriptor = 24;

class Reader {
public:
    Reader(const std::uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    bool Fits(size_t offset, size_t length) const { return offset <= size_ && length <= size_ - offset; }
    std::uint16_t U16(size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, bytes_ + offset, 2);
        return v;
    }
    std::uint32_t U32(size_t offset) const {
        std::uint32_t v;
        std::memcpy(&v, bytes_ + offset, 4);
        return v;
    }
    const std::uint8_t* At(size_t offset) const { return bytes_ + offset; }

private:
    const std::uint8_t* bytes_;
    size_t size_;
};

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
}

// Bytes of one element of a numeric array, 0 for types a stream cannot carry.
size_t ElementSize(VARTYPE type) {
    switch (type) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8: return 8;
    default: return 0;
    }
}

bool ReadValue(const Reader& in, size_t offset, VARIANT& value, std::string* why) {
    if (!in.Fits(offset, kVariantRecord)) return Fail(why, "value record outside the stream");
    const VARTYPE type = in.U16(offset);
    const VARTYPE base = static_cast<VARTYPE>(type & VT_TYPEMASK);
    const size_t data = offset + 8;
    if (type == VT_EMPTY || type == VT_NULL) {
        V_VT(&value) = type;
        return true;
    }
    if (type == VT_BSTR) {
        const size_t at = offset + kVariantRecord;
        if (!in.Fits(at, 4)) return Fail(why, "string length outside the stream");
        const std::uint32_t bytes = in.U32(at);
        if (bytes % 2 != 0 || !in.Fits(at + 4, static_cast<size_t>(bytes) + 2)) {
            return Fail(why, "string runs past the end of the stream");
        }
        BSTR text = SysAllocStringLen(nullptr, bytes / 2);
        if (text == nullptr) return Fail(why, "out of memory");
        std::memcpy(text, in.At(at + 4), bytes);
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = text;
        return true;
    }
    if ((type & ~VT_TYPEMASK) == VT_ARRAY) {
        const size_t element = ElementSize(base);
        if (element == 0) return Fail(why, "array of an element type a stream cannot carry");
        const size_t at = offset + kVariantRecord;
        if (!in.Fits(at, kArrayDescriptor)) return Fail(why, "array descriptor outside the stream");
        const std::uint32_t cbElements = in.U32(at + 4);
        const std::uint32_t count = in.U32(at + 16);
        LONG lower;
        std::memcpy(&lower, in.At(at + 20), 4);
        if (cbElements != element) return Fail(why, "array element size does not match its type");
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * element;
        if (bytes > std::numeric_limits<size_t>::max() / 2 ||
            !in.Fits(at + kArrayDescriptor, static_cast<size_t>(bytes))) {
            return Fail(why, "array runs past the end of the stream");
        }
        SAFEARRAY* array = SafeArrayCreateVector(base, lower, count);
        if (array == nullptr) return Fail(why, "out of memory");
        if (bytes != 0) std::memcpy(array->pvData, in.At(at + kArrayDescriptor), static_cast<size_t>(bytes));
        V_VT(&value) = type;
        V_ARRAY(&value) = array;
        return true;
    }
    if (type & ~VT_TYPEMASK || ElementSize(type) == 0) return Fail(why, "value type a stream cannot carry");
    // Numeric values sit in the record's eight data bytes, as in a VARIANT's union.
    V_VT(&value) = type;
    std::memcpy(&V_UI8(&value), in.At(data), ElementSize(type));
    return true;
}
}  // namespace

StreamItem::StreamItem(const StreamItem& other)
    : clientHandle(other.clientHandle), quality(other.quality), timestamp(other.timestamp), error(other.error) {
    VariantInit(&value);
    VariantCopy(&value, const_cast<VARIANT*>(&other.value));
}

StreamItem& StreamItem::operator=(const StreamItem& other) {
    if (this != &other) {
        clientHandle = other.clientHandle;
        quality = other.quality;
        timestamp = other.timestamp;
        error = other.error;
        VariantCopy(&value, const_cast<VARIANT*>(&other.value));
    }
    return *this;
}

bool ParseDataStream(const std::uint8_t* bytes, size_t size, bool withTime, DataStream& stream, std::string* why) {
    stream = DataStream();
    const Reader in(bytes, size);
    if (bytes == nullptr || !in.Fits(0, kGroupHeader)) return Fail(why, "stream shorter than its header");
    const std::uint32_t declared = in.U32(0);
    const std::uint32_t count = in.U32(4);
    stream.groupClientHandle = in.U32(8);
    stream.transactionId = in.U32(12);
    stream.status = static_cast<HRESULT>(in.U32(16));
    if (declared > size) return Fail(why, "stream shorter than the size its header gives");
    const size_t record = withTime ? kRecordWithTime : kRecordWithoutTime;
    if (count > (size - kGroupHeader) / record) return Fail(why, "item count larger than the stream");
    // Only the declared bytes belong to the stream: the block may be larger.
    const Reader body(bytes, declared != 0 ? declared : size);
    stream.items.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const size_t at = kGroupHeader + i * record;
        if (!body.Fits(at, record)) return Fail(why, "item record outside the stream");
        StreamItem& item = stream.items[i];
        item.clientHandle = body.U32(at);
        const std::uint32_t valueOffset = body.U32(at + 4);
        item.quality = body.U16(at + 8);
        if (withTime) {
            item.timestamp.dwLowDateTime = body.U32(at + 12);
            item.timestamp.dwHighDateTime = body.U32(at + 16);
        }
        if (valueOffset < kGroupHeader + count * record) return Fail(why, "value offset inside the item records");
        if (!ReadValue(body, valueOffset, item.value, why)) return false;
    }
    return true;
}

bool ParseWriteCompleteStream(const std::uint8_t* bytes, size_t size, WriteCompleteStream& stream, std::string* why) {
    stream = WriteCompleteStream();
    const Reader in(bytes, size);
    if (bytes == nullptr || !in.Fits(0, kWriteGroupHeader)) return Fail(why, "stream shorter than its header");
    const std::uint32_t count = in.U32(0);
    stream.groupClientHandle = in.U32(4);
    stream.transactionId = in.U32(8);
    stream.status = static_cast<HRESULT>(in.U32(12));
    if (count > (size - kWriteGroupHeader) / kWriteRecord) return Fail(why, "item count larger than the stream");
    stream.items.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const size_t at = kWriteGroupHeader + i * kWriteRecord;
        stream.items[i].clientHandle = in.U32(at);
        stream.items[i].error = static_cast<HRESULT>(in.U32(at + 4));
    }
    return true;
}

bool ParseDataStream(HGLOBAL block, bool withTime, DataStream& stream, std::string* why) {
    if (block == nullptr) return Fail(why, "no stream");
    const SIZE_T size = GlobalSize(block);
    const auto* bytes = static_cast<const std::uint8_t*>(GlobalLock(block));
    if (bytes == nullptr) return Fail(why, "the stream's memory cannot be locked");
    const bool ok = ParseDataStream(bytes, size, withTime, stream, why);
    GlobalUnlock(block);
    return ok;
}
