#include "DataStream.h"

#include <cstring>
#include <limits>

#include "OpcStreamLayout.h"

using namespace OpcStream;

namespace {

class Reader {
public:
    Reader(const std::uint8_t* bytes, size_t size) : m_bytes(bytes), m_size(size) {}
    bool Fits(size_t offset, size_t length) const { return offset <= m_size && length <= m_size - offset; }
    std::uint16_t U16(size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, m_bytes + offset, 2);
        return v;
    }
    std::uint32_t U32(size_t offset) const {
        std::uint32_t v;
        std::memcpy(&v, m_bytes + offset, 4);
        return v;
    }
    const std::uint8_t* At(size_t offset) const { return m_bytes + offset; }

private:
    const std::uint8_t* m_bytes;
    size_t m_size;
};

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
}

bool ReadValue(const Reader& in, size_t offset, VARIANT& value, std::string* why) {
    if (!in.Fits(offset, kValueRecordSize)) return Fail(why, "value record outside the stream");
    const VARTYPE type = in.U16(offset + kValueType);
    const VARTYPE base = static_cast<VARTYPE>(type & VT_TYPEMASK);
    const size_t data = offset + kValueData;
    if (type == VT_EMPTY || type == VT_NULL) {
        V_VT(&value) = type;
        return true;
    }
    if (type == VT_BSTR) {
        const size_t at = offset + kValueRecordSize;
        if (!in.Fits(at, kStringText)) return Fail(why, "string length outside the stream");
        const std::uint32_t bytes = in.U32(at);
        if (bytes % 2 != 0 || !in.Fits(at + kStringText, static_cast<size_t>(bytes) + kStringTerminatorSize)) {
            return Fail(why, "string runs past the end of the stream");
        }
        BSTR text = SysAllocStringLen(nullptr, bytes / 2);
        if (text == nullptr) return Fail(why, "out of memory");
        std::memcpy(text, in.At(at + kStringText), bytes);
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = text;
        return true;
    }
    if ((type & ~VT_TYPEMASK) == VT_ARRAY) {
        const size_t element = ValueDataSize(base);
        if (element == 0) return Fail(why, "array of an element type a stream cannot carry");
        const size_t at = offset + kValueRecordSize;
        if (!in.Fits(at, kArrayDescriptorSize)) return Fail(why, "array descriptor outside the stream");
        ArrayDescriptor descriptor;
        std::memcpy(&descriptor, in.At(at), sizeof descriptor);
        const std::uint32_t cbElements = descriptor.elementSize;
        const std::uint32_t count = descriptor.count;
        const LONG lower = descriptor.lowerBound;
        if (cbElements != element) return Fail(why, "array element size does not match its type");
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * element;
        if (bytes > std::numeric_limits<size_t>::max() / 2 ||
            !in.Fits(at + kArrayDescriptorSize, static_cast<size_t>(bytes))) {
            return Fail(why, "array runs past the end of the stream");
        }
        SAFEARRAY* array = SafeArrayCreateVector(base, lower, count);
        if (array == nullptr) return Fail(why, "out of memory");
        if (bytes != 0) std::memcpy(array->pvData, in.At(at + kArrayDescriptorSize), static_cast<size_t>(bytes));
        V_VT(&value) = type;
        V_ARRAY(&value) = array;
        return true;
    }
    if (type & ~VT_TYPEMASK || ValueDataSize(type) == 0) return Fail(why, "value type a stream cannot carry");
    // Numeric values sit in the record's eight data bytes, as in a VARIANT's union.
    V_VT(&value) = type;
    std::memcpy(&V_UI8(&value), in.At(data), ValueDataSize(type));
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
    if (bytes == nullptr || !in.Fits(0, kGroupHeaderSize)) return Fail(why, "stream shorter than its header");
    const std::uint32_t declared = in.U32(kGroupSize);
    const std::uint32_t count = in.U32(kGroupItemCount);
    stream.groupClientHandle = in.U32(kGroupClientHandle);
    stream.transactionId = in.U32(kGroupTransactionId);
    stream.status = static_cast<HRESULT>(in.U32(kGroupStatus));
    if (declared > size) return Fail(why, "stream shorter than the size its header gives");
    const size_t record = withTime ? kItemWithTimeSize : kItemWithoutTimeSize;
    if (count > (size - kGroupHeaderSize) / record) return Fail(why, "item count larger than the stream");
    // Only the declared bytes belong to the stream: the block may be larger.
    const Reader body(bytes, declared != 0 ? declared : size);
    stream.items.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const size_t at = kGroupHeaderSize + i * record;
        if (!body.Fits(at, record)) return Fail(why, "item record outside the stream");
        StreamItem& item = stream.items[i];
        item.clientHandle = body.U32(at + kItemClientHandle);
        const std::uint32_t valueOffset = body.U32(at + kItemValueOffset);
        item.quality = body.U16(at + kItemQuality);
        if (withTime) {
            item.timestamp.dwLowDateTime = body.U32(at + kItemTimeStamp);
            item.timestamp.dwHighDateTime = body.U32(at + kItemTimeStamp + sizeof(DWORD));
        }
        if (valueOffset < kGroupHeaderSize + count * record) return Fail(why, "value offset inside the item records");
        if (!ReadValue(body, valueOffset, item.value, why)) return false;
    }
    return true;
}

bool ParseWriteCompleteStream(const std::uint8_t* bytes, size_t size, WriteCompleteStream& stream, std::string* why) {
    stream = WriteCompleteStream();
    const Reader in(bytes, size);
    if (bytes == nullptr || !in.Fits(0, kWriteHeaderSize)) return Fail(why, "stream shorter than its header");
    const std::uint32_t count = in.U32(kWriteItemCount);
    stream.groupClientHandle = in.U32(kWriteClientHandle);
    stream.transactionId = in.U32(kWriteTransactionId);
    stream.status = static_cast<HRESULT>(in.U32(kWriteStatus));
    if (count > (size - kWriteHeaderSize) / kWriteItemSize) return Fail(why, "item count larger than the stream");
    stream.items.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const size_t at = kWriteHeaderSize + i * kWriteItemSize;
        stream.items[i].clientHandle = in.U32(at + kWriteItemClientHandle);
        stream.items[i].error = static_cast<HRESULT>(in.U32(at + kWriteItemError));
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
