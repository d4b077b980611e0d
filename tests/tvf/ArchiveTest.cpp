#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Archive.h"
#include "Text.h"
#include "TvfBuilder.h"

namespace {
std::vector<BYTE> Written(const std::wstring& text) {
    Archive a;
    a.WriteString(text);
    return a.Bytes();
}

std::vector<BYTE> Written(const Variant& v) {
    Archive a;
    a.WriteVariant(v.Ref());
    return a.Bytes();
}

Variant Make(VARTYPE type, LONGLONG bits) {
    VARIANT v{};
    V_VT(&v) = type;
    V_I8(&v) = bits;
    return Variant::Adopt(v);
}
}  // namespace

// The byte layout of the primitives is checked through whole files
// (ConfigurationTest); what those never hold is here.
TEST(ArchiveTest, ABoolIsAnyNonZeroDwordAndAReadingArchiveRefusesWrites) {
    Archive in(Bytes().U32(2).data);
    EXPECT_TRUE(in.ReadBool());
    EXPECT_THROW(in.ReadByte(), ArchiveEndOfFile);
    EXPECT_THROW(in.WriteByte(1), std::logic_error);
}

TEST(ArchiveTest, StringLengthPrefixes) {
    EXPECT_EQ((std::vector<BYTE>{5, 'L', 'e', 'v', 'e', 'l'}), Written(L"Level"));
    EXPECT_EQ(10, Written(L"Tank level")[0]);
    const std::pair<size_t, std::vector<BYTE>> cases[] = {
        {0, {0}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {300, {0xFF, 0x2C, 0x01}},
        {65533, {0xFF, 0xFD, 0xFF}},
        {65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
    };
    for (const auto& [length, prefix] : cases) {
        const std::wstring text(length, L'x');
        const std::vector<BYTE> b = Written(text);
        ASSERT_EQ(prefix.size() + length, b.size()) << length;
        EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), b.begin())) << length;
        Archive in(b);
        EXPECT_EQ(text, in.ReadString()) << length;
        EXPECT_EQ(0u, in.Remaining());
    }
}

TEST(ArchiveTest, WideStringForm) {
    Archive in(Bytes().U8(0xFF).U16(0xFFFE).U8(2).U16('a').U16('b').WideStr(std::wstring(300, L'\x4E2D')).data);
    EXPECT_EQ(L"ab", in.ReadString());
    EXPECT_EQ(std::wstring(300, L'\x4E2D'), in.ReadString());
    // Text the code page cannot hold is written in the wide form; text it holds, in single bytes.
    for (const std::wstring text : {L"Tank \x6C34\x4F4D \x03A9", L"Temp\x00E9rature"}) {
        const std::string ansi = ToAnsi(text);
        Bytes expected;
        if (FromAnsi(ansi) == text) {
            expected.Length(ansi.size()).data.insert(expected.data.end(), ansi.begin(), ansi.end());
        } else {
            expected.WideStr(text);
        }
        EXPECT_EQ(expected.data, Written(text));
        Archive back(Written(text));
        EXPECT_EQ(text, back.ReadString());
    }
}

TEST(ArchiveTest, MalformedStringsRaiseBeforeTakingAnything) {
    const Bytes endOfFile[] = {
        Bytes().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U8('a'),               // 4 GiB
        Bytes().U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFF).U32(0x80000000),  // 2^31 units
        Bytes().U8(0xFF).U16(0xFFFE).U8(3).U16('a').U16('b').U8('c'),       // an odd byte count
        Bytes(),
        Bytes().U8(0xFF).U8(0xFF),
        Bytes().U8(0xFF).U16(0xFFFE),
        Bytes().U8(4).U8('a'),
    };
    for (const Bytes& b : endOfFile) {
        Archive a(b.data);
        EXPECT_THROW(a.ReadString(), ArchiveEndOfFile);
    }
    Archive nested(Bytes().U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFE).U8(1).U16('a').data);
    EXPECT_THROW(nested.ReadString(), ArchiveFormatError);
}

// Double, true, text, short, long and float values are in whole files (ConfigurationTest).
TEST(ArchiveTest, VariantEncodingsWriteAndReadBack) {
    const std::pair<Variant, Bytes> cases[] = {
        {Variant::FromBool(false), Bytes().U16(0x0B).U16(0)},
        {Variant::FromString(L""), Bytes().U16(8).U32(0)},
        {Variant(), Bytes().U16(0)},
        {Variant::FromByte(0xFE), Bytes().U16(0x11).U8(0xFE)},
        {Make(VT_CY, 0x0000000200000001LL), Bytes().U16(6).U32(1).U32(2)},
        {Make(VT_ERROR, static_cast<LONG>(E_FAIL)), Bytes().U16(10).U32(static_cast<std::uint32_t>(E_FAIL))},
        {Make(VT_DATE, 0x40E5F8C000000000LL), Bytes().U16(7).U32(0).U32(0x40E5F8C0)},
        {Make(VT_UI4, 0), Bytes().U16(0x13)},  // types 18 and above: the type word alone
        {Make(VT_I1, 0), Bytes().U16(0x10)},
    };
    for (const auto& [value, bytes] : cases) {
        EXPECT_EQ(bytes.data, Written(value)) << value.Type();
        Archive in(bytes.data);
        const Variant back = in.ReadVariant();
        EXPECT_EQ(value.Type(), back.Type());
        EXPECT_EQ(bytes.data, Written(back)) << value.Type();
        EXPECT_EQ(0u, in.Remaining());
    }
    EXPECT_EQ(Bytes().U16(0x13).data, Written(Make(VT_UI4, 77)));  // the value is not kept
}

TEST(ArchiveTest, UnusableVariantsLoadEmptyOrRaise) {
    // References and arrays have no data behind them: they load empty, so no
    // conversion ever follows a null pointer; none takes a data byte.
    Archive in(Bytes().U16(VT_BYREF | VT_I4).U16(VT_ARRAY | VT_R8).U16(VT_VARIANT).U16(0x7FFF).U8(0x42).data);
    for (int i = 0; i < 4; ++i) {
        Variant v = in.ReadVariant();
        EXPECT_EQ(VT_EMPTY, v.Type());
        EXPECT_TRUE(SUCCEEDED(v.ChangeType(VT_R8)));
    }
    EXPECT_EQ(0x42, in.ReadByte());
    for (VARTYPE object : {VT_DISPATCH, VT_UNKNOWN}) {
        Archive a(Bytes().U16(object).U32(0).data);
        EXPECT_THROW(a.ReadVariant(), ArchiveFormatError);
        EXPECT_EQ(Bytes().U16(VT_EMPTY).data, Written(Make(object, 0)));  // never written as an object
    }
    Archive huge(Bytes().U16(VT_BSTR).U32(0xFFFFFFFF).U16('a').data);
    EXPECT_THROW(huge.ReadVariant(), ArchiveEndOfFile);
    Archive odd(Bytes().U16(VT_BSTR).U32(3).U8('a').U8(0).U8('b').data);
    const Variant v = odd.ReadVariant();
    EXPECT_EQ(3u, SysStringByteLen(V_BSTR(&v.Ref())));
}
