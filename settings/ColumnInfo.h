#pragma once
// The nine columns of the tag list, their defaults, their "Column Info" text
// form in the settings and the repair that makes a stored layout usable.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Which tag datum a column shows.
enum ColumnField : std::uint32_t {
    kFieldName = 0,
    kFieldValue = 1,
    kFieldQuality = 2,
    kFieldLastUpdated = 3,
    kFieldMode = 4,
    kFieldId = 5,
    kFieldDescription = 6,
    kFieldAlarm = 7,    // the alarm's state
    kFieldHistory = 8,  // whether the tag keeps a history
};

struct ColumnInfo {
    std::wstring name;           // heading shown; the user may rename it
    std::uint32_t field = 0;     // a ColumnField
    std::uint32_t position = 0;  // display position; the nine form a permutation
    std::uint32_t width = 0;     // pixels
    bool sortColumn = false;     // exactly one visible column has it
    bool sortAscending = true;
    bool visible = true;
    bool isStatic = false;  // shows a configured attribute, not live data

    bool operator==(const ColumnInfo&) const = default;
};

constexpr std::size_t kColumnCount = 9;
using ColumnArray = std::array<ColumnInfo, kColumnCount>;

// Indexed by field.
const ColumnArray& DefaultColumns();

// "Name,0,0,165,F,T,T,T,Value,1,..." in array order; a comma or backslash in
// a heading is written with a backslash before it.
std::wstring FormatColumnInfo(const ColumnArray& columns);
// Replaces the columns only when the text holds exactly 72 non-empty
// comma-separated fields (read with those escapes, or else as a layout written
// before them), or 64 or 56: a layout from before the history's column, or
// before the alarm's too; the columns it lacks take their default places
// before the Description column. Otherwise leaves them alone and gives false.
bool ParseColumnInfo(std::wstring_view text, ColumnArray& columns);
// Gives every column a name, a valid field and a unique position, at least one
// visible column with some width and exactly one sort column, then orders the
// array by position.
void RepairColumns(ColumnArray& columns);
