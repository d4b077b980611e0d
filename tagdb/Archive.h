#pragma once
// The configuration file's byte stream: little-endian fields written one after
// the other, with no padding. A storing archive appends to a growing buffer; a
// loading archive reads bytes held in memory and raises ArchiveEndOfFile when
// a field would run past their end. No read allocates before it has checked
// that the bytes it is about to take are there.
#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ArchiveError.h"
#include "Variant.h"

class OPCS_TagGroup;

class Archive {
public:
    // A storing archive over an empty buffer.
    Archive();
    // A loading archive that owns the bytes.
    explicit Archive(std::vector<BYTE> bytes);
    // A loading archive over the caller's bytes, which must outlive it.
    Archive(const BYTE* data, size_t size);
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    bool IsStoring() const noexcept { return m_storing; }
    bool IsLoading() const noexcept { return !m_storing; }

    void WriteByte(BYTE value);
    void WriteWord(WORD value);
    void WriteDword(DWORD value);
    void WriteLong(LONG value) { WriteDword(static_cast<DWORD>(value)); }
    void WriteBool(bool value) { WriteDword(value ? 1 : 0); }
    void WriteFloat(float value);
    void WriteDouble(double value);
    // The text in the ANSI code page; text the code page cannot carry without
    // loss is written in the wide form, which every reader of the format takes.
    void WriteString(std::wstring_view text);
    void WriteFileTime(const FILETIME& time);
    void WriteVariant(const VARIANT& value);

    BYTE ReadByte();
    WORD ReadWord();
    DWORD ReadDword();
    LONG ReadLong() { return static_cast<LONG>(ReadDword()); }
    bool ReadBool() { return ReadDword() != 0; }
    float ReadFloat();
    double ReadDouble();
    std::wstring ReadString();
    FILETIME ReadFileTime();
    Variant ReadVariant();
    void Skip(size_t count);
    // A DWORD count of elements that each take at least smallestElement
    // bytes; a count the remaining bytes cannot hold is the end of the data.
    DWORD ReadCount(size_t smallestElement);

    // Marks one level of nested group records for its lifetime. A level past
    // kMaxNesting raises ArchiveFormatError, so that no file can drive the
    // recursion of the readers (or of the tree's own walks) past the stack.
    static constexpr size_t kMaxNesting = 512;
    class NestedRecord {
    public:
        explicit NestedRecord(Archive& archive);
        ~NestedRecord() { --m_archive.m_nesting; }
        NestedRecord(const NestedRecord&) = delete;
        NestedRecord& operator=(const NestedRecord&) = delete;

    private:
        Archive& m_archive;
    };

    // Storing: the bytes written so far.
    const std::vector<BYTE>& Bytes() const noexcept { return m_buffer; }
    std::vector<BYTE> TakeBytes() noexcept { return std::move(m_buffer); }
    // Loading: where the next field starts and how many bytes are left.
    size_t Position() const noexcept { return m_position; }
    size_t Remaining() const noexcept { return m_size - m_position; }
    // Loading: records a list reader gave up (unreadable, or a name clash).
    void NoteDroppedRecord() noexcept { ++m_droppedRecords; }
    size_t DroppedRecords() const noexcept { return m_droppedRecords; }
    // Loading: a child adopted under another name, its own being an earlier
    // sibling's or reserved; `parent` is the group it went into.
    struct ChildRename {
        OPCS_TagGroup* parent;
        bool tag;
        bool reserved;
        std::wstring from;
        std::wstring to;
    };
    void NoteChildRename(ChildRename rename) { m_childRenames.push_back(std::move(rename)); }
    const std::vector<ChildRename>& ChildRenames() const noexcept { return m_childRenames; }

private:
    void Append(const void* bytes, size_t count);
    const BYTE* Take(std::uint64_t count);
    void WriteLength(std::uint64_t length);
    std::uint64_t ReadLength();
    void RequireStoring() const;
    void RequireLoading() const;

    bool m_storing;
    std::vector<BYTE> m_buffer;  // storing: the output; loading: owned input, if any
    const BYTE* m_data = nullptr;
    size_t m_size = 0;
    size_t m_position = 0;
    size_t m_droppedRecords = 0;
    std::vector<ChildRename> m_childRenames;
    size_t m_nesting = 0;
};
