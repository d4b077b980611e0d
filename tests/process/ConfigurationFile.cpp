#include "ConfigurationFile.h"

#include <cstring>

namespace {
constexpr double kRecordVersion = 1.6;
constexpr double kProductVersion = 1.1;

class Archive {
public:
    void U8(std::uint8_t v) { bytes.push_back(v); }
    void U16(std::uint16_t v) { Raw(&v, 2); }
    void U32(std::uint32_t v) { Raw(&v, 4); }
    void F32(float v) { Raw(&v, 4); }
    void F64(double v) { Raw(&v, 8); }
    void Text(const std::string& s) {
        if (s.size() < 255) {
            U8(static_cast<std::uint8_t>(s.size()));
        } else {
            U8(0xFF);
            U16(static_cast<std::uint16_t>(s.size()));
        }
        Raw(s.data(), s.size());
    }
    // resize + memcpy rather than a range insert: GCC 12 at -O3 reports a false
    // stringop-overflow inside vector's range insert once it is inlined here.
    void Raw(const void* p, size_t n) {
        if (n == 0) return;
        const size_t at = bytes.size();
        bytes.resize(at + n);
        std::memcpy(bytes.data() + at, p, n);
    }
    std::vector<std::uint8_t> bytes;
};

void WriteValue(Archive& a, const FileTag& tag) {
    a.U16(tag.type);
    switch (tag.type) {
    case VT_BOOL: a.U16(tag.number != 0 ? 0xFFFF : 0); break;
    case VT_UI1: a.U8(static_cast<std::uint8_t>(tag.number)); break;
    case VT_I2: a.U16(static_cast<std::uint16_t>(static_cast<std::int16_t>(tag.number))); break;
    case VT_I4: a.U32(static_cast<std::uint32_t>(static_cast<std::int32_t>(tag.number))); break;
    case VT_R4: a.F32(static_cast<float>(tag.number)); break;
    case VT_R8: a.F64(tag.number); break;
    case VT_BSTR:
        a.U32(static_cast<std::uint32_t>(tag.text.size() * 2));
        a.Raw(tag.text.data(), tag.text.size() * 2);
        break;
    default: break;
    }
}

void WriteTag(Archive& a, const FileTag& tag) {
    a.F64(kRecordVersion);
    a.Text(tag.name);
    a.Text("");  // description
    a.U32(0);    // icon index
    a.U32(0);    // class code
    a.U32(0);    // reserved
    for (int flag = 0; flag < 9; ++flag) {
        // volatile, value limits enabled, raw, scaling, simulation, value limits set, raw, scaling, locked
        a.U32(tag.valueLimits && (flag == 1 || flag == 5) ? 1 : 0);
    }
    a.U16(0xC0);                                    // quality Good
    a.U32(1);                                       // simulation step
    a.U32(1);                                       // simulation period
    WriteValue(a, tag);
    a.U32(0x01D00000);  // timestamp, high part first
    a.U32(0);
    a.U32(tag.accessMode);
    a.U32(0);  // simulation kind
    a.U32(tag.type);
    for (double limit : {0.0, 100.0, 0.0, 100.0, 0.0, 1.0, 0.0}) a.F64(limit);  // limits, scaling, deadband
    a.F64(kProductVersion);
}

void WriteGroupBody(Archive& a, const FileGroup& group, std::uint32_t ordinal) {
    a.F64(kRecordVersion);
    a.Text(group.name);
    a.Text("");
    a.U32(0);
    a.U32(1);
    a.U32(ordinal);
    a.U32(static_cast<std::uint32_t>(group.groups.size()));
    std::uint32_t childOrdinal = 0;
    for (const FileGroup& child : group.groups) {
        a.U32(0);
        WriteGroupBody(a, child, childOrdinal++);
        a.F64(kProductVersion);
    }
    a.U32(static_cast<std::uint32_t>(group.tags.size()));
    for (const FileTag& tag : group.tags) {
        a.U32(0);
        WriteTag(a, tag);
    }
}
}  // namespace

std::vector<std::uint8_t> ConfigurationBytes(const std::vector<FileGroup>& devices) {
    Archive a;
    a.F64(kRecordVersion);
    a.U32(static_cast<std::uint32_t>(devices.size()));
    std::uint32_t ordinal = 0;
    for (const FileGroup& device : devices) {
        a.U32(0);
        WriteGroupBody(a, device, ordinal++);
        a.F64(kRecordVersion);  // device block: in service, interval in seconds
        a.U32(1);
        a.U32(30);
        a.F64(kProductVersion);  // product block: no timestamp refresh
        a.U32(0);
        a.U32(1);
        a.U32(60);
    }
    return a.bytes;
}

bool WriteBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::vector<std::uint8_t> ReadBytes(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    const DWORD size = GetFileSize(file, nullptr);
    if (size != INVALID_FILE_SIZE) {
        bytes.resize(size);
        DWORD read = 0;
        if (!ReadFile(file, bytes.data(), size, &read, nullptr)) read = 0;
        bytes.resize(read);
    }
    CloseHandle(file);
    return bytes;
}
