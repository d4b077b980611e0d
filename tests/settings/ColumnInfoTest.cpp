#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "ColumnInfo.h"

namespace {
const wchar_t kDefaultText[] =
    L"Name,0,0,165,F,T,T,T,Value,1,1,80,F,T,T,F,Quality,2,2,65,F,T,T,F,Last Updated,3,3,150,F,T,T,F,"
    L"Mode,4,4,80,F,T,T,T,Id,5,5,20,T,T,F,T,Description,6,8,5000,F,T,T,T,Alarm,7,6,110,F,T,T,F,"
    L"History,8,7,60,F,T,T,T";
// A layout of the eight columns before the history's.
const wchar_t kEightColumns[] =
    L"Name,0,0,165,F,T,T,T,Value,1,1,80,F,T,T,F,Quality,2,2,65,F,T,T,F,Last Updated,3,3,150,F,T,T,F,"
    L"Mode,4,4,80,F,T,T,T,Id,5,5,20,T,T,F,T,Description,6,7,5000,F,T,T,T,Alarm,7,6,110,F,T,T,F";
// A layout of the seven columns before the alarm's.
const wchar_t kSevenColumns[] =
    L"Name,0,0,165,F,T,T,T,Value,1,1,80,F,T,T,F,Quality,2,2,65,F,T,T,F,Last Updated,3,3,150,F,T,T,F,"
    L"Mode,4,4,80,F,T,T,T,Id,5,5,20,T,T,F,T,Description,6,6,5000,F,T,T,T";

ColumnArray Parsed(const std::wstring& text) {
    ColumnArray columns = DefaultColumns();
    EXPECT_TRUE(ParseColumnInfo(text, columns)) << "text did not parse";
    return columns;
}

// The default text with one field replaced (fields counted from 0).
std::wstring WithField(size_t index, const std::wstring& replacement) {
    std::wstring text = kDefaultText;
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) start = text.find(L',', start) + 1;
    const size_t end = text.find(L',', start);
    return text.replace(start, end == std::wstring::npos ? std::wstring::npos : end - start, replacement);
}
}  // namespace

TEST(ColumnInfoTest, DefaultsFormatAndParseBack) {
    EXPECT_EQ(kDefaultText, FormatColumnInfo(DefaultColumns()));
    ColumnArray changed = DefaultColumns();
    changed[1].name = L"Current Value";
    changed[1].width = 123;
    changed[1].sortAscending = false;
    changed[6].visible = false;
    EXPECT_EQ(changed, Parsed(FormatColumnInfo(changed)));
}

// Headings holding the separator or the escape character survive a save and
// the next start, in every column and next to each other.
TEST(ColumnInfoTest, HeadingsWithSeparatorsAndBackslashesParseBack) {
    const std::wstring headings[] = {L"Value, raw", L",", L",,", L"a\\b", L"\\", L"ends\\", L"\\,", L",\\,x", L"T"};
    for (size_t column = 0; column < kColumnCount; ++column) {
        for (const std::wstring& heading : headings) {
            ColumnArray changed = DefaultColumns();
            changed[column].name = heading;
            changed[(column + 1) % kColumnCount].name = heading + L"2";
            changed[column].width = 33;
            const std::wstring text = FormatColumnInfo(changed);
            ColumnArray read = DefaultColumns();
            ASSERT_TRUE(ParseColumnInfo(text, read)) << std::string(text.begin(), text.end());
            EXPECT_EQ(changed, read) << std::string(text.begin(), text.end());
        }
    }
}

// Layouts written before headings were escaped: a backslash was stored as it
// was, also right before the separator.
TEST(ColumnInfoTest, LayoutsOfEarlierVersionsStillParse) {
    for (const std::wstring stored : {L"C:\\Temp", L"ends\\", L"\\", L"a\\x\\"}) {
        ColumnArray read = DefaultColumns();
        ASSERT_TRUE(ParseColumnInfo(WithField(0, stored), read)) << std::string(stored.begin(), stored.end());
        ColumnArray expected = DefaultColumns();
        expected[0].name = stored;
        EXPECT_EQ(expected, read) << std::string(stored.begin(), stored.end());
    }
}

TEST(ColumnInfoTest, OnlyExactly72Or64Or56FieldsReplaceTheColumns) {
    ColumnArray columns = DefaultColumns();
    columns[0].width = 77;
    const ColumnArray before = columns;
    for (const std::wstring text : {kDefaultText, kEightColumns, kSevenColumns}) {
        EXPECT_FALSE(ParseColumnInfo(text.substr(0, text.rfind(L',')), columns));  // one field short
        EXPECT_FALSE(ParseColumnInfo(text + L",Extra", columns));                  // one field over
    }
    const std::wstring six = std::wstring(kSevenColumns).substr(0, std::wstring(kSevenColumns).find(L",Description"));
    EXPECT_FALSE(ParseColumnInfo(six, columns));  // 48 fields: never written
    EXPECT_FALSE(ParseColumnInfo(L"", columns));
    EXPECT_FALSE(ParseColumnInfo(WithField(0, L"Name,with comma"), columns));
    EXPECT_EQ(before, columns);

    // Empty fields (doubled or outer commas) are dropped before counting.
    EXPECT_EQ(DefaultColumns(), Parsed(L",," + WithField(8, L",Value") + L","));
}

// A layout saved before the alarm's or the history's column gains what it
// lacks where the defaults have it, just before Description, wherever the
// user put that; the rest stays.
TEST(ColumnInfoTest, EarlierLayoutsGainTheLaterColumnsBeforeDescription) {
    EXPECT_EQ(DefaultColumns(), Parsed(kSevenColumns));
    EXPECT_EQ(DefaultColumns(), Parsed(kEightColumns));
    std::wstring moved = kSevenColumns;  // Description at 2, Quality at 6, Value renamed
    moved.replace(moved.find(L"Description,6,6"), 15, L"Description,6,2");
    moved.replace(moved.find(L"Quality,2,2"), 11, L"Quality,2,6");
    moved.replace(moved.find(L"Value,1,1"), 5, L"Reading");
    ColumnArray read = Parsed(moved);
    const std::array<std::uint32_t, kColumnCount> positions = {0, 1, 8, 5, 6, 7, 4, 2, 3};
    for (std::size_t i = 0; i < kColumnCount; ++i) EXPECT_EQ(positions[i], read[i].position) << i;
    EXPECT_EQ(L"Reading", read[1].name);
    EXPECT_EQ(L"Alarm", read[kFieldAlarm].name);
    EXPECT_TRUE(read[kFieldAlarm].visible);
    EXPECT_EQ(L"History", read[kFieldHistory].name);
    EXPECT_TRUE(read[kFieldHistory].visible);

    // Eight columns with the alarm's hidden and Description first: History joins at the front.
    std::wstring eight = kEightColumns;
    eight.replace(eight.find(L"Description,6,7"), 15, L"Description,6,0");
    eight.replace(eight.find(L"Name,0,0"), 8, L"Name,0,7");
    eight.replace(eight.find(L"Alarm,7,6,110,F,T,T"), 19, L"Alarm,7,6,110,F,T,F");
    read = Parsed(eight);
    const std::array<std::uint32_t, kColumnCount> eightPositions = {8, 2, 3, 4, 5, 6, 1, 7, 0};
    for (std::size_t i = 0; i < kColumnCount; ++i) EXPECT_EQ(eightPositions[i], read[i].position) << i;
    EXPECT_FALSE(read[kFieldAlarm].visible);
}

TEST(ColumnInfoTest, NumbersAndFlagsAreReadLeniently) {
    ColumnArray columns = Parsed(WithField(3, L" 12px"));
    EXPECT_EQ(12u, columns[0].width);
    columns = Parsed(WithField(3, L"wide"));
    EXPECT_EQ(0u, columns[0].width);
    columns = Parsed(WithField(3, L"99999999999"));
    EXPECT_EQ(0xFFFFFFFFu, columns[0].width);
    columns = Parsed(WithField(6, L"t"));
    EXPECT_FALSE(columns[0].visible);
    columns = Parsed(WithField(6, L"TRUE"));
    EXPECT_FALSE(columns[0].visible);
}

TEST(ColumnInfoTest, RepairMovesTheSortFlagToTheFirstVisibleColumn) {
    ColumnArray columns = DefaultColumns();  // the hidden Id column holds the flag
    RepairColumns(columns);
    EXPECT_TRUE(columns[0].sortColumn);
    EXPECT_EQ(L"Name", columns[0].name);
    for (size_t i = 1; i < kColumnCount; ++i) EXPECT_FALSE(columns[i].sortColumn) << i;

    columns = DefaultColumns();
    columns[5].sortColumn = false;
    columns[3].sortColumn = true;
    columns[6].sortColumn = true;
    columns[6].position = 1;
    columns[1].position = 8;
    RepairColumns(columns);  // Description (position 1) wins over Last Updated (position 3)
    EXPECT_EQ(L"Description", columns[1].name);
    EXPECT_TRUE(columns[1].sortColumn);
    EXPECT_FALSE(columns[3].sortColumn);
}

// Positions that form an order sort the columns by it; any clash or one out
// of 0..8 renumbers them in the order they are stored.
TEST(ColumnInfoTest, RepairOrdersByPositionOrRenumbers) {
    const std::pair<std::array<std::uint32_t, kColumnCount>, std::array<size_t, kColumnCount>> cases[] = {
        {{2, 0, 1, 7, 5, 3, 4, 6, 8}, {1, 2, 0, 5, 6, 4, 7, 3, 8}},
        {{7, 1, 2, 3, 4, 3, 0, 5, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {{7, 1, 2, 3, 4, 9, 0, 5, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {{7, 1, 2, 3, 4, 1000, 0, 5, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& [positions, order] : cases) {
        ColumnArray columns = DefaultColumns();
        for (size_t i = 0; i < kColumnCount; ++i) columns[i].position = positions[i];
        RepairColumns(columns);
        for (size_t i = 0; i < kColumnCount; ++i) {
            EXPECT_EQ(DefaultColumns()[order[i]].name, columns[i].name) << positions[0] << " at " << i;
            EXPECT_EQ(i, columns[i].position);
        }
    }
}

TEST(ColumnInfoTest, RepairShowsEveryColumnWhenNoneIsUsable) {
    ColumnArray columns = DefaultColumns();
    for (auto& c : columns) c.visible = false;
    columns[6].width = 3;
    // Stored out of field order: a column's width comes from its field, not its index.
    std::swap(columns[0], columns[4]);
    RepairColumns(columns);
    for (const auto& c : columns) {
        EXPECT_TRUE(c.visible);
        EXPECT_EQ(DefaultColumns()[c.field].width, c.width) << c.field;
    }

    columns = DefaultColumns();
    for (auto& c : columns) c.width = 10;  // visible, but too narrow to be seen
    RepairColumns(columns);
    EXPECT_EQ(165u, columns[0].width);
}

TEST(ColumnInfoTest, RepairGivesNamesAndValidFields) {
    ColumnArray columns = DefaultColumns();
    std::swap(columns[0], columns[2]);  // the Name column stored at index 2, position 0
    columns[2].name.clear();
    RepairColumns(columns);
    EXPECT_EQ(L"Name", columns[0].name) << "the default name of its own field";

    columns = DefaultColumns();
    columns[2].field = 10;
    columns[3].field = 1;  // and a duplicate
    columns[3].isStatic = true;
    RepairColumns(columns);
    // Every field once, ordered by position as the defaults place them (Alarm and History before Description).
    std::array<std::uint32_t, kColumnCount> fieldAt{};
    for (const ColumnInfo& d : DefaultColumns()) fieldAt[d.position] = d.field;
    for (size_t i = 0; i < kColumnCount; ++i) {
        EXPECT_EQ(fieldAt[i], columns[i].field) << i;
        EXPECT_EQ(DefaultColumns()[fieldAt[i]].isStatic, columns[i].isStatic) << i;
    }
}
