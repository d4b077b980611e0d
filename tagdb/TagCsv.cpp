#include "TagCsv.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "CsvText.h"
#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
enum Column : int {
    kItemId,
    kType,
    kAccess,
    kDescription,
    kValue,
    kValueType,
    kQuality,
    kTimestamp,
    kValueLimits,
    kValueLow,
    kValueHigh,
    kRawLimits,
    kRawLow,
    kRawHigh,
    kScaling,
    kScaleOffset,
    kScaleFactor,
    kDeadband,
    kVolatile,
    kSimulation,
    kSimulationKind,
    kSimulationStep,
    kSimulationPeriod,
    kColumnCount
};
constexpr std::array<const wchar_t*, kColumnCount> kColumnNames = {
    L"ItemID",   L"Type",       L"Access",         L"Description",    L"Value",           L"ValueType",
    L"Quality",  L"Timestamp",  L"ValueLimits",    L"ValueLow",       L"ValueHigh",       L"RawLimits",
    L"RawLow",   L"RawHigh",    L"Scaling",        L"ScaleOffset",    L"ScaleFactor",     L"Deadband",
    L"Volatile", L"Simulation", L"SimulationKind", L"SimulationStep", L"SimulationPeriod"};

struct TypeName {
    VARTYPE type;
    const wchar_t* name;
};
constexpr TypeName kTypeNames[] = {{VT_BOOL, L"Bool"}, {VT_UI1, L"Byte"},  {VT_I2, L"Short"},    {VT_I4, L"Integer"},
                                   {VT_R4, L"Float"},  {VT_R8, L"Double"}, {VT_BSTR, L"String"}, {VT_EMPTY, L"Empty"}};
constexpr const wchar_t* kKindNames[] = {L"Ramp", L"Triangle", L"Sine", L"Square", L"Random", L"Count"};
constexpr const wchar_t* kReadOnly = L"Read Only";
constexpr const wchar_t* kReadWrite = L"Read/Write";

// ---- text of values -------------------------------------------------------

std::wstring Ascii(std::string_view s) { return std::wstring(s.begin(), s.end()); }

std::wstring NumberText(double v) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return Ascii(std::string_view(buffer, static_cast<size_t>(r.ptr - buffer)));
}

std::wstring FloatText(float v) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return Ascii(std::string_view(buffer, static_cast<size_t>(r.ptr - buffer)));
}

std::wstring FlagText(bool on) { return on ? L"true" : L"false"; }

std::wstring TypeText(VARTYPE type) {
    for (const TypeName& t : kTypeNames) {
        if (t.type == type) return t.name;
    }
    return std::to_wstring(type);
}

std::wstring KindText(DWORD kind) {
    return IsSimulationKind(kind) ? kKindNames[kind - kFirstSimulationKind] : std::to_wstring(kind);
}

std::wstring TimeText(FILETIME t) {
    if (t.dwLowDateTime == 0 && t.dwHighDateTime == 0) return L"";
    SYSTEMTIME s;
    if (!FileTimeToSystemTime(&t, &s)) return L"";
    const unsigned long long ticks = (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    wchar_t buffer[40];
    swprintf(buffer, 40, L"%04u-%02u-%02uT%02u:%02u:%02u.%07lluZ", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute,
             s.wSecond, ticks % 10000000ull);
    return buffer;
}

// The text of a value, which ParseValue turns back into the same value.
std::wstring ValueText(const Variant& value) {
    const VARIANT& v = value.Ref();
    switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_NULL: return L"";
    case VT_BOOL: return FlagText(V_BOOL(&v) != VARIANT_FALSE);
    case VT_R8: return NumberText(V_R8(&v));
    case VT_DATE: return NumberText(V_DATE(&v));  // the platform's date text drops the fractions of a second
    case VT_ERROR: return std::to_wstring(static_cast<DWORD>(V_ERROR(&v)));
    case VT_R4: return FloatText(V_R4(&v));
    case VT_BSTR: return V_BSTR(&v) != nullptr ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"";
    default: break;
    }
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&v), LOCALE_INVARIANT, 0, VT_BSTR))) return L"";
    std::wstring s(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
    VariantClear(&text);
    return s;
}

// ---- reading fields -------------------------------------------------------

bool Narrow(std::wstring_view text, std::string& out) {
    out.clear();
    for (wchar_t c : text) {
        if (c > 0x7F) return false;
        out += static_cast<char>(c);
    }
    return true;
}

// Infinities and NaN too: a client may have written one, and the columns
// that cannot hold one say so by their own rules.
template <class Number>
bool ParseReal(std::wstring_view text, Number& out) {
    std::string s;
    if (!Narrow(text, s) || s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseDouble(std::wstring_view text, double& out) { return ParseReal(text, out); }

bool ParseUnsigned(std::wstring_view text, unsigned long long max, unsigned long long& out) {
    std::string s;
    if (!Narrow(text, s) || s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && out <= max;
}

bool SameText(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool ParseFlag(std::wstring_view text, bool& out) {
    for (const wchar_t* t : {L"true", L"1", L"yes"}) {
        if (SameText(text, t)) return out = true, true;
    }
    for (const wchar_t* f : {L"false", L"0", L"no"}) {
        if (SameText(text, f)) return out = false, true;
    }
    return false;
}

bool ParseTime(std::wstring_view text, FILETIME& out) {
    if (text.empty()) {
        out = FILETIME{};
        return true;
    }
    unsigned y, mo, d, h, mi, s;
    wchar_t fraction[16] = {};
    int used = 0;
    const std::wstring z(text);
    if (swscanf(z.c_str(), L"%4u-%2u-%2uT%2u:%2u:%2u%n", &y, &mo, &d, &h, &mi, &s, &used) != 6) return false;
    size_t at = static_cast<size_t>(used);
    unsigned long long ticks = 0;
    if (at < z.size() && z[at] == L'.') {
        size_t digits = 0;
        for (++at; at < z.size() && iswdigit(z[at]) && digits < 7; ++at, ++digits) fraction[digits] = z[at];
        if (digits == 0) return false;
        for (size_t i = 0; i < 7; ++i)
            ticks = ticks * 10 + (i < digits ? static_cast<unsigned>(fraction[i] - L'0') : 0u);
    }
    if (at + 1 != z.size() || z[at] != L'Z') return false;
    SYSTEMTIME st{static_cast<WORD>(y),  static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                  static_cast<WORD>(mi), static_cast<WORD>(s),  0};
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return false;
    const unsigned long long whole =
        ((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) + ticks;
    out.dwLowDateTime = static_cast<DWORD>(whole);
    out.dwHighDateTime = static_cast<DWORD>(whole >> 32);
    return true;
}

bool ParseValue(std::wstring_view text, VARTYPE type, Variant& out) {
    if (type == VT_BSTR) {
        out = Variant::FromString(text);
        return true;
    }
    if (text.empty() || type == VT_EMPTY || type == VT_NULL) {
        if (!text.empty()) return false;
        VARIANT none;
        VariantInit(&none);
        V_VT(&none) = type == VT_NULL ? VT_NULL : VT_EMPTY;
        out = Variant::Adopt(none);
        return true;
    }
    switch (type) {
    case VT_BOOL: {
        bool b = false;
        if (!ParseFlag(text, b)) return false;
        out = Variant::FromBool(b);
        return true;
    }
    case VT_R8: {
        double d = 0;
        if (!ParseReal(text, d)) return false;
        out = Variant::FromDouble(d);
        return true;
    }
    case VT_R4: {
        float f = 0;  // read as a float: through a double it could round twice
        if (!ParseReal(text, f)) return false;
        out = Variant::FromFloat(f);
        return true;
    }
    case VT_DATE:
    case VT_ERROR: {
        double d = 0;
        unsigned long long n = 0;
        if (type == VT_DATE ? !ParseReal(text, d) : !ParseUnsigned(text, 0xFFFFFFFFull, n)) return false;
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = type;
        if (type == VT_DATE)
            V_DATE(&v) = d;
        else
            V_ERROR(&v) = static_cast<SCODE>(static_cast<DWORD>(n));
        out = Variant::Adopt(v);
        return true;
    }
    default: break;
    }
    // Whole numbers and the rarer types: the platform's conversion, free of the user's locale.
    Variant source = Variant::FromString(text);
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeTypeEx(&converted, source.Get(), LOCALE_INVARIANT, 0, type))) return false;
    out = Variant::Adopt(converted);
    return true;
}

std::wstring Quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

// ---- export ---------------------------------------------------------------

void ExportGroup(std::string& out, OPCS_TagGroup* group, const std::wstring& path, std::vector<std::wstring>& row) {
    for (OPCS_Tag* tag : group->SnapshotTags()) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        const TagSettings s = tag->GetSettings();
        row[kItemId] = path + tag->GetName();
        row[kType] = TypeText(s.type);
        row[kAccess] = s.access == 0 ? kReadOnly : s.access == 1 ? kReadWrite : std::to_wstring(s.access);
        row[kDescription] = s.description;
        row[kValue] = ValueText(s.value);
        // Named only where it is not the tag's type (an empty value, or one a write could not convert).
        row[kValueType] = s.value.Type() == s.type ? std::wstring() : TypeText(s.value.Type());
        row[kQuality] = std::to_wstring(s.quality);
        row[kTimestamp] = TimeText(s.timestamp);
        row[kValueLimits] = FlagText(s.valueLimitsSet);
        row[kValueLow] = NumberText(s.valueLow);
        row[kValueHigh] = NumberText(s.valueHigh);
        row[kRawLimits] = FlagText(s.rawLimitsSet);
        row[kRawLow] = NumberText(s.rawLow);
        row[kRawHigh] = NumberText(s.rawHigh);
        row[kScaling] = FlagText(s.scalingSet);
        row[kScaleOffset] = NumberText(s.scaleOffset);
        row[kScaleFactor] = NumberText(s.scaleFactor);
        row[kDeadband] = NumberText(s.deadband);
        row[kVolatile] = FlagText(s.isVolatile);
        row[kSimulation] = FlagText(s.simulation.enabled);
        row[kSimulationKind] = KindText(s.simulation.kind);
        row[kSimulationStep] = std::to_wstring(s.simulation.step);
        row[kSimulationPeriod] = std::to_wstring(s.simulation.period);
        AppendCsvRow(out, row);
    }
    for (OPCS_TagGroup* child : group->SnapshotGroups()) {
        if (OPCS_TagGroup::IsValidGroup(child))
            ExportGroup(out, child, path + child->GetName() + kItemIdSeparator, row);
    }
}

// ---- import ---------------------------------------------------------------

struct PlannedTag {
    size_t line;
    std::vector<std::wstring> path;  // device, groups, tag name
    OPCS_Tag* existing;
    TagSettings settings;
};

class Importer {
public:
    Importer(Dll<OPCS_Device*>& devices) : m_devices(devices) {
        for (OPCS_Device* d : m_devices) {
            if (OPCS_TagGroup::IsValidGroup(d)) m_deviceByName.emplace(FoldCase(d->GetName()), d);
        }
    }

    TagImportResult Run(std::string_view csv) {
        std::vector<CsvRecord> records;
        std::wstring error;
        if (!ReadCsv(csv, records, error)) return Failed(error);
        if (records.empty()) return Failed(L"the file has no header row");
        if (!ReadHeader(records.front())) return std::move(m_result);
        for (size_t i = 1; i < records.size(); ++i) PlanRow(records[i]);
        if (!m_result.errors.empty()) return std::move(m_result);
        for (PlannedTag& tag : m_planned) Apply(tag);
        return std::move(m_result);
    }

private:
    TagImportResult Failed(const std::wstring& error) {
        m_result.errors.push_back(error);
        return std::move(m_result);
    }
    void Error(size_t line, const std::wstring& text) {
        m_result.errors.push_back(L"line " + std::to_wstring(line) + L": " + text);
    }

    bool ReadHeader(const CsvRecord& header) {
        std::array<bool, kColumnCount> seen{};
        for (const std::wstring& name : header.fields) {
            auto known = std::find_if(kColumnNames.begin(), kColumnNames.end(),
                                      [&](const wchar_t* n) { return SameText(name, n); });
            if (known == kColumnNames.end()) {
                Error(header.line, L"unknown column " + Quoted(name));
                m_columns.push_back(kColumnCount);
                continue;
            }
            const auto column = static_cast<Column>(known - kColumnNames.begin());
            if (seen[column]) Error(header.line, L"the column " + Quoted(name) + L" appears twice");
            seen[column] = true;
            m_columns.push_back(column);
        }
        if (!seen[kItemId]) Error(header.line, L"no ItemID column");
        return m_result.errors.empty();
    }

    // The field of a column in a row, or null when the file has no such column.
    const std::wstring* Field(const CsvRecord& row, Column column) const {
        for (size_t i = 0; i < m_columns.size(); ++i) {
            if (m_columns[i] == column) return &row.fields[i];
        }
        return nullptr;
    }

    void PlanRow(const CsvRecord& row) {
        if (row.fields.size() != m_columns.size()) {
            Error(row.line, std::to_wstring(row.fields.size()) + L" fields where the header names " +
                                std::to_wstring(m_columns.size()));
            return;
        }
        const std::wstring& id = *Field(row, kItemId);
        PlannedTag plan{row.line, {}, nullptr, {}};
        for (size_t from = 0;;) {
            const size_t dot = id.find(kItemIdSeparator, from);
            plan.path.push_back(id.substr(from, dot == std::wstring::npos ? std::wstring::npos : dot - from));
            if (dot == std::wstring::npos) break;
            from = dot + 1;
        }
        if (plan.path.size() < 2) {
            Error(row.line, L"the item ID " + Quoted(id) + L" does not name a device and a tag");
            return;
        }
        for (const std::wstring& name : plan.path) {
            if (name.empty()) {
                Error(row.line, L"the item ID " + Quoted(id) + L" has an empty name");
                return;
            }
            if (name.find(L'\0') != std::wstring::npos) {
                Error(row.line, L"the item ID " + Quoted(id) + L" holds a NUL character");
                return;
            }
        }
        const auto [first, fresh] = m_lineOfId.emplace(FoldCase(id), row.line);
        if (!fresh) {
            Error(row.line, L"the item ID " + Quoted(id) + L" appears again (first on line " +
                                std::to_wstring(first->second) + L")");
            return;
        }
        plan.existing = FindExisting(id, plan.path.front());
        plan.settings = OPCS_Tag::IsValidTag(plan.existing) ? plan.existing->GetSettings() : NewTagSettings();
        if (!OPCS_Tag::IsValidTag(plan.existing)) {
            plan.existing = nullptr;
            plan.settings.quality = OPC_QUALITY_GOOD;
            GetSystemTimeAsFileTime(&plan.settings.timestamp);
        }
        if (ReadSettings(row, plan.settings)) m_planned.push_back(std::move(plan));
    }

    OPCS_Tag* FindExisting(const std::wstring& id, const std::wstring& deviceName) {
        auto device = m_deviceByName.find(FoldCase(deviceName));
        if (device == m_deviceByName.end()) return nullptr;
        return device->second->FindTag(std::wstring_view(id).substr(deviceName.size() + 1));
    }

    const TagSettings& NewTagSettings() {
        if (!m_defaults) {
            ToviTag fresh;
            m_defaults = fresh.GetSettings();
        }
        return *m_defaults;
    }

    bool ReadSettings(const CsvRecord& row, TagSettings& s) {
        const size_t before = m_result.errors.size();
        auto bad = [&](Column column, const std::wstring& field, const wchar_t* what) {
            Error(row.line, std::wstring(kColumnNames[column]) + L" " + Quoted(field) + L" is not " + what);
        };
        auto number = [&](Column column, double& target) {
            if (const std::wstring* f = Field(row, column); f != nullptr && !ParseDouble(*f, target))
                bad(column, *f, L"a number");
        };
        auto flag = [&](Column column, bool& target) {
            if (const std::wstring* f = Field(row, column); f != nullptr && !ParseFlag(*f, target))
                bad(column, *f, L"true or false");
        };
        auto whole = [&](Column column, DWORD& target) {
            unsigned long long n = 0;
            if (const std::wstring* f = Field(row, column)) {
                if (ParseUnsigned(*f, 0xFFFFFFFFull, n))
                    target = static_cast<DWORD>(n);
                else
                    bad(column, *f, L"a whole number from 0 to 4294967295");
            }
        };
        auto type = [&](Column column, VARTYPE& target) {
            const std::wstring* f = Field(row, column);
            if (f == nullptr) return;
            unsigned long long n = 0;
            auto named = std::find_if(std::begin(kTypeNames), std::end(kTypeNames),
                                      [&](const TypeName& t) { return SameText(*f, t.name); });
            if (named != std::end(kTypeNames))
                target = named->type;
            else if (ParseUnsigned(*f, 0xFFFF, n))
                target = static_cast<VARTYPE>(n);
            else
                bad(column, *f, L"a type (Bool, Byte, Short, Integer, Float, Double or String)");
        };
        type(kType, s.type);
        // The value's own type, where a file or a failed write left it other than the tag's.
        const std::wstring* valueTypeField = Field(row, kValueType);
        VARTYPE valueType = VT_EMPTY;
        const bool ownValueType = valueTypeField != nullptr && !valueTypeField->empty();
        if (ownValueType) type(kValueType, valueType);
        if (const std::wstring* f = Field(row, kAccess)) {
            unsigned long long n = 0;
            if (SameText(*f, kReadOnly))
                s.access = 0;
            else if (SameText(*f, kReadWrite))
                s.access = 1;
            else if (ParseUnsigned(*f, 0xFFFFFFFFull, n))
                s.access = static_cast<DWORD>(n);
            else
                bad(kAccess, *f, L"an access (Read Only or Read/Write)");
        }
        if (const std::wstring* f = Field(row, kDescription)) s.description = *f;
        if (const std::wstring* f = Field(row, kQuality)) {
            unsigned long long n = 0;
            if (ParseUnsigned(*f, 0xFFFF, n))
                s.quality = static_cast<WORD>(n);
            else
                bad(kQuality, *f, L"a quality from 0 to 65535");
        }
        if (const std::wstring* f = Field(row, kTimestamp); f != nullptr && !ParseTime(*f, s.timestamp)) {
            bad(kTimestamp, *f, L"a UTC time like 2026-12-07T10:15:00.0000000Z");
        }
        flag(kValueLimits, s.valueLimitsSet);
        number(kValueLow, s.valueLow);
        number(kValueHigh, s.valueHigh);
        flag(kRawLimits, s.rawLimitsSet);
        number(kRawLow, s.rawLow);
        number(kRawHigh, s.rawHigh);
        flag(kScaling, s.scalingSet);
        number(kScaleOffset, s.scaleOffset);
        number(kScaleFactor, s.scaleFactor);
        number(kDeadband, s.deadband);
        flag(kVolatile, s.isVolatile);
        flag(kSimulation, s.simulation.enabled);
        if (const std::wstring* f = Field(row, kSimulationKind)) {
            unsigned long long n = 0;
            auto named = std::find_if(std::begin(kKindNames), std::end(kKindNames),
                                      [&](const wchar_t* k) { return SameText(*f, k); });
            if (named != std::end(kKindNames))
                s.simulation.kind = kFirstSimulationKind + static_cast<DWORD>(named - std::begin(kKindNames));
            else if (ParseUnsigned(*f, 0xFFFFFFFFull, n))
                s.simulation.kind = static_cast<DWORD>(n);
            else
                bad(kSimulationKind, *f, L"a signal (Ramp, Triangle, Sine, Square, Random or Count)");
        }
        whole(kSimulationStep, s.simulation.step);
        whole(kSimulationPeriod, s.simulation.period);
        if (m_result.errors.size() != before) return false;

        if (s.valueLimitsSet && !(s.valueLow <= s.valueHigh)) Error(row.line, L"ValueLow is above ValueHigh");
        if (s.rawLimitsSet && !(s.rawLow <= s.rawHigh)) Error(row.line, L"RawLow is above RawHigh");
        if (s.scalingSet && s.scaleFactor == 0) Error(row.line, L"scaling with a ScaleFactor of 0");
        if (!(s.deadband >= 0 && s.deadband <= 100)) Error(row.line, L"Deadband is not between 0 and 100");
        const std::wstring* value = Field(row, kValue);
        if (value != nullptr || Field(row, kType) != nullptr || ownValueType) {
            // A new type without a value converts the value the tag has.
            const std::wstring text = value != nullptr ? *value : ValueText(s.value);
            const VARTYPE into = ownValueType ? valueType : s.type;
            if (!ParseValue(text, into, s.value)) {
                Error(row.line, L"the value " + Quoted(text) + L" does not convert to " + TypeText(into));
            }
        }
        // The value is stored as the file has it, as a configuration file
        // load does: limits shape values written, not values restored.
        return m_result.errors.size() == before;
    }

    void Apply(PlannedTag& plan) {
        if (plan.existing != nullptr) {
            plan.existing->PlaceSettings(plan.settings);
            ++m_result.updated;
            return;
        }
        OPCS_TagGroup* parent = DeviceNamed(plan.path.front());
        std::wstring key = FoldCase(plan.path.front());
        for (size_t i = 1; i + 1 < plan.path.size(); ++i) {
            key += kItemIdSeparator;
            key += FoldCase(plan.path[i]);
            parent = GroupNamed(parent, key, plan.path[i]);
        }
        auto* tag = new ToviTag;
        tag->Rename(plan.path.back());
        tag->PlaceSettings(plan.settings);
        if (parent->AddTag(tag)) {
            ++m_result.added;
        } else {
            delete tag;  // cannot happen: the name was looked up before
        }
    }

    OPCS_TagGroup* DeviceNamed(const std::wstring& name) {
        const std::wstring key = FoldCase(name);
        if (auto found = m_deviceByName.find(key); found != m_deviceByName.end()) return found->second;
        auto* device = new ToviDevice;
        device->Rename(name);
        m_devices.Append(device);
        m_deviceByName.emplace(key, device);
        return device;
    }

    OPCS_TagGroup* GroupNamed(OPCS_TagGroup* parent, const std::wstring& key, const std::wstring& name) {
        if (auto found = m_groupByPath.find(key); found != m_groupByPath.end()) return found->second;
        // Index the parent's groups once, then the lookups are by path.
        if (m_indexedParents.insert(parent).second) {
            const std::wstring prefix = key.substr(0, key.size() - FoldCase(name).size());
            for (OPCS_TagGroup* child : parent->SnapshotGroups()) {
                if (OPCS_TagGroup::IsValidGroup(child))
                    m_groupByPath.emplace(prefix + FoldCase(child->GetName()), child);
            }
            if (auto found = m_groupByPath.find(key); found != m_groupByPath.end()) return found->second;
        }
        auto* group = new ToviTagGroup;
        group->Rename(name);
        parent->AddGroup(group);
        m_groupByPath.emplace(key, group);
        return group;
    }

    Dll<OPCS_Device*>& m_devices;
    TagImportResult m_result;
    std::vector<Column> m_columns;
    std::vector<PlannedTag> m_planned;
    std::unordered_map<std::wstring, size_t> m_lineOfId;
    std::unordered_map<std::wstring, OPCS_Device*> m_deviceByName;
    std::unordered_map<std::wstring, OPCS_TagGroup*> m_groupByPath;
    std::unordered_set<OPCS_TagGroup*> m_indexedParents;
    std::optional<TagSettings> m_defaults;
};
}  // namespace

std::string ExportTagsCsv(const Dll<OPCS_Device*>& devices) {
    std::string out(kUtf8ByteOrderMark);
    std::vector<std::wstring> row(kColumnNames.begin(), kColumnNames.end());
    AppendCsvRow(out, row);
    for (OPCS_Device* device : devices) {
        if (OPCS_TagGroup::IsValidGroup(device)) ExportGroup(out, device, device->GetName() + kItemIdSeparator, row);
    }
    return out;
}

TagImportResult ImportTagsCsv(std::string_view csv, Dll<OPCS_Device*>& devices) { return Importer(devices).Run(csv); }
