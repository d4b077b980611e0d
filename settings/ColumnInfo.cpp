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
}  // namespace

const ColumnArray& DefaultColumns() {
    static const ColumnArray defaults = {{
        {L"Name", kFieldName, 0, 165, false, true, true, true},
        {L"Value", kFieldValue, 1, 80, false, true, true, false},
        {L"Quality", kFieldQuality, 2, 65, false, true, true, false},
        {L"Last Updated", kFieldLastUpdated, 3, 150, false, true, true, false},
        {L"Mode", kFieldMode, 4, 80, false, true, true, true},
        {L"Id", kFieldId, 5, 20, true, true, false, true},
        {L"Description", kFieldDescription, 6, 5000, false, true, true, true},
    }};
    return defaults;
}

std::wstring FormatColumnInfo(const ColumnArray& columns) {
    std::wstring text;
    auto flag = [](bool b) { return b ? L'T' : L'F'; };
    for (const auto& c : columns) {
        if (!text.empty()) text += L',';
        text += FormatText(L"%ls,%u,%u,%u,%lc,%lc,%lc,%lc", c.name.c_str(), c.field, c.position, c.width,
                           flag(c.sortColumn), flag(c.sortAscending), flag(c.visible), flag(c.isStatic));
    }
    return text;
}

bool ParseColumnInfo(std::wstring_view text, ColumnArray& columns) {
    std::vector<std::wstring_view> fields;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L',', start);
        if (end == std::wstring_view::npos) end = text.size();
        if (end > start) fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (fields.size() != kColumnCount * kFieldsPerColumn) {
        return false;
    }
    for (std::size_t i = 0; i < kColumnCount; ++i) {
        const std::wstring_view* f = &fields[i * kFieldsPerColumn];
        ColumnInfo& c = columns[i];
        c.name = std::wstring(f[0]);
        c.field = ParseDecimal(f[1]);
        c.position = ParseDecimal(f[2]);
        c.width = ParseDecimal(f[3]);
        c.sortColumn = ParseFlag(f[4]);
        c.sortAscending = ParseFlag(f[5]);
        c.visible = ParseFlag(f[6]);
        c.isStatic = ParseFlag(f[7]);
    }
    return true;
}

void RepairColumns(ColumnArray& columns) {
    const ColumnArray& defaults = DefaultColumns();

    // Fields: each 0 to 6 and each once, or the whole set is taken from the
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
