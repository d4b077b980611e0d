#pragma once
// Reading the OPC data-change and write-complete streams a client receives in
// IAdviseSink::OnDataChange. The layout is the wire layout, the same for
// 32- and 64-bit peers: every field is read at its offset, bounds-checked,
// never by overlaying native structures.
#include <windows.h>
#include <oleauto.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One item of a data stream, or of a 2.0 data callback. `value` owns what it
// holds (VariantClear).
struct StreamItem {
    DWORD clientHandle = 0;
    WORD quality = 0;
    FILETIME timestamp{};  // zero in the format without time
    HRESULT error = S_OK;  // only a callback carries one; the value is empty when it failed
    VARIANT value;
    StreamItem() { VariantInit(&value); }
    ~StreamItem() { VariantClear(&value); }
    StreamItem(const StreamItem& other);
    StreamItem& operator=(const StreamItem& other);
};

struct DataStream {
    DWORD groupClientHandle = 0;
    DWORD transactionId = 0;
    HRESULT status = S_OK;
    std::vector<StreamItem> items;
};

struct WriteCompleteItem {
    DWORD clientHandle = 0;
    HRESULT error = S_OK;
};

struct WriteCompleteStream {
    DWORD groupClientHandle = 0;
    DWORD transactionId = 0;
    HRESULT status = S_OK;
    std::vector<WriteCompleteItem> items;
};

// A data stream of `size` bytes, with item timestamps (OPCSTMFORMATDATATIME)
// or without (OPCSTMFORMATDATA). False, with the reason, when the stream is
// malformed: a count or offset that points outside it, a string or array that
// runs past its end, or a value type that cannot be carried.
bool ParseDataStream(const std::uint8_t* bytes, size_t size, bool withTime, DataStream& stream, std::string* why);
bool ParseWriteCompleteStream(const std::uint8_t* bytes, size_t size, WriteCompleteStream& stream, std::string* why);

// The same for a medium's global block (locked while it is read).
bool ParseDataStream(HGLOBAL block, bool withTime, DataStream& stream, std::string* why);
