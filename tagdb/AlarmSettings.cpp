#include "AlarmSettings.h"

#include <cmath>
#include <cwchar>
#include <iterator>

#include "Text.h"

namespace {
constexpr const wchar_t* kKindNames[] = {L"None", L"ExclusiveLimit", L"NonExclusiveLimit", L"OffNormal"};

std::wstring NumberText(double v) { return FormatText(L"%g", v); }

bool IsSeverity(WORD severity) { return severity >= 1 && severity <= 1000; }

struct NamedLimit {
    const wchar_t* name;
    const std::optional<double>* value;
};
}  // namespace

bool AlarmSettings::operator==(const AlarmSettings& other) const {
    return kind == other.kind && highHigh == other.highHigh && high == other.high && low == other.low &&
           lowLow == other.lowLow && deadband == other.deadband && severity == other.severity &&
           severityHighHigh == other.severityHighHigh && SameAlarmValue(normalValue, other.normalValue) &&
           message == other.message && needsConfirm == other.needsConfirm && enabled == other.enabled;
}

std::wstring CheckAlarmSettings(const AlarmSettings& s, VARTYPE tagType) {
    if (s.kind == AlarmKind::None) return {};
    if (AlarmKindName(s.kind) == nullptr) {
        return L"The alarm kind " + std::to_wstring(static_cast<DWORD>(s.kind)) + L" is unknown.";
    }
    if (!IsSeverity(s.severity) || !IsSeverity(s.severityHighHigh)) {
        return L"An alarm severity must be from 1 to 1000.";
    }
    if (!(s.deadband >= 0) || std::isinf(s.deadband)) {
        return L"The alarm deadband must be a number of 0 or more.";
    }
    if (s.kind == AlarmKind::OffNormal) {
        if (s.normalValue.IsEmpty()) return L"An off-normal alarm needs a normal value.";
        HRESULT converted = S_OK;
        s.normalValue.ConvertedTo(tagType, &converted);
        if (FAILED(converted)) return L"The alarm's normal value does not convert to the tag's type.";
        return {};
    }
    if (!IsNumericType(tagType)) return L"A limit alarm needs a numeric tag.";
    // From the top down: each set limit must lie below the one set above it.
    const NamedLimit limits[] = {
        {L"HighHigh", &s.highHigh}, {L"High", &s.high}, {L"Low", &s.low}, {L"LowLow", &s.lowLow}};
    const NamedLimit* above = nullptr;
    for (const NamedLimit& limit : limits) {
        if (!limit.value->has_value()) continue;
        const double v = **limit.value;
        if (!std::isfinite(v)) return std::wstring(L"The ") + limit.name + L" limit is not a finite number.";
        if (above != nullptr) {
            // A high limit may meet its fellow high limit, never a low one.
            const bool acrossSides = (above->value == &s.highHigh || above->value == &s.high) &&
                                     (limit.value == &s.low || limit.value == &s.lowLow);
            const double over = **above->value;
            if (acrossSides ? !(v < over) : !(v <= over)) {
                return std::wstring(L"The ") + limit.name + L" limit (" + NumberText(v) + L") is " +
                       (acrossSides ? L"not below" : L"above") + L" the " + above->name + L" limit (" +
                       NumberText(over) + L").";
            }
        }
        above = &limit;
    }
    if (above == nullptr) return L"A limit alarm needs at least one limit.";
    return {};
}

bool SameAlarmValue(const Variant& a, const Variant& b) {
    if (a.Type() != b.Type()) return false;
    if (a.IsEmpty() || a.Type() == VT_NULL) return true;
    if (a.Type() == VT_BSTR) {
        const BSTR x = V_BSTR(&a.Ref()), y = V_BSTR(&b.Ref());
        const UINT length = SysStringLen(x);
        return length == SysStringLen(y) && (length == 0 || wmemcmp(x, y, length) == 0);
    }
    // The platform's comparison knows not every unsigned type: numbers as doubles.
    if (IsNumericType(a.Type())) {
        return V_R8(&a.ConvertedTo(VT_R8).Ref()) == V_R8(&b.ConvertedTo(VT_R8).Ref());
    }
    VARIANT left = a.Ref(), right = b.Ref();
    return VarCmp(&left, &right, LOCALE_INVARIANT, 0) == VARCMP_EQ;
}

const wchar_t* AlarmKindName(AlarmKind kind) {
    const auto index = static_cast<size_t>(kind);
    return index < std::size(kKindNames) ? kKindNames[index] : nullptr;
}

std::optional<AlarmKind> AlarmKindFromName(std::wstring_view name) {
    for (size_t i = 0; i < std::size(kKindNames); ++i) {
        if (EqualsNoCase(name, kKindNames[i])) return static_cast<AlarmKind>(i);
    }
    return std::nullopt;
}
