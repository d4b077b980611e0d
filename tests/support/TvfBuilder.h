#pragma once
// Builds configuration files byte by byte, independently of the archive under
// test, so that the tests check the encoding itself and what the server serves
// is checked against a file made without the program's own code.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct Bytes {
    std::vector<BYTE> data;

    Bytes& U8(unsigned v) {
        data.push_back(static_cast<BYTE>(v));
        return *this;
    }
    Bytes& U16(unsigned v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
    Bytes& U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    Bytes& F64(double d) {
        std::uint64_t b;
        std::memcpy(&b, &d, 8);
        return U32(static_cast<std::uint32_t>(b)).U32(static_cast<std::uint32_t>(b >> 32));
    }
    Bytes& F32(float f) {
        std::uint32_t b;
        std::memcpy(&b, &f, 4);
        return U32(b);
    }
    Bytes& Length(std::uint64_t n) {
        if (n < 255) return U8(static_cast<unsigned>(n));
        if (n < 0xFFFE) return U8(0xFF).U16(static_cast<unsigned>(n));
        return U8(0xFF).U16(0xFFFF).U32(static_cast<std::uint32_t>(n));
    }
    Bytes& Str(const std::string& s) {
        Length(s.size());
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    // The wide form: marker, then the prefix counting UTF-16 units, then the units.
    Bytes& WideStr(const std::wstring& s) {
        U8(0xFF).U16(0xFFFE).Length(s.size());
        for (wchar_t c : s) U16(c);
        return *this;
    }
    Bytes& Add(const Bytes& o) {
        data.insert(data.end(), o.data.begin(), o.data.end());
        return *this;
    }
    size_t Size() const { return data.size(); }
};

// Stored VARIANTs.
inline Bytes VEmpty() { return Bytes().U16(VT_EMPTY); }
inline Bytes VR8(double d) { return Bytes().U16(VT_R8).F64(d); }
inline Bytes VR4(float f) { return Bytes().U16(VT_R4).F32(f); }
inline Bytes VI4(std::int32_t v) { return Bytes().U16(VT_I4).U32(static_cast<std::uint32_t>(v)); }
inline Bytes VI2(std::int16_t v) { return Bytes().U16(VT_I2).U16(static_cast<std::uint16_t>(v)); }
inline Bytes VUI1(unsigned v) { return Bytes().U16(VT_UI1).U8(v); }
inline Bytes VBool(bool b) { return Bytes().U16(VT_BOOL).U16(b ? 0xFFFF : 0); }
inline Bytes VBstr(const std::wstring& s) {
    Bytes b;
    b.U16(VT_BSTR).U32(static_cast<std::uint32_t>(s.size() * 2));
    for (wchar_t c : s) b.U16(c);
    return b;
}

// The fields of a tag record, in file order (version 1.5 leaves out the locked flag).
struct TagFields {
    double version = 1.6;
    std::string name = "Tag", description = "New Tag";
    std::uint32_t icon = 0, classCode = 0, reserved = 0;
    bool isVolatile = false, valueLimitsEnabled = true, rawLimitsEnabled = false, scalingEnabled = false,
         simulationEnabled = false, valueLimitsSet = false, rawLimitsSet = false, scalingSet = false, locked = false;
    unsigned quality = 0xC0;
    std::uint32_t simulationStep = 0, simulationPeriod = 10;
    Bytes value = VR8(0);
    std::uint32_t timeHigh = 0x01D00000, timeLow = 0x12345678;
    std::uint32_t access = 1, simulationKind = 1, dataType = VT_R8;
    double valueLow = 0, valueHigh = 0, rawLow = 0, rawHigh = 0, scaleOffset = 0, scaleFactor = 0, deadband = 0;
    unsigned forcedQuality = 0;  // written from version 1.7 on
    Bytes alarm{};               // written from version 1.8 on (AlarmBlock)
    bool historize = false;      // written from version 1.9 on
};

inline Bytes TagRecord(const TagFields& t) {
    Bytes b;
    b.F64(t.version).Str(t.name).Str(t.description).U32(t.icon).U32(t.classCode).U32(t.reserved);
    for (bool flag : {t.isVolatile, t.valueLimitsEnabled, t.rawLimitsEnabled, t.scalingEnabled, t.simulationEnabled,
                      t.valueLimitsSet, t.rawLimitsSet, t.scalingSet}) {
        b.U32(flag);
    }
    if (t.version >= 1.6) b.U32(t.locked);
    b.U16(t.quality).U32(t.simulationStep).U32(t.simulationPeriod).Add(t.value).U32(t.timeHigh).U32(t.timeLow);
    b.U32(t.access).U32(t.simulationKind).U32(t.dataType);
    for (double d : {t.valueLow, t.valueHigh, t.rawLow, t.rawHigh, t.scaleOffset, t.scaleFactor, t.deadband}) b.F64(d);
    if (t.version >= 1.7) b.U16(t.forcedQuality);
    if (t.version >= 1.8) b.Add(t.alarm);
    if (t.version >= 1.9) b.U32(t.historize);
    return b.F64(1.1);  // the product's trailer
}

// The alarm of a 1.8 tag block: kind, flags (1 HighHigh, 2 High, 4 Low, 8 LowLow
// set, 16 needs confirm, 32 enabled), the four limits, deadband, the two
// severities, the normal value and the message.
struct AlarmFields {
    std::uint32_t kind = 1, flags = 32;
    double highHigh = 0, high = 0, low = 0, lowLow = 0, deadband = 0;
    unsigned severity = 500, severityHighHigh = 800;
    Bytes normal = Bytes().U16(VT_EMPTY);
    std::string message{};
};

inline Bytes AlarmBlock(const AlarmFields& a) {
    Bytes b;
    b.U32(a.kind).U32(a.flags);
    for (double d : {a.highHigh, a.high, a.low, a.lowLow, a.deadband}) b.F64(d);
    return b.U16(a.severity).U16(a.severityHighHigh).Add(a.normal).Str(a.message);
}

// A list: count, then class code 0 and the record of each element.
inline Bytes List(const std::vector<Bytes>& records) {
    Bytes b;
    b.U32(static_cast<std::uint32_t>(records.size()));
    for (const Bytes& r : records) b.U32(0).Add(r);
    return b;
}

struct GroupFields {
    double version = 1.6;
    std::string name = "Group", description = "";
    std::int32_t image = 2, selectedImage = 3, ordinal = 1;
    std::vector<Bytes> groups{}, tags{};
    unsigned forcedQuality = 0;  // written from version 1.7 on
};

// The group block, without the product trailer.
inline Bytes GroupBlock(const GroupFields& g) {
    Bytes b;
    b.F64(g.version).Str(g.name).Str(g.description).U32(static_cast<std::uint32_t>(g.image));
    b.U32(static_cast<std::uint32_t>(g.selectedImage));
    if (g.version >= 1.6) b.U32(static_cast<std::uint32_t>(g.ordinal));
    if (g.version >= 1.7) b.U16(g.forcedQuality);
    return b.Add(List(g.groups)).Add(List(g.tags));
}

inline Bytes GroupRecord(const GroupFields& g) { return GroupBlock(g).F64(1.1); }

struct DeviceFields {
    GroupFields group{.name = "Device", .image = 0, .selectedImage = 1, .ordinal = 0};
    bool inService = true;
    std::uint32_t interval = 30, refreshEnabled = 0, refreshMode = 0, refreshPeriod = 300;
    bool pollOnOpen = false;  // with a response delay, a 1.7 device block
    std::uint32_t responseDelay = 0;
};

inline Bytes DeviceRecord(const DeviceFields& d) {
    const bool extended = d.pollOnOpen || d.responseDelay;
    Bytes block = GroupBlock(d.group).F64(extended ? 1.7 : 1.6).U32(d.inService).U32(d.interval);
    if (extended) block.U32(d.pollOnOpen).U32(d.responseDelay);
    return block.F64(1.1).U32(d.refreshEnabled).U32(d.refreshMode).U32(d.refreshPeriod);
}

inline Bytes ConfigFile(const std::vector<Bytes>& devices) { return Bytes().F64(1.6).Add(List(devices)); }

// A whole configuration from a plain description of its tree.
struct FileTag {
    std::string name;
    VARTYPE type = VT_R8;
    DWORD accessMode = 1;      // 0 read only, 1 read/write
    double number = 0;         // the value for numeric types
    std::wstring text;         // the value for VT_BSTR
    bool valueLimits = false;  // value limits 0 to 100 set
};

struct FileGroup {
    std::string name;
    std::vector<FileGroup> groups;
    std::vector<FileTag> tags;
};

inline Bytes FileTagRecord(const FileTag& tag) {
    TagFields f{.name = tag.name,
                .description = "",
                .valueLimitsEnabled = tag.valueLimits,
                .valueLimitsSet = tag.valueLimits,
                .simulationStep = 1,
                .simulationPeriod = 1,
                .timeLow = 0,
                .access = tag.accessMode,
                .simulationKind = 0,
                .dataType = tag.type,
                .valueHigh = 100,
                .rawHigh = 100,
                .scaleFactor = 1};
    switch (tag.type) {
    case VT_BOOL: f.value = VBool(tag.number != 0); break;
    case VT_UI1: f.value = VUI1(static_cast<unsigned>(tag.number)); break;
    case VT_I2: f.value = VI2(static_cast<std::int16_t>(tag.number)); break;
    case VT_I4: f.value = VI4(static_cast<std::int32_t>(tag.number)); break;
    case VT_R4: f.value = VR4(static_cast<float>(tag.number)); break;
    case VT_BSTR: f.value = VBstr(tag.text); break;
    default: f.value = VR8(tag.number); break;
    }
    return TagRecord(f);
}

inline GroupFields FileGroupFields(const FileGroup& group, std::int32_t ordinal) {
    GroupFields g{.name = group.name, .image = 0, .selectedImage = 1, .ordinal = ordinal};
    for (const FileGroup& child : group.groups) {
        g.groups.push_back(GroupRecord(FileGroupFields(child, static_cast<std::int32_t>(g.groups.size()))));
    }
    for (const FileTag& tag : group.tags) g.tags.push_back(FileTagRecord(tag));
    return g;
}

// The bytes of a configuration whose devices are the given top-level groups.
inline std::vector<BYTE> ConfigurationBytes(const std::vector<FileGroup>& devices) {
    std::vector<Bytes> records;
    for (const FileGroup& device : devices) {
        DeviceFields d{.group = FileGroupFields(device, static_cast<std::int32_t>(records.size())),
                       .refreshMode = 1,
                       .refreshPeriod = 60};
        records.push_back(DeviceRecord(d));
    }
    return ConfigFile(records).data;
}

inline bool WriteBytes(const std::wstring& path, const std::vector<BYTE>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

inline std::vector<BYTE> ReadBytes(const std::wstring& path) {
    std::vector<BYTE> bytes;
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
