#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RegIO.h"
#include "ScratchKey.h"

namespace {
bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
}  // namespace

TEST(RegIOTest, DoubledAndTrailingBackslashesOpenTheSameKey) {
    ScratchKey scratch;
    scratch.SetDword(L"Marker", 42, L"A\\B");
    RegIO io;
    ASSERT_TRUE(io.Open(L"\\" + scratch.Path() + L"\\\\A\\\\\\B\\\\", true));
    std::uint32_t marker = 0;
    EXPECT_TRUE(io.ReadUInt(L"Marker", marker));
    EXPECT_EQ(42u, marker);
    EXPECT_EQ(scratch.Path() + L"\\A\\B\\", io.GetKeyPath());
}

TEST(RegIOTest, RootNamesAreExactAndOnlyTreeRootsOpen) {
    RegIO io;
    for (const wchar_t* refused : {L"hkey_current_user\\Software", L"HKEY_PERFORMANCE_DATA", L"HKEY_NOWHERE\\Software",
                                   L"", L"\\\\", L"HKEY_CURRENT_USER\\Software\\Tovi Missing\\Deeper"}) {
        ASSERT_TRUE(io.Open(L"HKEY_CURRENT_USER", true));  // a root alone opens the root
        EXPECT_EQ(L"HKEY_CURRENT_USER\\", io.GetKeyPath());
        EXPECT_FALSE(io.Open(refused, true));
        EXPECT_FALSE(io.IsOpen()) << "a failed open leaves the object closed";
        EXPECT_EQ(L"", io.GetKeyPath());
    }
    std::uint32_t untouched = 7;
    EXPECT_FALSE(io.ReadUInt(L"Anything", untouched));
    EXPECT_EQ(7u, untouched);
    EXPECT_FALSE(io.WriteUInt(L"Anything", 1));
    ASSERT_TRUE(io.Open(L"HKEY_CURRENT_USER", true));
    EXPECT_TRUE(io.SubKeyExists(L"Software"));

    EXPECT_EQ(HKEY_USERS, RegIO::RootFromName(L"  HKEY_USERS\\\\ "));
    EXPECT_EQ(HKEY_PERFORMANCE_DATA, RegIO::RootFromName(L"HKEY_PERFORMANCE_DATA"));
    EXPECT_EQ(HKEY_CURRENT_USER, RegIO::RootFromName(L"hkey_local_machine"));
    EXPECT_EQ(HKEY_CURRENT_USER, RegIO::RootFromName(L""));
    EXPECT_EQ(L"HKEY_DYN_DATA", RegIO::RootName(HKEY_DYN_DATA));
    EXPECT_EQ(L"", RegIO::RootName(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234))));
}

TEST(RegIOTest, TypedReadsNeedAFittingTypeAndLeaveTheTargetOtherwise) {
    ScratchKey scratch;
    scratch.SetText(L"Text", L"1");
    scratch.SetDword(L"Number", 7);
    const BYTE twelve[12] = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 9, 9, 9, 9};  // 1.5 then 4 more bytes
    scratch.SetRaw(L"Twelve", REG_BINARY, twelve, sizeof twelve);
    const BYTE four[4] = {1, 2, 3, 4};
    scratch.SetRaw(L"Four", REG_BINARY, four, sizeof four);
    scratch.SetRaw(L"ShortNumber", REG_DWORD, four, 2);

    RegIO io;
    ASSERT_TRUE(io.Open(scratch.Path(), true));
    bool flag = false;
    EXPECT_FALSE(io.ReadBool(L"Text", flag));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(io.ReadBool(L"Number", flag));
    EXPECT_TRUE(flag);
    std::uint32_t number = 99;
    EXPECT_FALSE(io.ReadUInt(L"ShortNumber", number));
    EXPECT_FALSE(io.ReadUInt(L"Missing", number));
    EXPECT_EQ(99u, number);
    std::wstring text = L"keep";
    EXPECT_FALSE(io.ReadText(L"Number", text));
    EXPECT_EQ(L"keep", text);
    EXPECT_TRUE(io.ReadText(L"text", text));  // names ignore case
    EXPECT_EQ(L"1", text);

    RECT rect{1, 2, 3, 4};
    EXPECT_FALSE(io.ReadRect(L"Twelve", rect));
    EXPECT_TRUE(SameRect(RECT{1, 2, 3, 4}, rect));
    double value = -1;
    EXPECT_TRUE(io.ReadDouble(L"Twelve", value));
    EXPECT_EQ(1.5, value);
    value = -1;
    EXPECT_FALSE(io.ReadDouble(L"Four", value));
    EXPECT_FALSE(io.ReadDouble(L"Number", value));
    EXPECT_EQ(-1, value);
}

TEST(RegIOTest, WritesStoreTheDocumentedLayouts) {
    ScratchKey scratch;
    RegIO io;
    ASSERT_TRUE(io.Open(scratch.Path(), false));
    ASSERT_TRUE(io.WriteBool(L"Flag", true));
    ASSERT_TRUE(io.WriteUInt(L"Number", 0x12345678u));
    ASSERT_TRUE(io.WriteDouble(L"Fraction", 0.25));
    ASSERT_TRUE(io.WriteRect(L"Place", RECT{-10, 20, 300, -4}));
    ASSERT_TRUE(io.WriteText(L"Text", L"Grüße"));

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(scratch.GetRaw(L"Flag", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ((std::vector<BYTE>{1, 0, 0, 0}), data);
    ASSERT_TRUE(scratch.GetRaw(L"Number", type, data));
    EXPECT_EQ((std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}), data);
    ASSERT_TRUE(scratch.GetRaw(L"Fraction", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0, 0, 0, 0xD0, 0x3F}), data);
    ASSERT_TRUE(scratch.GetRaw(L"Place", type, data));
    EXPECT_EQ((std::vector<BYTE>{0xF6, 0xFF, 0xFF, 0xFF, 20, 0, 0, 0, 0x2C, 1, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF}), data);
    ASSERT_TRUE(scratch.GetRaw(L"Text", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(12u, data.size());  // five UTF-16 characters and the terminator

    RegIO reader;
    ASSERT_TRUE(reader.Open(scratch.Path(), true));
    RECT place{};
    ASSERT_TRUE(reader.ReadRect(L"Place", place));
    EXPECT_TRUE(SameRect(RECT{-10, 20, 300, -4}, place));
    std::wstring text;
    ASSERT_TRUE(reader.ReadText(L"Text", text));
    EXPECT_EQ(L"Grüße", text);
}

TEST(RegIOTest, ValuesAreLimitedTo2550Bytes) {
    ScratchKey scratch;
    const std::wstring longText(2000, L'x');
    const std::wstring fits(1274, L'y');  // with its terminator exactly 2,550 bytes
    {
        RegIO io;
        ASSERT_TRUE(io.Open(scratch.Path(), false));
        ASSERT_TRUE(io.WriteText(L"Long", longText));
        ASSERT_TRUE(io.WriteText(L"Fits", fits));
    }
    const std::vector<BYTE> tooBig(2552, 0x41);
    scratch.SetRaw(L"TooBig", REG_BINARY, tooBig.data(), static_cast<DWORD>(tooBig.size()));
    scratch.SetRaw(L"AtLimit", REG_BINARY, tooBig.data(), 2550);

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(scratch.GetRaw(L"Long", type, data));
    EXPECT_EQ(2550u, data.size());

    RegIO io;
    ASSERT_TRUE(io.Open(scratch.Path(), true));
    std::wstring text;
    ASSERT_TRUE(io.ReadText(L"Long", text));
    EXPECT_EQ(longText.substr(0, 1274), text) << "cut so that the terminator still fits";
    ASSERT_TRUE(io.ReadText(L"Fits", text));
    EXPECT_EQ(fits, text);
    RegValue value(L"AtLimit");
    ASSERT_TRUE(io.QueryValue(value));
    EXPECT_EQ(2550u, value.Size());
    value = RegValue(L"TooBig");
    EXPECT_FALSE(io.ValueExists(L"TooBig"));
    EXPECT_FALSE(io.QueryValue(value));
}

TEST(RegIOTest, EnumerationsListTheUnnamedValueFirstOnceAndSortOnRequest) {
    ScratchKey scratch;
    scratch.SetDword(L"b", 2);
    scratch.SetDword(L"C", 3);
    scratch.SetDword(L"a", 1);
    scratch.SetText(L"", L"unnamed");
    RegIO io;
    ASSERT_TRUE(io.Open(scratch.Path(), true));
    std::vector<RegValue> values;
    io.EnumValues(values, false);
    ASSERT_EQ(4u, values.size());
    EXPECT_EQ(L"", values[0].Name());
    std::wstring text;
    EXPECT_TRUE(values[0].GetText(text));
    EXPECT_EQ(L"unnamed", text);

    io.EnumValues(values, true);
    ASSERT_EQ(4u, values.size());
    std::vector<std::wstring> names;
    for (const auto& v : values) names.push_back(v.Name());
    EXPECT_EQ((std::vector<std::wstring>{L"", L"C", L"a", L"b"}), names);

    RegValue unnamed(L"");
    ASSERT_TRUE(io.QueryValue(unnamed));
    EXPECT_TRUE(unnamed == values[0]);
    EXPECT_TRUE(io.ValueExists(L"A"));

    for (const wchar_t* name : {L"b", L"A", L"C"}) scratch.CreateKey(name);
    std::vector<std::wstring> keys{L"stale"};
    io.EnumSubKeys(keys, true);
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"C", L"b"}), keys);
}

// Removing the subtree itself is the platform's; the path and the refusals are ours.
TEST(RegIOTest, DeleteSubKeyRemovesOnlyANamedExistingSubKey) {
    ScratchKey scratch;
    scratch.SetDword(L"v", 1, L"Top\\Mid\\Low");
    scratch.CreateKey(L"Top\\Second");
    RegIO io;
    ASSERT_TRUE(io.Open(scratch.Path(), false));
    EXPECT_FALSE(io.DeleteSubKey(L"Missing"));
    EXPECT_FALSE(io.DeleteSubKey(L""));  // the current key is no subkey of itself
    EXPECT_TRUE(scratch.Exists());
    EXPECT_TRUE(io.DeleteSubKey(L"Top\\\\Mid\\"));
    EXPECT_FALSE(io.SubKeyExists(L"Top\\Mid"));
    EXPECT_TRUE(io.SubKeyExists(L"Top\\Second"));
}

TEST(RegIOTest, FindListsEveryKeyHoldingTheValue) {
    ScratchKey scratch;
    scratch.SetDword(L"Target", 1);
    scratch.SetDword(L"target", 2, L"A\\B");
    scratch.SetDword(L"Else", 3, L"C");
    RegIO io;
    ASSERT_TRUE(io.Open(scratch.Path(), true));
    std::vector<std::wstring> paths;
    ASSERT_TRUE(io.Find(L"Target", paths));
    EXPECT_EQ((std::vector<std::wstring>{scratch.Path() + L"\\", scratch.Path() + L"\\A\\B\\"}), paths);
    EXPECT_EQ(scratch.Path() + L"\\", io.GetKeyPath()) << "the search returns to where it started";

    EXPECT_FALSE(io.Find(L"Nothing", paths));
    EXPECT_TRUE(paths.empty());
}

TEST(RegIOTest, CreateMakesTheMissingKeysAndStaysOpenOnTheLast) {
    ScratchKey scratch;
    RegIO io;
    ASSERT_TRUE(io.Create(scratch.Path() + L"\\One\\Two\\Three"));
    EXPECT_TRUE(scratch.Exists(L"One\\Two\\Three"));
    EXPECT_EQ(scratch.Path() + L"\\One\\Two\\Three\\", io.GetKeyPath());
    ASSERT_TRUE(io.WriteUInt(L"Here", 3));
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_TRUE(scratch.GetRaw(L"Here", type, data, L"One\\Two\\Three"));

    ASSERT_TRUE(io.Create(scratch.Path() + L"\\One"));  // existing keys: nothing to create
    EXPECT_EQ(scratch.Path() + L"\\One\\", io.GetKeyPath());
    EXPECT_FALSE(io.Create(L"HKEY_NOWHERE\\Key"));
    EXPECT_FALSE(io.IsOpen());
}

TEST(RegValueTest, EqualityIgnoresNameCaseButNotDataAndOrderIsCaseSensitive) {
    EXPECT_TRUE(RegValue::FromUInt(L"Poll", 5) == RegValue::FromUInt(L"POLL", 5));
    EXPECT_FALSE(RegValue::FromUInt(L"Poll", 5) == RegValue::FromUInt(L"Poll", 6));
    EXPECT_TRUE(RegValue::FromUInt(L"Poll", 1) == RegValue::FromBool(L"Poll", true));
    EXPECT_FALSE(RegValue::FromUInt(L"Poll", 1) == RegValue::FromText(L"Poll", L"1"));
    EXPECT_TRUE(RegValue(L"B") < RegValue(L"a"));
    EXPECT_FALSE(RegValue(L"a") < RegValue(L"B"));
    const RegValue empty;
    EXPECT_EQ(0u, empty.Size());
    EXPECT_EQ(0u, empty.Type());
}
