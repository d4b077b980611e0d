#include "TagCsv.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "CsvFields.h"
#include "CsvText.h"
#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "Text.h"
#include "ReservedNames.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "TreeLimits.h"

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
    kAlarm,
    kAlarmHighHigh,
    kAlarmHigh,
    kAlarmLow,
    kAlarmLowLow,
    kAlarmDeadband,
    kAlarmSeverity,
    kAlarmSeverityHighHigh,
    kAlarmNormalValue,
    kAlarmMessage,
    kAlarmConfirm,
    kAlarmEnabled,
    kHistorize,
    kColumnCount
};
constexpr std::array<const wchar_t*, kColumnCount> kColumnNames = {L"ItemID",
                                                                   L"Type",
                                                                   L"Access",
                                                                   L"Description",
                                                                   L"Value",
                                                                   L"ValueType",
                                                                   L"Quality",
                                                                   L"Timestamp",
                                                                   L"ValueLimits",
                                                                   L"ValueLow",
                                                                   L"ValueHigh",
                                                                   L"RawLimits",
                                                                   L"RawLow",
                                                                   L"RawHigh",
                                                                   L"Scaling",
                                                                   L"ScaleOffset",
                                                                   L"ScaleFactor",
                                                                   L"Deadband",
                                                                   L"Volatile",
                                                                   L"Simulation",
                                                                   L"SimulationKind",
                                                                   L"SimulationStep",
                                                                   L"SimulationPeriod",
                                                                   L"Alarm",
                                                                   L"AlarmHighHigh",
                                                                   L"AlarmHigh",
                                                                   L"AlarmLow",
                                                                   L"AlarmLowLow",
                                                                   L"AlarmDeadband",
                                                                   L"AlarmSeverity",
                                                                   L"AlarmSeverityHighHigh",
                                                                   L"AlarmNormalValue",
                                                                   L"AlarmMessage",
                                                                   L"AlarmConfirm",
                                                                   L"AlarmEnabled",
                                                                   L"Historize"};

constexpr const wchar_t* kKindNames[] = {L"Ramp", L"Triangle", L"Sine", L"Square", L"Random", L"Count"};
constexpr const wchar_t* kReadOnly = L"Read Only";
constexpr const wchar_t* kReadWrite = L"Read/Write";

std::wstring KindText(DWORD kind) {
    return IsSimulationKind(kind) ? kKindNames[kind - kFirstSimulationKind] : std::to_wstring(kind);
}

std::wstring Quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

std::wstring LimitText(const std::optional<double>& limit) { return limit ? CsvNumberText(*limit) : std::wstring(); }

// A tag without an alarm says None and leaves the other alarm columns empty.
void ExportAlarm(const AlarmSettings& a, std::vector<std::wstring>& row) {
    row[kAlarm] = AlarmKindName(a.kind);
    for (int column = kAlarmHighHigh; column <= kAlarmEnabled; ++column) row[column].clear();
    if (!a.IsAlarmed()) return;
    row[kAlarmHighHigh] = LimitText(a.highHigh);
    row[kAlarmHigh] = LimitText(a.high);
    row[kAlarmLow] = LimitText(a.low);
    row[kAlarmLowLow] = LimitText(a.lowLow);
    row[kAlarmDeadband] = CsvNumberText(a.deadband);
    row[kAlarmSeverity] = std::to_wstring(a.severity);
    row[kAlarmSeverityHighHigh] = std::to_wstring(a.severityHighHigh);
    row[kAlarmNormalValue] = CsvValueText(a.normalValue);
    row[kAlarmMessage] = a.message;
    row[kAlarmConfirm] = CsvFlagText(a.needsConfirm);
    row[kAlarmEnabled] = CsvFlagText(a.enabled);
}

// ---- export ---------------------------------------------------------------

void ExportGroup(std::string& out, OPCS_TagGroup* group, const std::wstring& path, std::vector<std::wstring>& row) {
    for (OPCS_Tag* tag : group->SnapshotTags()) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        const TagSettings s = tag->GetSettings();
        row[kItemId] = path + tag->GetName();
        row[kType] = CsvTypeText(s.type);
        row[kAccess] = s.access == 0 ? kReadOnly : s.access == 1 ? kReadWrite : std::to_wstring(s.access);
        row[kDescription] = s.description;
        row[kValue] = CsvValueText(s.value);
        // Named only where it is not the tag's type (an empty value, or one a write could not convert).
        row[kValueType] = s.value.Type() == s.type ? std::wstring() : CsvTypeText(s.value.Type());
        row[kQuality] = std::to_wstring(s.quality);
        row[kTimestamp] = CsvTimeText(s.timestamp);
        row[kValueLimits] = CsvFlagText(s.valueLimitsSet);
        row[kValueLow] = CsvNumberText(s.valueLow);
        row[kValueHigh] = CsvNumberText(s.valueHigh);
        row[kRawLimits] = CsvFlagText(s.rawLimitsSet);
        row[kRawLow] = CsvNumberText(s.rawLow);
        row[kRawHigh] = CsvNumberText(s.rawHigh);
        row[kScaling] = CsvFlagText(s.scalingSet);
        row[kScaleOffset] = CsvNumberText(s.scaleOffset);
        row[kScaleFactor] = CsvNumberText(s.scaleFactor);
        row[kDeadband] = CsvNumberText(s.deadband);
        row[kVolatile] = CsvFlagText(s.isVolatile);
        row[kSimulation] = CsvFlagText(s.simulation.enabled);
        row[kSimulationKind] = KindText(s.simulation.kind);
        row[kSimulationStep] = std::to_wstring(s.simulation.step);
        row[kSimulationPeriod] = std::to_wstring(s.simulation.period);
        ExportAlarm(s.alarm, row);
        row[kHistorize] = CsvFlagText(s.historize);
        AppendCsvRow(out, row);
    }
    for (OPCS_TagGroup* child : group->SnapshotGroups()) {
        if (OPCS_TagGroup::IsValidGroup(child))
            ExportGroup(out, child, path + child->GetName() + kItemIdSeparator, row);
    }
}

// ---- import ---------------------------------------------------------------

// A row read and checked. A new tag is made at once, unattached, so that a
// million rows hold their settings once, in the tags they become; a tag
// that exists gets its settings at the end.
struct PlannedTag {
    size_t line;
    std::wstring id;  // device, groups and tag name, checked
    OPCS_Tag* existing;
    std::unique_ptr<TagSettings> settings;  // for the existing tag
    std::unique_ptr<OPCS_Tag> fresh;        // or the new one
};

// The names of an item ID, into `parts` (kept, so that a million rows reuse it).
void SplitItemId(std::wstring_view id, std::vector<std::wstring_view>& parts) {
    parts.clear();
    for (size_t from = 0;;) {
        const size_t dot = id.find(kItemIdSeparator, from);
        parts.push_back(id.substr(from, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - from));
        if (dot == std::wstring_view::npos) break;
        from = dot + 1;
    }
}

class Importer {
public:
    Importer(Dll<OPCS_Device*>& devices) : m_devices(devices) {
        for (OPCS_Device* d : m_devices) {
            if (OPCS_TagGroup::IsValidGroup(d)) m_deviceByName.emplace(FoldCase(d->GetName()), d);
        }
    }

    TagImportResult Run(std::string_view csv, std::vector<OPCS_Tag*>* touched) {
        if (csv.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark)
            csv.remove_prefix(kUtf8ByteOrderMark.size());
        std::wstring text;
        if (!FromUtf8(csv, text)) return Failed(L"the file is not UTF-8 text");
        std::wstring error;
        const size_t lineBreaks = static_cast<size_t>(std::count(text.begin(), text.end(), L'\n'));
        if (const size_t rows = CountRows(text, lineBreaks, error); rows > kMaxImportRows) {
            return Failed(L"the file has more than " + std::to_wstring(kMaxImportRows) +
                          L" rows, the most one import takes");
        }
        if (!error.empty()) return Failed(error);
        // A row a line, as a rule: growing these a million times over would
        // move every planned tag and every key again and again.
        m_planned.reserve(std::min(lineBreaks, kMaxImportRows));
        m_lineOfId.reserve(std::min(lineBreaks, kMaxImportRows));
        // One record at a time into the same fields: a million rows are never
        // held as text fields all at once.
        CsvRecord record;
        bool headerRead = false;
        for (size_t i = 0, line = 1; i < text.size();) {
            record.line = line;
            if (!ReadCsvRecord(text, i, line, record.fields, error)) return Failed(error);
            if (record.fields.size() == 1 && record.fields[0].empty()) continue;  // a blank line
            if (!headerRead) {
                if (!ReadHeader(record)) return std::move(m_result);
                headerRead = true;
                continue;
            }
            PlanRow(record);
        }
        if (!headerRead) return Failed(L"the file has no header row");
        if (!m_result.errors.empty()) return std::move(m_result);
        // Reserved before the first change, so that keeping count of the
        // changes never runs out of memory halfway.
        if (touched != nullptr) touched->reserve(m_planned.size());
        m_added.reserve(m_planned.size());
        m_madeGroups.reserve(m_planned.size());
        m_previous.reserve(static_cast<size_t>(
            std::count_if(m_planned.begin(), m_planned.end(), [](const PlannedTag& t) { return t.existing; })));
        try {
            for (PlannedTag& tag : m_planned) {
                OPCS_Tag* applied = Apply(tag);
                if (touched != nullptr && applied != nullptr) touched->push_back(applied);
            }
        } catch (const std::bad_alloc&) {
            Undo();
            if (touched != nullptr) touched->clear();
            throw;
        }
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

    // The rows of the text below the header, blank lines aside, counted up to
    // one past the bound (0 when its line breaks alone keep it within).
    static size_t CountRows(const std::wstring& text, size_t lineBreaks, std::wstring& error) {
        if (lineBreaks <= kMaxImportRows) return 0;
        std::vector<std::wstring> fields;
        size_t rows = 0;
        for (size_t i = 0, line = 1; i < text.size() && rows <= kMaxImportRows + 1;) {
            if (!ReadCsvRecord(text, i, line, fields, error)) return 0;
            if (!(fields.size() == 1 && fields[0].empty())) ++rows;
        }
        return rows == 0 ? 0 : rows - 1;
    }

    bool ReadHeader(const CsvRecord& header) {
        std::array<bool, kColumnCount> seen{};
        m_fieldOf.fill(kNoField);
        for (const std::wstring& name : header.fields) {
            auto known = std::find_if(kColumnNames.begin(), kColumnNames.end(),
                                      [&](const wchar_t* n) { return SameCsvText(name, n); });
            if (known == kColumnNames.end()) {
                Error(header.line, L"unknown column " + Quoted(name));
                m_columns.push_back(kColumnCount);
                continue;
            }
            const auto column = static_cast<Column>(known - kColumnNames.begin());
            if (seen[column]) Error(header.line, L"the column " + Quoted(name) + L" appears twice");
            seen[column] = true;
            m_fieldOf[column] = m_columns.size();
            m_columns.push_back(column);
        }
        if (!seen[kItemId]) Error(header.line, L"no ItemID column");
        return m_result.errors.empty();
    }

    // The field of a column in a row, or null when the file has no such column.
    const std::wstring* Field(const CsvRecord& row, Column column) const {
        const size_t at = m_fieldOf[column];
        return at != kNoField ? &row.fields[at] : nullptr;
    }

    void PlanRow(const CsvRecord& row) {
        if (row.fields.size() != m_columns.size()) {
            Error(row.line, std::to_wstring(row.fields.size()) + L" fields where the header names " +
                                std::to_wstring(m_columns.size()));
            return;
        }
        const std::wstring& id = *Field(row, kItemId);
        std::vector<std::wstring_view>& path = m_parts;
        SplitItemId(id, path);
        if (path.size() < 2) {
            Error(row.line, L"the item ID " + Quoted(id) + L" does not name a device and a tag");
            return;
        }
        if (path.size() - 2 > kMaxGroupDepth) {
            Error(row.line, L"the item ID names " + std::to_wstring(path.size() - 2) +
                                L" nested groups; groups nest at most " + std::to_wstring(kMaxGroupDepth) + L" deep");
            return;
        }
        for (const std::wstring_view& name : path) {
            if (name.empty()) {
                Error(row.line, L"the item ID " + Quoted(id) + L" has an empty name");
                return;
            }
            if (name.size() > kMaxNameLength) {
                Error(row.line, L"the item ID holds a name of " + std::to_wstring(name.size()) + L" characters. " +
                                    NameLengthRefusal());
                return;
            }
            if (name.find(L'\0') != std::wstring_view::npos) {
                Error(row.line, L"the item ID " + Quoted(id) + L" holds a NUL character");
                return;
            }
            if (&name != &path.back() && IsReservedName(name)) {
                Error(row.line, L"the item ID " + Quoted(id) + L" names a device or group " + Quoted(name) +
                                    L", a name reserved for the fault control items");
                return;
            }
        }
        const auto [first, fresh] = m_lineOfId.emplace(FoldCase(id), row.line);
        if (!fresh) {
            Error(row.line, L"the item ID " + Quoted(id) + L" appears again (first on line " +
                                std::to_wstring(first->second) + L")");
            return;
        }
        OPCS_Tag* existing = FindExisting(id, path.front());
        // Reused row after row: its strings keep their room.
        TagSettings& settings = m_rowSettings;
        if (OPCS_Tag::IsValidTag(existing)) {
            settings = existing->GetSettings();
        } else {
            existing = nullptr;
            settings = NewTagSettings();
            settings.quality = OPC_QUALITY_GOOD;
            GetSystemTimeAsFileTime(&settings.timestamp);
        }
        if (!ReadSettings(row, settings)) return;
        PlannedTag plan{row.line, id, existing, nullptr, nullptr};
        if (existing != nullptr) {
            plan.settings = std::make_unique<TagSettings>(settings);
        } else {
            auto tag = std::make_unique<ToviTag>();
            tag->Rename(std::wstring(path.back()));
            tag->PlaceSettings(settings);
            plan.fresh = std::move(tag);
        }
        m_planned.push_back(std::move(plan));
    }

    OPCS_Tag* FindExisting(std::wstring_view id, std::wstring_view deviceName) {
        // Rows come device by device: the last one's name is looked up once.
        if (deviceName != m_lastDeviceName) {
            auto device = m_deviceByName.find(FoldCase(deviceName));
            m_lastDevice = device != m_deviceByName.end() ? device->second : nullptr;
            m_lastDeviceName = deviceName;
        }
        return m_lastDevice != nullptr ? m_lastDevice->FindTag(id.substr(deviceName.size() + 1)) : nullptr;
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
            if (const std::wstring* f = Field(row, column); f != nullptr && !ParseCsvNumber(*f, target))
                bad(column, *f, L"a number");
        };
        auto flag = [&](Column column, bool& target) {
            if (const std::wstring* f = Field(row, column); f != nullptr && !ParseCsvFlag(*f, target))
                bad(column, *f, L"true or false");
        };
        auto whole = [&](Column column, DWORD& target) {
            unsigned long long n = 0;
            if (const std::wstring* f = Field(row, column)) {
                if (ParseCsvUnsigned(*f, 0xFFFFFFFFull, n))
                    target = static_cast<DWORD>(n);
                else
                    bad(column, *f, L"a whole number from 0 to 4294967295");
            }
        };
        auto type = [&](Column column, VARTYPE& target) {
            const std::wstring* f = Field(row, column);
            if (f == nullptr) return;
            unsigned long long n = 0;
            if (ParseCsvTypeName(*f, target)) return;
            if (ParseCsvUnsigned(*f, 0xFFFF, n))
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
            if (SameCsvText(*f, kReadOnly))
                s.access = 0;
            else if (SameCsvText(*f, kReadWrite))
                s.access = 1;
            else if (ParseCsvUnsigned(*f, 0xFFFFFFFFull, n))
                s.access = static_cast<DWORD>(n);
            else
                bad(kAccess, *f, L"an access (Read Only or Read/Write)");
        }
        if (const std::wstring* f = Field(row, kDescription)) s.description = *f;
        if (const std::wstring* f = Field(row, kQuality)) {
            unsigned long long n = 0;
            if (ParseCsvUnsigned(*f, 0xFFFF, n))
                s.quality = static_cast<WORD>(n);
            else
                bad(kQuality, *f, L"a quality from 0 to 65535");
        }
        if (const std::wstring* f = Field(row, kTimestamp); f != nullptr && !ParseCsvTime(*f, s.timestamp)) {
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
                                      [&](const wchar_t* k) { return SameCsvText(*f, k); });
            if (named != std::end(kKindNames))
                s.simulation.kind = kFirstSimulationKind + static_cast<DWORD>(named - std::begin(kKindNames));
            else if (ParseCsvUnsigned(*f, 0xFFFFFFFFull, n))
                s.simulation.kind = static_cast<DWORD>(n);
            else
                bad(kSimulationKind, *f, L"a signal (Ramp, Triangle, Sine, Square, Random or Count)");
        }
        whole(kSimulationStep, s.simulation.step);
        whole(kSimulationPeriod, s.simulation.period);
        ReadAlarm(row, s);
        flag(kHistorize, s.historize);
        if (m_result.errors.size() != before) return false;

        if (s.valueLimitsSet && !(s.valueLow <= s.valueHigh)) Error(row.line, L"ValueLow is above ValueHigh");
        if (s.rawLimitsSet && !(s.rawLow <= s.rawHigh)) Error(row.line, L"RawLow is above RawHigh");
        if (s.scalingSet && s.scaleFactor == 0) Error(row.line, L"scaling with a ScaleFactor of 0");
        if (!(s.deadband >= 0 && s.deadband <= 100)) Error(row.line, L"Deadband is not between 0 and 100");
        if (const std::wstring refusal = CheckAlarmSettings(s.alarm, s.type); !refusal.empty()) {
            Error(row.line, refusal);
        }
        const std::wstring* value = Field(row, kValue);
        if (value != nullptr || Field(row, kType) != nullptr || ownValueType) {
            // A new type without a value converts the value the tag has.
            const std::wstring text = value != nullptr ? *value : CsvValueText(s.value);
            const VARTYPE into = ownValueType ? valueType : s.type;
            if (!ParseCsvValue(text, into, s.value)) {
                Error(row.line, L"the value " + Quoted(text) + L" does not convert to " + CsvTypeText(into));
            }
        }
        // The value is stored as the file has it, as a configuration file
        // load does: limits shape values written, not values restored.
        return m_result.errors.size() == before;
    }

    // The alarm columns present change the tag's alarm; an empty field is
    // what an export writes for a setting unused (no limit, no message, the
    // default severity, confirm off, enabled on). Kind None clears the rest.
    void ReadAlarm(const CsvRecord& row, TagSettings& s) {
        AlarmSettings& a = s.alarm;
        auto bad = [&](Column column, const std::wstring& field, const wchar_t* what) {
            Error(row.line, std::wstring(kColumnNames[column]) + L" " + Quoted(field) + L" is not " + what);
        };
        if (const std::wstring* f = Field(row, kAlarm)) {
            if (f->empty()) {
                a.kind = AlarmKind::None;
            } else if (const std::optional<AlarmKind> kind = AlarmKindFromName(*f)) {
                a.kind = *kind;
            } else {
                bad(kAlarm, *f, L"an alarm (None, ExclusiveLimit, NonExclusiveLimit or OffNormal)");
            }
        }
        auto limit = [&](Column column, std::optional<double>& target) {
            const std::wstring* f = Field(row, column);
            if (f == nullptr) return;
            double v = 0;
            if (f->empty())
                target.reset();
            else if (ParseCsvNumber(*f, v))
                target = v;
            else
                bad(column, *f, L"a number");
        };
        limit(kAlarmHighHigh, a.highHigh);
        limit(kAlarmHigh, a.high);
        limit(kAlarmLow, a.low);
        limit(kAlarmLowLow, a.lowLow);
        if (const std::wstring* f = Field(row, kAlarmDeadband)) {
            if (f->empty()) {
                a.deadband = 0;
            } else if (!ParseCsvNumber(*f, a.deadband)) {
                bad(kAlarmDeadband, *f, L"a number");
            }
        }
        auto severity = [&](Column column, WORD& target, WORD byDefault) {
            const std::wstring* f = Field(row, column);
            unsigned long long n = 0;
            if (f == nullptr) return;
            if (f->empty())
                target = byDefault;
            else if (ParseCsvUnsigned(*f, 0xFFFF, n))
                target = static_cast<WORD>(n);
            else
                bad(column, *f, L"a severity from 1 to 1000");
        };
        severity(kAlarmSeverity, a.severity, kDefaultAlarmSeverity);
        severity(kAlarmSeverityHighHigh, a.severityHighHigh, kDefaultAlarmSeverityHighHigh);
        if (const std::wstring* f = Field(row, kAlarmNormalValue)) {
            // In the tag's type; an empty field is no value, but for a String tag the empty text.
            if (f->empty() && s.type != VT_BSTR) {
                a.normalValue = Variant();
            } else if (!ParseCsvValue(*f, s.type, a.normalValue)) {
                Error(row.line, L"AlarmNormalValue " + Quoted(*f) + L" does not convert to " + CsvTypeText(s.type));
            }
        }
        if (const std::wstring* f = Field(row, kAlarmMessage)) a.message = *f;
        auto flag = [&](Column column, bool& target, bool byDefault) {
            const std::wstring* f = Field(row, column);
            if (f == nullptr) return;
            if (f->empty())
                target = byDefault;
            else if (!ParseCsvFlag(*f, target))
                bad(column, *f, L"true or false");
        };
        flag(kAlarmConfirm, a.needsConfirm, false);
        flag(kAlarmEnabled, a.enabled, true);
        if (!a.IsAlarmed()) a = AlarmSettings{};
    }

    // All or nothing: what Apply changed before memory ran out is put back.
    void Undo() noexcept {
        for (auto& [tag, settings] : m_previous) {
            try {
                tag->PlaceSettings(settings);
            } catch (const std::bad_alloc&) {}
        }
        for (auto it = m_added.rbegin(); it != m_added.rend(); ++it) {
            it->first->RemoveTag(it->second);
            delete it->second;
        }
        for (auto it = m_madeGroups.rbegin(); it != m_madeGroups.rend(); ++it) {
            it->first->RemoveGroup(it->second);
            delete it->second;
        }
        for (OPCS_Device* device : m_madeDevices) {
            for (auto node = m_devices.begin(); node != m_devices.end(); ++node) {
                if (*node != device) continue;
                m_devices.Remove(node);
                break;
            }
            delete device;
        }
        m_result.added = m_result.updated = 0;
    }

    OPCS_Tag* Apply(PlannedTag& plan) {
        if (plan.existing != nullptr) {
            m_previous.emplace_back(plan.existing, plan.existing->GetSettings());
            plan.existing->PlaceSettings(*plan.settings);
            ++m_result.updated;
            return plan.existing;
        }
        const size_t lastDot = plan.id.rfind(kItemIdSeparator);
        const std::wstring_view groupPath = std::wstring_view(plan.id).substr(0, lastDot);
        // Rows come group by group: the path of the last one is walked once.
        if (m_lastParent == nullptr || groupPath != m_lastGroupPath) {
            std::vector<std::wstring_view>& path = m_parts;
            SplitItemId(groupPath, path);
            OPCS_TagGroup* parent = DeviceNamed(path.front());
            std::wstring key = FoldCase(path.front());
            for (size_t i = 1; i < path.size(); ++i) {
                key += kItemIdSeparator;
                key += FoldCase(path[i]);
                parent = GroupNamed(parent, key, path[i]);
                if (parent == nullptr) return nullptr;
            }
            m_lastParent = parent;
            m_lastGroupPath = groupPath;
        }
        OPCS_TagGroup* parent = m_lastParent;
        if (!parent->AddTag(plan.fresh.get())) return nullptr;  // cannot happen: the name was looked up before
        m_added.emplace_back(parent, plan.fresh.get());
        ++m_result.added;
        return plan.fresh.release();
    }

    OPCS_TagGroup* DeviceNamed(std::wstring_view name) {
        const std::wstring key = FoldCase(name);
        if (auto found = m_deviceByName.find(key); found != m_deviceByName.end()) return found->second;
        m_madeDevices.reserve(m_madeDevices.size() + 1);
        auto device = std::make_unique<ToviDevice>();
        device->Rename(std::wstring(name));
        m_devices.Append(device.get());
        m_madeDevices.push_back(device.get());
        m_deviceByName.emplace(key, device.get());
        return device.release();
    }

    OPCS_TagGroup* GroupNamed(OPCS_TagGroup* parent, const std::wstring& key, std::wstring_view name) {
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
        auto group = std::make_unique<ToviTagGroup>();
        group->Rename(std::wstring(name));
        if (!parent->AddGroup(group.get())) return nullptr;  // cannot happen: planning refused what it refuses
        m_madeGroups.emplace_back(parent, group.get());
        OPCS_TagGroup* made = group.release();
        m_groupByPath.emplace(key, made);
        return made;
    }

    Dll<OPCS_Device*>& m_devices;
    TagImportResult m_result;
    static constexpr size_t kNoField = ~size_t{0};
    std::vector<Column> m_columns;
    std::array<size_t, kColumnCount> m_fieldOf{};  // by column: its field in a row, or kNoField
    std::vector<PlannedTag> m_planned;
    std::unordered_map<std::wstring, size_t> m_lineOfId;
    std::unordered_map<std::wstring, OPCS_Device*> m_deviceByName;
    std::unordered_map<std::wstring, OPCS_TagGroup*> m_groupByPath;
    std::unordered_set<OPCS_TagGroup*> m_indexedParents;
    std::optional<TagSettings> m_defaults;
    TagSettings m_rowSettings;
    std::vector<std::wstring_view> m_parts;  // of the row at hand
    // The device of the last row planned, and the group of the last applied.
    std::wstring m_lastDeviceName;
    OPCS_TagGroup* m_lastDevice = nullptr;
    std::wstring m_lastGroupPath;
    OPCS_TagGroup* m_lastParent = nullptr;
    // What Apply changed, for Undo.
    std::vector<std::pair<OPCS_Tag*, TagSettings>> m_previous;
    std::vector<std::pair<OPCS_TagGroup*, OPCS_Tag*>> m_added;
    std::vector<std::pair<OPCS_TagGroup*, OPCS_TagGroup*>> m_madeGroups;
    std::vector<OPCS_Device*> m_madeDevices;
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

TagImportResult ImportTagsCsv(std::string_view csv, Dll<OPCS_Device*>& devices, std::vector<OPCS_Tag*>* touched) {
    try {
        return Importer(devices).Run(csv, touched);
    } catch (const std::bad_alloc&) {
        // Before anything changed, or after what changed was put back.
        TagImportResult result;
        result.errors.push_back(L"There is not enough memory to import the file.");
        return result;
    }
}
