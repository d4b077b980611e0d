#include "Archive.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Text.h"

namespace {
constexpr BYTE kLongLength = 0xFF;
constexpr WORD kWideMarker = 0xFFFE;
constexpr WORD kDwordLength = 0xFFFF;
// What ReadLength gives when the wide-string marker stands in place of a length.
constexpr std::uint64_t kMarkerSeen = ~std::uint64_t{0};

bool IsAscii(std::wstring_view text) noexcept {
    for (wchar_t c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// Types that may stand in a VARIANT with all-zero data. Any other type word
// (by reference, arrays, pointer types, unknown numbers) would leave a VARIANT
// that the first conversion or release dereferences: it loads as empty.
bool IsPlainZeroable(VARTYPE type) noexcept {
    switch (type) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
    }
}
}  // namespace

Archive::Archive() : m_storing(true) {}

Archive::Archive(std::vector<BYTE> bytes) : m_storing(false), m_buffer(std::move(bytes)) {
    m_data = m_buffer.data();
    m_size = m_buffer.size();
}

Archive::Archive(const BYTE* data, size_t size) : m_storing(false), m_data(data), m_size(data ? size : 0) {}

void Archive::RequireStoring() const {
    if (!m_storing) throw std::logic_error("archive is loading");
}

void Archive::RequireLoading() const {
    if (m_storing) throw std::logic_error("archive is storing");
}

void Archive::Append(const void* bytes, size_t count) {
    RequireStoring();
    const BYTE* p = static_cast<const BYTE*>(bytes);
    m_buffer.insert(m_buffer.end(), p, p + count);
}

const BYTE* Archive::Take(std::uint64_t count) {
    RequireLoading();
    if (count > Remaining()) {
        // A short read ends at the end of the data, as a file read does: no
        // later field can then be taken from the cut field's own bytes.
        m_position = m_size;
        throw ArchiveEndOfFile();
    }
    const BYTE* p = m_data + m_position;
    m_position += static_cast<size_t>(count);
    return p;
}

void Archive::WriteByte(BYTE value) { Append(&value, 1); }

void Archive::WriteWord(WORD value) {
    const BYTE b[2] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8)};
    Append(b, 2);
}

void Archive::WriteDword(DWORD value) {
    const BYTE b[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                       static_cast<BYTE>(value >> 24)};
    Append(b, 4);
}

void Archive::WriteFloat(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    WriteDword(bits);
}

void Archive::WriteDouble(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    WriteDword(static_cast<DWORD>(bits));
    WriteDword(static_cast<DWORD>(bits >> 32));
}

void Archive::WriteLength(std::uint64_t length) {
    if (length < kLongLength) {
        WriteByte(static_cast<BYTE>(length));
    } else if (length < kWideMarker) {
        WriteByte(kLongLength);
        WriteWord(static_cast<WORD>(length));
    } else if (length < 0xFFFFFFFFu) {
        WriteByte(kLongLength);
        WriteWord(kDwordLength);
        WriteDword(static_cast<DWORD>(length));
    } else {
        throw ArchiveFormatError("string too long for the archive");
    }
}

void Archive::WriteString(std::wstring_view text) {
    RequireStoring();
    if (IsAscii(text)) {
        WriteLength(text.size());
        for (wchar_t c : text) m_buffer.push_back(static_cast<BYTE>(c));
        return;
    }
    const std::string ansi = ToAnsi(text);
    if (FromAnsi(ansi) == text) {
        WriteLength(ansi.size());
        Append(ansi.data(), ansi.size());
        return;
    }
    WriteByte(kLongLength);
    WriteWord(kWideMarker);
    WriteLength(text.size());
    for (wchar_t c : text) WriteWord(static_cast<WORD>(c));
}

void Archive::WriteFileTime(const FILETIME& time) {
    WriteDword(time.dwHighDateTime);
    WriteDword(time.dwLowDateTime);
}

void Archive::WriteVariant(const VARIANT& value) {
    const VARTYPE type = V_VT(&value);
    if (type == VT_DISPATCH || type == VT_UNKNOWN) {
        // An object cannot be stored by this program: an empty value keeps the file readable.
        WriteWord(VT_EMPTY);
        return;
    }
    WriteWord(type);
    switch (type) {
    case VT_I2: WriteWord(static_cast<WORD>(V_I2(&value))); break;
    case VT_BOOL: WriteWord(static_cast<WORD>(V_BOOL(&value))); break;
    case VT_I4: WriteDword(static_cast<DWORD>(V_I4(&value))); break;
    case VT_ERROR: WriteDword(static_cast<DWORD>(V_ERROR(&value))); break;
    case VT_R4: WriteFloat(V_R4(&value)); break;
    case VT_R8: WriteDouble(V_R8(&value)); break;
    case VT_DATE: WriteDouble(V_DATE(&value)); break;
    case VT_CY:
        WriteDword(V_CY(&value).Lo);
        WriteDword(static_cast<DWORD>(V_CY(&value).Hi));
        break;
    case VT_BSTR: {
        const BSTR s = V_BSTR(&value);
        const UINT bytes = s ? SysStringByteLen(s) : 0;
        WriteDword(bytes);
        Append(s, bytes);
        break;
    }
    case VT_UI1: WriteByte(V_UI1(&value)); break;
    default: break;  // only the type word
    }
}

BYTE Archive::ReadByte() { return *Take(1); }

WORD Archive::ReadWord() {
    const BYTE* p = Take(2);
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

DWORD Archive::ReadDword() {
    const BYTE* p = Take(4);
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

float Archive::ReadFloat() {
    const std::uint32_t bits = ReadDword();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double Archive::ReadDouble() {
    const std::uint64_t low = ReadDword();
    const std::uint64_t bits = low | (static_cast<std::uint64_t>(ReadDword()) << 32);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint64_t Archive::ReadLength() {
    const BYTE b = ReadByte();
    if (b < kLongLength) return b;
    const WORD w = ReadWord();
    if (w < kWideMarker) return w;
    if (w == kWideMarker) return kMarkerSeen;
    return ReadDword();
}

std::wstring Archive::ReadString() {
    std::uint64_t length = ReadLength();
    if (length != kMarkerSeen) {
        const BYTE* p = Take(length);
        if (length > static_cast<std::uint64_t>(INT_MAX)) {
            throw ArchiveFormatError("string too long");
        }
        const size_t n = static_cast<size_t>(length);
        if (std::all_of(p, p + n, [](BYTE b) { return b < 0x80; })) {
            return std::wstring(p, p + n);  // every ANSI code page agrees with ASCII
        }
        return FromAnsi(std::string_view(reinterpret_cast<const char*>(p), n));
    }
    length = ReadLength();
    if (length == kMarkerSeen) {
        throw ArchiveFormatError("wide-string marker repeated");
    }
    const BYTE* p = Take(length * 2);  // at most 2 * 0xFFFFFFFF: no overflow
    std::wstring text(static_cast<size_t>(length), L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<wchar_t>(p[2 * i] | (p[2 * i + 1] << 8));
    }
    return text;
}

FILETIME Archive::ReadFileTime() {
    FILETIME time;
    time.dwHighDateTime = ReadDword();
    time.dwLowDateTime = ReadDword();
    return time;
}

Variant Archive::ReadVariant() {
    const VARTYPE type = ReadWord();
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    switch (type) {
    case VT_I2: V_I2(&v) = static_cast<SHORT>(ReadWord()); break;
    case VT_BOOL: V_BOOL(&v) = static_cast<VARIANT_BOOL>(ReadWord()); break;
    case VT_I4: V_I4(&v) = ReadLong(); break;
    case VT_ERROR: V_ERROR(&v) = static_cast<SCODE>(ReadDword()); break;
    case VT_R4: V_R4(&v) = ReadFloat(); break;
    case VT_R8: V_R8(&v) = ReadDouble(); break;
    case VT_DATE: V_DATE(&v) = ReadDouble(); break;
    case VT_CY:
        V_CY(&v).Lo = ReadDword();
        V_CY(&v).Hi = ReadLong();
        break;
    case VT_BSTR: {
        const DWORD bytes = ReadDword();
        const BYTE* p = Take(bytes);
        BSTR s = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(p), bytes);
        if (s == nullptr) throw std::bad_alloc();
        V_BSTR(&v) = s;
        break;
    }
    case VT_UI1: V_UI1(&v) = ReadByte(); break;
    case VT_DISPATCH:
    case VT_UNKNOWN: throw ArchiveFormatError("persisted object in a value");
    default:
        if (!IsPlainZeroable(type)) {
            V_VT(&v) = VT_EMPTY;
            return Variant::Adopt(v);
        }
        break;
    }
    static_assert(VT_EMPTY == 0);
    V_VT(&v) = type;
    return Variant::Adopt(v);
}

void Archive::Skip(size_t count) { Take(count); }

DWORD Archive::ReadCount(size_t smallestElement) {
    const DWORD count = ReadDword();
    if (smallestElement != 0 && count > Remaining() / smallestElement) {
        m_position = m_size;
        throw ArchiveEndOfFile();
    }
    return count;
}

Archive::NestedRecord::NestedRecord(Archive& archive) : m_archive(archive) {
    if (m_archive.m_nesting >= kMaxNesting) {
        throw ArchiveFormatError("records nested too deeply");
    }
    ++m_archive.m_nesting;
}
