#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Archive.h"
#include "Text.h"
#include "TvfBuilder.h"

namespace {
std::vector<BYTE> Stored(void (*write)(Archive&)) {
    Archive a;
    write(a);
    return a.Bytes();
}

std::vector<BYTE> StringBytes(const std::wstring& text) {
    Archive a;
    a.WriteString(text);
    return a.Bytes();
}

std::vector<BYTE> VariantBytes(const Variant& v) {
    Archive a;
    a.WriteVariant(v.Ref());
    return a.Bytes();
}

std::wstring ReadStringFrom(const Bytes& b) {
    Archive a(b.data);
    std::wstring s = a.ReadString();
    EXPECT_EQ(0u, a.Remaining());
    return s;
}

bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    switch (V_VT(&a)) {
    case VT_EMPTY: return true;
    case VT_R8: return V_R8(&a) == V_R8(&b);
    case VT_R4: return V_R4(&a) == V_R4(&b);
    case VT_I4: return V_I4(&a) == V_I4(&b);
    case VT_I2: return V_I2(&a) == V_I2(&b);
    case VT_UI1: return V_UI1(&a) == V_UI1(&b);
    case VT_BOOL: return V_BOOL(&a) == V_BOOL(&b);
    case VT_CY: return V_CY(&a).int64 == V_CY(&b).int64;
    case VT_DATE: return V_DATE(&a) == V_DATE(&b);
    case VT_ERROR: return V_ERROR(&a) == V_ERROR(&b);
    case VT_BSTR:
        return SysStringByteLen(V_BSTR(&a)) == SysStringByteLen(V_BSTR(&b)) &&
               std::wstring(V_BSTR(&a), SysStringLen(V_BSTR(&a))) == std::wstring(V_BSTR(&b), SysStringLen(V_BSTR(&b)));
    default: return false;
    }
}

std::vector<BYTE> V(std::initializer_list<int> bytes) {
    std::vector<BYTE> out;
    for (int b : bytes) out.push_back(static_cast<BYTE>(b));
    return out;
}
}  // namespace

TEST(ArchiveTest, PrimitivesAreLittleEndianWithoutPadding) {
    const auto bytes = Stored([](Archive& a) {
        a.WriteByte(0xAB);
        a.WriteWord(0x1234);
        a.WriteDword(0x89ABCDEF);
        a.WriteBool(true);
        a.WriteDouble(1.6);
        a.WriteFileTime(FILETIME{0x11223344, 0x55667788});
    });
    EXPECT_EQ(V({0xAB, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 1, 0, 0, 0, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9,
                 0x3F, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}),
              bytes);
    Archive in(bytes);
    EXPECT_EQ(0xAB, in.ReadByte());
    EXPECT_EQ(0x1234, in.ReadWord());
    EXPECT_EQ(0x89ABCDEFu, in.ReadDword());
    EXPECT_TRUE(in.ReadBool());
    EXPECT_EQ(1.6, in.ReadDouble());
    const FILETIME t = in.ReadFileTime();
    EXPECT_EQ(0x11223344u, t.dwLowDateTime);
    EXPECT_EQ(0x55667788u, t.dwHighDateTime);
    EXPECT_THROW(in.ReadByte(), ArchiveEndOfFile);
}

TEST(ArchiveTest, BooleansReadTrueWhenNonZero) {
    Archive in(Bytes().U32(0).U32(2).U32(0x80000000).data);
    EXPECT_FALSE(in.ReadBool());
    EXPECT_TRUE(in.ReadBool());
    EXPECT_TRUE(in.ReadBool());
}

TEST(ArchiveTest, StringLengthPrefixes) {
    auto b = StringBytes(L"Level");
    EXPECT_EQ(V({5, 'L', 'e', 'v', 'e', 'l'}), b);
    b = StringBytes(L"Tank level");
    EXPECT_EQ(10, b[0]);
    EXPECT_EQ(11u, b.size());
    EXPECT_EQ(V({0}), StringBytes(L""));

    struct Case {
        size_t length;
        std::vector<BYTE> prefix;
    } cases[] = {
        {254, V({0xFE})},
        {255, V({0xFF, 0xFF, 0x00})},
        {300, V({0xFF, 0x2C, 0x01})},
        {65533, V({0xFF, 0xFD, 0xFF})},
        {65534, V({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
        {70000, V({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
    };
    for (const Case& c : cases) {
        const std::wstring text(c.length, L'x');
        b = StringBytes(text);
        ASSERT_EQ(c.prefix.size() + c.length, b.size()) << c.length;
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), b.begin())) << c.length;
        EXPECT_EQ('x', b.back());
        Archive in(b);
        EXPECT_EQ(text, in.ReadString()) << c.length;
        EXPECT_EQ(0u, in.Remaining());
    }
}

TEST(ArchiveTest, ReaderTakesTheWideStringForm) {
    EXPECT_EQ(L"ab", ReadStringFrom(Bytes().U8(0xFF).U16(0xFFFE).U8(2).U16('a').U16('b')));
    // The wide form with a long prefix, and text no single-byte code page holds.
    const std::wstring long300(300, L'\x4E2D');
    EXPECT_EQ(long300, ReadStringFrom(Bytes().WideStr(long300)));
    EXPECT_EQ(L"", ReadStringFrom(Bytes().WideStr(L"")));
    // A short form the writer never makes (255 and above only) still reads.
    EXPECT_EQ(L"abc", ReadStringFrom(Bytes().U8(0xFF).U16(3).U8('a').U8('b').U8('c')));
}

TEST(ArchiveTest, TextTheCodePageCannotHoldIsWrittenWide) {
    const std::wstring text = L"Tank \x6C34\x4F4D \x03A9";  // CJK and Greek: not in one Western code page
    const std::vector<BYTE> b = StringBytes(text);
    if (FromAnsi(ToAnsi(text)) != text) {
        Bytes expected;
        expected.WideStr(text);
        EXPECT_EQ(expected.data, b);
    }
    Archive in(b);
    EXPECT_EQ(text, in.ReadString());

    // Text the code page holds goes out as single bytes.
    const std::wstring accented = L"Temp\x00E9rature";
    const std::string ansi = ToAnsi(accented);
    if (FromAnsi(ansi) == accented) {
        Bytes expected;
        expected.Length(ansi.size());
        expected.data.insert(expected.data.end(), ansi.begin(), ansi.end());
        EXPECT_EQ(expected.data, StringBytes(accented));
    }
    Archive in2(StringBytes(accented));
    EXPECT_EQ(accented, in2.ReadString());
}

TEST(ArchiveTest, MalformedStringsRaiseWithoutAllocating) {
    // Lengths far past the data end the archive before anything is taken.
    Archive huge(Bytes().U8(0xFF).U16(0xFFFF).U32(0xFFFFFFFF).U8('a').data);
    EXPECT_THROW(huge.ReadString(), ArchiveEndOfFile);
    Archive hugeWide(Bytes().U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFF).U32(0x80000000).data);
    EXPECT_THROW(hugeWide.ReadString(), ArchiveEndOfFile);
    // A wide string whose units are cut in half.
    Archive odd(Bytes().U8(0xFF).U16(0xFFFE).U8(3).U16('a').U16('b').U8('c').data);
    EXPECT_THROW(odd.ReadString(), ArchiveEndOfFile);
    // The marker again where the length belongs.
    Archive nested(Bytes().U8(0xFF).U16(0xFFFE).U8(0xFF).U16(0xFFFE).U8(1).U16('a').data);
    EXPECT_THROW(nested.ReadString(), ArchiveFormatError);
    // Prefixes cut short.
    for (const Bytes& cut : {Bytes(), Bytes().U8(0xFF), Bytes().U8(0xFF).U8(0xFF), Bytes().U8(0xFF).U16(0xFFFF).U16(1),
                             Bytes().U8(0xFF).U16(0xFFFE), Bytes().U8(4).U8('a')}) {
        Archive a(cut.data);
        EXPECT_THROW(a.ReadString(), ArchiveEndOfFile);
    }
}

TEST(ArchiveTest, VariantEncodings) {
    auto r8 = VariantBytes(Variant::FromDouble(2.5));
    EXPECT_EQ(Bytes().U16(5).F64(2.5).data, r8);
    EXPECT_EQ(V({0x0B, 0x00, 0xFF, 0xFF}), VariantBytes(Variant::FromBool(true)));
    EXPECT_EQ(V({0x0B, 0x00, 0x00, 0x00}), VariantBytes(Variant::FromBool(false)));
    EXPECT_EQ(V({0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00}), VariantBytes(Variant::FromString(L"ab")));
    EXPECT_EQ(V({0x00, 0x00}), VariantBytes(Variant()));
    EXPECT_EQ(V({0x08, 0x00, 0, 0, 0, 0}), VariantBytes(Variant::FromString(L"")));
    EXPECT_EQ(V({0x11, 0x00, 0xFE}), VariantBytes(Variant::FromByte(0xFE)));
    EXPECT_EQ(V({0x02, 0x00, 0xFE, 0xFF}), VariantBytes(Variant::FromShort(-2)));
    EXPECT_EQ(V({0x03, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}), VariantBytes(Variant::FromLong(-2)));
    EXPECT_EQ(Bytes().U16(4).F32(1.25f).data, VariantBytes(Variant::FromFloat(1.25f)));

    Variant cy;
    V_VT(cy.Get()) = VT_CY;
    V_CY(cy.Get()).int64 = 0x0000000200000001LL;
    EXPECT_EQ(V({0x06, 0x00, 1, 0, 0, 0, 2, 0, 0, 0}), VariantBytes(cy));

    // Types without data bytes: only the type word.
    Variant ui4;
    V_VT(ui4.Get()) = VT_UI4;
    V_UI4(ui4.Get()) = 77;
    EXPECT_EQ(V({0x13, 0x00}), VariantBytes(ui4));
    Variant i1;
    V_VT(i1.Get()) = VT_I1;
    V_I1(i1.Get()) = 5;
    EXPECT_EQ(V({0x10, 0x00}), VariantBytes(i1));
}

TEST(ArchiveTest, VariantsReadBackByType) {
    Variant cy;
    V_VT(cy.Get()) = VT_CY;
    V_CY(cy.Get()).int64 = -123456789012LL;
    Variant date;
    V_VT(date.Get()) = VT_DATE;
    V_DATE(date.Get()) = 45000.25;
    Variant error;
    V_VT(error.Get()) = VT_ERROR;
    V_ERROR(error.Get()) = E_FAIL;
    const Variant values[] = {Variant(), Variant::FromDouble(-1e300), Variant::FromFloat(3.5f),
                              Variant::FromLong(-100000), Variant::FromShort(-7), Variant::FromByte(200),
                              Variant::FromBool(true), Variant::FromString(L"Tank \x6C34 level"), cy, date, error};
    Archive out;
    for (const Variant& v : values) out.WriteVariant(v.Ref());
    Archive in(out.Bytes());
    for (const Variant& v : values) {
        const Variant back = in.ReadVariant();
        ASSERT_EQ(v.Type(), back.Type());
        EXPECT_TRUE(SameValue(v.Ref(), back.Ref())) << v.Type();
    }
    EXPECT_EQ(0u, in.Remaining());
}

TEST(ArchiveTest, VariantsWithoutDataReadAsZeroOrEmpty) {
    Archive in(Bytes().U16(VT_UI4).U16(VT_UI2).U16(VT_I1).U16(VT_INT).U16(VT_BYREF | VT_I4).U16(VT_ARRAY | VT_R8)
                   .U16(VT_VARIANT).U16(0x7FFF).U16(VT_NULL).U8(0x42)
                   .data);
    Variant v = in.ReadVariant();
    EXPECT_EQ(VT_UI4, v.Type());
    EXPECT_EQ(0u, V_UI4(v.Get()));
    EXPECT_EQ(VT_UI2, in.ReadVariant().Type());
    EXPECT_EQ(VT_I1, in.ReadVariant().Type());
    EXPECT_EQ(VT_INT, in.ReadVariant().Type());
    // References and arrays have no data behind them: they load empty, so
    // that no conversion ever follows a null pointer.
    for (int i = 0; i < 4; ++i) {
        v = in.ReadVariant();
        EXPECT_EQ(VT_EMPTY, v.Type());
        EXPECT_TRUE(SUCCEEDED(v.ChangeType(VT_R8)));
    }
    EXPECT_EQ(VT_NULL, in.ReadVariant().Type());
    EXPECT_EQ(0x42, in.ReadByte());  // none of them took a data byte
}

TEST(ArchiveTest, MalformedVariantsRaise) {
    Archive object(Bytes().U16(VT_DISPATCH).U32(0).data);
    EXPECT_THROW(object.ReadVariant(), ArchiveFormatError);
    Archive unknown(Bytes().U16(VT_UNKNOWN).data);
    EXPECT_THROW(unknown.ReadVariant(), ArchiveFormatError);
    Archive hugeBstr(Bytes().U16(VT_BSTR).U32(0xFFFFFFFF).U16('a').data);
    EXPECT_THROW(hugeBstr.ReadVariant(), ArchiveEndOfFile);
    Archive shortR8(Bytes().U16(VT_R8).U32(0).data);
    EXPECT_THROW(shortR8.ReadVariant(), ArchiveEndOfFile);
    // An odd byte count is taken as it stands.
    Archive oddBstr(Bytes().U16(VT_BSTR).U32(3).U8('a').U8(0).U8('b').data);
    const Variant v = oddBstr.ReadVariant();
    ASSERT_EQ(VT_BSTR, v.Type());
    EXPECT_EQ(3u, SysStringByteLen(V_BSTR(&v.Ref())));
    EXPECT_EQ(0u, oddBstr.Remaining());
}

TEST(ArchiveTest, ObjectsAreStoredAsEmptyValues) {
    Variant object;
    V_VT(object.Get()) = VT_UNKNOWN;
    V_UNKNOWN(object.Get()) = nullptr;
    EXPECT_EQ(V({0, 0}), VariantBytes(object));
}

TEST(ArchiveTest, ArchivesWorkInOneDirectionOnly) {
    Archive out;
    EXPECT_TRUE(out.IsStoring());
    EXPECT_THROW(out.ReadByte(), std::logic_error);
    Archive in(std::vector<BYTE>{1});
    EXPECT_TRUE(in.IsLoading());
    EXPECT_THROW(in.WriteByte(1), std::logic_error);
    Archive none(nullptr, 10);
    EXPECT_EQ(0u, none.Remaining());
    EXPECT_THROW(none.ReadByte(), ArchiveEndOfFile);
}
