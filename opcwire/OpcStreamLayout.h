#pragma once
// Where the fields of the data-change and write-complete streams lie. The
// server writes them and clients read them field by field, little-endian,
// never by copying a native structure, so a 32-bit and a 64-bit process agree.
//
// A data stream: the group header, one item record per item (with or without
// its timestamp), then the value records the items point at. A value record
// is followed by a string's byte count, text and terminating null, or by an
// array's descriptor and elements. A write-complete stream: its header and
// one record per item.
#include <windows.h>
#include <cstddef>

#include "OpcDa.h"

namespace OpcStream {

// The 16-byte value record: the type, three reserved words and the eight data
// bytes of a VARIANT's union.
struct ValueRecord {
    VARTYPE type;
    WORD reserved[3];
    BYTE data[8];
};

// An array's descriptor: a 32-bit SAFEARRAY with its one bound, and no address.
struct ArrayDescriptor {
    WORD dims;
    WORD features;
    DWORD elementSize;
    DWORD locks;
    DWORD data;
    DWORD count;
    LONG lowerBound;
};

inline constexpr size_t kGroupHeaderSize = sizeof(OPCGROUPHEADER);
inline constexpr size_t kGroupSize = offsetof(OPCGROUPHEADER, dwSize);
inline constexpr size_t kGroupItemCount = offsetof(OPCGROUPHEADER, dwItemCount);
inline constexpr size_t kGroupClientHandle = offsetof(OPCGROUPHEADER, hClientGroup);
inline constexpr size_t kGroupTransactionId = offsetof(OPCGROUPHEADER, dwTransactionID);
inline constexpr size_t kGroupStatus = offsetof(OPCGROUPHEADER, hrStatus);

inline constexpr size_t kItemWithTimeSize = sizeof(OPCITEMHEADER1);
inline constexpr size_t kItemWithoutTimeSize = sizeof(OPCITEMHEADER2);
inline constexpr size_t kItemClientHandle = offsetof(OPCITEMHEADER1, hClient);
inline constexpr size_t kItemValueOffset = offsetof(OPCITEMHEADER1, dwValueOffset);
inline constexpr size_t kItemQuality = offsetof(OPCITEMHEADER1, wQuality);
inline constexpr size_t kItemReserved = offsetof(OPCITEMHEADER1, wReserved);
inline constexpr size_t kItemTimeStamp = offsetof(OPCITEMHEADER1, ftTimeStampItem);

inline constexpr size_t kWriteHeaderSize = sizeof(OPCGROUPHEADERWRITE);
inline constexpr size_t kWriteItemCount = offsetof(OPCGROUPHEADERWRITE, dwItemCount);
inline constexpr size_t kWriteClientHandle = offsetof(OPCGROUPHEADERWRITE, hClientGroup);
inline constexpr size_t kWriteTransactionId = offsetof(OPCGROUPHEADERWRITE, dwTransactionID);
inline constexpr size_t kWriteStatus = offsetof(OPCGROUPHEADERWRITE, hrStatus);
inline constexpr size_t kWriteItemSize = sizeof(OPCITEMHEADERWRITE);
inline constexpr size_t kWriteItemClientHandle = offsetof(OPCITEMHEADERWRITE, hClient);
inline constexpr size_t kWriteItemError = offsetof(OPCITEMHEADERWRITE, dwError);

inline constexpr size_t kValueRecordSize = sizeof(ValueRecord);
inline constexpr size_t kValueType = offsetof(ValueRecord, type);
inline constexpr size_t kValueData = offsetof(ValueRecord, data);
// A string after its value record: the byte count, then the text and a null.
inline constexpr size_t kStringText = sizeof(DWORD);
inline constexpr size_t kStringTerminatorSize = sizeof(WCHAR);
inline constexpr size_t kArrayDescriptorSize = sizeof(ArrayDescriptor);

// Bytes of a value's data (or an array element) that a stream carries for a
// type whose data is no pointer; 0 for types it cannot carry.
constexpr size_t ValueDataSize(VARTYPE type) noexcept {
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

// The declared structures have no padding on either bitness: their natural
// layout is the wire layout.
static_assert(kGroupHeaderSize == 20 && kGroupStatus == 16);
static_assert(kItemWithTimeSize == 20 && kItemQuality == 8 && kItemTimeStamp == 12);
static_assert(kItemWithoutTimeSize == 12 && offsetof(OPCITEMHEADER2, wReserved) == 10);
static_assert(offsetof(OPCITEMHEADER2, hClient) == kItemClientHandle &&
                  offsetof(OPCITEMHEADER2, dwValueOffset) == kItemValueOffset &&
                  offsetof(OPCITEMHEADER2, wQuality) == kItemQuality &&
                  offsetof(OPCITEMHEADER2, wReserved) == kItemReserved,
              "both item records begin alike");
static_assert(kWriteHeaderSize == 16 && kWriteStatus == 12);
static_assert(kWriteItemSize == 8 && kWriteItemError == 4);
static_assert(kValueRecordSize == 16 && kValueData == 8);
static_assert(kArrayDescriptorSize == 24 && offsetof(ArrayDescriptor, count) == 16 &&
              offsetof(ArrayDescriptor, lowerBound) == 20);

}  // namespace OpcStream
