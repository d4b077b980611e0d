#include "ColumnInfo.h"

#include <algorithm>
#include <vector>

#include "Text.h"

namespace {
constexpr std::size_t kFieldsPerColumn = 8;
constexpr std::uint32_t kMinimumUsableWidth = 10;

// Leading blanks and digits; anything else gives 0. Saturates instead of wrapping.
std::uint32_t ParseDecimal(std::wstring_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(value);
}

bool ParseFlag(std::wstring_view text) { return text == L"T"; }

// A heading may hold the separator: it is written as "\," and a backslash as "\\".
std::wstring EscapeName(const std::wstring& name) {
    std::wstring escaped;
    for (wchar_t c : name) {
        if (c == L',' || c == L'\\') escaped += L'\\';
        escaped += c;
    }
    return escaped;
}

// The non-empty fields of the text. With escapes, "\," and "\\" stand for the
// character after the backslash (a backslash before anything else is kept);
// without, every comma separates, as layouts were written before headings
// could hold one.
std::vector<std::wstring> SplitFields(std::wstring_view text, bool escapes) {
    std::vector<std::wstring> fields;
    std::wstring field;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (escapes && c == L'\\' && i + 1 < text.size() && (text[i + 1] == L',' || text[i + 1] == L'\\')) {
            field += text[++i];
        } else if (c == L',') {
            if (!field.empty()) fields.push_back(std::move(field));
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty()) fields.push_back(std::move(field));
    return fields;
}
}  // namespace

const ColumnArray& DefaultColumns() {
    static const ColumnArray defaults = {{
        {L"Name", kFieldName, 0, 165, false, true, true, true},
        {L"Value", kFieldValue, 1, 80, false, true, true, false},
        {L"Quality", kFieldQuality, 2, 65, false, true, true, false},
        {L"Last Updated", kFieldLastUpdated, 3, 150, false, true, true, false},
        {L"Mode", kFieldMode, 4, 80, false, true, true, true},
        {L"Id", kFieldId, 5, 20, true, true, false, true},
        {L"Description", kFieldDescription, 8, 5000, false, true, true, true},
        {L"Alarm", kFieldAlarm, 6, 110, false, true, true, false},
        {L"History", kFieldHistory, 7, 60, false, true, true, true},
    }};
    return defaults;
}

std::wstring FormatColumnInfo(const ColumnArray& columns) {
    std::wstring text;
    auto flag = [](bool b) { return b ? L'T' : L'F'; };
    for (const auto& c : columns) {
        if (!text.empty()) text += L',';
        text += FormatText(L"%ls,%u,%u,%u,%lc,%lc,%lc,%lc", EscapeName(c.name).c_str(), c.field, c.position, c.width,
                           flag(c.sortColumn), flag(c.sortAscending), flag(c.visible), flag(c.isStatic));
    }
    return text;
}

bool ParseColumnInfo(std::wstring_view text, ColumnArray& columns) {
    // Layouts written before the alarm's column (7) and before the history's (8).
    constexpr std::size_t kEarliestCount = kFieldAlarm;
    auto fieldCountFits = [](std::size_t count) {
        return count % kFieldsPerColumn == 0 && count / kFieldsPerColumn >= kEarliestCount &&
               count / kFieldsPerColumn <= kColumnCount;
    };
    std::vector<std::wstring> fields = SplitFields(text, true);
    if (!fieldCountFits(fields.size())) {
        fields = SplitFields(text, false);  // an earlier layout with a backslash before a comma
    }
    if (!fieldCountFits(fields.size())) {
        return false;
    }
    const std::size_t count = fields.size() / kFieldsPerColumn;
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring* f = &fields[i * kFieldsPerColumn];
        ColumnInfo& c = columns[i];
        c.name = f[0];
        c.field = ParseDecimal(f[1]);
        c.position = ParseDecimal(f[2]);
        c.width = ParseDecimal(f[3]);
        c.sortColumn = ParseFlag(f[4]);
        c.sortAscending = ParseFlag(f[5]);
        c.visible = ParseFlag(f[6]);
        c.isStatic = ParseFlag(f[7]);
    }
    // Each column added since joins where the defaults have it, just before
    // the Description column, wherever the user put that; the fields added
    // are the array's last ones, in order.
    for (std::size_t added = count; added < kColumnCount; ++added) {
        ColumnInfo column = DefaultColumns()[added];
        column.position = static_cast<std::uint32_t>(added);
        for (std::size_t i = 0; i < added; ++i) {
            if (columns[i].field == kFieldDescription) column.position = std::min(column.position, columns[i].position);
        }
        for (std::size_t i = 0; i < added; ++i) {
            if (columns[i].position >= column.position) ++columns[i].position;
        }
        columns[added] = column;
    }
    return true;
}

void RepairColumns(ColumnArray& columns) {
    const ColumnArray& defaults = DefaultColumns();

    // Fields: each 0 to 8 and each once, or the whole set is taken from the
    // array order, with the matching kind of data.
    bool fieldsValid = true;
    bool fieldSeen[kColumnCount] = {};
    for (const auto& c : columns) {
        if (c.field >= kColumnCount || fieldSeen[c.field]) {
            fieldsValid = false;
            break;
        }
        fieldSeen[c.field] = true;
    }
    if (!fieldsValid) {
        for (std::size_t i = 0; i < kColumnCount; ++i) {
            columns[i].field = static_cast<std::uint32_t>(i);
            columns[i].isStatic = defaults[i].isStatic;
        }
    }

    bool positionsValid = true;
    bool positionSeen[kColumnCount] = {};
    bool someWideVisible = false;
    for (auto& c : columns) {
        if (c.name.empty()) c.name = defaults[c.field].name;
        if (c.visible && c.width > kMinimumUsableWidth) someWideVisible = true;
        if (c.position >= kColumnCount || positionSeen[c.position]) {
            positionsValid = false;
        } else {
            positionSeen[c.position] = true;
        }
    }
    if (!positionsValid) {
        for (std::size_t i = 0; i < kColumnCount; ++i) columns[i].position = static_cast<std::uint32_t>(i);
    }
    if (!someWideVisible) {
        for (auto& c : columns) {
            c.visible = true;
            c.width = defaults[c.field].width;
        }
    }

    // One sort column: the visible flagged one at the lowest position, else the
    // visible column at the lowest position.
    ColumnInfo* keeper = nullptr;
    ColumnInfo* firstVisible = nullptr;
    for (auto& c : columns) {
        if (!c.visible) {
            c.sortColumn = false;
            continue;
        }
        if (firstVisible == nullptr || c.position < firstVisible->position) firstVisible = &c;
        if (c.sortColumn && (keeper == nullptr || c.position < keeper->position)) keeper = &c;
    }
    if (keeper == nullptr) keeper = firstVisible;
    for (auto& c : columns) c.sortColumn = (&c == keeper);

    std::sort(columns.begin(), columns.end(),
              [](const ColumnInfo& a, const ColumnInfo& b) { return a.position < b.position; });
}
